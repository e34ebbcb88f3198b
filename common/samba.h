// SPDX-License-Identifier: MIT
// What a Samba file server keeps in a file's extended attributes for its Windows clients, read
// from bytes alone: the attributes that hold its streams (vfs_streams_xattr). Its record of the
// file's Windows attributes has a room of its own (samba_record.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ostrakit {

// True for a stream name that addresses one of Samba's own records rather than a stream: the
// attribute is on the list Samba keeps to itself, "DOSATTRIB", "SAMBA_PAI", "SAMBA_STREAMS",
// "org.netatalk.Metadata", or begins "DosStream." or "DosStreamExt.", compared as Samba
// compares them, without regard to case.
bool is_samba_record_name(std::string_view stream);

// True when the stream names `a` and `b` are the same to an SMB client: Samba compares them
// with strcasecmp_m, one UTF-8 character at a time through its case table (samba_fold.h).
bool same_stream_name(std::string_view a, std::string_view b);

// The first name in `list`, the kernel's list of attribute names each ended by NUL, that holds
// the stream an SMB client names `stream` (stream_forms.h); empty when none does.
std::string_view find_samba_stream(std::string_view list, std::string_view stream);

}  // namespace ostrakit
