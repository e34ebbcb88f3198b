// SPDX-License-Identifier: MIT
// Samba's stream attributes and its record of Windows attributes, as smbd writes them, and a
// block put into the value in which a file server keeps a stream.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "samba.h"
#include "samba_fold.h"
#include "samba_record.h"
#include "stream_forms.h"
#include "stream_forms.h"

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

// A symbol of a library loaded at run time, taken as the function pointer it is given to.
struct Symbol {
    void* address;
    template <typename Function> operator Function*() const {
        return reinterpret_cast<Function*>(address);
    }
};

// The installed Samba's comparison and case mapping: the oracle of the fold table. `missing`
// says why there is none.
struct SambaOracle {
    int (*strcasecmp_m)(const char*, const char*) = nullptr;
    int (*strncasecmp_m)(const char*, const char*, std::size_t) = nullptr;
    std::uint32_t (*toupper_m)(std::uint32_t) = nullptr;
    std::uint32_t (*tolower_m)(std::uint32_t) = nullptr;
    std::string missing;
};

const SambaOracle& samba_oracle() {
    static const SambaOracle oracle = [] {
        void* const library = dlopen("libsamba-util.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library) return SambaOracle{.missing = std::string("no installed Samba (Debian: "
                                                                "samba-libs): ") + dlerror()};
        const auto find = [library](const char* name) { return Symbol{dlsym(library, name)}; };
        SambaOracle samba{find("strcasecmp_m"), find("strncasecmp_m"), find("toupper_m"),
                          find("tolower_m"), ""};
        if (!samba.strcasecmp_m || !samba.strncasecmp_m || !samba.toupper_m || !samba.tolower_m)
            samba.missing = "libsamba-util lacks a case function";
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

// A version's fields: a word of flags (none in version 1), the attributes, then zeros to the
// version's length; version 2 ends with the name "n".
std::string fields(char version, std::uint32_t flags, std::uint32_t attributes) {
    const std::size_t length[] = {0, 40, 52, 44, 24, 16};
    std::string bytes;
    for (const std::uint32_t word : {flags, attributes})
        for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(word >> shift);
    if (version == 1) bytes.erase(0, 4);
    bytes.resize(length[static_cast<int>(version)], '\0');
    return version == 2 ? bytes + "n" : bytes;
}

const std::string TIME = std::string("\xa3\x01\xc7\x72\xf4\x86\xdd\x01", 8);
// As smbd 4.17 wrote it after "setmode f.txt +r".
const std::string SMBD_READ_ONLY = std::string("\0\0\5\0\5\0\0\0\x11\0\0\0\x21\0\0\0", 16) + TIME;

TEST(SambaRecord, EachFormSambaWritesIsRead) {
    const struct {
        const char* what;
        std::string record;
        std::uint32_t attributes;
    } rows[] = {
        {"version 5, read-only", SMBD_READ_ONLY, 0x21},
        {"version 5, cleared", std::string("\0\0\5\0\5\0\0\0\x11\0\0\0\x20\0\0\0", 16) + TIME,
         0x20},
        {"version 5, flags say nothing", ndr("", 5, fields(5, 0x10, 0x21)), 0x21},
        {"version 4", ndr("", 4, fields(4, 1, 1)), 1},
        {"version 3", ndr("", 3, fields(3, 0xf, 0x21)), 0x21},
        {"version 2", ndr("", 2, fields(2, 0, 1)), 1},
        {"version 1 begins with them", ndr("", 1, fields(1, 0, 0x21)), 0x21},
        {"padding that is not zero", std::string("\0\0\5\0\5\0\xff\xff\x11\0\0\0\x21\0\0\0", 16)
                                         + TIME, 0x21},
        // Samba 3's text, read only when nothing follows it, as sscanf("%x") reads it.
        {"text", "0x21", 0x21},
        {"text in capitals", std::string("0X1A\0", 5), 0x1a},
        {"text without 0x", std::string("1\0", 2), 1},
        {"text after blanks, without a NUL", " 1", 1},
        {"text past 32 bits", std::string("0x100000001\0", 12), 1},
        {"text with a sign", "-2", 0xFFFFFFFE},
        {"text without a number", std::string("\0", 1), UNDEFINED_ATTRIBUTES},
        {"text followed by a record", ndr("0x0", 5, fields(5, 0x11, 0x21)), 0x21},
        {"text followed by a record of none", ndr("0xf", 5, fields(5, 0x11, 0x20)), 0x20},
        // What Samba rejects holds no attribute.
        {"empty", "", 0},
        {"version 5 cut short", SMBD_READ_ONLY.substr(0, 23), 0},
        {"version 2, a name not UTF-8", ndr("", 2, fields(2, 0, 1) + "\xff"), 0},
        {"version 6", ndr("", 6, fields(5, 1, 1)), 0},
        {"versions that differ", std::string("\0\0\5\0\4\0\0\0", 8) + fields(5, 1, 1), 0},
    };
    for (const auto& row : rows) EXPECT_EQ(attributes(row.record), row.attributes) << row.what;
}

// Samba's own reading: its NDR pull with smbd's default character sets (CP850, UTF-8), then
// parse_dos_attribute_blob's choice of fields by version. Empty without the libraries.
std::function<std::uint32_t(const std::string&)> samba_reading() {
    void* library = nullptr;
    for (const char* directory : {"/usr/lib/x86_64-linux-gnu/samba", "/usr/lib64/samba",
                                  "/usr/lib/aarch64-linux-gnu/samba", "/usr/lib/samba"})
        if (!library)
            library = dlopen((std::string(directory) + "/libndr-samba-samba4.so.0").c_str(),
                             RTLD_NOW | RTLD_LOCAL);
    const auto find = [library](const char* name) {
        return Symbol{library ? dlsym(library, name) : nullptr};
    };
    int (*const pull_blob)(const void*, void*, void*, void*) = find("ndr_pull_struct_blob");
    void* (*const memory)(const void*, std::size_t, const char*) = find("talloc_named_const");
    int (*const release)(void*, const char*) = find("_talloc_free");
    void* (*const charsets)(void*, const char*, const char*) = find("reinit_iconv_handle");
    void* const pull = find("ndr_pull_xattr_DOSATTRIB").address;
    if (!pull_blob || !memory || !release || !pull || !charsets ||
        !charsets(nullptr, "CP850", "UTF-8"))
        return {};
    return [=](const std::string& record) -> std::uint32_t {
        const struct { const char* data; std::size_t length; } blob{record.data(), record.size()};
        // As Samba's generated header lays out xattr_DOSATTRIB: the text, the version, then the
        // union of fields at eight bytes.
        struct {
            const char* hex;
            std::uint16_t version;
            alignas(8) std::uint32_t fields[32];
        } pulled{};
        void* const context = memory(nullptr, 0, "record");
        const bool read = pull_blob(&blob, context, &pulled, pull) == 0;
        const bool text = read && pulled.version == 0xFFFF;
        unsigned int number = 0;
        const bool undefined = text && std::sscanf(pulled.hex, "%x", &number) != 1;
        release(context, "record");
        if (!read || pulled.version < 1 || (pulled.version > 5 && !text)) return 0;
        if (undefined) return UNDEFINED_ATTRIBUTES;
        return pulled.fields[text || pulled.version == 1 ? 0 : 1];
    };
}

// Each record cut at every length, and each of its bytes set to other values in turn.
std::vector<std::string> mutations(const std::string& record) {
    std::vector<std::string> all;
    for (std::size_t length = 0; length <= record.size(); ++length)
        all.push_back(record.substr(0, length));
    for (std::size_t at = 0; at < record.size(); ++at)
        for (const int value : {0x00, 0x01, 0x0f, 0x10, 0x20, 0x2d, 0x30, 0x58, 0x78, 0x80,
                                0xa0, 0xc3, 0xf4, 0xfe, 0xff}) {
            std::string changed = record;
            changed[at] = static_cast<char>(value);
            all.push_back(changed);
        }
    return all;
}

TEST(SambaRecord, IsReadAsTheInstalledSambaReadsIt) {
    const auto samba = samba_reading();
    if (!samba)
        GTEST_SKIP() << "Samba's libndr-samba-samba4.so.0 cannot be loaded (Debian: samba-libs)";
    const std::string records[] = {
        SMBD_READ_ONLY, ndr("0x0", 5, fields(5, 0x11, 0x21)), ndr("0xf", 5, fields(5, 0x11, 0x20)),
        ndr("", 4, fields(4, 1, 1)), ndr("", 3, fields(3, 0xf, 0x21)),
        ndr("", 2, fields(2, 0, 1) + "\xc3\xa9\xed\x9f\xbf\xf0\x9f\x98\x80\0"),
        ndr("", 1, fields(1, 0, 0x21)),
        std::string("0x21\0", 5), std::string("1\0", 2), " 1", std::string("0x100000001\0", 12),
        " \t-0X7fffffff", "+0x1ffffffffffffffff",
    };
    std::size_t compared = 0;
    for (const std::string& record : records)
        for (const std::string& changed : mutations(record)) {
            ++compared;
            EXPECT_EQ(attributes(changed), samba(changed))
                << testing::PrintToString(changed);
        }
    std::printf("%zu records compared with Samba's reading\n", compared);
}

TEST(SambaStreams, NamesAreFoundAndComparedAsSmbClientsCompareThem) {
    EXPECT_EQ(samba_stream_name("user.DosStream.note:$DATA"), "note");
    EXPECT_EQ(samba_stream_name("user.DosStream.Zone.Identifier:$DATA"), "Zone.Identifier");
    for (const char* other : {"user.note", "user.DosStream.note", "user.DosStream.:$DATA",
                              "user.DOSATTRIB", "security.DosStream.note:$DATA"})
        EXPECT_EQ(samba_stream_name(other), "") << other;
    // The kernel's list: a name that holds no stream, or a piece of one, is passed over.
    constexpr char LIST[] = "user.note\0user.DosStreamExt.0.NOTE:$DATA\0user.DosStream.NOTE:$DATA"
                            "\0user.DosStream.\xc4\x8d:$DATA";
    const std::string_view list(LIST, sizeof LIST - 1);
    EXPECT_EQ(find_samba_stream(list, "note"), "user.DosStream.NOTE:$DATA");
    EXPECT_EQ(find_samba_stream(list, "\xc4\x8c"), "user.DosStream.\xc4\x8d:$DATA");  // č, Č
    EXPECT_EQ(find_samba_stream(list, "other"), "");

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
        {"\xc4\x8d", "\xc4\x8c", true}, {"\xc7\x86", "\xc7\x84", true},
        {"\xd5\xa1", "\xd4\xb1", true}, {"\xef\xbd\x81", "\xef\xbc\xa1", true},
        {"\xe2\x85\xb0", "\xe2\x85\xa0", true}, {"\xe2\x93\x90", "\xe2\x92\xb6", true},
        {"\xcf\x83", "\xcf\x82", true}, {"\xd1\x90", "\xd0\x80", false},
        {"\xd1\x9d", "\xd0\x8d", false}, {"\xc7\x85", "\xc7\x86", false},
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

// Samba's table alone decides whether two characters are one: its mappings for the whole plane,
// then strcasecmp_m for each code point against its neighbours and all its mappings put with it.
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

// Bytes that are no UTF-8 to Samba, or that it reads its own way (surrogates, past U+10FFFF),
// before and after characters, compared whole and as strncasecmp_m compares the first few.
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
