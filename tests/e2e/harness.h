// SPDX-License-Identifier: MIT
// Runs the built tools as a user would: real processes, real pipes, real files.
// One suite serves both builds: compiled as it stands it runs the native Linux tools, and
// compiled with OSTRAKIT_E2E_WINDOWS the Windows .exe files under Wine.
#pragma once

#include <string>
#include <vector>

namespace e2e {

enum class Input { BYTES, FILE, CLOSED };

struct Run {
    std::vector<std::string> args;  // after the program name
    std::string argv0;              // empty: the program's path
    Input input = Input::BYTES;
    std::string bytes;              // BYTES: fed through a pipe
    std::string path;               // FILE: opened as standard input
    std::string cwd;                // empty: the test's own
};

struct Result {
    bool exited = false;       // ended by exit, not by a signal
    int status = -1;
    std::string error;         // everything written to standard error
    std::string output;        // everything written to standard output
    long long input_consumed = -1;  // FILE: the offset standard input was left at
};

// Under Wine, an argument that is an absolute Linux path is handed to the tool as the same file
// on Wine's drive Z:, and its output is collected through files, as Wine's helper processes may
// hold inherited pipes open long after the tool has ended. argv0 cannot be set apart from the
// program there: run a renamed copy instead.
Result run(const std::string& program, const Run& run);

std::string pour_path();
std::string prune_path();

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

// The exact diagnostic line a tool prints for `operation`, whose check stands in the tool's
// source on the line that raises it.
std::string diagnostic(const std::string& tool, const std::string& operation,
                       const std::string& text);

// ---- Either build ------------------------------------------------------------------------

// True when the suite runs the Windows build under Wine.
bool windows_target();

// True when every test must run (OSTRAKIT_E2E_REQUIRE=1, as CI sets it): what a test needs and
// the machine lacks is then a failure, not a skip.
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

// Runs a helper program (not a tool under test) with standard streams on /dev/null. Returns
// its exit status, or -1 when it could not be run or was killed.
int execute(const std::vector<std::string>& argv);

// The full path of `program` found on PATH or in the administrator's directories; empty when
// it is not installed.
std::string find_program(const std::string& program);

// A test that does not apply to the build at hand is compiled but never registered, so the
// run neither lists nor skips it: LINUX_BUILD_TEST for behaviour only the Linux build has,
// UNSANITIZED_BUILD_TEST for what a sanitizer runtime in the tools would distort.
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

// Skips the current test, or fails it when everything is required, when `condition` is false.
#define REQUIRE_OR_SKIP(condition, reason)                          \
    if (!(condition)) {                                             \
        if (::e2e::everything_required()) FAIL() << (reason);      \
        GTEST_SKIP() << (reason);                                   \
    }

// Bytes 0..255 in a repeating pattern, with NUL, CR LF and 0x1A among them.
std::string binary_bytes(std::size_t size);

}  // namespace e2e
