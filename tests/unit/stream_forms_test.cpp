// SPDX-License-Identifier: MIT
// The forms in which file servers keep a stream's value, and a block put into one.
#include <gtest/gtest.h>

#include <string>

#include "stream_forms.h"

using namespace ostrakit;

namespace {

const unsigned char* bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

TEST(StreamForms, NamesAndFormsAreTheServers) {
    char name[40];
    ASSERT_TRUE(form_server_attribute("note", name, sizeof name));
    EXPECT_STREQ(name, "user.DosStream.note:$DATA");
    ASSERT_TRUE(form_piece_attribute("note", 12, name, sizeof name));
    EXPECT_STREQ(name, "user.DosStreamExt.12.note:$DATA");
    // The terminator needs its byte too.
    EXPECT_TRUE(form_server_attribute(std::string(18, 'n'), name, sizeof name));
    EXPECT_FALSE(form_server_attribute(std::string(19, 'n'), name, sizeof name));
    EXPECT_TRUE(form_piece_attribute(std::string(13, 'n'), 1, name, sizeof name));
    EXPECT_FALSE(form_piece_attribute(std::string(14, 'n'), 1, name, sizeof name));

    const struct {
        std::string value;
        ValueForm form;
        bool pieces;
    } rows[] = {
        {std::string("abc\0", 4), ValueForm::SAMBA, false},
        {std::string("\0", 1), ValueForm::SAMBA, false},
        {"abc", ValueForm::RAW, true},
        {"", ValueForm::RAW, false},
        {"ab\x02", ValueForm::RAW, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(value_form(bytes(row.value), row.value.size()), row.form) << row.value;
        EXPECT_EQ(may_have_pieces(bytes(row.value), row.value.size()), row.pieces) << row.value;
    }
}

TEST(StreamForms, ABlockChangesOnlyItsOwnBytesAndKeepsTheForm) {
    const std::string NUL(1, '\0');
    const struct {
        const char* what;
        std::string value;
        ValueForm form;
        std::size_t position;
        std::string block;
        Placing placing;
        std::string after;
        std::size_t taken;
    } rows[] = {
        {"raw, inside", "abc", ValueForm::RAW, 0, "X", Placing::PLACED, "Xbc", 1},
        {"raw, empty", "", ValueForm::RAW, 0, "X", Placing::PLACED, "X", 1},
        {"raw that ends in NUL", "ab" + NUL, ValueForm::RAW, 3, "c", Placing::PLACED,
         "ab" + NUL + "c", 1},
        {"Samba's, inside", "abc" + NUL, ValueForm::SAMBA, 1, "X", Placing::PLACED,
         "aXc" + NUL, 1},
        {"Samba's, longer", "abc" + NUL, ValueForm::SAMBA, 2, "XYZ", Placing::PLACED,
         "abXYZ" + NUL, 3},
        {"Samba's, at the end", NUL, ValueForm::SAMBA, 0, "X", Placing::PLACED, "X" + NUL, 1},
        {"shortened below the block", "ab", ValueForm::RAW, 3, "X", Placing::CHANGED, "ab", 0},
        {"lost Samba's NUL", "abc", ValueForm::SAMBA, 0, "X", Placing::CHANGED, "abc", 0},
        {"emptied under Samba's form", "", ValueForm::SAMBA, 0, "X", Placing::CHANGED, "", 0},
    };
    for (const auto& row : rows) {
        std::string room = row.value;
        room.resize(16);
        StreamValue value{reinterpret_cast<unsigned char*>(room.data()), room.size(),
                          row.value.size(), row.form};
        std::size_t taken = 0;
        EXPECT_EQ(place_block(value, row.position, bytes(row.block), row.block.size(), taken),
                  row.placing)
            << row.what;
        EXPECT_EQ(room.substr(0, value.length), row.after) << row.what;
        EXPECT_EQ(taken, row.taken) << row.what;
    }
}

TEST(StreamForms, ARawValueHoldsOneByteMoreThanSambas) {
    for (const ValueForm form : {ValueForm::RAW, ValueForm::SAMBA}) {
        const std::size_t room = form == ValueForm::RAW ? 8 : 7;
        std::string bytes_(8, '\0');
        StreamValue value{reinterpret_cast<unsigned char*>(bytes_.data()), 8,
                          form == ValueForm::RAW ? 0u : 1u, form};
        std::size_t taken = 0;
        EXPECT_EQ(place_block(value, 0, bytes("0123456789"), 10, taken), Placing::PLACED);
        EXPECT_EQ(taken, room);
        EXPECT_EQ(value.length, 8u);
        EXPECT_EQ(place_block(value, room, bytes("9"), 1, taken), Placing::FULL);
    }
}

}  // namespace
