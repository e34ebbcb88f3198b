// SPDX-License-Identifier: MIT
// ostrapour end to end, and the usage screen of both tools: exact bytes in the target, on
// standard error, and in the status.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "harness.h"

using namespace e2e;

namespace {

void expect_failure(const Result& result, const std::string& operation, int code) {
    e2e::expect_failure(result, "ostrapour", operation, code);
}

const std::string NUL(1, '\0');

}  // namespace

TEST(Usage, WrongArgumentCountPrintsUsageAndTouchesNothing) {
    ScratchDir dir;
    write_file(dir / "a", "keep");
    write_file(dir / "b", "");
    for (const auto& [tool, program] : {std::pair{"ostrapour", pour_path()},
                                        std::pair{"ostraprune", prune_path()}}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{}, {dir / "a", dir / "b"}, {dir / "a", "x", "y"}}) {
            const Result result = run(program, {.args = args, .bytes = "data"});
            EXPECT_TRUE(result.exited) << tool;
            EXPECT_EQ(result.status, 1) << tool;
            EXPECT_EQ(result.error, usage(tool, invoked_name(program)));
            EXPECT_EQ(result.output, "") << tool;
        }
        if (!windows_target()) {  // the Windows build's renamed copies: WindowsBuild tests
            EXPECT_EQ(run(program, {.argv0 = "some\xff-name"}).error, usage(tool, "some\xff-name"));
        }
    }
    EXPECT_EQ(read_file(dir / "a"), "keep");
    EXPECT_TRUE(exists(dir / "b"));
}

TEST(PourFile, OverwritesInPlaceWithoutShortening) {
    ScratchDir dir;
    const std::string original(100, 'o');
    write_file(dir / "f", original);
    expect_success(pour(dir / "f", "0123456789"));
    EXPECT_EQ(read_file(dir / "f"), "0123456789" + original.substr(10));

    expect_success(pour(dir / "f", ""));
    EXPECT_EQ(read_file(dir / "f"), "0123456789" + original.substr(10));

    const std::string longer(300, 'L');
    expect_success(pour(dir / "f", longer));
    EXPECT_EQ(read_file(dir / "f"), longer);
}

TEST(PourFile, CopiesMegabytesOfBinaryThroughAPipeExactly) {
    ScratchDir dir;
    const std::string bytes = binary_bytes(3 * 1024 * 1024 + 17);
    write_file(dir / "f", "");
    expect_success(pour(dir / "f", bytes));
    EXPECT_EQ(read_file(dir / "f"), bytes);
}

TEST(PourFile, CopiesFromARedirectedFile) {
    ScratchDir dir;
    const std::string bytes = binary_bytes(257);
    write_file(dir / "in", bytes);
    write_file(dir / "f", "x");
    const Result result = run(pour_path(), {.args = {dir / "f"}, .input = Input::FILE,
                                            .path = dir / "in"});
    expect_success(result);
    EXPECT_EQ(result.input_consumed, 257);
    EXPECT_EQ(read_file(dir / "f"), bytes);
}

TEST(PourFile, RelativeNamesAndSwitchLikeNamesResolveAgainstTheCurrentDirectory) {
    ScratchDir dir;
    write_file(dir / "-rf", "......");
    expect_success(pour("-rf", "ab", dir.path()));
    EXPECT_EQ(read_file(dir / "-rf"), "ab....");
    if (windows_target()) return;  // Linux names need not be text; Wine's must be UTF-8
    write_file(dir / "n\xe9\xff", "......");
    expect_success(pour("./n\xe9\xff", "cd", dir.path()));
    EXPECT_EQ(read_file(dir / "n\xe9\xff"), "cd....");
    // No file part at all: a stream of the current directory.
    set_stream(dir.path(), "s", "......");
    expect_success(pour(":s", "ef", dir.path()));
    EXPECT_EQ(read_stream(dir.path(), "s"), "ef....");
}

