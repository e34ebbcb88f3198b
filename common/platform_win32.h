// SPDX-License-Identifier: MIT
// The storage that the Windows backend has the tools keep for it. Included by platform.h alone.
#pragma once

#include <cstddef>

namespace ostrakit {

// The file or stream the writer writes: the handle CreateFileW gave.
struct Target {
    Handle handle;
};

// The display form of a program name: at most two bytes a character through the code page,
// for the longest name a Windows command line can carry (32,767 units).
inline constexpr std::size_t DISPLAY_NAME_CAPACITY = 2 * 32767 + 1;

}  // namespace ostrakit
