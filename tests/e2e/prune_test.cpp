// SPDX-License-Identifier: MIT
// ostraprune end to end: exactly the named entry or stream goes, and nothing else.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "harness.h"

using namespace e2e;

namespace {

void expect_refusal(const Result& result, int code, const std::string& what = "") {
    expect_failure(result, "ostraprune", "DeleteFileW", code, what);
}

}  // namespace

TEST(PruneDelete, RemovesAFileAndNothingBesideIt) {
    ScratchDir dir;
    write_file(dir / "victim", "x");
    write_file(dir / "victim2", "x");
    write_file(dir / "-rf", "x");
    expect_success(prune(dir / "victim"));
    expect_success(prune("-rf", dir.path()));
    EXPECT_FALSE(exists(dir / "victim"));
    EXPECT_FALSE(exists(dir / "-rf"));
    EXPECT_TRUE(exists(dir / "victim2"));
    if (windows_target()) return;  // Linux names need not be text; Wine's must be UTF-8
    write_file(dir / "n\xe9\xff", "x");
    expect_success(prune("n\xe9\xff", dir.path()));
    EXPECT_FALSE(exists(dir / "n\xe9\xff"));
}

// Linux build only: streams as extended attributes; NtfsStreams covers both builds.
LINUX_BUILD_TEST(PruneDelete, RemovesOneStreamAndLeavesTheFileAndItsOtherStreams) {
    ScratchDir dir;
    write_file(dir / "f", "content");
    set_stream(dir / "f", "Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\n");
    set_stream(dir / "f", "keep", "kept");
    expect_success(prune(dir / "f:Zone.Identifier"));
    EXPECT_FALSE(has_stream(dir / "f", "Zone.Identifier"));
    EXPECT_EQ(read_stream(dir / "f", "keep"), "kept");
    EXPECT_EQ(read_file(dir / "f"), "content");
    expect_success(prune(dir / "f:keep:$DATA"));
    EXPECT_FALSE(has_stream(dir / "f", "keep"));
    EXPECT_EQ(read_file(dir / "f"), "content");

    set_stream(dir.path(), "tag", "t");
    expect_success(prune(dir.path() + ":tag"));
    EXPECT_FALSE(has_stream(dir.path(), "tag"));
    EXPECT_TRUE(exists(dir.path()));

    expect_success(prune(dir / "f::$DATA"));
    EXPECT_FALSE(exists(dir / "f"));
}

// Linux build only: Wine takes a Linux symbolic link for the file it points to.
LINUX_BUILD_TEST(PruneDelete, RemovesASymbolicLinkNotItsTarget) {
    ScratchDir dir;
    write_file(dir / "target", "precious");
    ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
    expect_success(prune(dir / "link"));
    EXPECT_FALSE(exists(dir / "link"));
    EXPECT_EQ(read_file(dir / "target"), "precious");
}

// Linux build only: Windows folds ".." by the text of the name.
LINUX_BUILD_TEST(PruneDelete, DotDotAfterASymbolicLinkMeansWhatTheKernelMakesOfIt) {
    // a/link -> ../b/deep, so "a/link/../victim" is b/victim to the kernel, while folding the
    // name by its text would give a/victim. Only b/victim may go.
    ScratchDir dir;
    for (const char* name : {"a", "b", "b/deep"}) ASSERT_EQ(mkdir((dir / name).c_str(), 0755), 0);
    ASSERT_EQ(symlink("../b/deep", (dir / "a/link").c_str()), 0);
    write_file(dir / "a/victim", "wrong one");
    write_file(dir / "b/victim", "right one");
    expect_success(prune("a/link/../victim", dir.path()));
    EXPECT_FALSE(exists(dir / "b/victim"));
    EXPECT_EQ(read_file(dir / "a/victim"), "wrong one");
}

