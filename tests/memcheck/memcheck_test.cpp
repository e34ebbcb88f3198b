// SPDX-License-Identifier: MIT
// The tools under valgrind memcheck: no invalid access, no use of undefined bytes and no
// definite leak, on a write of 1 MiB and on every failure path. Each case runs once plainly and
// once under memcheck, each on a fresh copy of its scene, and both runs must end alike: a
// memcheck report changes standard error, and any error or leak makes the status 99.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "harness.h"

using namespace e2e;

namespace {

constexpr const char* MEMCHECK_STATUS = "99";

// "Still reachable" is fine: the tools end by _exit once standard error is flushed.
const std::vector<std::string> MEMCHECK_OPTIONS = {
    "--quiet", std::string("--error-exitcode=") + MEMCHECK_STATUS, "--leak-check=full",
    "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite"};

using Scene = std::function<void(const ScratchDir&)>;

struct Case {
    const char* title;
    std::vector<std::string> args;  // names relative to the scene's directory
    Scene scene;
    int status;
    std::string operation;   // the report a failure must raise
    std::string input;       // fed through a pipe
    bool input_is_directory = false;  // standard input is the scene's directory instead
};

// The target "f" after a run: its bytes and its stream "s", or that it is gone.
std::string outcome(const ScratchDir& dir) {
    const std::string file = dir / "f";
    if (!exists(file)) return "<no f>";
    return read_file(file) + "|" + (has_stream(file, "s") ? read_stream(file, "s") : "<no s>");
}

Run run_of(const Case& c, const ScratchDir& dir) {
    return {.args = c.args, .input = c.input_is_directory ? Input::FILE : Input::BYTES,
            .bytes = c.input, .path = dir.path(), .cwd = dir.path()};
}

void expect_clean(const std::string& tool, const Case& c) {
    SCOPED_TRACE(c.title);
    ScratchDir plain_dir, checked_dir;
    c.scene(plain_dir);
    c.scene(checked_dir);

    const Result plain = run(tool, run_of(c, plain_dir));
    ASSERT_TRUE(plain.exited);
    ASSERT_EQ(plain.status, c.status) << plain.error;
    if (!c.operation.empty()) {
        EXPECT_NE(plain.error.find(":" + c.operation + "("), std::string::npos) << plain.error;
    }

    Run checked = run_of(c, checked_dir);
    checked.args.insert(checked.args.begin(), tool);
    checked.args.insert(checked.args.begin(), MEMCHECK_OPTIONS.begin(), MEMCHECK_OPTIONS.end());
    checked.helper = true;
    const Result result = run(OSTRAKIT_VALGRIND, checked);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, plain.status) << "memcheck ends with " << MEMCHECK_STATUS
                                           << " on any error or definite leak";
    EXPECT_EQ(result.error, plain.error);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(outcome(checked_dir), outcome(plain_dir));
}

// Every case runs under valgrind.
class Memcheck : public testing::Test {
protected:
    void SetUp() override {
        SKIP_FOR_BUILD(cannot_run_under_valgrind());
        REQUIRE_OR_SKIP(access(OSTRAKIT_VALGRIND, X_OK) == 0,
                        "valgrind is not installed (Debian: valgrind)");
    }
};

const Scene NOTHING = [](const ScratchDir&) {};
const Scene FILE_WITH_STREAM = [](const ScratchDir& dir) {
    write_file(dir / "f", "original");
    set_stream(dir / "f", "s", "stream value");
};
const std::string TOO_LONG(40000, 'n');

}  // namespace

TEST_F(Memcheck, PourCopiesOneMebibyteCleanly) {
    expect_clean(pour_path(), {"1 MiB into a file", {"f"}, FILE_WITH_STREAM, 0, "",
                               binary_bytes(1 << 20)});
    expect_clean(pour_path(), {"a stream of several blocks", {"f:s"}, FILE_WITH_STREAM, 0, "",
                               binary_bytes(1000)});
}

TEST_F(Memcheck, PourFailurePathsAreClean) {
    const Case cases[] = {
        {"usage", {}, FILE_WITH_STREAM, 1, "", "data"},
        {"name past the capacity", {TOO_LONG}, NOTHING, 1, "GetFullPathNameW", "data"},
        {"missing target", {"f"}, NOTHING, 1, "CreateFile", "data"},
        {"missing stream", {"f:t"}, FILE_WITH_STREAM, 1, "CreateFile", "data"},
        {"malformed stream", {"f:"}, FILE_WITH_STREAM, 1, "CreateFile", "data"},
        {"standard input is a directory", {"f"}, FILE_WITH_STREAM, 1, "ReadFile", "", true},
        {"full device", {"/dev/full"}, NOTHING, 1, "WriteFile", "data"},
        // More than any file system holds in one value; every earlier block stays.
        {"stream past its limit", {"f:s"}, FILE_WITH_STREAM, 1, "WriteFile",
         binary_bytes(70000)},
    };
    for (const Case& c : cases) expect_clean(pour_path(), c);
}

TEST_F(Memcheck, PruneSuccessAndFailurePathsAreClean) {
    const Case cases[] = {
        {"delete a file", {"f"}, FILE_WITH_STREAM, 0, ""},
        {"delete a stream", {"f:s"}, FILE_WITH_STREAM, 0, ""},
        {"usage", {"f", "g"}, FILE_WITH_STREAM, 1, ""},
        {"name past the capacity", {TOO_LONG}, NOTHING, 1, "GetFullPathNameW"},
        {"missing file", {"f"}, NOTHING, 1, "DeleteFileW"},
        {"missing stream", {"f:t"}, FILE_WITH_STREAM, 1, "DeleteFileW"},
        {"directory", {"."}, FILE_WITH_STREAM, 1, "DeleteFileW"},
    };
    for (const Case& c : cases) expect_clean(prune_path(), c);
}
