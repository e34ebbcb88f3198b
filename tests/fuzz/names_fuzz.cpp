// SPDX-License-Identifier: MIT
// libFuzzer target for the pure name handling: full-path forming by both platforms' rules and
// the "file:stream[:type]" split, each checked against what its contract in names.h promises.
//
// Input: one control byte, then the current directory, a NUL, and the name (bytes after a
// second NUL are ignored, as no argument or directory can hold a NUL).
//   control bits 0-2  POSIX capacity around the exact need: need - 4 ... need + 3
//   control bits 3-4  Windows room beyond "\\?\" + path + terminator: 0 ... 3 units
//   control bits 5-6  the piece limit a long path is walked with: 2, 9, 64 or 4096
//   control bit 7     POSIX capacity is the tools' own FULL_PATH_CAPACITY instead
// Every input the functions see is an exactly sized heap copy, so that AddressSanitizer stops
// any read past its end, and every output buffer is exactly the capacity they are told.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "names.h"
#include "platform.h"

using namespace ostrakit;

namespace {

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__,     \
                         #condition);                                                     \
            std::abort();                                                                 \
        }                                                                                 \
    } while (false)

// A copy of `text` in a heap block of exactly its size: one unit past it is a red zone.
template <class Char>
struct HeapCopy {
    std::unique_ptr<Char[]> units;
    std::size_t size;

    explicit HeapCopy(std::basic_string_view<Char> text)
        : units(new Char[text.size()]), size(text.size()) {
        if (size != 0) std::memcpy(units.get(), text.data(), size * sizeof(Char));
    }
    std::basic_string_view<Char> view() const { return {units.get(), size}; }
};

constexpr std::u16string_view EXTENDED_PREFIX = u"\\\\?\\";

bool starts_with_prefix(std::u16string_view path) { return path.starts_with(EXTENDED_PREFIX); }

// A network name: two backslashes not followed by the device "." or "?" and a backslash.
bool is_network(std::u16string_view path) {
    return path.starts_with(u"\\\\") && !path.starts_with(u"\\\\.\\") &&
           !starts_with_prefix(path);
}

void check_windows_rules(std::string_view bytes, unsigned room) {
    // Each byte becomes one unit; the bytes at and above 0x80 land outside ASCII.
    std::u16string path;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        path.push_back(static_cast<char16_t>(byte < 0x80 ? byte : 0x100 + byte));
    }
    const std::size_t length = path.size();

    const HeapCopy<char16_t> name(path);
    CHECK(has_extended_prefix(name.units.get(), name.size) == starts_with_prefix(path));

    std::u16string expected;
    if (starts_with_prefix(path))
        expected = path;
    else if (is_network(path))
        expected = std::u16string(u"\\\\?\\UNC") + path.substr(1);
    else
        expected = std::u16string(EXTENDED_PREFIX) + path;

    // The caller's promise: the prefix, the resolved path and its terminator fit.
    const std::size_t size = EXTENDED_PREFIX.size() + length + 1 + room;
    const std::unique_ptr<char16_t[]> buffer(new char16_t[size]);
    std::fill_n(buffer.get(), size, u'\xAAAA');
    std::memcpy(buffer.get(), EXTENDED_PREFIX.data(), EXTENDED_PREFIX.size() * sizeof(char16_t));
    if (length != 0) std::memcpy(buffer.get() + 4, path.data(), length * sizeof(char16_t));
    buffer[4 + length] = u'\0';

    const bool done = finish_extended_path(buffer.get(), size, length);
    CHECK(done == (expected.size() + 1 <= size));
    if (!done) return;
    const std::u16string_view result(buffer.get(), expected.size());
    CHECK(result == expected);
    CHECK(buffer[expected.size()] == u'\0');
    CHECK(starts_with_prefix(result));
    // Never a second prefix that the resolved path did not already carry.
    if (!starts_with_prefix(path)) CHECK(!starts_with_prefix(result.substr(4)));
    if (is_network(path)) CHECK(result.substr(8) == path.substr(2) && result[7] == u'\\');
}

std::string joined(const SplitName& split) {
    std::string name(split.file);
    if (split.has_stream) name.append(":").append(split.stream);
    if (split.has_type) name.append(":").append(split.type);
    return name;
}

bool inside(std::string_view part, std::string_view whole) {
    const char* end = whole.data() + whole.size();
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= end);
}

// "$DATA" in any case, as NTFS allows.
bool is_data_type(std::string_view type) {
    constexpr std::string_view UPPER = "$DATA", LOWER = "$data";
    if (type.size() != UPPER.size()) return false;
    for (std::size_t i = 0; i < UPPER.size(); ++i)
        if (type[i] != UPPER[i] && type[i] != LOWER[i]) return false;
    return true;
}

