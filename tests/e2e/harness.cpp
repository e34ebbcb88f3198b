// SPDX-License-Identifier: MIT
// Process, file and attribute helpers for the end-to-end tests.
#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

std::string read_from_start(int fd) {
    check(lseek(fd, 0, SEEK_SET) == 0, "lseek");
    return read_all(fd);
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
// the tool has ended while something else still holds the reading end.
void feed(int fd, const std::string& bytes, const std::atomic<bool>& ended) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno != EINTR && errno != EAGAIN) return;  // the tool stopped reading
        if (ended) return;
        struct pollfd ready = {fd, POLLOUT, 0};
        poll(&ready, 1, 50);
    }
}

int wait_for(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// The child's standard streams as [reading end, writing end]. Standard input is a pipe fed
// by the test, a file, or absent (-1). Natively the output comes through pipes; under Wine
// through unnamed files, read once the tool has ended, as helpers it starts may hold a pipe
// open for a long time.
struct Pipes {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
};

Pipes open_pipes(const Run& how, bool wine) {
    Pipes pipes;
    if (how.input == Input::BYTES) {
        check(pipe2(pipes.in, O_CLOEXEC) == 0, "pipe");
        // The feeder must be able to give up once the tool has ended.
        check(fcntl(pipes.in[1], F_SETFL, O_NONBLOCK) == 0, "fcntl");
    }
    if (how.input == Input::FILE) {
        pipes.in[0] = open(how.path.c_str(), O_RDONLY | O_CLOEXEC);
        check(pipes.in[0] >= 0, "open input");
    }
    if (wine) {
        pipes.out[0] = pipes.out[1] = unnamed_file();
        pipes.err[0] = pipes.err[1] = unnamed_file();
    } else {
        check(pipe2(pipes.out, O_CLOEXEC) == 0 && pipe2(pipes.err, O_CLOEXEC) == 0, "pipe");
    }
    return pipes;
}

// Feeds `bytes` to the child on its own thread, when standard input is a pipe.
std::thread start_feeder(Pipes& pipes, const std::string& bytes, const std::atomic<bool>& ended) {
    if (pipes.in[1] < 0) return {};
    close(pipes.in[0]);
    pipes.in[0] = -1;
    return std::thread([fd = pipes.in[1], &bytes, &ended] {
        feed(fd, bytes, ended);
        close(fd);
    });
}

void set_status(Result& result, int status) {
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : -1;
}

Result collect_from_pipes(pid_t child, Pipes& pipes, const std::string& bytes) {
    std::atomic<bool> ended = false;
    std::thread feeder = start_feeder(pipes, bytes, ended);
    close(pipes.out[1]);
    close(pipes.err[1]);
    Result result;
    std::thread error_reader([&] { result.error = read_all(pipes.err[0]); });
    result.output = read_all(pipes.out[0]);
    error_reader.join();
    if (feeder.joinable()) feeder.join();
    set_status(result, wait_for(child));
    close(pipes.out[0]);
    close(pipes.err[0]);
    return result;
}

Result collect_from_files(pid_t child, Pipes& pipes, const std::string& bytes) {
    std::atomic<bool> ended = false;
    std::thread feeder = start_feeder(pipes, bytes, ended);
    Result result;
    set_status(result, wait_for(child));
    ended = true;
    if (feeder.joinable()) feeder.join();
    result.output = read_from_start(pipes.out[0]);
    result.error = read_from_start(pipes.err[0]);
    close(pipes.out[0]);
    close(pipes.err[0]);
    return result;
}

// The tool's argument vector, and under Wine the loader's in front of it.
std::vector<std::string> command_words(const std::string& program, const Run& how) {
    if (!windows_target()) {
        std::vector<std::string> words{how.argv0.empty() ? program : how.argv0};
        words.insert(words.end(), how.args.begin(), how.args.end());
        return words;
    }
    if (!how.argv0.empty())
        throw std::logic_error("under Wine the program name is the program's own: run a copy");
    std::vector<std::string> words{OSTRAKIT_WINE, windows_name(program)};
    for (const std::string& arg : how.args) words.push_back(windows_name(arg));
    return words;
}

}  // namespace

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

