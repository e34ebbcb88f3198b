// SPDX-License-Identifier: MIT
// ostraprune: deletes one file, or one named stream of a file. It never recurses, never
// removes a directory and never changes attributes first: the delete is its only operation.
#include "frame.h"
#include "platform.h"

using namespace ostrakit;

namespace {

constexpr const char* DESCRIPTION = "Deletes a specified file/stream.\n\n";

ExtendedPathBuffer path;

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
    if (!platform::delete_file(path.chars)) {
        REPORT_ERROR("DeleteFileW");
        platform::exit_process(EXIT_FAILURE_STATUS);
    }
    platform::exit_process(EXIT_OK);
}
