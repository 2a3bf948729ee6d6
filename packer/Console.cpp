#include "Console.h"

#include <cwchar>

void writeLine(DWORD stream, const tstring& text) {
    const HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    const tstring line = text + L"\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const std::string bytes = tstrings::toUtf8(line);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

tstring formatSize(std::uint64_t bytes) {
    if (bytes < 1024) {
        return std::to_wstring(bytes) + L" bytes";
    }
    const wchar_t* const units[] = {L"KiB", L"MiB", L"GiB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    return tstrings::formatPrintf(L"%.1f %s", value, units[unit]);
}
