// The floor of any launcher: starts the system's msiexec /i on a package already on disk and
// waits for it, nothing else.
//   startmsiexec PACKAGE [ARGUMENTS...]    exits with msiexec's exit code
#include <string>
#include <vector>

#include "WinApi.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Everything after this program's own name goes on: the package, then the arguments.
    std::wstring rest = GetCommandLineW();
    const size_t nameEnd = rest.front() == L'"' ? rest.find(L'"', 1) + 1 : rest.find(L' ');
    rest = nameEnd == std::wstring::npos || nameEnd >= rest.size() ? L"" : rest.substr(nameEnd + 1);

    wchar_t system[MAX_PATH + 1] = {};
    GetSystemDirectoryW(system, MAX_PATH + 1);
    const std::wstring msiexec = std::wstring(system) + L"\\msiexec.exe";
    std::wstring commandLine = msiexec + L" /i " + rest;
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