// The parts point into `copy`, which must outlive them.
SplitName check_split(const HeapCopy<char>& copy) {
    const std::string_view path = copy.view();
    const SplitName split = split_stream_name(path);
    CHECK(inside(split.file, path) && inside(split.stream, path) && inside(split.type, path));
    CHECK(joined(split) == path);
    CHECK(!split.has_type || split.has_stream);

    // The colon after `file` is the first one of the last component.
    const std::string_view file = split.file;
    const std::size_t slash = file.rfind('/');
    const std::size_t component = slash == std::string_view::npos ? 0 : slash + 1;
    CHECK(file.find(':', component) == std::string_view::npos);
    CHECK(split.stream.find_first_of(":/") == std::string_view::npos);
    CHECK(split.type.find('/') == std::string_view::npos);

    NameKind kind = NameKind::FILE_ITSELF;
    if (split.has_type && !is_data_type(split.type))
        kind = NameKind::INVALID;
    else if (split.has_stream && !split.stream.empty())
        kind = NameKind::NAMED_STREAM;
    else if (split.has_stream && !split.has_type)
        kind = NameKind::INVALID;  // "file:"
    CHECK(split.kind == kind);
    return split;
}

void check_posix_rules(std::string_view cwd, std::string_view name, std::uint8_t control) {
    std::string expected(name);
    if (!name.starts_with('/'))
        expected = std::string(cwd) + (cwd.ends_with('/') ? "" : "/") + expected;
    const std::size_t need = expected.size() + 1;
    const int slack = (control & 7) - 4;
    std::size_t capacity = FULL_PATH_CAPACITY;
    if (!(control & 0x80))
        capacity = slack < 0 && need < static_cast<std::size_t>(-slack)
                       ? 0
                       : need + static_cast<std::size_t>(slack);

    const HeapCopy<char> directory(cwd);
    const HeapCopy<char> given(name);
    const SplitName from_name = check_split(given);
    const std::unique_ptr<char[]> out(new char[capacity]);
    const bool done = form_full_path(directory.view(), given.view(), out.get(), capacity);
    CHECK(done == (need <= capacity));
    if (!done) return;
    const std::string_view result(out.get(), expected.size());
    CHECK(result == expected);
    CHECK(out[expected.size()] == '\0');
    // Nothing is folded: the name itself is the end of the result.
    CHECK(result.ends_with(name));

    // Taking the full path never changes which stream a name means.
    const HeapCopy<char> full(result);
    const SplitName from_full = check_split(full);
    CHECK(from_full.kind == from_name.kind && from_full.stream == from_name.stream &&
          from_full.type == from_name.type && from_full.has_stream == from_name.has_stream &&
          from_full.has_type == from_name.has_type && from_full.file.ends_with(from_name.file));
}

}  // namespace

// Walks `name` the way the Linux backend reaches a long path: every head is shorter than the
// limit and starts where the rest did, only slashes lie between a head and its tail (a root
// head keeps its own), and each tail is shorter than what it came from, so the walk ends.
void check_path_pieces(std::string_view name, std::size_t limit) {
    const HeapCopy<char> copy(name);
    std::string_view rest = copy.view();
    for (PathPiece piece = next_path_piece(rest, limit); !piece.head.empty();
         piece = next_path_piece(rest, limit)) {
        CHECK(piece.head.size() < limit);
        CHECK(piece.head.data() == rest.data());
        CHECK(!piece.tail.empty() && piece.tail.front() != '/');
        CHECK(piece.tail.data() + piece.tail.size() == rest.data() + rest.size());
        const char* gap = piece.head.data() + piece.head.size();
        if (piece.head == "/") --gap;
        CHECK(gap < piece.tail.data());
        for (; gap < piece.tail.data(); ++gap) CHECK(*gap == '/');
        CHECK(piece.tail.size() < rest.size());
        rest = piece.tail;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t separator = rest.find('\0');
    const std::string_view cwd = rest.substr(0, separator);
    std::string_view name;
    if (separator != std::string_view::npos) {
        name = rest.substr(separator + 1);
        name = name.substr(0, name.find('\0'));
    }
    check_posix_rules(cwd, name, control);
    check_windows_rules(name, (control >> 3) & 3u);
    // Piece limits from tiny, so that short inputs split often, up to the kernel's PATH_MAX.
    constexpr std::size_t PIECE_LIMITS[] = {2, 9, 64, 4096};
    check_path_pieces(name, PIECE_LIMITS[(control >> 5) & 3u]);
    return 0;
}
