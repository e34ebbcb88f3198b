// SPDX-License-Identifier: MIT
// Both tools on paths past PATH_MAX, up to the 32,000-byte capacity and one byte beyond it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "harness.h"

using namespace e2e;

namespace {

constexpr std::size_t CAPACITY = 32000;  // bytes of a full path, its terminator included

// Runners of either tool, called with pour_path() or prune_path(), a name and the input's bytes.
// This one: names under `prefix`, run from `cwd`, the input through a pipe.
auto under(const std::string& prefix, const std::string& cwd = "") {
    return [=](const std::string& program, const std::string& name, const std::string& bytes) {
        return run(program, {.args = {prefix + name}, .bytes = bytes, .cwd = cwd});
    };
}

// The tools run from `cwd`, which may lie deeper than PATH_MAX, with their input from a file.
auto from(const DirectoryAlias& cwd, const ScratchDir& scratch) {
    return [fd = cwd.fd(), input = scratch / "input"](
               const std::string& program, const std::string& name, const std::string& bytes) {
        write_file(input, bytes);
        return run(program, {.args = {name}, .input = Input::FILE, .path = input,
                             .setup = [fd] { if (fchdir(fd) != 0) _exit(125); }});
    };
}

// Pours into "f" and "f:s" of `place` and prunes both, each named as `tool` names them.
template <class Tool>
void exercise(const DirectoryAlias& place, Tool tool, const std::string& what) {
    write_file(place / "f", "original content");
    set_stream(place / "f", "s", "0123456789");
    expect_success(tool(pour_path(), "f", "NEW"), what + " file");
    EXPECT_EQ(read_file(place / "f"), "NEWginal content") << what;
    expect_success(tool(pour_path(), "f:s", "ab"), what + " stream");
    EXPECT_EQ(read_stream(place / "f", "s"), "ab23456789") << what;
    expect_success(tool(prune_path(), "f:s", ""), what + " prune stream");
    EXPECT_FALSE(has_stream(place / "f", "s")) << what;
    EXPECT_EQ(read_file(place / "f"), "NEWginal content") << what;
    expect_success(tool(prune_path(), "f", ""), what + " prune file");
    EXPECT_FALSE(exists(place / "f")) << what;
}

}  // namespace

TEST(LongPaths, AbsoluteNamesReachFilesAndStreamsWellPastPathMax) {
    ScratchDir dir;
    for (std::size_t length : {5000u, 12000u, 31000u}) {
        const std::string deep = make_deep_directory(dir.path(), length);
        exercise(DirectoryAlias(deep), under(deep + "/"),
                 "absolute, " + std::to_string(length) + " bytes");
    }
}

TEST(LongPaths, RelativeNamesPastPathMaxResolveAgainstTheCurrentDirectory) {
    ScratchDir dir;
    const std::string deep = make_deep_directory(dir.path(), 20000);
    exercise(DirectoryAlias(deep), under(deep.substr(dir.path().size() + 1) + "/", dir.path()),
             "relative");
}

TEST(LongPaths, ACurrentDirectoryDeeperThanPathMaxServesRelativeNames) {
    ScratchDir dir;
    const std::string deep = make_deep_directory(dir.path(), 25000);
    const DirectoryAlias place(deep);
    const auto here = from(place, dir);
    exercise(place, here, "deep current directory");
    // ".." from there is the parent the kernel knows, at the same depth less one component.
    const DirectoryAlias up(deep.substr(0, deep.rfind('/')));
    write_file(up / "g", "...");
    expect_success(here(pour_path(), "../g", "up"), "parent");
    EXPECT_EQ(read_file(up / "g"), "up.");
    expect_success(here(prune_path(), "../g", ""), "prune in parent");
    EXPECT_FALSE(exists(up / "g"));
}

TEST(LongPaths, LinksAndDotDotAtEveryPieceBoundaryMeanWhatTheKernelMakesOfThem) {
    ScratchDir dir;
    // "link" leads to a/b, so "link/../x" is a/x; folded by hand it would be the decoy x.
    std::filesystem::create_directories(dir / "a/b");
    symlink((dir / "a/b").c_str(), (dir / "link").c_str());
    write_file(dir / "x", "decoy");
    // Padding with "./" moves "link" and ".." across the first piece's end, one byte a step.
    const std::size_t lead = dir.path().size() + 1;
    for (std::size_t at = PATH_MAX - 9; at <= PATH_MAX; ++at) {
        std::string pad((at - lead) % 2, '/');
        for (std::size_t i = 0; i < (at - lead) / 2; ++i) pad += "./";
        const std::string name = dir.path() + "/" + pad + "link/../x";
        ASSERT_GE(name.size(), static_cast<std::size_t>(PATH_MAX));
        write_file(dir / "a/x", "target");
        expect_success(pour(name, "T"), "pour at " + std::to_string(at));
        EXPECT_EQ(read_file(dir / "a/x"), "Target") << at;
        expect_success(prune(name), "prune at " + std::to_string(at));
        EXPECT_FALSE(exists(dir / "a/x")) << at;
    }
    EXPECT_EQ(read_file(dir / "x"), "decoy");
}

