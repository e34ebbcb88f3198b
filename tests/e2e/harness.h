// Runs the built tools as a user would: real processes, real pipes, real files.
#pragma once

#include <string>
#include <vector>

namespace e2e {

enum class Input { BYTES, FILE, CLOSED, INHERIT_PATH };

struct Run {
    std::vector<std::string> args;  // after the program name
    std::string argv0;              // empty: the program's path
    Input input = Input::BYTES;
    std::string bytes;              // BYTES: fed through a pipe
    std::string path;               // FILE, INHERIT_PATH: opened as standard input
    std::string cwd;                // empty: the test's own
};

struct Result {
    bool exited = false;       // ended by exit, not by a signal
    int status = -1;
    std::string error;         // everything written to standard error
    std::string output;        // everything written to standard output
    long long input_consumed = -1;  // FILE: the offset standard input was left at
};

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

// Bytes 0..255 in a repeating pattern, with NUL, CR LF and 0x1A among them.
std::string binary_bytes(std::size_t size);

}  // namespace e2e
