// Process, file and attribute helpers for the end-to-end tests.
#include "harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

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

}  // namespace

std::string pour_path() { return OSTRAPOUR_PATH; }
std::string prune_path() { return OSTRAPRUNE_PATH; }

Result run(const std::string& program, const Run& spec) {
    std::signal(SIGPIPE, SIG_IGN);
    int in[2] = {-1, -1}, out[2], err[2];
    if (spec.input == Input::BYTES) check(pipe2(in, O_CLOEXEC) == 0, "pipe");
    if (spec.input == Input::FILE || spec.input == Input::INHERIT_PATH) {
        in[0] = open(spec.path.c_str(), O_RDONLY | O_CLOEXEC);
        check(in[0] >= 0, "open input");
    }
    check(pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0, "pipe");

    std::vector<std::string> words{spec.argv0.empty() ? program : spec.argv0};
    words.insert(words.end(), spec.args.begin(), spec.args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t child = fork();
    check(child >= 0, "fork");
    if (child == 0) {
        if (in[0] >= 0)
            dup2(in[0], STDIN_FILENO);
        else
            close(STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (!spec.cwd.empty() && chdir(spec.cwd.c_str()) != 0) _exit(127);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    std::thread feeder;
    if (spec.input == Input::BYTES) {
        close(in[0]);
        feeder = std::thread([fd = in[1], &bytes = spec.bytes] {
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
                if (count < 0 && errno == EINTR) continue;
                if (count <= 0) break;  // the tool stopped reading
                done += static_cast<std::size_t>(count);
            }
            close(fd);
        });
    }
    Result result;
    std::thread error_reader([&] { result.error = read_all(err[0]); });
    result.output = read_all(out[0]);
    error_reader.join();
    if (feeder.joinable()) feeder.join();
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    close(out[0]);
    close(err[0]);
    if (spec.input == Input::FILE || spec.input == Input::INHERIT_PATH) {
        result.input_consumed = lseek(in[0], 0, SEEK_CUR);
        close(in[0]);
    }
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : -1;
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
    const std::string site = "REPORT_ERROR(\"" + operation + "\")";
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number)
        if (line.find(site) != std::string::npos)
            return source + ":" + operation + "(" + std::to_string(number) + "): " + text + "\n";
    throw std::runtime_error("no report site for " + operation + " in " + source);
}

std::string binary_bytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    bytes.replace(0, 6, std::string("\0\r\n\x1a\r\n", 6));
    return bytes;
}

}  // namespace e2e
