// SPDX-License-Identifier: MIT
// Full-path forming by both platforms' rules, and splitting of "file:stream[:type]".
#include <gtest/gtest.h>

#include <string>

#include "names.h"

using namespace ostrakit;

namespace {

// Runs the Windows finishing step on a buffer of `size` units holding "\\?\" + `resolved`.
std::u16string finish(const std::u16string& resolved, std::size_t size = 64) {
    std::u16string buffer(size, u'\0');
    buffer.replace(0, 4, u"\\\\?\\");
    buffer.replace(4, resolved.size(), resolved);
    if (!finish_extended_path(buffer.data(), size, resolved.size())) return u"<too long>";
    return buffer.substr(0, buffer.find(u'\0'));
}

std::string form(std::string_view cwd, std::string_view name, std::size_t capacity = 64) {
    char out[64];
    if (!form_full_path(cwd, name, out, capacity)) return "<too long>";
    return out;
}

std::string joined(const SplitName& split) {
    std::string name(split.file);
    if (split.has_stream) name.append(":").append(split.stream);
    if (split.has_type) name.append(":").append(split.type);
    return name;
}

// Walks `path` as the backend does and returns the pieces, "|" between them.
std::string pieces(std::string_view path, std::size_t limit) {
    std::string walked;
    for (;;) {
        const PathPiece piece = next_path_piece(path, limit);
        if (piece.head.empty()) return walked + std::string(piece.tail);
        walked.append(piece.head).append("|");
        path = piece.tail;
    }
}

}  // namespace

TEST(WindowsPaths, PrefixGoesInFrontOfLocalPaths) {
    EXPECT_EQ(finish(u"C:\\dir\\file:stream"), u"\\\\?\\C:\\dir\\file:stream");
}

TEST(WindowsPaths, NetworkPathsTakeTheUncForm) {
    EXPECT_EQ(finish(u"\\\\server\\share\\f:s"), u"\\\\?\\UNC\\server\\share\\f:s");
    // Exactly full: prefix, "UNC", the path less one backslash, the terminator.
    const std::u16string unc = u"\\\\s\\x";
    EXPECT_EQ(finish(unc, 4 + unc.size() + 2 + 1), u"\\\\?\\UNC\\s\\x");
    EXPECT_EQ(finish(unc, 4 + unc.size() + 2), u"<too long>");
}

TEST(WindowsPaths, AlreadyExtendedAndDeviceNamesAreNotPrefixedTwice) {
    EXPECT_EQ(finish(u"\\\\?\\C:\\f"), u"\\\\?\\C:\\f");
    EXPECT_EQ(finish(u"\\\\?\\UNC\\s\\x"), u"\\\\?\\UNC\\s\\x");
    EXPECT_EQ(finish(u"\\\\.\\COM1"), u"\\\\?\\\\\\.\\COM1");
    EXPECT_TRUE(has_extended_prefix(u"\\\\?\\", 4));
    EXPECT_FALSE(has_extended_prefix(u"\\\\?\\", 3));
    EXPECT_FALSE(has_extended_prefix(u"\\\\.\\x", 5));
}

TEST(PosixPaths, RelativeNamesGetTheCurrentDirectoryAndNothingIsFolded) {
    EXPECT_EQ(form("/home/u", "f:s"), "/home/u/f:s");
    EXPECT_EQ(form("/home/u", "link/../x"), "/home/u/link/../x");
    EXPECT_EQ(form("/", "f"), "/f");
    EXPECT_EQ(form("/home/u", "/abs/./f"), "/abs/./f");
    EXPECT_EQ(form("/home/u", "-rf"), "/home/u/-rf");
    EXPECT_EQ(form("/d", "\xff\xfe"), "/d/\xff\xfe");
}

TEST(PosixPaths, CapacityCountsTheTerminator) {
    EXPECT_EQ(form("/d", "abc", 7), "/d/abc");
    EXPECT_EQ(form("/d", "abcd", 7), "<too long>");
    EXPECT_EQ(form("/ignored", "/abcde", 7), "/abcde");
    EXPECT_EQ(form("/ignored", "/abcdef", 7), "<too long>");
    EXPECT_EQ(form("/d", "", 1), "<too long>");
}

