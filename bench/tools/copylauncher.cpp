// The simplest launcher a copy can make, for comparison: one CopyFileW of a package into the
// temporary directory, the system's msiexec /i on the copy, the copy deleted.
//   copylauncher SOURCE [ARGUMENTS...]    exits with msiexec's exit code
#include <string>
#include <vector>

#include "WinApi.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The first argument is the package (quoted when it holds blanks); the rest goes to msiexec.
    std::wstring rest = GetCommandLineW();
    size_t at = rest.front() == L'"' ? rest.find(L'"', 1) + 1 : rest.find(L' ');
    rest = at == std::wstring::npos || at >= rest.size() ? L"" : rest.substr(at + 1);
    std::wstring source;
    if (!rest.empty() && rest.front() == L'"') {
        at = rest.find(L'"', 1);
        source = rest.substr(1, at - 1);
        rest = at + 1 < rest.size() ? rest.substr(at + 1) : L"";
    } else {
        at = rest.find(L' ');
        source = rest.substr(0, at);
        rest = at == std::wstring::npos ? L"" : rest.substr(at);
    }

    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring copy = std::wstring(temp) + L"copy-" + std::to_wstring(GetCurrentProcessId()) + L".msi";
    if (!CopyFileW(source.c_str(), copy.c_str(), TRUE)) {
        return -1;
    }
    wchar_t system[MAX_PATH + 1] = {};
    GetSystemDirectoryW(system, MAX_PATH + 1);
    const std::wstring msiexec = std::wstring(system) + L"\\msiexec.exe";
    const std::wstring commandLine = msiexec + L" /i \"" + copy + L"\"" + rest;
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    DWORD exitCode = static_cast<DWORD>(-1);
    if (CreateProcessW(msiexec.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                       &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    DeleteFileW(copy.c_str());
    return static_cast<int>(exitCode);
}
