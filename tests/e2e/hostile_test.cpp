// SPDX-License-Identifier: MIT
// Hostile start-ups: however the tools are started they end with status 0 or 1, and the
// target never receives a byte that did not come from standard input.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <thread>

#include "harness.h"
#include "launch.h"

using namespace e2e;

namespace {

constexpr const char* ORIGINAL = "original content";

std::string failure(const std::string& tool, const std::string& operation, int code) {
    return diagnostic(tool, operation, std::strerror(code));
}

void close_or_place(bool closed, int fd, const std::string& path, int flags) {
    if (closed)
        close(fd);
    else
        place_file(fd, path, flags);
}

// Standard error to a file of `dir`, standard input from `input`.
Result pour_with(const ScratchDir& dir, const std::string& target, const std::string& input,
                 const std::function<void()>& setup = {}) {
    return run_redirected(pour_path(), {target}, input, dir.path(), setup);
}

}  // namespace

TEST(HostileHandles, EveryCombinationOfClosedStandardHandles) {
    ScratchDir dir;
    write_file(dir / "input", "INPUT");
    for (int closed = 0; closed < 8; ++closed) {
        const bool in = closed & 1, out = closed & 2, err = closed & 4;
        const std::string what = "closed mask " + std::to_string(closed);
        write_file(dir / "f", ORIGINAL);
        write_file(dir / "err", "");
        const auto handles = [&](const std::string& input) {
            return [&, input] {
                close_or_place(in, STDIN_FILENO, input, O_RDONLY);
                close_or_place(out, STDOUT_FILENO, dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
                close_or_place(err, STDERR_FILENO, dir / "err", O_WRONLY | O_CREAT | O_TRUNC);
            };
        };
        const std::string target = dir / "f";
        Outcome poured = launch(pour_path(), {.args = {target}, .setup = handles(dir / "input")});
        EXPECT_TRUE(poured.exited) << what;
        EXPECT_EQ(poured.status, in ? 1 : 0) << what;
        EXPECT_EQ(read_file(dir / "f"), in ? ORIGINAL : "INPUTnal content") << what;
        EXPECT_EQ(read_file(dir / "err"),
                  in && !err ? failure("ostrapour", "ReadFile", EBADF) : "") << what;

        // A failing read with standard error closed: the target must not stand in for it.
        poured = launch(pour_path(), {.args = {target}, .setup = handles(dir.path())});
        EXPECT_EQ(poured.status, 1) << what;
        EXPECT_EQ(read_file(dir / "f"), in ? ORIGINAL : "INPUTnal content") << what;

        const Outcome pruned = launch(prune_path(), {.args = {dir / "f"}, .setup = handles("/")});
        EXPECT_EQ(pruned.status, 0) << what;
        EXPECT_FALSE(exists(dir / "f")) << what;
        const Outcome missing = launch(prune_path(), {.args = {dir / "f"}, .setup = handles("/")});
        EXPECT_EQ(missing.status, 1) << what;
        EXPECT_EQ(read_file(dir / "err"), err ? "" : failure("ostraprune", "DeleteFileW", ENOENT))
            << what;
    }
}

TEST(HostileHandles, AStandardHandleOnTheTargetFileIsAnotherOpenerAndNothingLandsInIt) {
    ScratchDir dir;
    write_file(dir / "input", "INPUT");
    write_file(dir / "f", ORIGINAL);
    link((dir / "f").c_str(), (dir / "hard").c_str());
    struct Case {
        const char* what;
        int fd;
        const char* path;
        int flags;
        const char* input;
    };
    const Case cases[] = {
        {"stderr appends to it", STDERR_FILENO, "f", O_WRONLY | O_APPEND, "input"},
        {"stderr writes at its start", STDERR_FILENO, "f", O_RDWR, "input"},
        {"stderr to a hard link, read fails", STDERR_FILENO, "hard", O_WRONLY | O_APPEND, "."},
        {"stdin reads it", STDIN_FILENO, "f", O_RDONLY, "input"},
        {"stdout writes to it", STDOUT_FILENO, "f", O_WRONLY, "input"},
    };
    for (const Case& c : cases) {
        const Result result = pour_with(dir, dir / "f", dir / c.input, [&] {
            place_file(c.fd, dir / c.path, c.flags);
        });
        EXPECT_TRUE(result.exited) << c.what;
        EXPECT_EQ(result.status, 1) << c.what;
        EXPECT_EQ(read_file(dir / "f"), ORIGINAL) << c.what;
        if (c.fd != STDERR_FILENO) {
            EXPECT_EQ(result.error, failure("ostrapour", "CreateFile", EBUSY)) << c.what;
        }
    }
    // Refused for another reason first, the report still cannot land in the target.
    const auto into_target = [&] { place_file(STDERR_FILENO, dir / "f", O_WRONLY | O_APPEND); };
    chmod((dir / "f").c_str(), 0444);
    EXPECT_EQ(pour_with(dir, dir / "f", dir / "input", into_target).status, 1);
    chmod((dir / "f").c_str(), 0644);
    const int holder = open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    EXPECT_EQ(pour_with(dir, dir / "f", dir / "input", into_target).status, 1);
    close(holder);
    EXPECT_EQ(read_file(dir / "f"), ORIGINAL);
    // The same files reached through the process's own descriptor links.
    for (const char* name : {"/proc/self/fd/0", "/proc/self/fd/2"}) {
        const Result result = pour_with(dir, name, dir / "f", [&] {
            place_file(STDERR_FILENO, dir / "f", O_WRONLY | O_APPEND);
        });
        EXPECT_EQ(result.status, 1) << name;
        EXPECT_EQ(read_file(dir / "f"), ORIGINAL) << name;
    }
    // Streams are shared one by one: the file's own content may feed one of its streams, and
    // standard error into the file lands beside the stream, not in it.
    set_stream(dir / "f", "s", "");
    Result result = pour_with(dir, dir / "f:s", dir / "f", [&] {
        place_file(STDERR_FILENO, dir / "f", O_WRONLY | O_APPEND);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_stream(dir / "f", "s"), ORIGINAL);
    // Devices are not files that two openers could spoil for each other.
    result = pour_with(dir, "/dev/null", dir / "input", [] {
        place_file(STDOUT_FILENO, "/dev/null", O_WRONLY);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.error, "");
}

TEST(HostileHandles, StandardErrorFullOrWithItsReaderGone) {
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    int broken[2];
    ASSERT_EQ(pipe(broken), 0);
    close(broken[0]);
    const auto gone = [&] { dup2(broken[1], STDERR_FILENO); };
    const auto full = [] { place_file(STDERR_FILENO, "/dev/full", O_WRONLY); };
    for (const auto& setup : {std::function<void()>(gone), std::function<void()>(full)}) {
        const auto with = [&](const std::vector<std::string>& args) {
            return launch(pour_path(), {.args = args, .setup = [&] {
                place_file(STDIN_FILENO, "/dev/null", O_RDONLY);
                setup();
            }});
        };
        for (const auto& args : {std::vector<std::string>{}, {dir / "absent"}, {""}}) {
            const Outcome outcome = with(args);
            EXPECT_TRUE(outcome.exited) << "signal " << outcome.signal;
            EXPECT_EQ(outcome.status, 1);
        }
        const Outcome pruned = launch(prune_path(), {.args = {dir / "absent"}, .setup = setup});
        EXPECT_TRUE(pruned.exited) << "signal " << pruned.signal;
        EXPECT_EQ(pruned.status, 1);
        EXPECT_EQ(with({dir / "f"}).status, 0);
    }
    close(broken[1]);
    const Outcome full_output = launch(pour_path(), {.args = {dir / "f"}, .setup = [] {
        place_file(STDIN_FILENO, "/dev/null", O_RDONLY);
        place_file(STDOUT_FILENO, "/dev/full", O_WRONLY);
    }});
    EXPECT_EQ(full_output.status, 0);
    EXPECT_EQ(read_file(dir / "f"), ORIGINAL);
}

TEST(HostileNames, BytesThatAreNotTextAndControlCharactersAreNamesLikeAnyOther) {
    ScratchDir dir;
    const std::string stream = "s\x1b[2J\n\xff";
    for (const std::string name : {"\x01\x02\x1b[31m\n\r\t\x7f", "\xff\xfe\xc3\x28 \xe9", " * ?",
                                   "--help", "-", "$HOME"}) {
        write_file(dir / name, ORIGINAL);
        set_stream(dir / name, stream, "0123");
        EXPECT_EQ(run(pour_path(), {.args = {name}, .bytes = "IN", .cwd = dir.path()}).error, "");
        EXPECT_EQ(run(pour_path(), {.args = {dir / name + ":" + stream}, .bytes = "ab"}).status, 0);
        EXPECT_EQ(read_file(dir / name), "INiginal content");
        EXPECT_EQ(read_stream(dir / name, stream), "ab23");
        EXPECT_EQ(run(prune_path(), {.args = {dir / name + ":" + stream}}).status, 0);
        EXPECT_FALSE(has_stream(dir / name, stream));
        EXPECT_EQ(run(prune_path(), {.args = {name}, .cwd = dir.path()}).status, 0);
        EXPECT_FALSE(exists(dir / name));
        // A diagnostic never echoes the name.
        EXPECT_EQ(run(prune_path(), {.args = {name}, .cwd = dir.path()}).error,
                  failure("ostraprune", "DeleteFileW", ENOENT));
    }
    // The empty name is no name, as the kernel has it, not the current directory.
    EXPECT_EQ(run(pour_path(), {.args = {""}, .bytes = "x", .cwd = dir.path()}).error,
              failure("ostrapour", "GetFullPathNameW", ENOENT));
    EXPECT_EQ(run(prune_path(), {.args = {""}, .cwd = dir.path()}).error,
              failure("ostraprune", "GetFullPathNameW", ENOENT));
    // With no argument vector at all the kernel supplies an empty program name.
    for (const std::string& tool : {pour_path(), prune_path()})
        EXPECT_EQ(launch(tool, {.empty_argv = true}).status, 1);
}

TEST(HostileNames, ARelativeNameMeansTheCurrentDirectoryEvenWhenItsPathLeadsElsewhere) {
    // The tools start in m/sub, and then a file system is mounted over m with a sub/victim of
    // its own: the path of the current directory now leads to the decoy.
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "m").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "m/sub").c_str(), 0755), 0);
    write_file(dir / "m/sub/victim", "under");
    write_file(dir / "input", "NEW");
    const int start = open((dir / "m/sub").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(start, 0);
    const auto from_start = [&] {
        if (fchdir(start) != 0) _exit(125);
    };
    TmpfsMount cover("1m");
    REQUIRE_OR_SKIP(!cover.path().empty(), cover.reason());
    {
        ASSERT_EQ(mount(cover.path().c_str(), (dir / "m").c_str(), nullptr, MS_BIND, nullptr), 0);
        struct Uncover {
            std::string at;
            ~Uncover() { umount2(at.c_str(), MNT_DETACH); }
        } uncover{dir / "m"};
        ASSERT_EQ(mkdir((dir / "m/sub").c_str(), 0755), 0);
        write_file(dir / "m/sub/victim", "decoy");

        EXPECT_EQ(pour_with(dir, "victim", dir / "input", from_start).status, 0);
        EXPECT_EQ(launch(prune_path(), {.args = {"victim"}, .setup = from_start}).status, 0);
        EXPECT_EQ(read_file(dir / "m/sub/victim"), "decoy");
    }
    close(start);
    EXPECT_FALSE(exists(dir / "m/sub/victim"));
}

