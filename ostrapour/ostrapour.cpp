// SPDX-License-Identifier: MIT
// ostrapour: copies standard input, byte for byte, into an existing file or named stream,
// in place from its first byte, never creating and never shortening it.
#include <cstdint>

#include "frame.h"
#include "platform.h"

using namespace ostrakit;

namespace {

constexpr std::uint32_t READ_BLOCK_SIZE = 256;
constexpr const char* DESCRIPTION = "Reads from STDIN and Writes to a file/stream(s).\n\n";

ExtendedPathBuffer path;
Target target;
unsigned char block[READ_BLOCK_SIZE];

// Copies from `input` into `to` through `buffer` until end of input, writing each block
// completely before the next read. Returns only at end of input; every failure ends the process.
void copy_input_to_target(Handle input, unsigned char (&buffer)[READ_BLOCK_SIZE], Target& to) {
    for (;;) {
        std::uint32_t delivered = 0;
        if (!platform::read_block(input, buffer, READ_BLOCK_SIZE, &delivered)) {
            // A pipe whose writer has gone is the end of the input, not a failure.
            if (platform::is_broken_pipe(platform::last_error())) return;
            REPORT_AND_EXIT("ReadFile");
        }
        if (delivered == 0) return;
        for (std::uint32_t written = 0; written < delivered;) {
            std::uint32_t taken = 0;
            if (!platform::write_block(to, buffer + written, delivered - written, &taken))
                REPORT_AND_EXIT("WriteFile");
            written += taken;
        }
    }
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
    platform::prepare_process();
    if (!select_user_locale()) REPORT_AND_EXIT("setlocale");
    if (argc != 2) {
        print_usage(argv[0], DESCRIPTION);
        platform::exit_process(EXIT_FAILURE_STATUS);
    }
    if (!platform::build_extended_path(argv[1], path)) REPORT_AND_EXIT("GetFullPathNameW");
    // The target is opened before standard input is touched: a failed open consumes nothing.
    if (!platform::open_existing_for_writing(path, target)) REPORT_AND_EXIT("CreateFile");
    const Handle input = platform::standard_input();
    if (input == INVALID_HANDLE) REPORT_AND_EXIT("GetStdHandle");
    copy_input_to_target(input, block, target);
    platform::close_input(input);
    // Only the target's close can tell of bytes lost: standard input's result means nothing.
    if (!platform::close_target(target)) REPORT_AND_EXIT("WriteFile");
    platform::exit_process(EXIT_OK);
}
