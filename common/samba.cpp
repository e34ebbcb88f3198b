// SPDX-License-Identifier: MIT
// Samba's stream attributes and its record of Windows attributes, read from bytes alone.
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

std::uint32_t little_endian(const unsigned char* bytes, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = count; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

std::uint32_t hex_attributes(const unsigned char* digits, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size && i < 8; ++i) {
        const unsigned char c = digits[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) break;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
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

std::uint32_t samba_dos_attributes(const unsigned char* record, std::size_t size) {
    if (size >= 2 && record[0] == '0' && record[1] == 'x')
        return hex_attributes(record + 2, size - 2);
    std::size_t at = 0;
    while (at < size && record[at] != '\0') ++at;
    at = (at + 1 + 1) & ~std::size_t{1};  // past the terminator, to two bytes
    if (at + 2 > size) return 0;
    const std::uint32_t version = little_endian(record + at, 2);
    at += 2;
    // The version again, as the 16-bit level of the union of fields that follows it.
    if (version < 1 || version > 5 || at + 2 > size || little_endian(record + at, 2) != version)
        return 0;
    at = (at + 2 + 3) & ~std::size_t{3};  // the fields, at four bytes
    if (version == 1) return at + 4 <= size ? little_endian(record + at, 4) : 0;
    if (at + 8 > size) return 0;
    const std::uint32_t valid = little_endian(record + at, 4);
    if (version >= 3 && (valid & 0x1) == 0) return 0;
    return little_endian(record + at + 4, 4);
}

}  // namespace ostrakit
