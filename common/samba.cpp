// SPDX-License-Identifier: MIT
// Samba's stream attributes, read from bytes alone.
#include "samba.h"

namespace ostrakit {

namespace {

constexpr std::string_view STREAM_PREFIX = "user.DosStream.";
constexpr std::string_view STREAM_SUFFIX = ":$DATA";

// string_view's own starts_with and ends_with check bounds through a call that would pull the
// C++ runtime's exception support into the tools.
bool begins_with(std::string_view text, std::string_view start) {
    return text.size() >= start.size() && std::string_view(text.data(), start.size()) == start;
}

// The next character of `text` from `at`, which it moves past: the code point of a well-formed
// UTF-8 sequence, or else the byte itself, offset past every code point, so that a stray byte
// (or the start of an overlong form, a surrogate or a code past U+10FFFF) matches only itself.
std::uint32_t next_character(std::string_view text, std::size_t& at) {
    constexpr std::uint32_t STRAY = 0x110000, SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2
                             : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || at + length > text.size()) return STRAY + byte(at++);
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return STRAY + byte(at++);
        code = code << 6 | (byte(at + i) & 0x3Fu);
    }
    if (code < SMALLEST[length] || (code >= 0xD800 && code <= 0xDFFF) || code >= STRAY)
        return STRAY + byte(at++);
    at += length;
    return code;
}

// The upper case of `code` where Windows' table gives one in the Latin-1, Greek and Cyrillic
// alphabets, which hold the letters of most stream names that are not ASCII.
std::uint32_t upper_case(std::uint32_t code) {
    if ((code >= 'a' && code <= 'z') || (code >= 0xE0 && code <= 0xFE && code != 0xF7) ||
        (code >= 0x3B1 && code <= 0x3CB && code != 0x3C2) || (code >= 0x430 && code <= 0x44F))
        return code - 0x20;
    if (code == 0xFF) return 0x178;
    if (code == 0x3C2) return 0x3A3;  // final sigma
    if (code >= 0x450 && code <= 0x45F) return code - 0x50;
    return code;
}

}  // namespace

bool is_samba_record_name(std::string_view stream) {
    return stream == "DOSATTRIB" || begins_with(stream, "DosStream.");
}

std::string_view samba_stream_name(std::string_view attribute) {
    if (attribute.size() <= STREAM_PREFIX.size() + STREAM_SUFFIX.size() ||
        !begins_with(attribute, STREAM_PREFIX) ||
        std::string_view(attribute.data() + attribute.size() - STREAM_SUFFIX.size(),
                         STREAM_SUFFIX.size()) != STREAM_SUFFIX)
        return {};
    return std::string_view(attribute.data() + STREAM_PREFIX.size(),
                            attribute.size() - STREAM_PREFIX.size() - STREAM_SUFFIX.size());
}

bool same_stream_name(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size())
        if (upper_case(next_character(a, i)) != upper_case(next_character(b, j))) return false;
    return i == a.size() && j == b.size();
}

}  // namespace ostrakit
