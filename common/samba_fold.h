// SPDX-License-Identifier: MIT
// Names compared as Samba compares them (its strcasecmp_m and strncasecmp_m), from bytes alone,
// through Samba's own case mapping of the Basic Multilingual Plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ostrakit {

// Samba's toupper_m and tolower_m: its table of the Basic Multilingual Plane, ASCII as the C
// locale maps it; every code point past U+FFFF maps to itself.
std::uint32_t samba_upper_case(std::uint32_t code);
std::uint32_t samba_lower_case(std::uint32_t code);

inline constexpr std::size_t ALL_CHARACTERS = SIZE_MAX;

// True when Samba's strncasecmp_m(a, b, characters) is 0, or strcasecmp_m(a, b) for
// ALL_CHARACTERS. A NUL byte ends a name, as it ends Samba's C strings. Two characters are one
// when they are equal, or their upper cases are, or their lower cases are. From the first
// character that is no UTF-8 to Samba (on either side), the rest of the bytes are compared as
// strcasecmp compares them in a UTF-8 or C locale: ASCII letters without regard to case.
bool samba_names_equal(std::string_view a, std::string_view b,
                       std::size_t characters = ALL_CHARACTERS);

}  // namespace ostrakit
