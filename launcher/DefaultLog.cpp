#include "DefaultLog.h"

#include "FileUtils.h"
#include "WinApi.h"
#include "WinFileUtils.h"

namespace launcher {

tstring fileSystemSafe(const tstring& name) {
    tstring safe;
    for (const wchar_t c : name) {
        const bool refused = c < 0x20 || c == 0x7F || tstring(L"<>:\"/\\|?*").find(c) != tstring::npos;
        safe += refused ? L'_' : c;
    }
    while (!safe.empty() && (safe.back() == L'.' || safe.back() == L' ')) {
        safe.pop_back();
    }
    return safe.empty() ? tstring(L"setup") : safe;
}

tstring defaultLogPath(const tstring& productName) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const tstring fileName = tstrings::formatPrintf(L"%s_%04u%02u%02u%02u%02u%02u_%lu.log", fileSystemSafe(productName),
                                                    now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                                                    now.wSecond, GetCurrentProcessId());
    return FileUtils::PathBuilder() << FileUtils::requireTempDirectory() << fileName;
}

}  // namespace launcher
