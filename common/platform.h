// SPDX-License-Identifier: MIT
// The operating-system operations that ostrapour and ostraprune call, declared once.
// platform_win32.cpp implements them on KERNEL32; platform_linux.cpp stands in for them on
// Linux, where a named stream "file:name" is the extended attribute "user.name" of "file".
// Each call reports failure by its own sign and leaves the native error code for last_error().
// The backends keep no state of their own: whatever one call leaves for a later one travels in
// an object that the tool owns and passes (the path buffer, the target).
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
// Linux names are the bytes the user gave; they are never converted.
using PathChar = char;
using ErrorCode = int;  // errno
inline constexpr std::size_t EXTENDED_PATH_PREFIX_LENGTH = 0;
#endif

// Room for a full path, its terminator included.
inline constexpr std::size_t FULL_PATH_CAPACITY = 32000;

// The prefix (if the platform has one) followed by room for the full path, and what resolution
// learnt on the way. Kept in static storage by the tool, so every position starts out zero and
// the array always holds a terminated string.
struct ExtendedPathBuffer {
    PathChar chars[EXTENDED_PATH_PREFIX_LENGTH + FULL_PATH_CAPACITY];
    // How many leading characters of `chars` are the current directory that resolution put in
    // front of a relative name, its separator included; 0 for an absolute name. Linux reaches
    // a relative name from the current directory itself (Windows does not use it).
    std::size_t directory_length;
};

// An open file or standard input. Both platforms use -1 as the invalid value
// (INVALID_HANDLE_VALUE on Windows, a negative descriptor on Linux). `is_pipe` is learnt once,
// as standard input is taken, for the reads to come: a Windows pipe delivers an empty read for
// a writer's empty write and ends only when broken. A Linux pipe ends in an empty read, so the
// Linux build never sets it.
struct Handle {
    std::intptr_t native;
    bool is_pipe;
    friend constexpr bool operator==(Handle, Handle) = default;
};
inline constexpr Handle INVALID_HANDLE{-1, false};

}  // namespace ostrakit

// Each backend's own storage, which the tool keeps and passes in: the target of a write, and
// the room for the display form of a program name. Only the backend knows their layout.
#ifdef _WIN32
#include "platform_win32.h"
#else
#include "platform_linux.h"
#endif

namespace ostrakit {
namespace platform {

// Makes every later failure reach a report instead of ending the process from outside:
// on Linux a vanished reader (SIGPIPE) or the file-size limit (SIGXFSZ) become plain errors.
void prepare_process();

// Forms the extended-length full path of `name` in `out` (GetFullPathNameW), with
// `out.directory_length` set. Returns false on failure, including a path that does not fit.
bool build_extended_path(const PathChar* name, ExtendedPathBuffer& out);

// Opens the existing file or stream that `path` (as build_extended_path left it) names, for
// writing, positioned at its first byte, with no sharing, never creating or truncating it
// (CreateFileW). Fills `target` and returns true, or returns false having left nothing open.
// A refusal (read-only, a directory, held by another opener) comes before any open for
// writing wherever the platform can tell without one, so that it changes nothing at all.
bool open_existing_for_writing(const ExtendedPathBuffer& path, Target& target);

// The standard-input handle (GetStdHandle), and whether it is a pipe (GetFileType).
// INVALID_HANDLE on failure. A process started with no standard input at all gets a null
// handle on Windows and a closed descriptor 0 on Linux: neither is a failure here, and the
// first read reports it.
Handle standard_input();

// Reads up to `size` bytes (ReadFile). False on failure; true with *delivered == 0 at end.
// From a Windows pipe an empty read is no end: it is read past, and the end comes as a broken
// pipe. A read that filled the block from a longer message (ERROR_MORE_DATA) delivers that
// block; the rest of the message follows in the next reads.
bool read_block(Handle from, void* buffer, std::uint32_t size, std::uint32_t* delivered);

// Writes up to `size` bytes at the target's current position, which advances by the count
// taken (WriteFile). False on failure; a write that takes no bytes at all counts as a failure,
// so the caller's loop always makes progress.
bool write_block(Target& to, const void* data, std::uint32_t size, std::uint32_t* taken);

// Closes the target (CloseHandle). False on failure: a file system that writes back late
// (NFS, FUSE) may report only here that written bytes were lost.
bool close_target(Target& target);

// Closes standard input (CloseHandle). Its result tells nothing of the copy.
void close_input(Handle input);

// Deletes the file, or the one stream of it, that `path` (as build_extended_path left it)
// names (DeleteFileW). False on failure.
bool delete_file(const ExtendedPathBuffer& path);

// The code of the latest failure on this thread (GetLastError / errno).
ErrorCode last_error();

// True for the code a read gets once the writing end of a pipe has closed (ERROR_BROKEN_PIPE).
// Linux reports that case as an ordinary end of input, so there it is never true.
bool is_broken_pipe(ErrorCode code);

// The system's text for `code` in the user's language, as the platform gives it (FormatMessageA).
// When the system has none, the caller's `fallback` (`capacity` bytes) is filled with a text of
// the backend's own and returned instead. Release the result with release_system_text, given
// the same fallback (LocalFree, which a fallback never reaches).
char* system_text(ErrorCode code, char* fallback, std::size_t capacity);
void release_system_text(char* text, const char* fallback);

// Converts the program name for the usage screen through the locale's code page into `out`
// (`capacity` bytes; DISPLAY_NAME_CAPACITY holds any name). Conversion stops at the first
// character that cannot be represented exactly or by the code page's own best fit. Returns
// `out`, or `name` itself where no conversion is needed.
const char* program_name_for_display(const PathChar* name, char* out, std::size_t capacity);

// Flushes standard error and ends the process at once with `status`.
[[noreturn]] void exit_process(int status);

}  // namespace platform
}  // namespace ostrakit
