// SPDX-License-Identifier: MIT
// A Windows program for the Wine run: starts the program its arguments name with standard
// input on a Windows pipe, fills the pipe with its own standard input and closes it, as
// "type file | program" does in a Windows shell. The reader then meets the end of the input
// as a failed read (ERROR_BROKEN_PIPE), not as an empty one. Ends with the program's status.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    std::wstring command;
    for (int i = 1; i < argc; ++i) command += std::wstring(i > 1 ? L" \"" : L"\"") + argv[i] + L"\"";
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE reading = nullptr, writing = nullptr;
    if (argc < 2 || !CreatePipe(&reading, &writing, &inheritable, 0)) return 120;
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
    char chunk[4096];
    DWORD got = 0, put = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof chunk, &got, nullptr) && got > 0)
        if (!WriteFile(writing, chunk, got, &put, nullptr)) break;
    CloseHandle(writing);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD status = 122;
    GetExitCodeProcess(started.hProcess, &status);
    return static_cast<int>(status);
}
