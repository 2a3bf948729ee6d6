#include "Console.h"

#include <cwchar>
#include <iterator>
#include <string>

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
