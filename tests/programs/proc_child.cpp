// Child for the process tests, and the stand-in for msiexec.exe in the launcher's end-to-end test.
// It takes its orders from the environment, so that its command line is exactly what the parent
// built:
//   PROC_CHILD_REPORT            file to write the report to (UTF-16, fields ended by a zero unit):
//                                raw command line, STARTUPINFO dwFlags, wShowWindow, whether the
//                                process is in a job (1, 0 or "failed"), whether it has a console
//                                window (1 or 0), then every element CommandLineToArgvW makes of
//                                the raw command line
//   PROC_CHILD_EXIT_CODE         exit status, decimal or 0x-hex (default 0)
//   PROC_CHILD_WINDOW_TITLE      with PROC_CHILD_WINDOW_REPORT: writes "shown" to that file when a
//                                visible window with this title is on the desktop as it starts,
//                                else "none" (whether its parent's window closed before it)
//   PROC_CHILD_SLEEP_MS          milliseconds to wait after the report, as a long installation does
//   PROC_CHILD_INHERITED_HANDLE  decimal handle value; "inherited" is written through it, which
//                                reaches the parent's file only when the handle was inherited
#include <cwchar>
#include <string>
#include <vector>

#include "WinApi.h"

#include <shellapi.h>

namespace {

std::wstring environmentValue(const wchar_t* name) {
    wchar_t buffer[32768] = {};
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    return length > 0 && length < 32768 ? std::wstring(buffer, length) : std::wstring();
}

void addField(std::wstring& report, const std::wstring& field) {
    report += field;
    report.push_back(L'\0');
}

std::wstring makeReport() {
    std::wstring report;
    const wchar_t* commandLine = GetCommandLineW();
    addField(report, commandLine);

    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    GetStartupInfoW(&startupInfo);
    addField(report, std::to_wstring(startupInfo.dwFlags));
    addField(report, std::to_wstring(startupInfo.wShowWindow));

    // A failed question is reported as such rather than as an answer.
    BOOL inJob = FALSE;
    addField(report, !IsProcessInJob(GetCurrentProcess(), nullptr, &inJob) ? L"failed" : inJob ? L"1" : L"0");
    addField(report, GetConsoleWindow() != nullptr ? L"1" : L"0");

    int count = 0;
    wchar_t** argv = CommandLineToArgvW(commandLine, &count);
    for (int i = 0; argv != nullptr && i < count; ++i) {
        addField(report, argv[i]);
    }
    LocalFree(argv);
    return report;
}

bool writeAll(HANDLE file, const void* data, DWORD size) {
    DWORD written = 0;
    return WriteFile(file, data, size, &written, nullptr) && written == size;
}

bool writeReport(const std::wstring& path) {
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::wstring report = makeReport();
    const bool written = writeAll(file, report.data(), static_cast<DWORD>(report.size() * sizeof(wchar_t)));
    return CloseHandle(file) && written;
}

void writeThroughInheritedHandle(const std::wstring& value) {
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::wcstoull(value.c_str(), nullptr, 10)));
    const char text[] = "inherited";
    writeAll(handle, text, sizeof(text) - 1);
}

}  // namespace

int wmain() {
    const std::wstring reportPath = environmentValue(L"PROC_CHILD_REPORT");
    if (!reportPath.empty() && !writeReport(reportPath)) {
        return 101;
    }
    const std::wstring windowTitle = environmentValue(L"PROC_CHILD_WINDOW_TITLE");
    if (!windowTitle.empty()) {
        const HWND window = FindWindowW(nullptr, windowTitle.c_str());
        const std::wstring found = window != nullptr && IsWindowVisible(window) ? L"shown" : L"none";
        const std::wstring windowReport = environmentValue(L"PROC_CHILD_WINDOW_REPORT");
        HANDLE file = CreateFileW(windowReport.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE || !writeAll(file, found.data(), static_cast<DWORD>(found.size() * sizeof(wchar_t)))) {
            return 102;
        }
        CloseHandle(file);
    }
    const std::wstring inherited = environmentValue(L"PROC_CHILD_INHERITED_HANDLE");
    if (!inherited.empty()) {
        writeThroughInheritedHandle(inherited);
    }
    const std::wstring sleepMs = environmentValue(L"PROC_CHILD_SLEEP_MS");
    if (!sleepMs.empty()) {
        Sleep(static_cast<DWORD>(std::wcstoul(sleepMs.c_str(), nullptr, 10)));
    }
    const std::wstring exitCode = environmentValue(L"PROC_CHILD_EXIT_CODE");
    ExitProcess(static_cast<UINT>(std::wcstoul(exitCode.c_str(), nullptr, 0)));
}
