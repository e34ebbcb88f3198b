// SPDX-License-Identifier: MIT
// Pure name handling: full-path forming on POSIX and splitting of "file:stream[:type]".
#include "names.h"

namespace ostrakit {

bool form_full_path(std::string_view cwd, std::string_view name, char* out,
                    std::size_t capacity) {
    std::size_t length = 0;
    auto append = [&](std::string_view part) {
        if (part.size() >= capacity - length) return false;  // keep a byte for the terminator
        std::memcpy(out + length, part.data(), part.size());
        length += part.size();
        return true;
    };
    if (capacity == 0) return false;
    if (name.empty() || name.front() != '/') {
        if (!append(cwd)) return false;
        // The root is the one directory that already ends in "/".
        if ((cwd.empty() || cwd.back() != '/') && !append("/")) return false;
    }
    if (!append(name)) return false;
    out[length] = '\0';
    return true;
}

namespace {

// The part of `text` from `begin` to `end`. string_view::substr would check the bounds and
// pull the C++ runtime's exception support into the tools for a case that cannot happen here.
std::string_view part(std::string_view text, std::size_t begin, std::size_t end) {
    return std::string_view(text.data() + begin, end - begin);
}

bool is_data_type(std::string_view type) {
    constexpr std::string_view DATA = "$DATA";
    if (type.size() != DATA.size()) return false;
    for (std::size_t i = 0; i < DATA.size(); ++i) {
        char c = type[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != DATA[i]) return false;
    }
    return true;
}

}  // namespace

PathPiece next_path_piece(std::string_view path, std::size_t limit) {
    constexpr std::size_t NONE = std::string_view::npos;
    const std::size_t last_byte = path.find_last_not_of('/');
    if (path.size() < limit || limit < 2 || last_byte == NONE || last_byte == 0) return {{}, path};
    // The last slash that leaves a head shorter than the limit and a tail that is not empty.
    const std::size_t window_end = last_byte - 1 < limit - 1 ? last_byte - 1 : limit - 1;
    const std::size_t slash = path.rfind('/', window_end);
    if (slash == NONE) return {{}, path};
    // The root keeps its own slash, so a head is never empty.
    const std::size_t tail = path.find_first_not_of('/', slash);
    return {part(path, 0, slash == 0 ? 1 : slash), part(path, tail, path.size())};
}

SplitName split_stream_name(std::string_view path) {
    SplitName split{NameKind::FILE_ITSELF, path, {}, {}, false, false};
    const std::size_t slash = path.rfind('/');
    const std::size_t component = slash == std::string_view::npos ? 0 : slash + 1;
    const std::size_t colon = path.find(':', component);
    if (colon == std::string_view::npos) return split;

    split.file = part(path, 0, colon);
    split.has_stream = true;
    const std::size_t second = path.find(':', colon + 1);
    split.has_type = second != std::string_view::npos;
    split.stream = part(path, colon + 1, split.has_type ? second : path.size());
    if (split.has_type) split.type = part(path, second + 1, path.size());

    if (split.has_type && !is_data_type(split.type))
        split.kind = NameKind::INVALID;
    else if (split.stream.empty())
        split.kind = split.has_type ? NameKind::FILE_ITSELF : NameKind::INVALID;
    else
        split.kind = NameKind::NAMED_STREAM;
    return split;
}

}  // namespace ostrakit
