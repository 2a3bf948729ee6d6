#include "WinDll.h"

#include <utility>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "WinSysInfo.h"

namespace {

ModuleHandle loadLibrary(const tstring& path) {
    ModuleHandle module(LoadLibraryW(path.c_str()));
    LD_THROW_LAST_ERROR_IF(!module, LoadLibraryW, "LoadLibraryW(" << path << ") failed");
    return module;
}

// A full path alone fixes only where the library itself comes from; the libraries it imports
// would still be looked for beside the executable first. Restricting the search to the system
// directory keeps a DLL planted there from ever loading, whatever the process's own settings.
ModuleHandle loadSystemLibrary(const tstring& path) {
    ModuleHandle module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    LD_THROW_LAST_ERROR_IF(!module, LoadLibraryExW, "LoadLibraryExW(" << path << ") failed");
    return module;
}

// Export names are narrow UTF-8 text; an ordinal travels in the pointer itself.
tstring exportName(const char* name) {
    if (IS_INTRESOURCE(name)) {
        return (tstrings::MessageBuilder() << "#" << reinterpret_cast<ULONG_PTR>(name)).tstr();
    }
    return tstrings::fromUtf8(std::string(name));
}

}  // namespace

void* systemFunction(const wchar_t* dll, const char* name) {
    // The reference is never given back: the function stays callable until the process ends.
    const HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    LD_THROW_LAST_ERROR_IF(module == nullptr, LoadLibraryExW, "LoadLibraryExW(" << dll << ") failed");
    const FARPROC function = GetProcAddress(module, name);
    LD_THROW_LAST_ERROR_IF(function == nullptr, GetProcAddress, "GetProcAddress(" << dll << ", " << name << ") failed");
    return reinterpret_cast<void*>(function);
}

Dll::Dll(const tstrings::MessageBuilder& path) : Dll(path.tstr()) {}

Dll::Dll(const tstring& path) : path_(path), module_(loadLibrary(path_)) {}

Dll::Dll(const tstring& name, FromSystemDir)
    : path_(FileUtils::combinePath(SysInfo::getSystemDirectory(), name)), module_(loadSystemLibrary(path_)) {}

Dll::Dll(const Dll& other) : path_(other.path_) {
    // The reference is taken by address rather than by path: the path may be relative or written
    // with '/', and another loaded module may have the same file name. The address names
    // exactly the module the original holds.
    LD_THROW_LAST_ERROR_IF(!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                               reinterpret_cast<LPCWSTR>(other.module_.get()), module_.receive()),
                           GetModuleHandleExW, "GetModuleHandleExW(" << path_ << ") failed");
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
    LD_THROW_LAST_ERROR_IF(function == nullptr && throwIfNotFound, GetProcAddress,
                           "GetProcAddress(" << path_ << ", " << exportName(name) << ") failed");
    return reinterpret_cast<void*>(function);
}
