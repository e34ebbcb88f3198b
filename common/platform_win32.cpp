// SPDX-License-Identifier: MIT
// The platform operations on KERNEL32, called exactly as the tools need them.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "names.h"
#include "platform.h"

namespace ostrakit::platform {
namespace {

constexpr std::size_t BUFFER_UNITS = EXTENDED_PATH_PREFIX_LENGTH + FULL_PATH_CAPACITY;

HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle.native); }
Handle wrap(HANDLE handle) { return Handle{reinterpret_cast<std::intptr_t>(handle), false}; }

// A pipe, anonymous or named. GetFileType says the same of a socket, whose empty read is its
// end: only a pipe answers GetNamedPipeInfo.
bool is_pipe(HANDLE handle) {
    DWORD flags = 0;
    return GetFileType(handle) == FILE_TYPE_PIPE &&
           GetNamedPipeInfo(handle, &flags, nullptr, nullptr, nullptr) != 0;
}

// True when the extended path names a file itself: no colon in its last component, but for the
// drive's own.
bool names_file_itself(const wchar_t* path) {
    const wchar_t* last = path;
    for (const wchar_t* at = path; *at != L'\0'; ++at)
        if (*at == L'\\' || *at == L'/') last = at + 1;
    if (last == path + EXTENDED_PATH_PREFIX_LENGTH && last[0] != L'\0' && last[1] == L':')
        last += 2;
    return std::wcschr(last, L':') == nullptr;
}

bool is_directory(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(handle, &information) != 0 &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool fail_too_long() {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
}

}  // namespace

void prepare_process() {}

bool build_extended_path(const wchar_t* name, ExtendedPathBuffer& out) {
    wchar_t* buffer = out.chars;
    const std::size_t name_length = std::wcslen(name);
    if (has_extended_prefix(name, name_length)) {
        // Already extended: resolving it again could only change what the user asked for.
        if (name_length + 1 > BUFFER_UNITS) return fail_too_long();
        std::memcpy(buffer, name, (name_length + 1) * sizeof(wchar_t));
        return true;
    }
    std::memcpy(buffer, L"\\\\?\\", EXTENDED_PATH_PREFIX_LENGTH * sizeof(wchar_t));
    // An empty name is no name; resolution may refuse it without saying why.
    if (name_length == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const DWORD length = GetFullPathNameW(name, FULL_PATH_CAPACITY,
                                          buffer + EXTENDED_PATH_PREFIX_LENGTH, nullptr);
    if (length == 0) return false;
    // A result that does not fit is the size it would need, and nothing was written.
    if (length >= FULL_PATH_CAPACITY) return fail_too_long();
    if (!finish_extended_path(buffer, BUFFER_UNITS, length)) return fail_too_long();
    return true;
}

bool open_existing_for_writing(const ExtendedPathBuffer& path, Target& target) {
    const HANDLE handle = CreateFileW(path.chars, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    // Backup semantics, which the open needs for a directory's streams, also open the directory
    // itself; without them, opening a directory for writing is refused as access denied. The
    // writer refuses it the same way, before any input is read.
    if (names_file_itself(path.chars) && is_directory(handle)) {
        CloseHandle(handle);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    target.handle = wrap(handle);
    return true;
}

Handle standard_input() {
    Handle input = wrap(GetStdHandle(STD_INPUT_HANDLE));
    if (input != INVALID_HANDLE) input.is_pipe = is_pipe(native(input));
    return input;
}

bool read_block(Handle from, void* buffer, std::uint32_t size, std::uint32_t* delivered) {
    DWORD count = 0;
    bool ok = false;
    do {
        ok = ReadFile(native(from), buffer, size, &count, nullptr) != 0;
        // The block is full and the message goes on: what came is data all the same.
        if (!ok && GetLastError() == ERROR_MORE_DATA && count != 0) ok = true;
        // A pipe's empty read is its writer's empty write: a pipe ends broken, not empty.
    } while (ok && count == 0 && from.is_pipe);
    *delivered = count;
    return ok;
}

bool write_block(Target& to, const void* data, std::uint32_t size, std::uint32_t* taken) {
    DWORD count = 0;
    if (!WriteFile(native(to.handle), data, size, &count, nullptr)) return false;
    *taken = count;
    if (count == 0 && size != 0) {
        // Success without progress would make the caller loop for ever.
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

bool close_target(Target& target) { return CloseHandle(native(target.handle)) != 0; }

void close_input(Handle input) { CloseHandle(native(input)); }

bool delete_file(const ExtendedPathBuffer& path) { return DeleteFileW(path.chars) != 0; }

ErrorCode last_error() { return GetLastError(); }

bool is_broken_pipe(ErrorCode code) { return code == ERROR_BROKEN_PIPE; }

char* system_text(ErrorCode code, char* fallback, std::size_t capacity) {
    // The text comes as the system has it, with its own CR LF at the end.
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
            FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(&text), 0, nullptr);
    if (length != 0 && text != nullptr) return text;
    std::snprintf(fallback, capacity, "Unknown error %lu", code);
    return fallback;
}

void release_system_text(char* text, const char* fallback) {
    if (text != fallback) LocalFree(text);
}

const char* program_name_for_display(const wchar_t* name, char* out, std::size_t capacity) {
    // One UTF-16 unit at a time through the locale's code page. wctomb fails both for a unit
    // the code page cannot hold and for one that would need its default character, and
    // printing of the name stops there; best-fit approximations go through.
    std::size_t used = 0;
    for (; *name != L'\0'; ++name) {
        char bytes[MB_LEN_MAX];
        const int count = std::wctomb(bytes, *name);
        if (count <= 0 || used + static_cast<std::size_t>(count) >= capacity) break;
        std::memcpy(out + used, bytes, static_cast<std::size_t>(count));
        used += static_cast<std::size_t>(count);
    }
    out[used] = '\0';
    return out;
}

void exit_process(int status) {
    std::fflush(stderr);
    ExitProcess(static_cast<UINT>(status));
}

}  // namespace ostrakit::platform
