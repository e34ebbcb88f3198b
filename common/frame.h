// SPDX-License-Identifier: MIT
// The frame that both tools share: exit statuses, the usage screen and the one error reporter.
#pragma once

#include <cstdio>

#include "platform.h"

namespace ostrakit {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILURE_STATUS = 1;

// Prints the five-line usage screen to standard error. The caller ends the process with
// EXIT_FAILURE_STATUS.
void print_usage(const PathChar* program_name, const char* description);

// Writes one diagnostic line for `code` to `out`. report_error uses it with standard error and
// the last-error code; tests use it with a file and an injected code.
void write_diagnostic(std::FILE* out, const char* source_file, const char* operation, int line,
                      ErrorCode code);

// Reports the latest failure as one line on standard error and returns; the caller then ends
// the process with EXIT_FAILURE_STATUS. Raise it through REPORT_ERROR so that the line names
// the call site.
void report_error(const char* source_file, const char* operation, int line);

}  // namespace ostrakit

// Expands __FILE__ and __LINE__ where the failure is checked, so that a diagnostic names the
// tool's own source file and the line of the failed check.
#define REPORT_ERROR(operation) ::ostrakit::report_error(__FILE__, (operation), __LINE__)
