// SPDX-License-Identifier: MIT
// A Windows program for the Wine run: starts the program its arguments name with standard
// input on a Windows pipe, fills the pipe with its own standard input and closes it, as
// "type file | program" does in a Windows shell. The reader then meets the end of the input
// as a failed read (ERROR_BROKEN_PIPE), not as an empty one. Ends with the program's status.
//   pipe_feeder [--message=N,N,... | --byte=N,N,...] PROGRAM [ARGUMENT...]
// The options feed a named pipe of that mode, read in that mode, in writes of those sizes (0:
// an empty write), the rest in one more; without them, an anonymous pipe gets it all at once.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// A named pipe of `mode` whose inheritable client end, in the same read mode, is `*reading`.
bool make_named_pipe(DWORD mode, HANDLE* reading, HANDLE* writing) {
    wchar_t name[64];
    std::swprintf(name, 64, L"\\\\.\\pipe\\ostrakit-feeder-%lu", GetCurrentProcessId());
    DWORD read_mode = mode == PIPE_TYPE_MESSAGE ? PIPE_READMODE_MESSAGE : PIPE_READMODE_BYTE;
    *writing = CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND, mode | read_mode, 1, 65536, 65536,
                                0, nullptr);
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    *reading = CreateFileW(name, GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, &inheritable,
                           OPEN_EXISTING, 0, nullptr);
    return *reading != INVALID_HANDLE_VALUE &&
           SetNamedPipeHandleState(*reading, &read_mode, nullptr, nullptr);
}

// Writes all of standard input in the writes `pieces` gives, then the rest in one.
void feed(HANDLE writing, const wchar_t* pieces) {
    std::string all;
    char chunk[4096];
    DWORD got = 0, put = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof chunk, &got, nullptr) && got > 0)
        all.append(chunk, got);
    std::size_t at = 0;
    for (wchar_t* end = nullptr; *pieces != L'\0'; pieces = end + (*end == L',')) {
        const DWORD size = std::wcstoul(pieces, &end, 10);
        if (end == pieces || at + size > all.size()) return;
        if (!WriteFile(writing, all.data() + at, size, &put, nullptr)) return;
        at += size;
    }
    if (at < all.size()) WriteFile(writing, all.data() + at, all.size() - at, &put, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool message = argc > 1 && std::wcsncmp(argv[1], L"--message=", 10) == 0;
    const bool byte = argc > 1 && std::wcsncmp(argv[1], L"--byte=", 7) == 0;
    const int first = message || byte ? 2 : 1;
    std::wstring command;
    for (int i = first; i < argc; ++i)
        command += std::wstring(i > first ? L" \"" : L"\"") + argv[i] + L"\"";
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE reading = nullptr, writing = nullptr;
    if (first >= argc) return 120;
    if (message || byte) {
        if (!make_named_pipe(message ? PIPE_TYPE_MESSAGE : PIPE_TYPE_BYTE, &reading, &writing))
            return 120;
    } else if (!CreatePipe(&reading, &writing, &inheritable, 0)) {
        return 120;
    }
    SetHandleInformation(writing, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = reading;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &started))
        return 121;
    CloseHandle(reading);
    feed(writing, first == 2 ? std::wcschr(argv[1], L'=') + 1 : L"");
    // A named pipe's server end waits until all it wrote has been read: closing it at once
    // could take unread bytes with it.
    FlushFileBuffers(writing);
    CloseHandle(writing);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD status = 122;
    GetExitCodeProcess(started.hProcess, &status);
    return static_cast<int>(status);
}