std::string pour_path() {
    return windows_target() ? OSTRAKIT_MINGW_DIR "/ostrapour.exe" : OSTRAPOUR_PATH;
}
std::string prune_path() {
    return windows_target() ? OSTRAKIT_MINGW_DIR "/ostraprune.exe" : OSTRAPRUNE_PATH;
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

int execute(const std::vector<std::string>& words) {
    std::vector<std::string> copies = words;
    std::vector<char*> argv;
    for (auto& word : copies) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        // Nothing of ours may stay open in a helper that outlives the test (wineserver does).
        const int null = open("/dev/null", O_RDWR);
        for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, fd);
        close_range(STDERR_FILENO + 1, ~0U, 0);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Result run(const std::string& program, const Run& how) {
    std::signal(SIGPIPE, SIG_IGN);
    const bool wine = windows_target();
    Pipes pipes = open_pipes(how, wine);
    std::vector<std::string> words = command_words(program, how);
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string executable = wine ? OSTRAKIT_WINE : program;

    const pid_t child = fork();
    check(child >= 0, "fork");
    if (child == 0) {
        if (pipes.in[0] >= 0)
            dup2(pipes.in[0], STDIN_FILENO);
        else
            close(STDIN_FILENO);
        dup2(pipes.out[1], STDOUT_FILENO);
        dup2(pipes.err[1], STDERR_FILENO);
        if (!how.cwd.empty() && chdir(how.cwd.c_str()) != 0) _exit(127);
        execv(executable.c_str(), argv.data());
        _exit(127);
    }
    Result result = wine ? collect_from_files(child, pipes, how.bytes)
                         : collect_from_pipes(child, pipes, how.bytes);
    if (how.input == Input::FILE) {
        result.input_consumed = lseek(pipes.in[0], 0, SEEK_CUR);
        close(pipes.in[0]);
    }
    return result;
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

std::string diagnostic(const std::string& tool, const std::string& operation,
                       const std::string& text) {
    const std::string source = std::string(OSTRAKIT_SOURCE_DIR) + "/" + tool + "/" + tool + ".cpp";
    std::istringstream lines(read_file(source));
    const std::string site = "REPORT_AND_EXIT(\"" + operation + "\")";
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number)
        if (line.find(site) != std::string::npos)
            return text_mode(source + ":" + operation + "(" + std::to_string(number) + "): " +
                             text + "\n");
    throw std::runtime_error("no report site for " + operation + " in " + source);
}

std::string binary_bytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    bytes.replace(0, 6, std::string("\0\r\n\x1a\r\n", 6));
    return bytes;
}

namespace {

// What keeps the Windows build from running here, or nothing.
std::string missing_for_wine() {
    if (access(OSTRAKIT_WINE, X_OK) != 0) return "no Wine at " OSTRAKIT_WINE " (Debian: wine64)";
    for (const std::string& tool : {pour_path(), prune_path()})
        if (access(tool.c_str(), R_OK) != 0)
            return "no Windows build at " + tool + " (cmake --preset mingw && cmake --build "
                   "--preset mingw)";
    return "";
}

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
            // Required: every test still runs, and fails. A failure here would only mark them
            // skipped.
            if (everything_required()) {
                ADD_FAILURE() << missing;
                return;
            }
            // Printed in GoogleTest's own words, so that CTest counts the skip.
            std::printf("[  SKIPPED ] Windows build not run: %s\n", missing.c_str());
            GTEST_SKIP() << missing;
        }
        setenv("WINEPREFIX", OSTRAKIT_WINE_PREFIX, 1);
        setenv("WINEDEBUG", "-all", 1);
        // A fixed locale: the code page that names are printed in (1252) follows from it.
        setenv("LC_ALL", "C.UTF-8", 1);
        std::filesystem::create_directories(OSTRAKIT_WINE_PREFIX);
        const std::string wineserver =
            std::filesystem::path(OSTRAKIT_WINE).replace_filename("wineserver");
        // Status 2: a server for this prefix is already up, with its services.
        const int server = execute({wineserver, "-p30"});
        if (server == 2) return;
        ASSERT_EQ(server, 0) << wineserver << " did not start";
        ASSERT_EQ(execute({OSTRAKIT_WINE, "wineboot"}), 0) << "wineboot failed";
    }
};

[[maybe_unused]] testing::Environment* const wine_session =
    testing::AddGlobalTestEnvironment(new WineSession);

}  // namespace
}  // namespace e2e
