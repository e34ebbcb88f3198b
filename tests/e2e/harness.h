// SPDX-License-Identifier: MIT
// Runs the built tools as a user would: real processes, real pipes, real files.
// One suite serves both builds: compiled as it stands it runs the native Linux tools, and
// compiled with OSTRAKIT_E2E_WINDOWS the Windows .exe files under Wine.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

// The version the usage screen's banner names; the build may pass its own.
#ifndef OSTRAKIT_VERSION
#define OSTRAKIT_VERSION "1.0"
#endif

namespace e2e {

// Standard input: bytes fed through a pipe, a file opened for reading, or closed.
enum class Input { BYTES, FILE, CLOSED };

// Standard output and error: collected (through pipes natively, through unnamed files under
// Wine, whose helper processes may hold an inherited pipe open long after the tool has ended),
// or both on /dev/null, for helpers that may outlive the test (wineserver, ntfs-3g).
enum class Output { COLLECT, DISCARD };

struct Run {
    std::vector<std::string> args;  // after the program name
    std::string argv0;              // empty: the program's path
    bool empty_argv = false;        // no argument vector at all, not even a program name
    Input input = Input::BYTES;
    std::string bytes;              // BYTES: fed through a pipe
    std::string path;               // FILE: opened as standard input
    Output output = Output::COLLECT;
    std::string cwd;                // empty: the test's own
    // Runs in the child just before the program starts, after the standard handles and the
    // current directory are in place: open, close and move descriptors, set limits and the
    // environment, change directory. SIGPIPE is back at its default, so a tool that forgets to
    // ignore it dies of it. Descriptors above the standard three are closed as the program
    // starts, so descriptor limits mean what they say.
    std::function<void()> setup;
    // Standard error becomes a pipe filled to the brim, so that the tool's first diagnostic
    // blocks; the run is measured there, at its very end, and the pipe drained into `error`.
    bool hold_at_first_diagnostic = false;
    // The watchdog: a program still running after this long is killed.
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    // A helper of the test (valgrind, mkntfs), which the run's emulator never runs.
    bool helper = false;
};

struct Result {
    bool exited = false;     // ended by exit, not by a signal (nor by the watchdog)
    int status = -1;
    int signal = 0;          // the signal that ended it, if any
    bool timed_out = false;  // killed by the watchdog
    double cpu_seconds = 0;  // user and system time used
    std::string error;       // everything written to standard error
    std::string output;      // everything written to standard output
    long long input_consumed = -1;  // FILE: the offset standard input was left at
    // Memory when held at the first diagnostic (-1 otherwise): peak resident (VmHWM, which
    // also counts library pages mapped around each fault, so it varies a little from run to
    // run), peak virtual size (VmPeak) and resident anonymous memory (RssAnon).
    long peak_rss_kib = -1;
    long peak_virtual_kib = -1;
    long anonymous_kib = -1;
};

// A started program. A tool of the run starts through the run's emulator, if it has one (see
// tool_emulator). A Windows program (a name ending in ".exe") runs under Wine: an argument
// that is an absolute Linux path reaches it as the same file on Wine's drive Z:, and argv0
// cannot be set apart from the program there (run a renamed copy instead).
class Child {
public:
    Child(const std::string& program, const Run& how);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool running();  // false once it has ended
    Result wait();   // collects its output and reaps it, killing it at the timeout
    void kill(int signal);

private:
    struct State;
    State* state_;
};

// Starts `program` and waits for it. A Windows program that Wine ends with status 1 and no
// word at all is run once more.
Result run(const std::string& program, const Run& how);

// The tools on one name, with `bytes` through a pipe, from `cwd` (empty: the test's own).
Result pour(const std::string& name, const std::string& bytes, const std::string& cwd = "");
Result prune(const std::string& name, const std::string& cwd = "");

// Runs a helper program (not a tool under test) with its standard streams on /dev/null.
// Returns its exit status, or -1 when it was killed.
int execute(const std::vector<std::string>& argv,
            std::chrono::milliseconds timeout = std::chrono::minutes(4));

// ---- The build under test --------------------------------------------------------------
// Which tools the suite runs, and what runs them, are choices of the run, read from the
// environment in the way CMake's CMAKE_CROSSCOMPILING_EMULATOR names a program that runs a
// cross-built one:
//   OSTRAKIT_TOOL_DIR       the directory holding ostrapour and ostraprune (the .exe files for
//                           the Windows suite); unset: those the suite was built with.
//   OSTRAKIT_TOOL_EMULATOR  the program that runs them, its arguments separated by ';'
//                           ("qemu-aarch64-static"); unset: none, or Wine for the Windows suite.
// Wine's prefix is WINEPREFIX when that is set, else one kept in the build tree.
std::string tool_directory();
const std::vector<std::string>& tool_emulator();
// Whether the tools are a release build (OSTRAKIT_RELEASE), which names its source under a
// fixed directory: as the CMakeCache.txt of their build tree says, or, for tools without one
// (installed ones), as the suite's own build is.
bool release_tools();
std::string pour_path();
std::string prune_path();

// Why the tools of this run cannot be tested in some way, or "" when they can: a fault library
// preloaded into them (a static or emulated program, or one of another processor, loads none),
// valgrind around them, or the process itself watched and limited (its memory, its descriptor
// limit and its argument vector belong to the emulator).
std::string cannot_preload();
std::string cannot_run_under_valgrind();
std::string cannot_watch_the_process();

// The exact outcome of a tool run, and under Wine in its text-mode form: status 0 and nothing
// printed; status 1 and exactly one diagnostic for `operation` with the system's text for
// errno `code`, raised at the tool's `occurrence`th report site for that operation.
void expect_success(const Result& result, const std::string& what = "");
void expect_failure(const Result& result, const std::string& tool, const std::string& operation,
                    int code, const std::string& what = "", int occurrence = 1);

// Pours from the file `input` into `name` and expects that failure, raised before the tool had
// read a byte of its input.
void expect_pour_refused(const std::string& name, const std::string& input,
                         const std::string& operation, int code, const std::string& what = "");

// The exact diagnostic line a tool prints for `operation` at its `occurrence`th report site
// for it, counted from the top of the tool's source, named as the tools record it: under this
// checkout, or under a release's fixed directory when they are a release build.
std::string diagnostic(const std::string& tool, const std::string& operation,
                       const std::string& text, int occurrence = 1);

// The usage screen of `tool` ("ostrapour" or "ostraprune") started as `program`.
std::string usage(const std::string& tool, const std::string& program);

// ---- Files, streams and places ----------------------------------------------------------

// A fresh directory for one test, removed when it goes out of scope.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);  // without following a final symbolic link
void set_stream(const std::string& file, const std::string& stream, const std::string& value);
bool has_stream(const std::string& file, const std::string& stream);
std::string read_stream(const std::string& file, const std::string& stream);
// The names of the extended attributes of `path`, sorted; or one line saying why there are none.
std::vector<std::string> attribute_names(const std::string& path);
// A file's user attributes by their names less "user.": those it has, or those the file, made
// anew with the bytes "main", is given.
using Attributes = std::map<std::string, std::string>;
Attributes attributes_of(const std::string& file);
void make_main_with(const std::string& file, const Attributes& attributes);
// A row of a table of a tool's runs on a stream of such a file: the stream, the errno of its
// refusal or 0, and the file's attributes before and after.
struct AttributeRow {
    const char* what;
    Attributes before;
    const char* stream;
    int code;
    Attributes after;
};

// For `setup`: puts `path`, opened with `flags`, at descriptor `fd`. Ends the child on failure.
void place_file(int fd, const std::string& path, int flags);

// For `setup`: preloads the fault library with its behaviour `mode` (see shim.cpp).
void preload_shim(const std::string& mode, const std::string& log = "");

// Creates nested directories under `base` so that the returned path is exactly `length` bytes
// long, with components of at most 255 bytes.
std::string make_deep_directory(const std::string& base, std::size_t length);

// An open directory, reached one component at a time, with a short alias for names in it:
// "/proc/self/fd/N/name", which the plain helpers above can use at any depth.
class DirectoryAlias {
public:
    explicit DirectoryAlias(const std::string& path);
    ~DirectoryAlias();
    DirectoryAlias(const DirectoryAlias&) = delete;
    DirectoryAlias& operator=(const DirectoryAlias&) = delete;
    int fd() const { return fd_; }
    std::string operator/(const std::string& name) const;

private:
    int fd_;
};

// A tmpfs of `size` (as mount's "size=" takes it) on a fresh directory, unmounted and removed
// when it goes out of scope. path() is empty when the mount failed; reason() says why.
class TmpfsMount {
public:
    explicit TmpfsMount(const std::string& size);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    const std::string& path() const { return path_; }
    const std::string& reason() const { return reason_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string directory_;
    std::string path_;
    std::string reason_;
};

// ---- Either build ------------------------------------------------------------------------

// True when the suite runs the Windows build under Wine.
bool windows_target();

// True when every test must run (OSTRAKIT_E2E_REQUIRE=1, as CI sets it): a program or device
// the suite needs and the machine lacks is then a failure, not a skip.
bool everything_required();

// The name a Windows program sees for a Linux path: "/a/b" is "Z:\a\b"; a relative name is
// left as it is.
std::string windows_name(const std::string& path);

// The program name as the tool sees it in its argument vector: the path it was started by, in
// its Windows form under Wine.
std::string invoked_name(const std::string& program);

// `text` as it reaches standard error: the Windows build writes in text mode, where each "\n"
// goes out as CR LF.
std::string text_mode(const std::string& text);

// The explanation the tool under test prints for the situation the Linux build reports with
// errno `code`: strerror natively, Wine's system message text (ending in its own CR LF) for the
// Windows build.
std::string system_text(int code);

// The full path of `program` found on PATH or in the administrator's directories; empty when
// it is not installed.
std::string find_program(const std::string& program);

// Bytes 0..255 in a repeating pattern, with NUL, CR LF and 0x1A among them.
std::string binary_bytes(std::size_t size);

// A test that does not apply to the build at hand is compiled but never registered, so the
// run neither lists nor skips it: LINUX_BUILD_TEST for behaviour only the Linux build has,
// UNSANITIZED_BUILD_TEST for what a sanitizer runtime in the tools would distort, and
// LINUX_UNSANITIZED_BUILD_TEST for both.
#define UNREGISTERED_TEST(suite, name) [[maybe_unused]] static void suite##_##name##_unregistered()
#ifdef OSTRAKIT_E2E_WINDOWS
#define LINUX_BUILD_TEST(suite, name) UNREGISTERED_TEST(suite, name)
#else
#define LINUX_BUILD_TEST(suite, name) TEST(suite, name)
#endif
#ifdef OSTRAKIT_SANITIZED
#define UNSANITIZED_BUILD_TEST(suite, name) UNREGISTERED_TEST(suite, name)
#else
#define UNSANITIZED_BUILD_TEST(suite, name) TEST(suite, name)
#endif
#if defined(OSTRAKIT_E2E_WINDOWS) || defined(OSTRAKIT_SANITIZED)
#define LINUX_UNSANITIZED_BUILD_TEST(suite, name) UNREGISTERED_TEST(suite, name)
#else
#define LINUX_UNSANITIZED_BUILD_TEST(suite, name) TEST(suite, name)
#endif

// A program, device or privilege the suite needs and the machine lacks: the test skips, or
// fails when everything is required.
#define REQUIRE_OR_SKIP(condition, reason)                          \
    if (!(condition)) {                                             \
        if (::e2e::everything_required()) FAIL() << (reason);      \
        GTEST_SKIP() << (reason);                                   \
    }

// A test that does not apply to this machine (its file system, say) skips, required or not.
#define SKIP_UNLESS(condition, reason) \
    if (!(condition)) GTEST_SKIP() << (reason)

// A test that does not apply to the build under test (`reason` is one of the cannot_* answers)
// skips and says why, required or not: it is no want of the machine.
#define SKIP_FOR_BUILD(reason)                                                        \
    if (const std::string skip_reason = (reason); !skip_reason.empty())               \
    GTEST_SKIP() << "does not apply to the tools of this run: " << skip_reason

}  // namespace e2e
