// SPDX-License-Identifier: MIT
// The usage screen and the error reporter shared by both tools.
#include "frame.h"

namespace ostrakit {
namespace {

constexpr const char* BANNER = "ostrakit " OSTRAKIT_VERSION " - file and named stream tools";

// The display form of a program name: at most two bytes a character through the code page,
// for the longest name a Windows command line can carry (32,767 units).
char display_name[2 * 32767 + 1];

}  // namespace

void print_usage(const PathChar* program_name, const char* description) {
    std::fprintf(stderr, "%s\n", BANNER);
    std::fputs(description, stderr);
    std::fprintf(stderr, "%s FileName[:StreamName]\n",
                 platform::program_name_for_display(program_name, display_name,
                                                    sizeof display_name));
    std::fputs("FileName and StreamName can consist of up to 255 Unicode chars\n", stderr);
}

void write_diagnostic(std::FILE* out, const char* source_file, const char* operation, int line,
                      ErrorCode code) {
    char* text = platform::system_text(code);
    std::fprintf(out, "%s:%s(%d): %s\n", source_file, operation, line, text);
    platform::release_system_text(text);
}

void report_error(const char* source_file, const char* operation, int line) {
    // Read the code before anything else runs: any call below may overwrite it.
    const ErrorCode code = platform::last_error();
    write_diagnostic(stderr, source_file, operation, line, code);
}

}  // namespace ostrakit