// Linux build only: the attributes in which file servers keep streams.
LINUX_BUILD_TEST(PruneDelete, AServersStreamGoesAsItsServerKeepsIt) {
    ScratchDir dir;
    const Attributes two = {{"DosStream.note:$DATA", "lower"}, {"DosStream.NOTE:$DATA", "UPPER"}};
    const Attributes pieces = {{"DosStream.big:$DATA", "ab\x02"},
                               {"DosStreamExt.1.big:$DATA", "c"},
                               {"DosStreamExt.2.big:$DATA", "d"}};
    const Attributes depot = {{"SAMBA_STREAMS", "1"}, {"DosStream.note:$DATA", "kept"}};
    const AttributeRow rows[] = {
        // Samba tries the exact name first: names that differ in case are two streams.
        {"exact lower", two, "note", 0, {{"DosStream.NOTE:$DATA", "UPPER"}}},
        {"exact upper", two, "NOTE", 0, {{"DosStream.note:$DATA", "lower"}}},
        {"raw, no pieces", {{"DosStream.raw:$DATA", "ab\x02"}}, "raw", 0, {}},
        {"pieces: never half-deleted", pieces, "big", EOPNOTSUPP, pieces},
        // vfs_streams_depot keeps a marked file's streams as files elsewhere.
        {"depot", depot, "note", EOPNOTSUPP, depot},
    };
    for (const auto& row : rows) {
        make_main_with(dir / "f", row.before);
        const Result result = prune(dir / "f:" + row.stream);
        if (row.code == 0)
            expect_success(result, row.what);
        else
            expect_refusal(result, row.code, row.what);
        EXPECT_EQ(attributes_of(dir / "f"), row.after) << row.what;
        EXPECT_EQ(read_file(dir / "f"), "main") << row.what;
    }
}

TEST(PruneRefusals, ReportThePlatformsReasonAndDeleteNothing) {
    ScratchDir dir;
    write_file(dir / "f", "content");
    expect_refusal(prune(dir / "absent"), ENOENT);
    expect_refusal(prune(dir.path()), EISDIR);
    EXPECT_TRUE(exists(dir.path()));
    EXPECT_EQ(read_file(dir / "f"), "content");
    if (windows_target()) return;  // streams and read-only bits: the Linux build's own below

    expect_refusal(prune(dir / "f:absent"), ENOENT);
    expect_refusal(prune(dir / "f:"), EINVAL);
    expect_refusal(prune(dir / "f:s:$BITMAP"), EINVAL);

    write_file(dir / "ro", "content");
    set_stream(dir / "ro", "s", "v");
    chmod((dir / "ro").c_str(), 0444);
    expect_refusal(prune(dir / "ro"), EACCES);
    expect_refusal(prune(dir / "ro:s"), EACCES);
    EXPECT_EQ(read_file(dir / "ro"), "content");
    EXPECT_TRUE(has_stream(dir / "ro", "s"));
}

// A running writer holds its target with no sharing: neither the file nor any stream of it is
// deleted from under it, and the writer still ends with every byte in place.
TEST(PruneRefusals, NothingAWriterHoldsIsDeleted) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "input").c_str(), 0600), 0);
    struct Case {
        const char* held;                  // what the writer writes
        std::vector<std::string> refused;  // deletes refused while it runs
        bool linux_only;
    };
    const Case cases[] = {
        {"report.txt", {"report.txt"}, false},
        {"report.txt", {"report.txt:s"}, true},
        {"report.txt:s", {"report.txt", "report.txt:s", "report.txt:other"}, true},
    };
    for (const Case& c : cases) {
        if (c.linux_only && windows_target()) continue;
        const bool stream = std::string(c.held).find(':') != std::string::npos;
        write_file(dir / "report.txt", "original");
        if (!windows_target()) {
            set_stream(dir / "report.txt", "s", "value");
            set_stream(dir / "report.txt", "other", "other");
        }
        // Opened for reading and writing, the FIFO lets the writer's open go through at once.
        const int feed = open((dir / "input").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(feed, 0);
        Result poured;
        std::thread writer([&] {
            poured = run(pour_path(), {.args = {dir / c.held}, .input = Input::FILE,
                                       .path = dir / "input"});
        });
        ASSERT_EQ(write(feed, "AB", 2), 2);
        const auto written = [&] {
            return (stream ? read_stream(dir / "report.txt", "s") : read_file(dir / "report.txt"))
                       .rfind("AB", 0) == 0;
        };
        for (int wait = 0; wait < 2000 && !written(); ++wait) usleep(5000);
        for (const std::string& name : c.refused) expect_refusal(prune(dir / name), EBUSY);
        if (!windows_target()) {  // a link goes as itself; Wine follows it
            ASSERT_EQ(symlink("report.txt", (dir / "link").c_str()), 0);
            expect_success(prune(dir / "link"));
            EXPECT_FALSE(exists(dir / "link"));
        }
        ASSERT_EQ(write(feed, "CD", 2), 2);
        close(feed);
        writer.join();
        expect_success(poured);
        EXPECT_EQ(read_file(dir / "report.txt"), stream ? "original" : "ABCDinal") << c.held;
        if (!windows_target()) {
            EXPECT_EQ(read_stream(dir / "report.txt", "s"), stream ? "ABCDe" : "value") << c.held;
        }
    }
}
