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
unsigned char block[READ_BLOCK_SIZE];

// Copies until end of input, writing each block completely before the next read.
// Returns only at end of input; every failure ends the process.
void copy_input_to_target(Handle input, Handle target) {
    for (;;) {
        std::uint32_t delivered = 0;
        if (!platform::read_block(input, block, READ_BLOCK_SIZE, &delivered)) {
            // A pipe whose writer has gone is the end of the input, not a failure.
            if (platform::is_broken_pipe(platform::last_error())) return;
            REPORT_ERROR("ReadFile");
            platform::exit_process(EXIT_FAILURE_STATUS);
        }
        if (delivered == 0) return;
        for (std::uint32_t written = 0; written < delivered;) {
            std::uint32_t taken = 0;
            if (!platform::write_block(target, block + written, delivered - written, &taken)) {
                REPORT_ERROR("WriteFile");
                platform::exit_process(EXIT_FAILURE_STATUS);
            }
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
    if (!platform::select_user_locale()) {
        REPORT_ERROR("setlocale");
        platform::exit_process(EXIT_FAILURE_STATUS);
    }
    if (argc != 2) {
        print_usage(argv[0], DESCRIPTION);
        platform::exit_process(EXIT_FAILURE_STATUS);
    }
    if (!platform::build_extended_path(argv[1], path)) {
        REPORT_ERROR("GetFullPathNameW");
        platform::exit_process(EXIT_FAILURE_STATUS);
    }
    // The target is opened before standard input is touched: a failed open consumes nothing.
    const Handle target = platform::open_existing_for_writing(path.chars);
    if (target == INVALID_HANDLE) {
        REPORT_ERROR("CreateFile");
        platform::exit_process(EXIT_FAILURE_STATUS);
    }
    const Handle input = platform::standard_input();
    if (input == INVALID_HANDLE) {
        REPORT_ERROR("GetStdHandle");
        platform::exit_process(EXIT_FAILURE_STATUS);
    }
    copy_input_to_target(input, target);
    platform::close_handle(input);
    // Only the target's close can tell of bytes lost: standard input's result means nothing.
    if (!platform::close_handle(target)) {
        REPORT_ERROR("WriteFile");
        platform::exit_process(EXIT_FAILURE_STATUS);
    }
    platform::exit_process(EXIT_OK);
}
