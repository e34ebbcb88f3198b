// SPDX-License-Identifier: MIT
// Samba's stream attributes and its record of Windows attributes, read from bytes alone.
#include "samba.h"

#include <initializer_list>

#include "samba_fold.h"

namespace ostrakit {

namespace {

constexpr std::string_view STREAM_PREFIX = "user.DosStream.";
constexpr std::string_view STREAM_SUFFIX = ":$DATA";

// string_view's own starts_with and ends_with check bounds through a call that would pull the
// C++ runtime's exception support into the tools.
bool begins_with(std::string_view text, std::string_view start) {
    return text.size() >= start.size() && std::string_view(text.data(), start.size()) == start;
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

// The names of Samba's list (samba_private_attr_name) less their "user.", which matches
// itself; Samba compares the names whole and its prefixes over their length in characters.
bool is_samba_record_name(std::string_view stream) {
    for (const std::string_view name : {"DOSATTRIB", "SAMBA_PAI", "SAMBA_STREAMS",
                                        "org.netatalk.Metadata"})
        if (samba_names_equal(stream, name)) return true;
    for (const std::string_view prefix : {"DosStream.", "DosStreamExt."})
        if (samba_names_equal(stream, prefix, prefix.size())) return true;
    return false;
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

bool same_stream_name(std::string_view a, std::string_view b) { return samba_names_equal(a, b); }

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
