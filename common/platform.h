// SPDX-License-Identifier: MIT
// The operating-system operations that ostrapour and ostraprune call, declared once.
// platform_win32.cpp implements them on KERNEL32; platform_posix.cpp stands in for them on
// Linux, where a named stream "file:name" is the extended attribute "user.name" of "file".
// Each call reports failure by its own sign and leaves the native error code for last_error().
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrakit {

#ifdef _WIN32
// Windows names are UTF-16 wide strings, the platform's wchar_t.
using PathChar = wchar_t;
using ErrorCode = unsigned long;  // DWORD
// "\\?\" goes in front of every full path to lift the 260-character limit.
inline constexpr std::size_t EXTENDED_PATH_PREFIX_LENGTH = 4;
#else
// POSIX names are the bytes the user gave; they are never converted.
using PathChar = char;
using ErrorCode = int;  // errno
inline constexpr std::size_t EXTENDED_PATH_PREFIX_LENGTH = 0;
#endif

// Room for a full path, its terminator included.
inline constexpr std::size_t FULL_PATH_CAPACITY = 32000;

// The prefix (if the platform has one) followed by room for the full path. Kept in static
// storage by the tool, so every position starts out zero.
struct ExtendedPathBuffer {
    PathChar chars[EXTENDED_PATH_PREFIX_LENGTH + FULL_PATH_CAPACITY];
};

// An open file or stream. Both platforms use -1 as the invalid value (INVALID_HANDLE_VALUE on
// Windows, a negative descriptor on POSIX).
struct Handle {
    std::intptr_t native;
    friend constexpr bool operator==(Handle, Handle) = default;
};
inline constexpr Handle INVALID_HANDLE{-1};

namespace platform {

// Makes every later failure reach a report instead of ending the process from outside:
// on POSIX a vanished reader (SIGPIPE) or the file-size limit (SIGXFSZ) become plain errors.
void prepare_process();

// setlocale(LC_ALL, ""). Returns false when no locale at all could be selected; on POSIX an
// uninstalled user locale falls back to "C" first, as standard tools do.
bool select_user_locale();

// Forms the extended-length full path of `name` in `out` (GetFullPathNameW). Returns false on
// failure, including a path that does not fit the buffer.
bool build_extended_path(const PathChar* name, ExtendedPathBuffer& out);

// Opens an existing file or stream for writing, positioned at its first byte, with no sharing,
// never creating or truncating it (CreateFileW). INVALID_HANDLE on failure.
Handle open_existing_for_writing(const PathChar* path);

// The standard-input handle (GetStdHandle). INVALID_HANDLE on failure.
Handle standard_input();

// Reads up to `size` bytes (ReadFile). False on failure; true with *delivered == 0 at end.
bool read_block(Handle from, void* buffer, std::uint32_t size, std::uint32_t* delivered);

// Writes up to `size` bytes at the current position (WriteFile). False on failure; a write
// that takes no bytes at all counts as a failure, so the caller's loop always makes progress.
bool write_block(Handle to, const void* data, std::uint32_t size, std::uint32_t* taken);

// Closes a handle (CloseHandle). False on failure: a file system that writes back late (NFS,
// FUSE) may report only here that written bytes were lost.
bool close_handle(Handle handle);

// Deletes a file, or one stream of it (DeleteFileW). False on failure.
bool delete_file(const PathChar* path);

// The code of the latest failure on this thread (GetLastError / errno).
ErrorCode last_error();

// True for the code a read gets once the writing end of a pipe has closed (ERROR_BROKEN_PIPE).
// POSIX reports that case as an ordinary end of input, so there it is never true.
bool is_broken_pipe(ErrorCode code);

// The system's text for `code` in the user's language, as the platform gives it, or a fallback
// text when it has none. Release it with release_system_text.
char* system_text(ErrorCode code);
void release_system_text(char* text);

// Converts the program name for the usage screen through the locale's code page into `out`.
// Conversion stops at the first character that cannot be represented exactly or by the code
// page's own best fit. Returns `out`.
const char* program_name_for_display(const PathChar* name, char* out, std::size_t capacity);

// Flushes standard error and ends the process at once with `status`.
[[noreturn]] void exit_process(int status);

}  // namespace platform
}  // namespace ostrakit
