// The anchor of extraction: one CopyFileW of a package into the temporary directory, and the
// deletion of the copy, as a launcher deletes what it extracted.
//   copyfile SOURCE     exit code 0, or the error of the call that failed
#include <string>

#include "WinApi.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    std::wstring source = commandLine;
    if (source.size() >= 2 && source.front() == L'"' && source.back() == L'"') {
        source = source.substr(1, source.size() - 2);
    }
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring copy = std::wstring(temp) + L"copy-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
    if (!CopyFileW(source.c_str(), copy.c_str(), TRUE)) {
        return static_cast<int>(GetLastError());
    }
    return DeleteFileW(copy.c_str()) ? 0 : static_cast<int>(GetLastError());
}
