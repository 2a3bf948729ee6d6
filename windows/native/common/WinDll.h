// Dynamic libraries: a library loaded from a given path or from the system directory, held by
// one owned module reference (ModuleHandle), with exported functions looked up by name.
#pragma once

#include <string>

#include "UniqueResource.h"
#include "WinApi.h"
#include "tstrings.h"

// The function `name` of the system directory's `dll` ("user32.dll"), which is loaded from there
// alone on first use and stays loaded for the life of the process. Throws when either cannot be
// found. LD_SYSTEM_FUNCTION is the way to call one.
void* systemFunction(const wchar_t* dll, const char* name);

// A function of a system DLL other than kernel32, bound on first use at this site:
//     LD_SYSTEM_FUNCTION(user32, MessageBoxW)(nullptr, text, caption, MB_ICONERROR);
// This is the library's delay loading, and the only way it calls into user32, shell32, shlwapi,
// ole32 or advapi32: executables import nothing but kernel32 and the C runtime at start, a copy of
// one of these DLLs planted beside an executable is never the one that loads, and any linker
// builds it. (A direct call would add a static import, which the launcher's import test refuses.)
#define LD_SYSTEM_FUNCTION(dll, function)                                                \
    ([]() -> decltype(&::function) {                                                     \
        static const auto bound = reinterpret_cast<decltype(&::function)>(               \
            reinterpret_cast<void (*)()>(::systemFunction(L"" #dll ".dll", #function))); \
        return bound;                                                                    \
    }())

// A loaded library, loaded for as long as the object lives. Every copy holds a reference of its
// own, so a copy stays usable after the original is gone. There is no empty state: moving
// copies.
class Dll {
public:
    // Constructor tag: `name` is a file name in the system directory.
    struct FromSystemDir {};

    // Loaded by the platform's standard search order when `path` is relative.
    explicit Dll(const tstrings::MessageBuilder& path);
    explicit Dll(const tstring& path);
    explicit Dll(const wchar_t* path) : Dll(tstring(path)) {}
    // Loaded from the system directory; the libraries it depends on come from there too.
    Dll(const tstring& name, FromSystemDir);

    Dll(const Dll& other);
    Dll& operator=(const Dll& other);
    ~Dll() = default;

    // Exactly the text the library was loaded with.
    const tstring& path() const { return path_; }
    HMODULE module() const { return module_.get(); }

    // The export's address, to be cast to its function type; null when it is missing and
    // `throwIfNotFound` is false. `name` may also be an ordinal made with MAKEINTRESOURCEA.
    void* getFunction(const char* name, bool throwIfNotFound) const;
    void* getFunction(const std::string& name, bool throwIfNotFound) const {
        return getFunction(name.c_str(), throwIfNotFound);
    }

private:
    tstring path_;
    ModuleHandle module_;
};
