// SPDX-License-Identifier: MIT
// A block put into the value in which a file server keeps a stream.
#include <gtest/gtest.h>

#include <string>

#include "stream_forms.h"

using namespace ostrakit;

TEST(StreamForms, ABlockChangesOnlyItsOwnBytesAndKeepsTheValuesForm) {
    const std::string NUL(1, '\0');
    using enum ValueForm;
    using enum Placing;
    const struct {
        std::string value;
        ValueForm form;
        std::size_t position;
        std::string block;
        Placing placing;
        std::string after;  // the value afterwards
    } rows[] = {
        {"abc", RAW, 0, "X", PLACED, "Xbc"}, {"", RAW, 0, "X", PLACED, "X"},
        {"ab" + NUL, RAW, 3, "c", PLACED, "ab" + NUL + "c"},
        {"abc" + NUL, SAMBA, 2, "XYZ", PLACED, "abXYZ" + NUL},
        // Changed by another writer since: cut short of the block, or without Samba's NUL.
        {"ab", RAW, 3, "X", CHANGED, "ab"}, {"abc", SAMBA, 0, "X", CHANGED, "abc"},
        {"", SAMBA, 0, "X", CHANGED, ""},
        // Room for 8 bytes: 8 of a raw stream, 7 and the NUL of Samba's.
        {"", RAW, 0, "0123456789", PLACED, "01234567"},
        {NUL, SAMBA, 0, "0123456789", PLACED, "0123456" + NUL},
        {"01234567", RAW, 8, "8", FULL, "01234567"},
        {"0123456" + NUL, SAMBA, 7, "7", FULL, "0123456" + NUL},
    };
    for (const auto& row : rows) {
        std::string room = row.value;
        room.resize(8);
        StreamValue value{reinterpret_cast<unsigned char*>(room.data()), room.size(),
                          row.value.size(), row.form};
        std::size_t taken = 0;
        const auto* block = reinterpret_cast<const unsigned char*>(row.block.data());
        EXPECT_EQ(place_block(value, row.position, block, row.block.size(), taken), row.placing)
            << row.after;
        EXPECT_EQ(room.substr(0, value.length), row.after);
    }
}
