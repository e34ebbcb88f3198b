// SPDX-License-Identifier: MIT
// The storage that the Linux backend has the tools keep for it. Included by platform.h alone.
#pragma once

#include <cstddef>

#include "stream_forms.h"

namespace ostrakit {

// Longest attribute name with its terminator, and the most the kernel holds in one value
// (XATTR_NAME_MAX + 1 and XATTR_SIZE_MAX; the backend checks that they agree).
inline constexpr std::size_t STREAM_NAME_CAPACITY = 256;
inline constexpr std::size_t STREAM_VALUE_CAPACITY = 65536;

// The file or stream the writer writes. For a file, `descriptor` is open for writing and
// holds the file's exclusive lock for the run. For a stream, `descriptor` is a descriptor of
// the file that holds it, locked for the run, open for reading (for writing where only that
// holds a write lock, as over NFSv4): an attribute can only be set whole, so before every
// block its value is read into `value`, the block put into it, and the value set again, whole.
// Lives in the tool's static storage: 64 KiB that cost the program file nothing.
struct Target {
    int descriptor;
    bool is_stream;
    char attribute[STREAM_NAME_CAPACITY];  // "user.<stream>", or a file server's name for it
    ValueForm form;                        // how the value holds the stream's bytes
    std::size_t position;                  // where the next block goes
    unsigned char value[STREAM_VALUE_CAPACITY];
};

// Program names are printed as the bytes they are: nothing is converted into this room.
inline constexpr std::size_t DISPLAY_NAME_CAPACITY = 1;

}  // namespace ostrakit