TEST(LongPaths, TheLastComponentIsTakenAsTheKernelTakesIt) {
    ScratchDir dir;
    const std::string deep = make_deep_directory(dir.path(), 9000);
    const DirectoryAlias place(deep);
    write_file(place / "target", "target");
    symlink("target", (place / "link").c_str());
    mkdir((place / "sub").c_str(), 0755);
    // A link is followed by the writer and removed, not followed, by the deleter.
    expect_success(pour(deep + "/link", "T"), "link");
    EXPECT_EQ(read_file(place / "target"), "Target");
    expect_success(prune(deep + "/link"), "prune link");
    EXPECT_FALSE(exists(place / "link"));
    EXPECT_TRUE(exists(place / "target"));
    // The kernel's own refusals come through unchanged.
    expect_failure(pour(deep + "/target/x", "x"), "ostrapour", "CreateFile", ENOTDIR, "notdir");
    expect_failure(pour(deep + "/absent/x", "x"), "ostrapour", "CreateFile", ENOENT, "absent");
    expect_failure(pour(deep + "/" + std::string(256, 'n'), "x"), "ostrapour", "CreateFile",
                   ENAMETOOLONG, "component");
    expect_failure(pour(deep + "/sub", "x"), "ostrapour", "CreateFile", EISDIR, "dir");
    expect_failure(prune(deep + "/sub"), "ostraprune", "DeleteFileW", EISDIR, "prune dir");
    expect_failure(prune(deep + "/target/"), "ostraprune", "DeleteFileW", ENOTDIR, "slash");
    EXPECT_EQ(read_file(place / "target"), "Target");
}

TEST(LongPaths, TheCapacityHoldsAFullPathOf31999BytesAndNoMore) {
    ScratchDir dir;
    const std::string deep = make_deep_directory(dir.path(), CAPACITY - 5);
    const DirectoryAlias place(deep);
    write_file(place / "f", "file");
    set_stream(place / "f", "s", "s");
    set_stream(place / "f", "st", "st");
    write_file(dir / "input", "input");
    const std::string fits = deep + "/f:s", over = deep + "/f:st";
    ASSERT_EQ(fits.size(), CAPACITY - 1);
    expect_success(pour(fits, "S"), "fits");
    EXPECT_EQ(read_stream(place / "f", "s"), "S");
    expect_pour_refused(over, dir / "input", "GetFullPathNameW", ENAMETOOLONG, "over");
    expect_failure(prune(over), "ostraprune", "GetFullPathNameW", ENAMETOOLONG, "prune over");
    expect_failure(prune(std::string(100000, 'x')), "ostraprune", "GetFullPathNameW",
                   ENAMETOOLONG, "far over");
    EXPECT_EQ(read_stream(place / "f", "st"), "st");

    // The same boundary reached from the current directory.
    const auto here = from(place, dir);
    expect_success(here(pour_path(), "f:s", "R"), "relative fits");
    EXPECT_EQ(read_stream(place / "f", "s"), "R");
    expect_failure(here(pour_path(), "f:st", "R"), "ostrapour", "GetFullPathNameW", ENAMETOOLONG,
                   "relative over");
    expect_success(here(prune_path(), "f:s", ""), "relative prune fits");
    expect_failure(here(prune_path(), "f:st", ""), "ostraprune", "GetFullPathNameW",
                   ENAMETOOLONG, "relative prune over");
    EXPECT_EQ(read_stream(place / "f", "st"), "st");
}

TEST(LongPaths, ACurrentDirectoryPastTheCapacityIsReportedAtTheFullPath) {
    ScratchDir dir;
    const DirectoryAlias place(make_deep_directory(dir.path(), CAPACITY + 300));
    write_file(place / "f", "file");
    const auto here = from(place, dir);
    expect_failure(here(pour_path(), "f", "x"), "ostrapour", "GetFullPathNameW", ENAMETOOLONG,
                   "pour");
    expect_failure(here(prune_path(), "f", ""), "ostraprune", "GetFullPathNameW", ENAMETOOLONG,
                   "prune");
    EXPECT_EQ(read_file(place / "f"), "file");
}