TEST(StreamNames, SplitAtTheFirstColonOfTheLastComponent) {
    struct Case {
        const char* name;
        NameKind kind;
        const char *file, *stream;
    };
    const Case cases[] = {
        {"/d/f", NameKind::FILE_ITSELF, "/d/f", ""},
        {"/d/f:s", NameKind::NAMED_STREAM, "/d/f", "s"},
        {"/d/f:Zone.Identifier:$DATA", NameKind::NAMED_STREAM, "/d/f", "Zone.Identifier"},
        {"/d/f:s:$data", NameKind::NAMED_STREAM, "/d/f", "s"},
        {"/d/f::$DATA", NameKind::FILE_ITSELF, "/d/f", ""},
        {"/d:x/f", NameKind::FILE_ITSELF, "/d:x/f", ""},
        {"/d:x/f:s", NameKind::NAMED_STREAM, "/d:x/f", "s"},
        {"/d/:s", NameKind::NAMED_STREAM, "/d/", "s"},
        {"/d/f:", NameKind::INVALID, "/d/f", ""},
        {"/d/f::", NameKind::INVALID, "/d/f", ""},
        {"/d/f:s:", NameKind::INVALID, "/d/f", "s"},
        {"/d/f:s:$DATA:x", NameKind::INVALID, "/d/f", "s"},
        {"/d/f:s:$INDEX_ALLOCATION", NameKind::INVALID, "/d/f", "s"},
    };
    for (const Case& c : cases) {
        const SplitName split = split_stream_name(c.name);
        EXPECT_EQ(split.kind, c.kind) << c.name;
        EXPECT_EQ(split.file, c.file) << c.name;
        EXPECT_EQ(split.stream, c.stream) << c.name;
        EXPECT_EQ(joined(split), c.name);
    }
}

TEST(LongPosixPaths, LongPathsSplitAtTheLastSlashThatFits) {
    struct Case {
        const char* path;
        std::size_t limit;
        const char* pieces;
    };
    const Case cases[] = {
        {"/a/b", 8, "/a/b"},  // short enough for one call
        {"/aaa/bbb/ccc", 8, "/aaa|bbb/ccc"},
        {"a/b/c/d/e/f", 4, "a/b|c/d|e/f"},
        {"1234567/1234567/x", 8, "1234567|1234567|x"},
        // Nothing is folded: ".." is looked up from wherever the kernel took "/link".
        {"/link/../x/y", 8, "/link|../x/y"},
        {"/link/../x/y", 9, "/link/..|x/y"},
        // Slash runs, the root, and a component too long for any piece (refused whole).
        {"/aaaaaaaaaa/b", 8, "/|aaaaaaaaaa/b"},
        {"aaaa//bbbb", 8, "aaaa/|bbbb"},
        {"//aaaaaa/bb", 8, "/|aaaaaa|bb"},
        {"aaaaaaaaaaaa", 8, "aaaaaaaaaaaa"},
        {"////////", 8, "////////"},
        {"/aaa/bbb", 0, "/aaa/bbb"},
        // A trailing slash stays with the last component, where it says "a directory".
        {"/aa/bb//////", 8, "/aa|bb//////"},
    };
    for (const Case& c : cases) EXPECT_EQ(pieces(c.path, c.limit), c.pieces) << c.path;
}

TEST(LongPosixPaths, EveryPieceFitsAndThePiecesGiveThePathBack) {
    // Components of every length from 1 to 9 bytes, with single and double slashes.
    std::string path;
    for (std::size_t i = 0; path.size() < 400; ++i)
        path.append(i % 7 == 3 ? "//" : "/").append(1 + i % 9, static_cast<char>('a' + i % 26));
    for (std::size_t limit = 11; limit < 40; ++limit) {
        std::string_view rest = path;
        std::string rebuilt;
        for (PathPiece piece = next_path_piece(rest, limit); !piece.head.empty();
             piece = next_path_piece(rest, limit)) {
            EXPECT_LT(piece.head.size(), limit);
            ASSERT_FALSE(piece.tail.empty());
            ASSERT_NE(piece.tail.front(), '/');
            ASSERT_EQ(piece.head, rest.substr(0, piece.head.size()));
            const std::size_t tail_at = rest.size() - piece.tail.size();
            rebuilt.append(rest.substr(0, tail_at));
            EXPECT_EQ(rest.substr(piece.head.size(), tail_at - piece.head.size())
                          .find_first_not_of('/'),
                      std::string_view::npos);
            rest = piece.tail;
        }
        EXPECT_LT(rest.size(), limit);
        EXPECT_EQ(rebuilt + std::string(rest), path);
    }
}
