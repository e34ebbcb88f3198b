// SPDX-License-Identifier: MIT
// The Linux backend's open and delete take any path buffer the caller fills, not only one that
// resolution produced: nothing of the name is copied into storage of a size of its own.
#include <gtest/gtest.h>

#include <linux/limits.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform.h"

namespace {

using namespace ostrakit;

ExtendedPathBuffer path;
Target target;

TEST(PlatformBuffers, NamesAsLongAsTheBufferHoldsAreRefusedCleanly) {
    // Filled to capacity; and, walked from the root, a last piece of PATH_MAX bytes, one more
    // than a piece the walk may copy.
    for (const std::size_t length : {FULL_PATH_CAPACITY - 1, std::size_t{PATH_MAX} + 1}) {
        for (const char* stream : {"", ":s"}) {
            const std::string what = std::to_string(length) + stream;
            std::memset(path.chars, 'n', length);
            path.chars[0] = '/';
            std::memcpy(path.chars + length - std::strlen(stream), stream, std::strlen(stream));
            path.chars[length] = '\0';
            path.directory_length = 0;
            errno = 0;
            EXPECT_FALSE(platform::open_existing_for_writing(path, target)) << what;
            EXPECT_EQ(errno, ENAMETOOLONG) << what;
            errno = 0;
            EXPECT_FALSE(platform::delete_file(path)) << what;
            EXPECT_EQ(errno, ENAMETOOLONG) << what;
        }
    }
}

}  // namespace