TEST(HostileInput, WriteOnlyInputAndADeletedCurrentDirectory) {
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    Result result = pour_with(dir, dir / "f", "/dev/null", [&] {
        place_file(STDIN_FILENO, dir / "other", O_WRONLY | O_CREAT);
    });
    EXPECT_EQ(result.error, failure("ostrapour", "ReadFile", EBADF));
    EXPECT_EQ(read_file(dir / "f"), ORIGINAL);

    const auto in_gone = [&] {
        const std::string gone = dir / "gone";
        if (mkdir(gone.c_str(), 0755) != 0 || chdir(gone.c_str()) != 0 || rmdir(gone.c_str()) != 0)
            _exit(125);
    };
    result = pour_with(dir, "f", "/dev/null", in_gone);
    EXPECT_EQ(result.error, failure("ostrapour", "GetFullPathNameW", ENOENT));
    result = pour_with(dir, dir / "f", "/dev/null", in_gone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.error, "");
}

// Not under sanitizers: their runtime's memory is not the tool's.
UNSANITIZED_BUILD_TEST(HostileInput, EndlessZerosFillTheTargetWithoutGrowingMemory) {
    TmpfsMount small("1m"), larger("16m");
    REQUIRE_OR_SKIP(!small.path().empty() && !larger.path().empty(), small.reason());
    write_file(small / "f", "");
    write_file(larger / "f", "");
    write_file(larger / "g", "");
    set_stream(larger / "g", "s", "");
    // Each run is measured while it writes its one diagnostic, at the very end.
    const auto from_zeros = [](const std::string& target, int code) {
        const Outcome outcome = launch(pour_path(), {.args = {target}, .setup = [] {
            place_file(STDIN_FILENO, "/dev/zero", O_RDONLY);
            place_file(STDOUT_FILENO, "/dev/null", O_WRONLY);
        }, .hold_at_first_diagnostic = true});
        EXPECT_EQ(outcome.status, 1) << target;
        EXPECT_EQ(outcome.held_error, failure("ostrapour", "WriteFile", code)) << target;
        EXPECT_GT(outcome.peak_virtual_kib, 0) << target;
        std::cout << "zeros into " << target << ": peak resident " << outcome.peak_rss_kib
                  << " KiB, peak virtual " << outcome.peak_virtual_kib << " KiB, anonymous "
                  << outcome.anonymous_kib << " KiB\n";
        return outcome;
    };
    // 16 MiB of zeros leave no more behind than 1 MiB did, nor than failing at once did.
    const Outcome at_once = from_zeros("/dev/full", ENOSPC);
    const Outcome one = from_zeros(small / "f", ENOSPC), sixteen = from_zeros(larger / "f", ENOSPC);
    for (const Outcome& run : {one, sixteen}) {
        EXPECT_LE(run.peak_virtual_kib, at_once.peak_virtual_kib + 64);
        EXPECT_LE(run.anonymous_kib, at_once.anonymous_kib + 16);
    }
    // A stream is set whole: its one 64 KiB value buffer is touched, and nothing more.
    const Outcome stream = from_zeros(larger / "g:s", EFBIG);
    EXPECT_LE(stream.peak_virtual_kib, at_once.peak_virtual_kib + 64);
    EXPECT_LE(stream.anonymous_kib, at_once.anonymous_kib + 64 + 16);
    EXPECT_EQ(read_file(small / "f"), std::string(1024 * 1024, '\0'));
    EXPECT_EQ(read_file(larger / "f").size(), 16u * 1024 * 1024);
    EXPECT_EQ(read_stream(larger / "g", "s"), std::string(65536, '\0'));
}

