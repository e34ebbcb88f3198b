// SPDX-License-Identifier: MIT
// Samba's stream attributes and its record of Windows attributes, as smbd writes them.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "samba.h"
#include "samba_fold.h"

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

// The installed Samba's own comparison and case mapping, loaded at run time: the oracle the fold
// table is checked against. `missing` says why there is none.
struct SambaOracle {
    int (*strcasecmp_m)(const char*, const char*) = nullptr;
    int (*strncasecmp_m)(const char*, const char*, std::size_t) = nullptr;
    std::uint32_t (*toupper_m)(std::uint32_t) = nullptr;
    std::uint32_t (*tolower_m)(std::uint32_t) = nullptr;
    std::string missing;
};

template <typename Function>
void take(void* library, const char* name, Function& function, std::string& missing) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (!function && missing.empty()) missing = std::string("libsamba-util lacks ") + name;
}

const SambaOracle& samba_oracle() {
    static const SambaOracle oracle = [] {
        SambaOracle samba;
        void* library = dlopen("libsamba-util.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            samba.missing = std::string("no installed Samba to compare with (Debian: "
                                        "samba-libs): ") + dlerror();
            return samba;
        }
        take(library, "strcasecmp_m", samba.strcasecmp_m, samba.missing);
        take(library, "strncasecmp_m", samba.strncasecmp_m, samba.missing);
        take(library, "toupper_m", samba.toupper_m, samba.missing);
        take(library, "tolower_m", samba.tolower_m, samba.missing);
        return samba;
    }();
    return oracle;
}

// `code` in UTF-8; surrogates too, which Samba reads as they come.
std::string utf8(std::uint32_t code) {
    const auto byte = [](std::uint32_t value) { return static_cast<char>(value); };
    if (code < 0x80) return {byte(code)};
    if (code < 0x800) return {byte(0xC0 | code >> 6), byte(0x80 | (code & 0x3F))};
    if (code < 0x10000)
        return {byte(0xE0 | code >> 12), byte(0x80 | (code >> 6 & 0x3F)),
                byte(0x80 | (code & 0x3F))};
    return {byte(0xF0 | code >> 18), byte(0x80 | (code >> 12 & 0x3F)),
            byte(0x80 | (code >> 6 & 0x3F)), byte(0x80 | (code & 0x3F))};
}

// Counts the names that the fold and the installed Samba judge otherwise, reporting the first.
struct Disagreements {
    int count = 0;
    void operator()(const std::string& a, const std::string& b, bool ours, bool samba,
                    std::size_t characters = ALL_CHARACTERS) {
        if (ours == samba || ++count > 10) return;
        ADD_FAILURE() << testing::PrintToString(a) << " against " << testing::PrintToString(b)
                      << " over " << characters
                      << " characters: ours " << ours << ", Samba's " << samba;
    }
};

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
        // Samba's table: č Č, ǆ Ǆ, ա Ա, ａ Ａ, ⅰ Ⅰ, ⓐ Ⓐ, σ ς are one; ѐ Ѐ, ѝ Ѝ, ǅ ǆ are two.
        {"\xc4\x8d", "\xc4\x8c", true},
        {"\xc7\x86", "\xc7\x84", true},
        {"\xd5\xa1", "\xd4\xb1", true},
        {"\xef\xbd\x81", "\xef\xbc\xa1", true},
        {"\xe2\x85\xb0", "\xe2\x85\xa0", true},
        {"\xe2\x93\x90", "\xe2\x92\xb6", true},
        {"\xcf\x83", "\xcf\x82", true},
        {"\xd1\x90", "\xd0\x80", false},
        {"\xd1\x9d", "\xd0\x8d", false},
        {"\xc7\x85", "\xc7\x86", false},
        {"\xf4\x90\x80\x80", "\xf0\x90\x80\x80", true},  // past U+10FFFF, Samba keeps 20 bits
        {"\xff\xc3\xa9", "\xff\xc3\x89", false},         // after a stray byte, bytes
    };
    for (const auto& row : rows) EXPECT_EQ(same_stream_name(row.a, row.b), row.same) << row.a;

    for (const char* record : {"DOSATTRIB", "dosattrib", "Samba_Pai", "samba_streams",
                               "ORG.NETATALK.METADATA", "DosStream.note:$DATA", "dosstream.",
                               "DOSSTREAMEXT.1.note:$DATA", "DosStream.\xff"})
        EXPECT_TRUE(is_samba_record_name(record)) << record;
    for (const char* stream : {"DOSATTRIBS", "note", "DosStream", "DosStreamExt", "SAMBA_PAI.1",
                               "org.netatalk", "Do\xc5\xbftream.x", "Dos\xffStream.x"})
        EXPECT_FALSE(is_samba_record_name(stream)) << stream;
}

