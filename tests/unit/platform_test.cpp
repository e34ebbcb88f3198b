// SPDX-License-Identifier: MIT
// The Linux backend's open and delete take any path buffer the caller fills, not only one that
// resolution produced: nothing of the name is copied into storage of a size of its own.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform.h"

namespace {

using namespace ostrakit;

ExtendedPathBuffer path;
Target target;

TEST(PlatformBuffers, NamesAsLongAsTheBufferHoldsAreRefusedCleanly) {
    for (const char* stream : {"", ":s"}) {
        const std::size_t length = FULL_PATH_CAPACITY - 1;
        std::memset(path.chars, 'n', length);
        path.chars[0] = '/';
        std::memcpy(path.chars + length - std::strlen(stream), stream, std::strlen(stream));
        path.chars[length] = '\0';
        path.directory_length = 0;
        errno = 0;
        EXPECT_FALSE(platform::open_existing_for_writing(path, target)) << stream;
        EXPECT_EQ(errno, ENAMETOOLONG) << stream;
        errno = 0;
        EXPECT_FALSE(platform::delete_file(path)) << stream;
        EXPECT_EQ(errno, ENAMETOOLONG) << stream;
    }
}

}  // namespace
