// SPDX-License-Identifier: MIT
// What a Samba file server keeps in a file's extended attributes for its Windows clients, read
// from bytes alone: the attributes that hold its streams (vfs_streams_xattr), and its record of
// the file's Windows attributes (user.DOSATTRIB).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ostrakit {

// The attribute that holds Samba's record of a file's Windows attributes.
inline constexpr const char* SAMBA_RECORD_ATTRIBUTE = "user.DOSATTRIB";

// The Windows attribute that makes a file read-only (FILE_ATTRIBUTE_READONLY).
inline constexpr std::uint32_t READ_ONLY_ATTRIBUTE = 0x1;

// True for a stream name that addresses one of Samba's own records rather than a stream: the
// attribute is on the list Samba keeps to itself, "DOSATTRIB", "SAMBA_PAI", "SAMBA_STREAMS",
// "org.netatalk.Metadata", or begins "DosStream." or "DosStreamExt.", compared as Samba
// compares them, without regard to case.
bool is_samba_record_name(std::string_view stream);

// The stream name that the attribute `attribute` holds for Samba's clients: "name" for
// "user.DosStream.name:$DATA"; empty for any other attribute.
std::string_view samba_stream_name(std::string_view attribute);

// True when the stream names `a` and `b` are the same to an SMB client: Samba compares them
// with strcasecmp_m, one UTF-8 character at a time through its case table (samba_fold.h).
bool same_stream_name(std::string_view a, std::string_view b);

// The Windows attributes in Samba's record `record` (`size` bytes), or 0 when the record cannot
// be read. Samba 3 wrote the attributes as text, "0x" and hex digits, and records that begin so
// are read as that text; later versions write an NDR structure, little-endian: a NUL-terminated
// string, padding to two bytes, the version in 16 bits, the version again as the 16-bit level
// of the union that follows, padding to four bytes, then that version's fields. Version 1
// begins with the attributes; versions 2 to 5 with a word of flags, the attributes next. In
// versions 3 to 5 the flags say whether the attributes hold (flag 0x1).
std::uint32_t samba_dos_attributes(const unsigned char* record, std::size_t size);

}  // namespace ostrakit
