// The simplest launcher a copy can make, for comparison: one CopyFileW of a package into the
// temporary directory, the system's msiexec /i on the copy, the copy deleted.
//   copylauncher SOURCE [ARGUMENTS...]    exits with msiexec's exit code
#include <string>

#include "BenchTools.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
    // The first argument is the package (quoted when it holds blanks); the rest goes to msiexec.
    std::wstring rest = arguments;
    std::wstring source;
    if (!rest.empty() && rest.front() == L'"') {
        const size_t closingQuote = rest.find(L'"', 1);
        source = rest.substr(1, closingQuote - 1);
        rest = closingQuote + 1 < rest.size() ? rest.substr(closingQuote + 1) : L"";
    } else {
        const size_t blank = rest.find(L' ');
        source = rest.substr(0, blank);
        rest = blank == std::wstring::npos ? L"" : rest.substr(blank);
    }

    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring copy = std::wstring(temp) + L"copy-" + std::to_wstring(GetCurrentProcessId()) + L".msi";
    if (!CopyFileW(source.c_str(), copy.c_str(), TRUE)) {
        return -1;
    }
    const int exitCode = bench::runMsiexecInstall(L"\"" + copy + L"\"" + rest);
    DeleteFileW(copy.c_str());
    return exitCode;
}
