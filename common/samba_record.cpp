// SPDX-License-Identifier: MIT
// Samba's record of a file's Windows attributes, read from bytes alone as smbd 4.17 reads it:
// its NDR pull of xattr_DOSATTRIB, then the choice of fields by version (dosmode.c).
#include "samba_record.h"

namespace ostrakit {

namespace {

// An NDR pull over the record: each field aligned to its size, none read past the end.
struct Pull {
    const unsigned char* bytes;
    std::size_t size;
    std::size_t at = 0;
    bool ok = true;

    bool need(std::size_t count, std::size_t alignment) {
        at = (at + alignment - 1) & ~(alignment - 1);
        ok = ok && at <= size && size - at >= count;
        return ok;
    }
    std::uint32_t little_endian(std::size_t count) {
        if (!need(count, count)) return 0;
        std::uint32_t value = 0;
        for (std::size_t i = count; i-- > 0;) value = value << 8 | bytes[at + i];
        at += count;
        return value;
    }
};

bool is_blank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int hex_digit(unsigned char c) {
    return c >= '0' && c <= '9' ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Samba 3's text, as glibc's sscanf("%x") reads it into an unsigned int: blanks skipped, a
// sign, "0x" (whose 0 alone is a number), digits taken as strtoul takes them (past 64 bits,
// all ones), negated by '-', the low 32 bits kept. Samba ignores sscanf's count, so a text
// without a number leaves its attributes undefined.
std::uint32_t hex_text(const unsigned char* text, std::size_t size) {
    std::size_t at = 0;
    while (at < size && is_blank(text[at])) ++at;
    const bool negative = at < size && text[at] == '-';
    if (at < size && (text[at] == '-' || text[at] == '+')) ++at;
    bool number = at < size && text[at] == '0';
    if (number && at + 1 < size && (text[at + 1] | 0x20) == 'x') at += 2;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; at < size && hex_digit(text[at]) >= 0; ++at, number = true) {
        overflow |= value >> 60 != 0;
        value = value << 4 | static_cast<std::uint64_t>(hex_digit(text[at]));
    }
    if (!number) return UNDEFINED_ATTRIBUTES;
    if (overflow) return 0xFFFFFFFF;
    return static_cast<std::uint32_t>(negative ? 0 - value : value);
}

// The length of the well-formed UTF-8 sequence at `text` (no overlong form, surrogate or code
// past U+10FFFF), or 0: Samba's conversion of a name refuses any other.
std::size_t utf8_length(const unsigned char* text, std::size_t size) {
    constexpr std::uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    const unsigned char lead = text[0];
    const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2
                             : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length <= 1 || length > size) return length == 1 ? 1 : 0;
    std::uint32_t code = lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        code = code << 6 | (text[i] & 0x3Fu);
    }
    const bool valid = code >= SMALLEST[length] && (code < 0xD800 || code > 0xDFFF) &&
                       code <= 0x10FFFF;
    return valid ? length : 0;
}

// Version 2's last field: a UTF-8 string up to its NUL or the end, of one byte at least.
bool utf8_string(Pull& pull) {
    if (!pull.need(1, 1)) return false;
    while (pull.at < pull.size && pull.bytes[pull.at] != '\0') {
        const std::size_t length = utf8_length(pull.bytes + pull.at, pull.size - pull.at);
        if (length == 0) return false;
        pull.at += length;
    }
    return true;
}

// The attributes of the fields of `version`, each version's fields being there in full.
std::uint32_t version_attributes(Pull& pull, std::uint32_t version) {
    // Each version's fixed fields, in bytes; the attributes lead version 1, and follow a word
    // of flags in the others.
    constexpr std::size_t FIELDS[] = {0, 40, 52, 44, 24, 16};
    if (version < 1 || version > 5 || !pull.need(FIELDS[version], 4)) return 0;
    const std::size_t start = pull.at;
    if (version != 1) pull.at += 4;
    const std::uint32_t attributes = pull.little_endian(4);
    pull.at = start + FIELDS[version];
    return version != 2 || utf8_string(pull) ? attributes : 0;
}

}  // namespace

std::uint32_t samba_dos_attributes(const unsigned char* record, std::size_t size) {
    if (size == 0) return 0;  // not even the string's one byte
    Pull pull{record, size};
    while (pull.at < size && record[pull.at] != '\0') ++pull.at;
    // Nothing after the string's NUL, or no NUL at all: Samba 3's text.
    if (pull.at + 1 >= size) return hex_text(record, pull.at);
    pull.at += 1;
    const std::uint32_t version = pull.little_endian(2);
    const std::uint32_t level = pull.little_endian(2);
    // The union's level repeats the version.
    if (!pull.ok || level != version) return 0;
    return version_attributes(pull, version);
}

}  // namespace ostrakit