TEST(HostileInput, ATerminalDeliversItsLinesUntilEndOfFile) {
    int terminal = -1, device = -1;
    REQUIRE_OR_SKIP(openpty(&terminal, &device, nullptr, nullptr, nullptr) == 0,
                    std::string("no pseudo-terminal: ") + std::strerror(errno));
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    // ^D after "partial" hands over the unfinished line; ^D on an empty line is end of input.
    const std::string typed = "first line\npartial\x04\x04";
    ASSERT_EQ(write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    const Outcome outcome = launch(pour_path(), {.args = {dir / "f"}, .setup = [&] {
        dup2(device, STDIN_FILENO);
    }});
    close(device);
    close(terminal);
    EXPECT_FALSE(outcome.timed_out);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(read_file(dir / "f"), "first line\npartial");
}

TEST(HostileInput, NonBlockingInputIsWaitedForNotSpunOn) {
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(fcntl(input[0], F_SETFL, O_NONBLOCK), 0);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_EQ(write(input[1], "late", 4), 4);
        close(input[1]);
    });
    const Outcome outcome = launch(pour_path(), {.args = {dir / "f"}, .setup = [&] {
        dup2(input[0], STDIN_FILENO);
        close(input[1]);
    }});
    late.join();
    close(input[0]);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_LT(outcome.cpu_seconds, 0.2);
    EXPECT_EQ(read_file(dir / "f"), "lateinal content");
}

