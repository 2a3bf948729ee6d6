// What the benchmark's programs share. Header-only and free of the project's library: each
// program stays as small as the anchor it stands for.
#pragma once

#include <string>
#include <vector>

#include "WinApi.h"

namespace bench {

// Seconds on the performance counter.
inline double now() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The system's msiexec with `arguments` after "/i ", started hidden as a launcher starts it, waited
// for; its exit code, or -1 when it cannot start.
inline int runMsiexecInstall(const std::wstring& arguments) {
    wchar_t system[MAX_PATH + 1] = {};
    GetSystemDirectoryW(system, MAX_PATH + 1);
    const std::wstring msiexec = std::wstring(system) + L"\\msiexec.exe";
    const std::wstring commandLine = msiexec + L" /i " + arguments;
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(msiexec.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

}  // namespace bench
