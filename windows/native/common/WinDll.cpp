#include "WinDll.h"

#include <utility>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "WinSysInfo.h"

namespace {

ModuleHandle loadLibrary(const tstring& path) {
    const HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        const DWORD error = GetLastError();
        LD_THROW_SYSTEM_ERROR(LoadLibraryW, error, "LoadLibraryW(" << path << ") failed");
    }
    return ModuleHandle(module);
}

// A full path alone fixes only where the library itself comes from; the libraries it imports
// would still be looked for beside the executable first. Restricting the search to the system
// directory keeps a DLL planted there from ever loading, whatever the process's own settings.
ModuleHandle loadSystemLibrary(const tstring& path) {
    const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        const DWORD error = GetLastError();
        LD_THROW_SYSTEM_ERROR(LoadLibraryExW, error, "LoadLibraryExW(" << path << ") failed");
    }
    return ModuleHandle(module);
}

// Export names are narrow UTF-8 text; an ordinal travels in the pointer itself.
tstring exportName(const char* name) {
    if (IS_INTRESOURCE(name)) {
        return (tstrings::MessageBuilder() << "#" << reinterpret_cast<ULONG_PTR>(name)).tstr();
    }
    return tstrings::fromUtf8(std::string(name));
}

}  // namespace

void ModuleHandle::reset(HMODULE module) noexcept {
    if (module == module_) {
        return;
    }
    if (module_ != nullptr) {
        // Releasing happens on the way out of failures too; the failure's last error must survive.
        const DWORD savedError = GetLastError();
        if (!FreeLibrary(module_)) {
            const DWORD error = GetLastError();
            try {
                LOG_WARNING("FreeLibrary(" << module_ << ") failed: " << describeSystemError(error, nullptr));
            } catch (...) {
            }
        }
        SetLastError(savedError);
    }
    module_ = module;
}

Dll::Dll(const tstrings::MessageBuilder& path) : Dll(path.tstr()) {}

Dll::Dll(const tstring& path) : path_(path), module_(loadLibrary(path_)) {}

Dll::Dll(const tstring& name, FromSystemDir)
    : path_(FileUtils::combinePath(SysInfo::getSystemDirectory(), name)), module_(loadSystemLibrary(path_)) {}

Dll::Dll(const Dll& other) : path_(other.path_) {
    // The reference is taken by address rather than by path: the path may be relative or written
    // with '/', and another loaded module may have the same file name. The address names
    // exactly the module the original holds.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(other.module_.get()),
                            &module)) {
        const DWORD error = GetLastError();
        LD_THROW_SYSTEM_ERROR(GetModuleHandleExW, error, "GetModuleHandleExW(" << path_ << ") failed");
    }
    module_.reset(module);
}

Dll& Dll::operator=(const Dll& other) {
    if (this != &other) {
        Dll copy(other);
        std::swap(path_, copy.path_);
        std::swap(module_, copy.module_);
    }
    return *this;
}

void* Dll::getFunction(const char* name, bool throwIfNotFound) const {
    const FARPROC function = GetProcAddress(module_.get(), name);
    const DWORD error = GetLastError();
    if (function == nullptr && throwIfNotFound) {
        LD_THROW_SYSTEM_ERROR(GetProcAddress, error,
                              "GetProcAddress(" << path_ << ", " << exportName(name) << ") failed");
    }
    return reinterpret_cast<void*>(function);
}