TEST(HostileTargets, AFifoWithoutAReaderIsRefusedAtOnce) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    const Result result = pour_with(dir, dir / "fifo", "/dev/zero");
    EXPECT_EQ(result.error, failure("ostrapour", "CreateFile", ENXIO));
    // With a reader the bytes flow as into any other target.
    const int reader = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    write_file(dir / "input", "through the fifo");
    EXPECT_EQ(pour_with(dir, dir / "fifo", dir / "input").status, 0);
    char received[64];
    const ssize_t count = read(reader, received, sizeof received);
    close(reader);
    EXPECT_EQ(std::string(received, static_cast<std::size_t>(count > 0 ? count : 0)),
              "through the fifo");
}

// Not under sanitizers: their runtime must come first among the preloaded libraries.
UNSANITIZED_BUILD_TEST(HostileTargets, AWriteLostAtTheCloseIsAFailureNotASuccess) {
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    write_file(dir / "input", "INPUT");
    const Result result = pour_with(dir, dir / "f", dir / "input", [] {
        setenv("LD_PRELOAD", CLOSE_FAILS_PATH, 1);
    });
    // The report names the check of the target's close, the second "WriteFile" site.
    const std::string source = std::string(OSTRAKIT_SOURCE_DIR) + "/ostrapour/ostrapour.cpp";
    const std::string text = read_file(source);
    const std::size_t site = text.find("REPORT_AND_EXIT(\"WriteFile\")",
                                       text.find("close_target(target)"));
    ASSERT_NE(site, std::string::npos);
    const auto line = std::count(text.begin(), text.begin() + static_cast<long>(site), '\n') + 1;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.error, source + ":WriteFile(" + std::to_string(line) + "): " +
                                std::strerror(EIO) + "\n");
}

