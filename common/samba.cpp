// SPDX-License-Identifier: MIT
// Samba's stream attributes, read from bytes alone.
#include "samba.h"

#include <algorithm>
#include <initializer_list>

#include "samba_fold.h"
#include "stream_forms.h"

namespace ostrakit {

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

bool same_stream_name(std::string_view a, std::string_view b) { return samba_names_equal(a, b); }

std::string_view find_samba_stream(std::string_view list, std::string_view stream) {
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t end = std::min(list.find('\0', at), list.size());
        const std::string_view name(list.data() + at, end - at);
        at = end + 1;
        if (same_stream_name(samba_stream_name(name), stream)) return name;
    }
    return {};
}

}  // namespace ostrakit
