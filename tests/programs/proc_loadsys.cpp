// Loads msi.dll the way the library does and tells through its exit code whether any copy of the
// test library (planted beside this program as msi.dll and as a library msi.dll imports) came in:
//   proc_loadsys system   Dll(L"msi.dll", Dll::FromSystemDir())
//   proc_loadsys plain    Dll(<system directory>\msi.dll), plain LoadLibraryW
// Exit codes: 0 nothing planted loaded, 10 msi.dll not from the system directory, 11 a planted
// library loaded, 12 loading failed, 2 bad usage.
#include <cwchar>
#include <exception>
#include <vector>

#include "FileUtils.h"
#include "WinApi.h"
#include "WinDll.h"
#include "WinSysInfo.h"

#include <psapi.h>

namespace {

tstring modulePath(HMODULE module) {
    wchar_t buffer[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH * 4);
    return tstring(buffer, length);
}

bool plantedLibraryLoaded() {
    std::vector<HMODULE> modules(1024);
    DWORD needed = 0;
    if (!K32EnumProcessModules(GetCurrentProcess(), modules.data(),
                               static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed)) {
        return true;  // cannot tell: count it as the failure it would hide
    }
    modules.resize(needed / sizeof(HMODULE));
    for (const HMODULE module : modules) {
        if (GetProcAddress(module, "procTestDllValue") != nullptr) {
            return true;
        }
    }
    return false;
}

int check(const Dll& msi) {
    if (_wcsicmp(modulePath(msi.module()).c_str(), msi.path().c_str()) != 0) {
        return 10;
    }
    return plantedLibraryLoaded() ? 11 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return 2;
    }
    try {
        if (std::wcscmp(argv[1], L"system") == 0) {
            return check(Dll(L"msi.dll", Dll::FromSystemDir()));
        }
        if (std::wcscmp(argv[1], L"plain") == 0) {
            return check(Dll(FileUtils::combinePath(SysInfo::getSystemDirectory(), L"msi.dll")));
        }
    } catch (const std::exception&) {
        return 12;
    }
    return 2;
}