// Not under sanitizers: their runtime needs descriptors before main.
UNSANITIZED_BUILD_TEST(HostileLimits, TooFewDescriptorsFailTheOpen) {
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    set_stream(dir / "f", "s", "value");
    // With standard input closed the target could only be opened as descriptor 0.
    const auto only_three = [] {
        close(STDIN_FILENO);
        const struct rlimit limit = {3, 3};
        setrlimit(RLIMIT_NOFILE, &limit);
    };
    Result result = pour_with(dir, dir / "f", "/dev/null", only_three);
    EXPECT_EQ(result.error, failure("ostrapour", "CreateFile", EMFILE));
    result = run_redirected(prune_path(), {dir / "f:s"}, "/dev/null", dir.path(), only_three);
    EXPECT_EQ(result.error, failure("ostraprune", "DeleteFileW", EMFILE));
    // A path past PATH_MAX needs one descriptor more, for the directory it is walked from.
    const std::string deep = make_deep_directory(dir.path(), 6000);
    write_file(DirectoryAlias(deep) / "f", ORIGINAL);
    result = pour_with(dir, deep + "/f", "/dev/null", [] {
        const struct rlimit limit = {4, 4};
        setrlimit(RLIMIT_NOFILE, &limit);
    });
    EXPECT_EQ(result.error, failure("ostrapour", "CreateFile", EMFILE));
    EXPECT_EQ(read_file(dir / "f"), ORIGINAL);
    EXPECT_EQ(read_stream(dir / "f", "s"), "value");
}

// A pruner that cannot open a file to ask whether a writer holds it deletes it as before:
// the lock it would test is advisory anyway, and a file one may not read is still one's own
// to delete.
TEST(HostileTargets, AFileThePrunerCannotReadIsStillDeleted) {
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    ASSERT_EQ(chmod((dir / "f").c_str(), 0200), 0);
    const Result result = run_redirected(prune_path(), {dir / "f"}, "/dev/null", dir.path(), [] {
        // Root reads everything: run as nobody, who may write the directory but not read f.
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                               setresuid(65534, 65534, 65534) != 0))
            _exit(125);
    });
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(exists(dir / "f"));
}
