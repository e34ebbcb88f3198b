// SPDX-License-Identifier: MIT
// Process, file and attribute helpers for the end-to-end tests.
#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string read_all(int fd) {
    std::string bytes;
    char chunk[65536];
    for (;;) {
        const ssize_t count = read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return bytes;
        bytes.append(chunk, static_cast<std::size_t>(count));
    }
}

// A file with no name, gone once its last descriptor closes.
int unnamed_file() {
    std::string pattern = std::filesystem::temp_directory_path() / "ostrakit-output-XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    check(fd >= 0, "mkostemp");
    unlink(pattern.c_str());
    return fd;
}

// Writes `bytes` into the non-blocking pipe `fd` until all are taken, the reader has gone, or
// the program has ended while something else still holds the reading end.
void feed(int fd, const std::string& bytes, const std::atomic<bool>& ended) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno != EINTR && errno != EAGAIN) return;  // it stopped reading
        if (ended) return;
        struct pollfd ready = {fd, POLLOUT, 0};
        poll(&ready, 1, 50);
    }
}

// Fills a pipe to the brim; returns how many bytes that took. The descriptor stays blocking.
std::size_t fill_pipe(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const std::string chunk(4096, '#');
    std::size_t filled = 0;
    for (ssize_t count; (count = write(fd, chunk.data(), chunk.size())) > 0;)
        filled += static_cast<std::size_t>(count);
    // The program's standard error is this same open file: it must block, not fail.
    fcntl(fd, F_SETFL, flags);
    return filled;
}

