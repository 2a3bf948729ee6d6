#include "WinSysInfo.h"

#include <vector>

#include "ErrorHandling.h"

namespace SysInfo {
namespace {

tstring getModulePath(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    if (length == 0) {
        const DWORD error = GetLastError();
        LD_THROW_SYSTEM_ERROR(GetModuleFileNameW, error, "GetModuleFileName failed");
    }
    return tstring(buffer.data(), length);
}

}  // namespace

HMODULE getCurrentModuleHandle() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&getCurrentModuleHandle), &module)) {
        const DWORD error = GetLastError();
        LD_THROW_SYSTEM_ERROR(GetModuleHandleExW, error, "GetModuleHandleExW failed");
    }
    return module;
}

tstring getCurrentModulePath() { return getModulePath(getCurrentModuleHandle()); }

}  // namespace SysInfo
