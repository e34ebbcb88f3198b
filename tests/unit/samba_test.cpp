// SPDX-License-Identifier: MIT
// Samba's stream attributes and its record of Windows attributes, as smbd writes them.
#include <gtest/gtest.h>

#include <string>

#include "samba.h"

using namespace ostrakit;

namespace {

std::uint32_t attributes(const std::string& record) {
    return samba_dos_attributes(reinterpret_cast<const unsigned char*>(record.data()),
                                record.size());
}

// An NDR record of `version`: the string `hex`, then the version twice, then `fields`.
std::string ndr(const std::string& hex, char version, const std::string& fields) {
    std::string record = hex + '\0';
    if (record.size() % 2) record += '\0';
    record += std::string{version, '\0', version, '\0'};
    while (record.size() % 4) record += '\0';
    return record + fields;
}

const std::string TIME = std::string("\xa3\x01\xc7\x72\xf4\x86\xdd\x01", 8);

TEST(SambaRecord, EachFormSambaWritesIsRead) {
    const struct {
        const char* what;
        std::string record;
        std::uint32_t attributes;
    } rows[] = {
        // As smbd 4.17 wrote it after "setmode f.txt +r" and "-r".
        {"version 5, read-only", std::string("\0\0\5\0\5\0\0\0\x11\0\0\0\x21\0\0\0", 16) + TIME,
         0x21},
        {"version 5, cleared", std::string("\0\0\5\0\5\0\0\0\x11\0\0\0\x20\0\0\0", 16) + TIME,
         0x20},
        {"version 5, attributes not valid", ndr("", 5, std::string("\x10\0\0\0\x21\0\0\0", 8)),
         0},
        {"version 4", ndr("", 4, std::string("\x01\0\0\0\x01\0\0\0", 8) + TIME + TIME), 1},
        {"version 3", ndr("", 3, std::string("\x0f\0\0\0\x21\0\0\0", 8)), 0x21},
        {"version 2 has no valid flags", ndr("", 2, std::string("\0\0\0\0\x01\0\0\0", 8)), 1},
        {"version 1 begins with them", ndr("", 1, std::string("\x21\0\0\0", 4)), 0x21},
        // Samba 3's text, alone or at the head of a record.
        {"text", "0x21", 0x21},
        {"text in capitals", "0x1A", 0x1a},
        {"text, then a record", ndr("0x21", 3, std::string("\x0f\0\0\0\x20\0\0\0", 8)), 0x21},
        // What cannot be read holds no attribute.
        {"empty", "", 0},
        {"no digits", "0x", 0},
        {"version 6", ndr("", 6, std::string("\x01\0\0\0\x01\0\0\0", 8)), 0},
        {"versions that differ", std::string("\0\0\5\0\4\0\0\0\x11\0\0\0\x21\0\0\0", 16), 0},
        {"padding that is not zero", std::string("\0\0\5\0\5\0\xff\xff\x11\0\0\0\x21\0\0\0", 16),
         0x21},
        {"cut short before the attributes", std::string("\0\0\5\0\5\0\0\0\x11\0\0\0\x21", 13),
         0},
        {"no terminator", "attrib", 0},
    };
    for (const auto& row : rows) EXPECT_EQ(attributes(row.record), row.attributes) << row.what;
}

TEST(SambaStreams, NamesAreFoundAndComparedAsSmbClientsCompareThem) {
    EXPECT_EQ(samba_stream_name("user.DosStream.note:$DATA"), "note");
    EXPECT_EQ(samba_stream_name("user.DosStream.Zone.Identifier:$DATA"), "Zone.Identifier");
    for (const char* other : {"user.note", "user.DosStream.note", "user.DosStream.:$DATA",
                              "user.DOSATTRIB", "security.DosStream.note:$DATA"})
        EXPECT_EQ(samba_stream_name(other), "") << other;

    const struct {
        const char* a;
        const char* b;
        bool same;
    } rows[] = {
        {"note", "NOTE", true},
        {"Zone.Identifier", "zone.identifier", true},
        {"\xc3\xa9t\xc3\xa9", "\xc3\x89T\xc3\x89", true},      // été, ÉTÉ
        {"\xd0\xb6", "\xd0\x96", true},                        // ж, Ж
        {"\xcf\x82", "\xce\xa3", true},                        // final sigma
        {"\xc3\xbf", "\xc5\xb8", true},                        // ÿ, Ÿ
        {"note", "notes", false},
        {"note1", "note2", false},
        {"\xc3\x9f", "SS", false},                            // ß has no one-letter capital
        {"a\xff", "A\xff", true},                             // a stray byte matches itself
        {"\xff", "\xfe", false},
        {"\xc3", "\xc3\xa9", false},                          // a sequence cut short
        {"\xc1\xa1", "A", false},                            // an overlong form of "a"
        {"\xf4\x90\x82\x80", "\x80", false},                 // past U+10FFFF
        {"\xed\xa0\x80", "\xed\xa0\x80", true},              // a surrogate, byte for byte
    };
    for (const auto& row : rows) EXPECT_EQ(same_stream_name(row.a, row.b), row.same) << row.a;

    for (const char* record : {"DOSATTRIB", "DosStream.note:$DATA", "DosStream."})
        EXPECT_TRUE(is_samba_record_name(record)) << record;
    for (const char* stream : {"dosattrib", "DOSATTRIBS", "note", "DosStream"})
        EXPECT_FALSE(is_samba_record_name(stream)) << stream;
}

}  // namespace
