// SPDX-License-Identifier: MIT
// The platform operations on KERNEL32, called exactly as the tools need them.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <clocale>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "names.h"
#include "platform.h"

namespace ostrakit::platform {
namespace {

constexpr std::size_t BUFFER_UNITS = EXTENDED_PATH_PREFIX_LENGTH + FULL_PATH_CAPACITY;

// Returned when the system has no text for a code; never handed to LocalFree.
char fallback_text[64];

HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle.native); }
Handle wrap(HANDLE handle) { return Handle{reinterpret_cast<std::intptr_t>(handle)}; }

bool fail_too_long() {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
}

}  // namespace

void prepare_process() {}

// msvcrt cannot select a locale whose ANSI code page is UTF-8 (65001), the "Use Unicode UTF-8"
// setting of current Windows; the tools then go on in "C" rather than refuse to run at all.
bool select_user_locale() {
    if (std::setlocale(LC_ALL, "") != nullptr) return true;
    return std::setlocale(LC_ALL, "C") != nullptr;
}

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

Handle open_existing_for_writing(const wchar_t* path) {
    return wrap(CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

Handle standard_input() { return wrap(GetStdHandle(STD_INPUT_HANDLE)); }

bool read_block(Handle from, void* buffer, std::uint32_t size, std::uint32_t* delivered) {
    DWORD count = 0;
    const BOOL ok = ReadFile(native(from), buffer, size, &count, nullptr);
    *delivered = count;
    return ok != 0;
}

bool write_block(Handle to, const void* data, std::uint32_t size, std::uint32_t* taken) {
    DWORD count = 0;
    if (!WriteFile(native(to), data, size, &count, nullptr)) return false;
    *taken = count;
    if (count == 0 && size != 0) {
        // Success without progress would make the caller loop for ever.
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

bool close_handle(Handle handle) { return CloseHandle(native(handle)) != 0; }

bool delete_file(const wchar_t* path) { return DeleteFileW(path) != 0; }

ErrorCode last_error() { return GetLastError(); }

bool is_broken_pipe(ErrorCode code) { return code == ERROR_BROKEN_PIPE; }

char* system_text(ErrorCode code) {
    // The text comes as the system has it, with its own CR LF at the end.
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
            FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(&text), 0, nullptr);
    if (length != 0 && text != nullptr) return text;
    std::snprintf(fallback_text, sizeof fallback_text, "Unknown error %lu", code);
    return fallback_text;
}

void release_system_text(char* text) {
    if (text != fallback_text) LocalFree(text);
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