// A directory opened as itself is refused as Windows refuses it without backup semantics
// (which the Windows build needs for a directory's streams), before any input is read.
TEST(PourFile, MissingTargetOrADirectoryIsNeitherCreatedNorFedAnyInput) {
    ScratchDir dir;
    write_file(dir / "in", "input");
    for (const auto& [target, code] : {std::pair{dir / "absent", ENOENT}, {dir.path(), EISDIR}})
        for (const std::string& input : {dir / "in", std::string("/dev/null")}) {
            const Result result = run(pour_path(), {.args = {target}, .input = Input::FILE,
                                                    .path = input});
            expect_failure(result, "CreateFile", code);
            EXPECT_EQ(result.input_consumed, 0);
        }
    EXPECT_FALSE(exists(dir / "absent"));
}

// Linux build only: owner-write bit and streams as extended attributes.
LINUX_BUILD_TEST(PourFile, RefusesReadOnlyFilesEvenForTheAdministrator) {
    ScratchDir dir;
    write_file(dir / "ro", "original");
    set_stream(dir / "ro", "s", "value");
    chmod((dir / "ro").c_str(), 0444);
    expect_failure(pour(dir / "ro", "new"), "CreateFile", EACCES);
    expect_failure(pour(dir / "ro:s", "new"), "CreateFile", EACCES);
    EXPECT_EQ(read_file(dir / "ro"), "original");
    EXPECT_EQ(read_stream(dir / "ro", "s"), "value");
}

