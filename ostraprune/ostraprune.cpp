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
    if (!select_user_locale()) REPORT_AND_EXIT("setlocale");
    if (argc != 2) {
        print_usage(argv[0], DESCRIPTION);
        platform::exit_process(EXIT_FAILURE_STATUS);
    }
    if (!platform::build_extended_path(argv[1], path)) REPORT_AND_EXIT("GetFullPathNameW");
    if (!platform::delete_file(path)) REPORT_AND_EXIT("DeleteFileW");
    platform::exit_process(EXIT_OK);
}
