// SPDX-License-Identifier: MIT
// Samba's stream attributes, read from bytes alone.
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

}  // namespace ostrakit