// Linux build only: flock.
LINUX_BUILD_TEST(PourFile, ATargetSomeoneElseHoldsIsRefusedAtTheOpen) {
    ScratchDir dir;
    write_file(dir / "held", "original");
    set_stream(dir / "held", "s", "value");
    const int holder = open((dir / "held").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    expect_failure(pour(dir / "held", "new"), "CreateFile", EBUSY);
    expect_failure(pour(dir / "held:s", "new"), "CreateFile", EBUSY);
    close(holder);
    EXPECT_EQ(read_file(dir / "held"), "original");
    EXPECT_EQ(read_stream(dir / "held", "s"), "value");
}

// Linux build only: a directory as input, closed descriptors and /dev/full.
LINUX_BUILD_TEST(PourFailures, ReadAndWriteFailuresAreReportedWithStatusOne) {
    ScratchDir dir;
    write_file(dir / "f", "original");
    expect_failure(run(pour_path(), {.args = {dir / "f"}, .input = Input::FILE,
                                     .path = dir.path()}),
                   "ReadFile", EISDIR);
    expect_failure(run(pour_path(), {.args = {dir / "f"}, .input = Input::CLOSED}), "ReadFile",
                   EBADF);
    EXPECT_EQ(read_file(dir / "f"), "original");
    expect_failure(pour("/dev/full", "data"), "WriteFile", ENOSPC);
}

// Linux build only: streams as extended attributes; NtfsStreams covers both builds.
LINUX_BUILD_TEST(PourStream, WritesOneStreamAndLeavesTheRestAlone) {
    ScratchDir dir;
    write_file(dir / "f", "main content");
    set_stream(dir / "f", "s", "0123456789");
    set_stream(dir / "f", "other", "untouched");
    expect_success(pour(dir / "f:s", "abc"));
    EXPECT_EQ(read_stream(dir / "f", "s"), "abc3456789");
    expect_success(pour(dir / "f:s:$DATA", "ABCDEFGHIJKLMNOP"));
    EXPECT_EQ(read_stream(dir / "f", "s"), "ABCDEFGHIJKLMNOP");
    expect_success(pour(dir / "f:s", ""));
    EXPECT_EQ(read_stream(dir / "f", "s"), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(read_stream(dir / "f", "other"), "untouched");
    EXPECT_EQ(read_file(dir / "f"), "main content");

    expect_success(pour(dir / "f::$DATA", "MAIN"));
    EXPECT_EQ(read_file(dir / "f"), "MAIN content");
}

// Linux build only: streams as extended attributes; NtfsStreams covers both builds.
LINUX_BUILD_TEST(PourStream, BinaryStreamOfSeveralBlocks) {
    ScratchDir dir;
    const std::string bytes = binary_bytes(3000);
    write_file(dir / "f", "");
    set_stream(dir / "f", "bin", "");
    expect_success(pour(dir / "f:bin", bytes));
    EXPECT_EQ(read_stream(dir / "f", "bin"), bytes);
}

// Linux build only: streams as extended attributes; NtfsStreams covers both builds.
LINUX_BUILD_TEST(PourStream, DirectoriesHaveWritableStreams) {
    ScratchDir dir;
    set_stream(dir.path(), "tag", "old!");
    expect_success(pour(dir.path() + ":tag", "new"));
    EXPECT_EQ(read_stream(dir.path(), "tag"), "new!");
}

// Linux build only: streams as extended attributes; NtfsStreams covers both builds.
LINUX_BUILD_TEST(PourStream, MissingOrMalformedStreamsAreRefusedAtTheOpen) {
    ScratchDir dir;
    write_file(dir / "f", "main");
    write_file(dir / "in", "input");
    const Result missing = run(pour_path(), {.args = {dir / "f:absent"}, .input = Input::FILE,
                                             .path = dir / "in"});
    expect_failure(missing, "CreateFile", ENOENT);
    EXPECT_EQ(missing.input_consumed, 0);
    EXPECT_FALSE(has_stream(dir / "f", "absent"));
    for (const char* name : {"f:", "f::", "f:s:$INDEX_ALLOCATION", "f:s:$DATA:x"})
        expect_failure(pour(dir / name, "x"), "CreateFile", EINVAL);
    expect_failure(pour(dir / "f:" + std::string(251, 'n'), "x"), "CreateFile", ENAMETOOLONG);
    EXPECT_EQ(read_file(dir / "f"), "main");
}

// Linux build only: a stream removed meanwhile; Windows shares no stream open for writing.
LINUX_BUILD_TEST(PourStream, AStreamRemovedWhileItIsWrittenIsNeverCreatedAgain) {
    ScratchDir dir;
    write_file(dir / "f", "main");
    set_stream(dir / "f", "s", "");
    int input[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    Child pouring(pour_path(), {.args = {dir / "f:s"}, .setup = [&] {
        dup2(input[0], STDIN_FILENO);
    }});
    close(input[0]);
    ASSERT_EQ(write(input[1], "first", 5), 5);
    for (int waited = 0; waited < 5000 && read_stream(dir / "f", "s").empty(); ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(read_stream(dir / "f", "s"), "first");
    ASSERT_EQ(removexattr((dir / "f").c_str(), "user.s"), 0);
    ASSERT_EQ(write(input[1], "second", 6), 6);
    close(input[1]);
    expect_failure(pouring.wait(), "WriteFile", ENOENT);
    EXPECT_FALSE(has_stream(dir / "f", "s"));
    EXPECT_EQ(read_file(dir / "f"), "main");
}

// Linux build only: the attributes in which file servers keep streams.
LINUX_BUILD_TEST(PourStream, AServersStreamIsWrittenAsItsServerKeepsIt) {
    ScratchDir dir;
    write_file(dir / "in", "X");
    const Attributes two = {{"DosStream.note:$DATA", "lower" + NUL},
                            {"DosStream.NOTE:$DATA", "UPPER" + NUL}};
    const Attributes pieces = {{"DosStream.big:$DATA", "ab\x01"},
                               {"DosStreamExt.1.big:$DATA", "cd" + NUL}};
    const Attributes from_0 = {{"DosStream.big:$DATA", "ab\x01"},
                               {"DosStreamExt.0.big:$DATA", "c"}};
    const Attributes depot = {{"SAMBA_STREAMS", "1"}, {"DosStream.note:$DATA", "kept" + NUL}};
    const AttributeRow rows[] = {
        // Samba tries the exact name first: names that differ in case are two streams.
        {"exact lower", two, "note", 0,
         {{"DosStream.note:$DATA", "Xower" + NUL}, {"DosStream.NOTE:$DATA", "UPPER" + NUL}}},
        {"exact upper", two, "NOTE", 0,
         {{"DosStream.note:$DATA", "lower" + NUL}, {"DosStream.NOTE:$DATA", "XPPER" + NUL}}},
        // ksmbd keeps the bytes alone, and an empty stream as an empty value.
        {"raw", {{"DosStream.raw:$DATA", "abc"}}, "raw", 0, {{"DosStream.raw:$DATA", "Xbc"}}},
        {"raw, empty", {{"DosStream.raw:$DATA", ""}}, "raw", 0, {{"DosStream.raw:$DATA", "X"}}},
        {"raw, one byte", {{"DosStream.raw:$DATA", "a"}}, "raw", 0, {{"DosStream.raw:$DATA", "X"}}},
        // Samba 4.24 counts further pieces in the first one's last byte.
        {"pieces", pieces, "big", EOPNOTSUPP, pieces},
        {"pieces from 0", from_0, "big", EOPNOTSUPP, from_0},
        {"pieces, the name in other case", pieces, "BIG", EOPNOTSUPP, pieces},
        // vfs_streams_depot keeps a marked file's streams as files elsewhere.
        {"depot", depot, "note", EOPNOTSUPP, depot},
    };
    for (const auto& row : rows) {
        make_main_with(dir / "f", row.before);
        const std::string target = dir / "f:" + row.stream;
        if (row.code == 0)
            expect_success(pour(target, "X"), row.what);
        else
            expect_pour_refused(target, dir / "in", "CreateFile", row.code, row.what);
        EXPECT_EQ(attributes_of(dir / "f"), row.after) << row.what;
    }
}

// Linux build only: tmpfs keeps more attribute names than the kernel hands out at once.
LINUX_BUILD_TEST(PourStream, AServersStreamIsFoundByItsNameOnAListTooLongToRead) {
    TmpfsMount tmpfs("16m");
    REQUIRE_OR_SKIP(!tmpfs.path().empty(), tmpfs.reason());
    write_file(tmpfs / "f", "");
    for (int i = 0; i < 300; ++i)
        set_stream(tmpfs / "f", std::string(240, 'a') + std::to_string(i), "");
    set_stream(tmpfs / "f", "DosStream.note:$DATA", "abc" + NUL);
    SKIP_UNLESS(attribute_names(tmpfs / "f").size() == 1, "this tmpfs hands out the whole list");
    expect_success(pour(tmpfs / "f:note", "X"));
    EXPECT_EQ(read_stream(tmpfs / "f", "DosStream.note:$DATA"), "Xbc" + NUL);
    expect_success(prune(tmpfs / "f:note"));
    EXPECT_FALSE(has_stream(tmpfs / "f", "DosStream.note:$DATA"));
}

// Linux build only, where each block is put into the value as it stands; not under sanitizers:
// their runtime must come first among the preloaded libraries.
LINUX_UNSANITIZED_BUILD_TEST(PourStream, WhatAnotherWriterChangesBetweenBlocksStays) {
    SKIP_FOR_BUILD(cannot_preload());
    ScratchDir dir;
    const std::string A(256, 'A'), B(44, 'B'), o(400, 'o'), W(200, 'W');
    write_file(dir / "in", A + B);  // two blocks
    const std::string samba = "DosStream.s:$DATA", a = A.substr(0, 100);
    const struct {
        const char* what;
        std::string attribute, before, meddled;  // meddled: the value after the first block
        int code;
        std::string after;  // "<none>": the attribute is gone
        const char* meddling = "rewrite-at-set";
    } rows[] = {
        {"raw, made longer", "s", o, A + W, 0, A + B + W.substr(44)},
        {"Samba's", samba, o + NUL, A + a + W.substr(0, 44) + NUL, 0,
         A + B + a.substr(0, 56) + W.substr(0, 44) + NUL},
        {"cut short of the block", "s", o, a, EBUSY, a},
        {"Samba's NUL gone", samba, o + NUL, A + o, EBUSY, A + o},
        {"removed between read and set", samba, o + NUL, "", ENOENT, "<none>", "remove-at-set"},
    };
    for (const auto& row : rows) {
        std::filesystem::remove(dir / "f");
        write_file(dir / "f", "main");
        set_stream(dir / "f", row.attribute, row.before);
        write_file(dir / "meddled", row.meddled);
        const Result result =
            run(pour_path(), {.args = {"f:s"}, .input = Input::FILE, .path = dir / "in",
                              .cwd = dir.path(), .setup = [&] { preload_shim(row.meddling); }});
        if (row.code == 0)
            expect_success(result, row.what);
        else
            e2e::expect_failure(result, "ostrapour", "WriteFile", row.code, row.what);
        if (row.after == "<none>")
            EXPECT_FALSE(has_stream(dir / "f", row.attribute)) << row.what;
        else
            EXPECT_EQ(read_stream(dir / "f", row.attribute), row.after) << row.what;
    }
}
