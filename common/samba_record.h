// SPDX-License-Identifier: MIT
// Samba's record of a file's Windows attributes (user.DOSATTRIB), read from bytes alone as smbd
// reads it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrakit {

// The attribute that holds Samba's record of a file's Windows attributes.
inline constexpr const char* SAMBA_RECORD_ATTRIBUTE = "user.DOSATTRIB";

// The Windows attribute that makes a file read-only (FILE_ATTRIBUTE_READONLY).
inline constexpr std::uint32_t READ_ONLY_ATTRIBUTE = 0x1;

// What stands for attributes that Samba leaves undefined: it reads a text in which sscanf finds
// no number into whatever its stack held. Every bit is set, so that such a file counts as
// read-only and is refused rather than written behind a client's back.
inline constexpr std::uint32_t UNDEFINED_ATTRIBUTES = 0xFFFFFFFF;

// The Windows attributes in Samba's record `record` (`size` bytes), or 0 when Samba rejects it.
// The record begins with a string, up to its NUL or the end. When nothing follows the string,
// it is Samba 3's hex text, read as glibc's sscanf("%x") reads it into 32 bits. Otherwise the
// NDR structure xattr_DOSATTRIB follows, little-endian and aligned: the version (1 to 5) in 16
// bits at two bytes, the version again as the level of the union of fields, then that version's
// fields at four bytes, all of them present. Samba 4.17 takes the attributes whatever the
// version 3 to 5 flags say of them.
std::uint32_t samba_dos_attributes(const unsigned char* record, std::size_t size);

}  // namespace ostrakit