std::string proc_file(pid_t pid, const char* name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

long status_field(const std::string& status, const std::string& field) {
    const std::size_t at = status.find(field + ":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + field.size() + 1));
}

// Waits until `pid` sits in write() on its standard error, then reads its memory figures.
void measure_when_blocked_on_error(pid_t pid, Clock::time_point until, Result& result) {
    // write() is call 1 of the x86-64 kernel interface and call 4 of the i386 one, which a
    // 32-bit program uses.
    const std::string blocked = std::to_string(SYS_write) + " 0x2 ", blocked_32 = "4 0x2 ";
    for (; Clock::now() < until; std::this_thread::sleep_for(1ms)) {
        const std::string stat = proc_file(pid, "stat");
        if (stat.empty() || stat.find(") Z ") != std::string::npos) return;  // it has ended
        const std::string call = proc_file(pid, "syscall");
        if (call.rfind(blocked, 0) != 0 && call.rfind(blocked_32, 0) != 0) continue;
        const std::string status = proc_file(pid, "status");
        result.peak_rss_kib = status_field(status, "VmHWM");
        result.peak_virtual_kib = status_field(status, "VmPeak");
        result.anonymous_kib = status_field(status, "RssAnon");
        return;
    }
}

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

void close_if_open(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

std::vector<std::string> split_list(const std::string& list) {
    std::vector<std::string> words;
    std::istringstream items(list);
    for (std::string word; std::getline(items, word, ';');)
        if (!word.empty()) words.push_back(word);
    return words;
}

bool is_qemu(const std::vector<std::string>& emulator) {
    return std::filesystem::path(emulator.front()).filename().string().starts_with("qemu-");
}

// What an ELF image is built for, read from its header: the processor, the word size, and
// whether it names an interpreter (a dynamic loader that could preload a library).
struct Image {
    bool elf = false;  // false: not a program whose build the suite can tell
    unsigned machine = 0;
    unsigned word_size = 0;
    bool dynamic = false;
};

template <typename T>
T field(const std::string& bytes, std::size_t at) {
    T value{};
    if (at <= bytes.size() && sizeof value <= bytes.size() - at)
        std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

Image image_of(const std::string& path) {
    const std::string bytes = read_file(path);
    Image image;
    if (bytes.compare(0, 4, "\x7f" "ELF") != 0) return image;
    image.elf = true;
    const bool wide = bytes[4] == 2;
    image.word_size = wide ? 64 : 32;
    image.machine = field<std::uint16_t>(bytes, 18);
    const std::uint64_t headers =
        wide ? field<std::uint64_t>(bytes, 32) : field<std::uint32_t>(bytes, 28);
    const std::size_t size = field<std::uint16_t>(bytes, wide ? 54 : 42);
    const std::size_t count = field<std::uint16_t>(bytes, wide ? 56 : 44);
    constexpr std::uint32_t PT_INTERP = 3;
    for (std::size_t i = 0; i < count; ++i)
        image.dynamic |= field<std::uint32_t>(bytes, headers + i * size) == PT_INTERP;
    return image;
}

}  // namespace

struct Child::State {
    Run how;
    bool wine = false;
    pid_t pid = -1;
    // The parent's ends: the pipe that feeds standard input, the file it reads, and where
    // standard output and error are collected (the same descriptor for both ends under Wine).
    int feed = -1, input_file = -1, out = -1, err = -1;
    std::size_t prefilled = 0;  // bytes already in a held standard error
    std::atomic<bool> ended = false;
    bool reaped = false, waited = false;
    int wait_status = 0;
    struct rusage usage {};
    std::thread feeder, out_reader, err_reader;
    std::string output, error;

    bool reap(int options) {
        if (reaped) return true;
        const pid_t got = wait4(pid, &wait_status, options, &usage);
        if (got == pid || (got < 0 && errno != EINTR)) reaped = true;
        return reaped;
    }
};

Child::Child(const std::string& program, const Run& how) : state_(new State) {
    State& s = *state_;
    s.how = how;
    s.wine = program.ends_with(".exe");
    std::signal(SIGPIPE, SIG_IGN);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (how.input == Input::BYTES) {
        check(pipe2(in, O_CLOEXEC) == 0, "pipe");
        // The feeder must be able to give up once the program has ended.
        check(fcntl(in[1], F_SETFL, O_NONBLOCK) == 0, "fcntl");
    }
    if (how.input == Input::FILE) {
        s.input_file = open(how.path.c_str(), O_RDONLY | O_CLOEXEC);
        check(s.input_file >= 0, "open input " + how.path);
    }
    if (how.output == Output::DISCARD) {
        out[1] = err[1] = open("/dev/null", O_WRONLY | O_CLOEXEC);
        check(out[1] >= 0, "open /dev/null");
    } else if (s.wine) {
        out[0] = out[1] = unnamed_file();
        err[0] = err[1] = unnamed_file();
    } else {
        check(pipe2(out, O_CLOEXEC) == 0, "pipe");
        check(pipe2(err, O_CLOEXEC) == 0, "pipe");
    }
    if (how.hold_at_first_diagnostic) {
        if (err[0] != out[0]) close_if_open(err[0]);
        if (err[1] != out[1]) close_if_open(err[1]);
        check(pipe2(err, O_CLOEXEC) == 0, "pipe");
        s.prefilled = fill_pipe(err[1]);
    }

    const std::vector<std::string> emulator =
        how.helper ? std::vector<std::string>{} : tool_emulator();
    if (!emulator.empty() && (how.empty_argv || (!how.argv0.empty() && !is_qemu(emulator))))
        throw std::logic_error("under an emulator the program names itself: run a copy");
    std::vector<std::string> words = emulator;
    if (s.wine) {
        words.push_back(windows_name(program));
        for (const std::string& arg : how.args) words.push_back(windows_name(arg));
    } else {
        // qemu-user gives the program the name its option -0 names.
        if (!emulator.empty() && !how.argv0.empty()) words.insert(words.end(), {"-0", how.argv0});
        words.push_back(emulator.empty() && !how.argv0.empty() ? how.argv0 : program);
        words.insert(words.end(), how.args.begin(), how.args.end());
    }
    std::vector<char*> argv;
    if (!how.empty_argv)
        for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string executable = emulator.empty() ? program : emulator.front();

    s.pid = fork();
    check(s.pid >= 0, "fork");
    if (s.pid == 0) {
        std::signal(SIGPIPE, SIG_DFL);
        if (how.input == Input::BYTES) dup2(in[0], STDIN_FILENO);
        if (how.input == Input::FILE) dup2(s.input_file, STDIN_FILENO);
        if (how.input == Input::CLOSED) close(STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (!how.cwd.empty() && chdir(how.cwd.c_str()) != 0) _exit(127);
        if (how.setup) how.setup();
        close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
        execve(executable.c_str(), argv.data(), environ);
        _exit(127);
    }

    close_if_open(in[0]);
    s.feed = in[1];
    if (out[1] != out[0]) close_if_open(out[1]);
    if (err[1] != err[0] && err[1] != out[1]) close_if_open(err[1]);
    s.out = out[0];
    s.err = err[0];
    if (s.feed >= 0)
        s.feeder = std::thread([&s] {
            feed(s.feed, s.how.bytes, s.ended);
            close_if_open(s.feed);
        });
    // Natively the output comes through pipes, read while the program runs; a held standard
    // error is drained only once the program has been measured.
    if (!s.wine && s.out >= 0)
        s.out_reader = std::thread([&s] { s.output = read_all(s.out); });
    if (!s.wine && s.err >= 0 && !how.hold_at_first_diagnostic)
        s.err_reader = std::thread([&s] { s.error = read_all(s.err); });
}

Child::~Child() {
    if (!state_->waited) {
        kill(SIGKILL);
        wait();
    }
    delete state_;
}

bool Child::running() { return !state_->reap(WNOHANG); }

void Child::kill(int signal) {
    if (!state_->reaped) ::kill(state_->pid, signal);
}

Result Child::wait() {
    State& s = *state_;
    Result result;
    if (s.waited) throw std::logic_error("a child is waited for once");
    s.waited = true;
    const auto until = Clock::now() + s.how.timeout;
    if (s.how.hold_at_first_diagnostic) {
        measure_when_blocked_on_error(s.pid, until, result);
        s.err_reader = std::thread([&s] { s.error = read_all(s.err).substr(s.prefilled); });
    }
    while (!s.reap(WNOHANG)) {
        if (Clock::now() > until) {
            result.timed_out = true;
            ::kill(s.pid, SIGKILL);
            s.reap(0);
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    s.ended = true;
    for (std::thread* thread : {&s.feeder, &s.out_reader, &s.err_reader})
        if (thread->joinable()) thread->join();
    if (s.wine && s.how.output == Output::COLLECT) {
        check(lseek(s.out, 0, SEEK_SET) == 0 && lseek(s.err, 0, SEEK_SET) == 0, "lseek");
        s.output = read_all(s.out);
        s.error = read_all(s.err);
    }
    if (s.input_file >= 0) result.input_consumed = lseek(s.input_file, 0, SEEK_CUR);
    if (s.err != s.out) close_if_open(s.err);
    close_if_open(s.out);
    close_if_open(s.input_file);

    result.exited = !result.timed_out && WIFEXITED(s.wait_status);
    result.status = result.exited ? WEXITSTATUS(s.wait_status) : -1;
    result.signal = WIFSIGNALED(s.wait_status) ? WTERMSIG(s.wait_status) : 0;
    result.cpu_seconds = seconds(s.usage.ru_utime) + seconds(s.usage.ru_stime);
    result.output = std::move(s.output);
    result.error = std::move(s.error);
    return result;
}

Result run(const std::string& program, const Run& how) {
    Result result = Child(program, how).wait();
    // The tools never end with status 1 without a word, but a run under Wine once did: the
    // first write after a new prefix was made, on a slower machine, and never again in some
    // twenty fresh sessions here. Such a run never reached the tool's own report, so it is
    // made once more, and said so; a tool that really ends so fails the second run as well.
    if (program.ends_with(".exe") && how.output == Output::COLLECT && result.exited &&
        result.status == 1 && result.error.empty() && result.output.empty()) {
        std::fprintf(stderr, "Wine ended %s with status 1 and no word; running it again\n",
                     program.c_str());
        result = Child(program, how).wait();
    }
    return result;
}

Result pour(const std::string& name, const std::string& bytes, const std::string& cwd) {
    return run(pour_path(), {.args = {name}, .bytes = bytes, .cwd = cwd});
}

Result prune(const std::string& name, const std::string& cwd) {
    return run(prune_path(), {.args = {name}, .cwd = cwd});
}

int execute(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    const Result result = run(argv.at(0), {.args = {argv.begin() + 1, argv.end()},
                                           .input = Input::FILE, .path = "/dev/null",
                                           .output = Output::DISCARD, .timeout = timeout,
                                           .helper = true});
    return result.exited ? result.status : -1;
}

bool windows_target() {
#ifdef OSTRAKIT_E2E_WINDOWS
    return true;
#else
    return false;
#endif
}

bool everything_required() {
    const char* required = std::getenv("OSTRAKIT_E2E_REQUIRE");
    return required != nullptr && std::string_view(required) == "1";
}

std::string tool_directory() {
    const char* chosen = std::getenv("OSTRAKIT_TOOL_DIR");
    if (chosen && *chosen) return chosen;
    return windows_target() ? OSTRAKIT_MINGW_DIR : OSTRAKIT_BUILD_TOOL_DIR;
}

bool release_tools() {
    static const bool release = [] {
        std::ifstream cache(tool_directory() + "/CMakeCache.txt");
        const std::string entry = "OSTRAKIT_RELEASE:BOOL=";
        for (std::string line; std::getline(cache, line);) {
            if (!line.starts_with(entry)) continue;
            std::string value = line.substr(entry.size());
            std::transform(value.begin(), value.end(), value.begin(),
                           [](unsigned char c) { return std::toupper(c); });
            return value == "ON" || value == "1" || value == "TRUE" || value == "YES";
        }
        return OSTRAKIT_RELEASE_BUILD != 0;
    }();
    return release;
}

const std::vector<std::string>& tool_emulator() {
    static const std::vector<std::string> emulator = [] {
        const char* chosen = std::getenv("OSTRAKIT_TOOL_EMULATOR");
        std::vector<std::string> words = split_list(chosen ? chosen : "");
        if (words.empty() && windows_target()) words = {OSTRAKIT_WINE};
        // A name without a slash is looked for on PATH, as a shell would.
        if (!words.empty() && words.front().find('/') == std::string::npos) {
            const std::string found = find_program(words.front());
            if (!found.empty()) words.front() = found;
        }
        return words;
    }();
    return emulator;
}

std::string pour_path() {
    return tool_directory() + (windows_target() ? "/ostrapour.exe" : "/ostrapour");
}
std::string prune_path() {
    return tool_directory() + (windows_target() ? "/ostraprune.exe" : "/ostraprune");
}

namespace {

// What the tools of the run are next to this test program, for what goes into them from
// outside: a library preloaded by their dynamic loader, or valgrind's replacements of the C
// library's functions. A tool that is no ELF program (a wrapper, say) counts as alike: the
// test runs, and shows what happens.
enum class Likeness { ALIKE, EMULATED, STATIC, FOREIGN };

Likeness likeness_of_tools() {
    if (!tool_emulator().empty()) return Likeness::EMULATED;
    const Image tool = image_of(pour_path()), own = image_of("/proc/self/exe");
    if (!tool.elf) return Likeness::ALIKE;
    if (!tool.dynamic) return Likeness::STATIC;
    if (tool.machine != own.machine || tool.word_size != own.word_size) return Likeness::FOREIGN;
    return Likeness::ALIKE;
}

}  // namespace

std::string cannot_preload() {
    if (windows_target()) return "";
    switch (likeness_of_tools()) {
        case Likeness::EMULATED:
            return "they run under an emulator, which loads no library into them";
        case Likeness::STATIC:
            return "they are linked statically, so nothing is preloaded into them";
        case Likeness::FOREIGN:
            return "they are built for another processor than the fault library";
        case Likeness::ALIKE: break;
    }
    return "";
}

// Memcheck must replace the C library's allocator and string functions, which a static program
// holds inside itself; for a 32-bit program it needs the 32-bit C library's symbols
// (libc6-dbg:i386).
std::string cannot_run_under_valgrind() {
    if (windows_target()) return "";
    switch (likeness_of_tools()) {
        case Likeness::EMULATED: return "they run under an emulator, not under valgrind";
        case Likeness::STATIC:
            return "they are linked statically, and valgrind cannot follow the C library in them";
        case Likeness::FOREIGN:
            return "they are built for another processor than the one valgrind is set up for here";
        case Likeness::ALIKE: break;
    }
    return "";
}

std::string cannot_watch_the_process() {
    if (windows_target() || tool_emulator().empty()) return "";
    return "they run inside an emulator, whose own are the memory, the descriptors and the "
           "argument vector that the test would watch";
}

void expect_success(const Result& result, const std::string& what) {
    EXPECT_TRUE(result.exited) << what << (result.timed_out ? " (timed out)" : "") << " (signal "
                                << result.signal << ")";
    EXPECT_EQ(result.status, 0) << what;
    EXPECT_EQ(result.error, "") << what;
    EXPECT_EQ(result.output, "") << what;
}

void expect_failure(const Result& result, const std::string& tool, const std::string& operation,
                    int code, const std::string& what, int occurrence) {
    EXPECT_TRUE(result.exited) << what << (result.timed_out ? " (timed out)" : "") << " (signal "
                                << result.signal << ")";
    EXPECT_EQ(result.status, 1) << what;
    EXPECT_EQ(result.error, diagnostic(tool, operation, system_text(code), occurrence)) << what;
    EXPECT_EQ(result.output, "") << what;
}

void expect_pour_refused(const std::string& name, const std::string& input,
                         const std::string& operation, int code, const std::string& what) {
    const Result result = run(pour_path(), {.args = {name}, .input = Input::FILE, .path = input});
    expect_failure(result, "ostrapour", operation, code, what);
    EXPECT_EQ(result.input_consumed, 0) << what;
}

std::string diagnostic(const std::string& tool, const std::string& operation,
                       const std::string& text, int occurrence) {
    const std::string file = "/" + tool + "/" + tool + ".cpp";
    const std::string source = OSTRAKIT_SOURCE_DIR + file;
    const std::string recorded = !release_tools()   ? source
                                 : windows_target() ? OSTRAKIT_WINDOWS_RELEASE_DIR + file
                                                    : OSTRAKIT_RELEASE_DIR + file;
    std::istringstream lines(read_file(source));
    const std::string site = "REPORT_AND_EXIT(\"" + operation + "\")";
    std::string line;
    for (int number = 1, seen = 0; std::getline(lines, line); ++number)
        if (line.find(site) != line.npos && ++seen == occurrence)
            return text_mode(recorded + ":" + operation + "(" + std::to_string(number) + "): " +
                             text + "\n");
    throw std::runtime_error("no report site " + std::to_string(occurrence) + " for " +
                             operation + " in " + source);
}

std::string usage(const std::string& tool, const std::string& program) {
    const std::string description = tool == "ostrapour"
                                        ? "Reads from STDIN and Writes to a file/stream(s).\n\n"
                                        : "Deletes a specified file/stream.\n\n";
    return text_mode("ostrakit " OSTRAKIT_VERSION " - file and named stream tools\n" +
                     description + program +
                     " FileName[:StreamName]\n"
                     "FileName and StreamName can consist of up to 255 Unicode chars\n");
}

std::string windows_name(const std::string& path) {
    if (path.empty() || path[0] != '/') return path;
    std::string name = "Z:" + path;
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

std::string invoked_name(const std::string& program) {
    return windows_target() ? windows_name(program) : program;
}

std::string text_mode(const std::string& text) {
    if (!windows_target()) return text;
    std::string translated;
    for (const char c : text) {
        if (c == '\n') translated += '\r';
        translated += c;
    }
    return translated;
}

std::string system_text(int code) {
    if (!windows_target()) return std::strerror(code);
    // Wine's wording; a Windows kernel words them differently ("The system cannot find the
    // file specified."). Windows refuses to delete a directory as it refuses a read-only file.
    switch (code) {
        case ENOENT: return "File not found.\r\n";
        case EACCES:
        case EISDIR: return "Access denied.\r\n";
        case EBUSY: return "Sharing violation.\r\n";
        default: throw std::logic_error("no Windows text for errno " + std::to_string(code));
    }
}

std::string find_program(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream directories(std::string(path ? path : "") + ":/usr/sbin:/sbin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::string candidate = directory + "/" + program;
        if (!directory.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::string binary_bytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    bytes.replace(0, 6, std::string("\0\r\n\x1a\r\n", 6));
    return bytes;
}

ScratchDir::ScratchDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "ostrakit-e2e-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // Tests make files read-only; removal needs them writable again.
    for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

void set_stream(const std::string& file, const std::string& stream, const std::string& value) {
    check(setxattr(file.c_str(), ("user." + stream).c_str(), value.data(), value.size(), 0) == 0,
          "setxattr");
}

Attributes attributes_of(const std::string& file) {
    Attributes attributes;
    for (const std::string& name : attribute_names(file))
        attributes[name.substr(5)] = read_stream(file, name.substr(5));
    return attributes;
}

void make_main_with(const std::string& file, const Attributes& attributes) {
    std::filesystem::remove(file);
    write_file(file, "main");
    for (const auto& [name, value] : attributes) set_stream(file, name, value);
}

bool has_stream(const std::string& file, const std::string& stream) {
    return getxattr(file.c_str(), ("user." + stream).c_str(), nullptr, 0) >= 0;
}

std::string read_stream(const std::string& file, const std::string& stream) {
    std::string value(65536, '\0');
    const ssize_t size =
        getxattr(file.c_str(), ("user." + stream).c_str(), value.data(), value.size());
    check(size >= 0, "getxattr");
    value.resize(static_cast<std::size_t>(size));
    return value;
}

std::vector<std::string> attribute_names(const std::string& path) {
    std::string names(65536, '\0');
    const ssize_t size = listxattr(path.c_str(), names.data(), names.size());
    if (size < 0) return {"listxattr failed: " + std::string(std::strerror(errno))};
    std::vector<std::string> list;
    for (std::size_t start = 0; start < static_cast<std::size_t>(size);) {
        list.emplace_back(names.c_str() + start);
        start += list.back().size() + 1;
    }
    std::sort(list.begin(), list.end());
    return list;
}

void place_file(int fd, const std::string& path, int flags) {
    const int opened = open(path.c_str(), flags, 0644);
    if (opened < 0) _exit(126);
    if (opened != fd) {
        if (dup2(opened, fd) < 0) _exit(126);
        close(opened);
    }
}

void preload_shim(const std::string& mode, const std::string& log) {
    setenv("LD_PRELOAD", OSTRAKIT_SHIM_PATH, 1);
    setenv("OSTRAKIT_SHIM", mode.c_str(), 1);
    if (!log.empty()) setenv("OSTRAKIT_SHIM_LOG", log.c_str(), 1);
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

namespace {

// What keeps the Windows build from running here, or nothing.
std::string missing_for_wine() {
    const std::string wine = tool_emulator().front();
    if (access(wine.c_str(), X_OK) != 0) return "no Wine at " + wine + " (Debian: wine64)";
    for (const std::string& tool : {pour_path(), prune_path()})
        if (access(tool.c_str(), R_OK) != 0)
            return "no Windows build at " + tool + " (cmake --preset mingw && cmake --build "
                   "--preset mingw)";
    return "";
}

// The status CTest takes for a skip of a whole Windows test process (SKIP_RETURN_CODE).
constexpr int SKIPPED_STATUS = 77;

// One Wine session serves every run of the Windows build: a server that stays up, with Wine's
// own services started on /dev/null. Started by the first test process, it serves the later
// ones; CTest stops it at the end. The prefix is created on first use (wineboot, several
// seconds) and kept in the build tree.
class WineSession : public testing::Environment {
public:
    void SetUp() override {
        if (!windows_target()) return;
        const std::string missing = missing_for_wine();
        if (!missing.empty()) {
            // Required: every test still runs, and fails.
            if (everything_required()) {
                ADD_FAILURE() << missing;
                return;
            }
            std::fprintf(stderr, "Windows build not run: %s\n", missing.c_str());
            std::exit(SKIPPED_STATUS);
        }
        // A prefix the run names (one with the tools installed) serves instead of the build's.
        const char* named = std::getenv("WINEPREFIX");
        if (named == nullptr || *named == '\0') setenv("WINEPREFIX", OSTRAKIT_WINE_PREFIX, 1);
        setenv("WINEDEBUG", "-all", 1);
        // A fixed locale: the code page that names are printed in (1252) follows from it.
        setenv("LC_ALL", "C.UTF-8", 1);
        std::filesystem::create_directories(std::getenv("WINEPREFIX"));
        const std::string wineserver =
            std::filesystem::path(tool_emulator().front()).replace_filename("wineserver");
        // Status 2: a server for this prefix is already up, with its services.
        const int server = execute({wineserver, "-p30"});
        if (server == 2) return;
        ASSERT_EQ(server, 0) << wineserver << " did not start";
        ASSERT_EQ(execute({tool_emulator().front(), "wineboot"}), 0) << "wineboot failed";
    }
};

[[maybe_unused]] testing::Environment* const wine_session =
    testing::AddGlobalTestEnvironment(new WineSession);

}  // namespace
}  // namespace e2e
