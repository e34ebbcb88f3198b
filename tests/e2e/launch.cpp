// SPDX-License-Identifier: MIT
// Launching with hand-made standard handles, measuring a run, and reaching deep directories.
#include "launch.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace e2e {
namespace {

using namespace std::chrono_literals;

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string proc_file(pid_t pid, const char* name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Fills a pipe to the brim; returns how many bytes that took. The descriptor stays blocking.
std::size_t fill_pipe(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const std::string chunk(4096, '#');
    std::size_t filled = 0;
    for (ssize_t count; (count = write(fd, chunk.data(), chunk.size())) > 0;)
        filled += static_cast<std::size_t>(count);
    // Standard error of the tool is this same open file: it must block, not fail.
    fcntl(fd, F_SETFL, flags);
    return filled;
}

long status_field(const std::string& status, const std::string& field) {
    const std::size_t at = status.find(field + ":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + field.size() + 1));
}

// Waits until `pid` sits in write() on its standard error, then reads its memory figures.
void measure_when_blocked_on_error(pid_t pid, Outcome& outcome) {
    const std::string blocked = std::to_string(SYS_write) + " 0x2 ";
    for (auto until = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(1ms)) {
        const std::string stat = proc_file(pid, "stat");
        if (stat.empty() || stat.find(") Z ") != std::string::npos) return;  // it has ended
        if (proc_file(pid, "syscall").rfind(blocked, 0) != 0) continue;
        const std::string status = proc_file(pid, "status");
        outcome.peak_rss_kib = status_field(status, "VmHWM");
        outcome.peak_virtual_kib = status_field(status, "VmPeak");
        outcome.anonymous_kib = status_field(status, "RssAnon");
        return;
    }
}

std::string read_to_end(int fd) {
    std::string bytes;
    char chunk[4096];
    for (ssize_t count; (count = read(fd, chunk, sizeof chunk)) != 0;) {
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) break;
        bytes.append(chunk, static_cast<std::size_t>(count));
    }
    return bytes;
}

// Reaps `pid`, killing it if it is still running after 20 s.
void reap(pid_t pid, Outcome& outcome) {
    int status = 0;
    struct rusage usage {};
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            outcome.timed_out = true;
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    outcome.exited = !outcome.timed_out && WIFEXITED(status);
    outcome.status = outcome.exited ? WEXITSTATUS(status) : -1;
    outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    outcome.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

Outcome launch(const std::string& program, const Launch& how) {
    int held[2] = {-1, -1};
    std::size_t prefilled = 0;
    if (how.hold_at_first_diagnostic) {
        check(pipe2(held, O_CLOEXEC) == 0, "pipe");
        prefilled = fill_pipe(held[1]);
    }
    std::vector<std::string> words{program};
    words.insert(words.end(), how.args.begin(), how.args.end());
    std::vector<char*> argv;
    if (!how.empty_argv)
        for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t child = fork();
    check(child >= 0, "fork");
    if (child == 0) {
        std::signal(SIGPIPE, SIG_DFL);
        if (held[1] >= 0) dup2(held[1], STDERR_FILENO);
        if (how.setup) how.setup();
        // Nothing the test runner left open reaches the tool: descriptor limits mean what
        // they say.
        close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
        execve(program.c_str(), argv.data(), environ);
        _exit(127);
    }
    Outcome outcome;
    if (how.hold_at_first_diagnostic) {
        close(held[1]);
        measure_when_blocked_on_error(child, outcome);
        outcome.held_error = read_to_end(held[0]).substr(prefilled);
        close(held[0]);
    }
    reap(child, outcome);
    return outcome;
}

Result run_redirected(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const std::string& scratch,
                      const std::function<void()>& setup) {
    const std::string output = scratch + "/launch-stdout", error = scratch + "/launch-stderr";
    const Outcome outcome = launch(program, {.args = args, .setup = [&] {
        place_file(STDIN_FILENO, input, O_RDONLY);
        place_file(STDOUT_FILENO, output, O_WRONLY | O_CREAT | O_TRUNC);
        place_file(STDERR_FILENO, error, O_WRONLY | O_CREAT | O_TRUNC);
        if (setup) setup();
    }});
    Result result;
    result.exited = outcome.exited;
    result.status = outcome.status;
    result.output = read_file(output);
    result.error = read_file(error);
    return result;
}

void place_file(int fd, const std::string& path, int flags) {
    const int opened = open(path.c_str(), flags, 0644);
    if (opened < 0) _exit(126);
    if (opened != fd) {
        if (dup2(opened, fd) < 0) _exit(126);
        close(opened);
    }
}

std::string make_deep_directory(const std::string& base, std::size_t length) {
    if (length < base.size() + 2) throw std::invalid_argument("no room for a component");
    int fd = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    check(fd >= 0, "open " + base);
    std::string path = base;
    while (path.size() < length) {
        std::size_t take = std::min<std::size_t>(length - path.size(), 256);
        if (length - path.size() - take == 1) --take;  // never leave room for "/" alone
        const std::string name(take - 1, 'd');
        check(mkdirat(fd, name.c_str(), 0755) == 0 || errno == EEXIST, "mkdirat");
        const int next = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        check(next >= 0, "openat");
        fd = next;
        path += "/" + name;
    }
    close(fd);
    return path;
}

DirectoryAlias::DirectoryAlias(const std::string& path) {
    fd_ = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::istringstream components(path);
    for (std::string name; std::getline(components, name, '/');) {
        if (name.empty()) continue;
        const int next = openat(fd_, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        close(fd_);
        fd_ = next;
        check(fd_ >= 0, "open directory " + name);
    }
}

DirectoryAlias::~DirectoryAlias() { close(fd_); }

std::string DirectoryAlias::operator/(const std::string& name) const {
    return "/proc/self/fd/" + std::to_string(fd_) + "/" + name;
}

TmpfsMount::TmpfsMount(const std::string& size) {
    std::string pattern = std::filesystem::temp_directory_path() / "ostrakit-tmpfs-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    directory_ = pattern;
    if (mount("tmpfs", directory_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
              ("size=" + size).c_str()) == 0)
        path_ = directory_;
    else
        reason_ = "cannot mount a tmpfs (" + std::string(std::strerror(errno)) + ")";
}

TmpfsMount::~TmpfsMount() {
    if (!path_.empty()) umount2(path_.c_str(), MNT_DETACH);
    rmdir(directory_.c_str());
}

}  // namespace e2e