// Samba's table is all that decides whether two characters are one: both its mappings are checked
// for every code point of the plane, then strcasecmp_m for each code point against itself, its
// neighbours and every other code point its mappings put with it, and for every pair of the code
// points that the mappings move or reach.
TEST(SambaStreams, EachCharacterComparesAsTheInstalledSambaComparesIt) {
    const SambaOracle& samba = samba_oracle();
    if (!samba.missing.empty()) GTEST_SKIP() << samba.missing;
    std::vector<std::vector<std::uint32_t>> with_upper(0x10000), with_lower(0x10000);
    std::set<std::uint32_t> moved;
    std::vector<std::uint32_t> mapped_otherwise;
    for (std::uint32_t c = 0; c < 0x10000; ++c) {
        const std::uint32_t upper = samba.toupper_m(c), lower = samba.tolower_m(c);
        if (samba_upper_case(c) != upper || samba_lower_case(c) != lower)
            mapped_otherwise.push_back(c);
        if (upper < 0x10000) with_upper[upper].push_back(c);
        if (lower < 0x10000) with_lower[lower].push_back(c);
        if (upper != c || lower != c) moved.insert({c, upper, lower});
    }
    EXPECT_EQ(mapped_otherwise, std::vector<std::uint32_t>{});
    Disagreements differ;
    std::vector<std::string> text;
    for (std::uint32_t c = 0; c < 0x110000; c += c < 0x10000 ? 1 : 0xFF1) text.push_back(utf8(c));
    const auto compare = [&](std::uint32_t c, std::uint32_t d) {
        const std::string &a = text[c], &b = text[d];
        differ(a, b, same_stream_name(a, b), samba.strcasecmp_m(a.c_str(), b.c_str()) == 0);
    };
    for (std::uint32_t c = 1; c < 0x10000; ++c) {
        for (const std::uint32_t d : {c - 1, c, c + 1}) compare(c, d);
        for (const std::uint32_t d : with_upper[samba.toupper_m(c)]) compare(c, d);
        for (const std::uint32_t d : with_lower[samba.tolower_m(c)]) compare(c, d);
    }
    for (const std::uint32_t c : moved)
        for (const std::uint32_t d : moved) compare(c, d);
    // A sample past the plane, where Samba maps nothing.
    for (std::uint32_t c = 0xFFFF; c + 1 < text.size(); ++c) compare(c, c + 1);
    EXPECT_EQ(differ.count, 0);
    EXPECT_GT(moved.size(), 1000u);  // the plane's alphabets, not ASCII alone
}

// Bytes that are no UTF-8 to Samba (lone, cut short, overlong, or past four bytes) or that it
// reads in its own way (surrogates, code points past U+10FFFF), alone and before or after
// characters, compared whole and over the first few characters as strncasecmp_m compares them.
TEST(SambaStreams, BytesThatAreNoUtf8CompareAsTheInstalledSambaComparesThem) {
    const SambaOracle& samba = samba_oracle();
    if (!samba.missing.empty()) GTEST_SKIP() << samba.missing;
    const std::vector<int> some = {0x01, 0x41, 0x61, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf,
                                   0xc0, 0xc3, 0xe0, 0xf0, 0xff};
    std::vector<std::string> texts;
    for (int a = 1; a < 0x100; ++a) {
        texts.push_back({char(a)});
        for (int b = 1; b < 0x100; ++b) {
            texts.push_back({char(a), char(b)});
            for (const int c : some) {
                if (a >= 0xe0) texts.push_back({char(a), char(b), char(c)});
                for (const int d : some)
                    if (a >= 0xf0 && b % 16 == 0)
                        texts.push_back({char(a), char(b), char(c), char(d)});
            }
        }
    }
    Disagreements differ;
    const std::string small = "\xc3\xa9", capital = "\xc3\x89";  // é, É
    for (const std::string& x : texts)
        for (const auto& [a, b] : {std::pair{x + small, x + capital},
                                   std::pair{small + x + "note", capital + x + "NOTE"}}) {
            differ(a, b, same_stream_name(a, b), samba.strcasecmp_m(a.c_str(), b.c_str()) == 0);
            for (std::size_t n = 1; n <= 3; ++n)
                differ(a, b, samba_names_equal(a, b, n),
                       samba.strncasecmp_m(a.c_str(), b.c_str(), n) == 0, n);
        }
    // Samba keeps twenty bits of a code point past U+10FFFF: F4 90 80 80 is F0 90 80 80 to it.
    for (const std::string& x : texts)
        if (x.size() == 4 && static_cast<unsigned char>(x[0]) >= 0xf4) {
            const std::string y = char(x[0] - 4) + x.substr(1);
            differ(x, y, same_stream_name(x, y), samba.strcasecmp_m(x.c_str(), y.c_str()) == 0);
        }
    EXPECT_EQ(differ.count, 0);
}

}  // namespace
