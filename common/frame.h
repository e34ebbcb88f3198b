// SPDX-License-Identifier: MIT
// The frame that both tools share: exit statuses, the usage screen and the one error reporter.
#pragma once

#include <cstdio>

#include "platform.h"

namespace ostrakit {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILURE_STATUS = 1;

// setlocale(LC_ALL, ""), so that the usage screen prints through the user's code page. Returns
// false when no locale at all could be selected: a user locale that cannot be had (one not
// installed on Linux; on Windows one whose ANSI code page is UTF-8, which msvcrt cannot take)
// falls back to "C" first, as standard tools do, rather than refuse to run at all.
bool select_user_locale();

// Prints the five-line usage screen to standard error. A null program name (a process started
// with no argument vector at all) prints as an empty one. The caller ends the process with
// EXIT_FAILURE_STATUS.
void print_usage(const PathChar* program_name, const char* description);

// Writes one diagnostic line for `code` to `out`. report_error_and_exit uses it with standard
// error and the last-error code; tests use it with a file and an injected code.
void write_diagnostic(std::FILE* out, const char* source_file, const char* operation, int line,
                      ErrorCode code);

// Reports the latest failure as one line on standard error, then ends the process with
// EXIT_FAILURE_STATUS: every report site of the tools ends the run. Raise it through
// REPORT_AND_EXIT.
[[noreturn]] void report_error_and_exit(const char* source_file, const char* operation, int line);

}  // namespace ostrakit

// Expands __FILE__ and __LINE__ where the failure is checked, so that a diagnostic names the
// tool's own source file and the line of the failed check.
#define REPORT_AND_EXIT(operation) \
    ::ostrakit::report_error_and_exit(__FILE__, (operation), __LINE__)
