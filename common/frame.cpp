// SPDX-License-Identifier: MIT
// The start-up, the usage screen and the error reporter shared by both tools.
#include "frame.h"

#include <clocale>

namespace ostrakit {
namespace {

constexpr const char* BANNER = "ostrakit " OSTRAKIT_VERSION " - file and named stream tools";

// The display form of a program name, as large as the backend needs it.
char display_name[DISPLAY_NAME_CAPACITY];

constexpr PathChar NO_NAME[1] = {};

}  // namespace

bool select_user_locale() {
    if (std::setlocale(LC_ALL, "") != nullptr) return true;
    return std::setlocale(LC_ALL, "C") != nullptr;
}

void print_usage(const PathChar* program_name, const char* description) {
    if (program_name == nullptr) program_name = NO_NAME;
    std::fprintf(stderr, "%s\n", BANNER);
    std::fputs(description, stderr);
    std::fprintf(stderr, "%s FileName[:StreamName]\n",
                 platform::program_name_for_display(program_name, display_name,
                                                    sizeof display_name));
    std::fputs("FileName and StreamName can consist of up to 255 Unicode chars\n", stderr);
}

void write_diagnostic(std::FILE* out, const char* source_file, const char* operation, int line,
                      ErrorCode code) {
    char fallback[64];
    char* text = platform::system_text(code, fallback, sizeof fallback);
    std::fprintf(out, "%s:%s(%d): %s\n", source_file, operation, line, text);
    platform::release_system_text(text, fallback);
}

void report_error_and_exit(const char* source_file, const char* operation, int line) {
    // Read the code before anything else runs: any call below may overwrite it.
    const ErrorCode code = platform::last_error();
    write_diagnostic(stderr, source_file, operation, line, code);
    platform::exit_process(EXIT_FAILURE_STATUS);
}

}  // namespace ostrakit
