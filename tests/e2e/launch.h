// SPDX-License-Identifier: MIT
// Starts a tool the way run() cannot: standard handles, limits and the current directory set up
// by the test itself, and the memory the run used. Also reaches paths past PATH_MAX.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

struct Launch {
    std::vector<std::string> args;  // after the program name
    // Runs in the child just before the program starts: open, close and move descriptors,
    // set limits and signal dispositions, change directory. SIGPIPE is back at its default
    // before it runs, so a tool that forgets to ignore it dies of it. Descriptors above the
    // standard three are closed as the program starts.
    std::function<void()> setup;
    // Standard error becomes a pipe filled to the brim, so that the tool's first diagnostic
    // blocks; the run is measured there, at its very end, and the pipe drained.
    bool hold_at_first_diagnostic = false;
    bool empty_argv = false;  // start with no argument vector at all, not even a program name
};

struct Outcome {
    bool exited = false;     // ended by exit, not by a signal (nor by the watchdog)
    int status = -1;
    int signal = 0;          // the signal that ended it, if any
    bool timed_out = false;  // still running after 20 s, then killed
    double cpu_seconds = 0;  // user and system time used
    // Memory when held at the first diagnostic (-1 otherwise): peak resident (VmHWM, which
    // also counts library pages mapped around each fault, so it varies a little from run to
    // run), peak virtual size (VmPeak) and resident anonymous memory (RssAnon).
    long peak_rss_kib = -1;
    long peak_virtual_kib = -1;
    long anonymous_kib = -1;
    std::string held_error;  // what the held diagnostic wrote, when held
};

Outcome launch(const std::string& program, const Launch& how);

// Runs with standard input read from the file `input`, standard output and error written to
// files in the directory `scratch`, then `setup`; returns what run() would.
Result run_redirected(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const std::string& scratch,
                      const std::function<void()>& setup = {});

// For `setup`: puts `path`, opened with `flags`, at descriptor `fd`. Ends the child on failure.
void place_file(int fd, const std::string& path, int flags);

// Creates nested directories under `base` so that the returned path is exactly `length` bytes
// long, with components of at most 255 bytes.
std::string make_deep_directory(const std::string& base, std::size_t length);

// An open directory, reached one component at a time, with a short alias for names in it:
// "/proc/self/fd/N/name", which the plain helpers in harness.h can use at any depth.
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

}  // namespace e2e
