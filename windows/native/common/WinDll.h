// Dynamic libraries: a library loaded from a given path or from the system directory, held by
// one owned module reference (ModuleHandle), with exported functions looked up by name.
#pragma once

#include <string>

#include "UniqueResource.h"
#include "WinApi.h"
#include "tstrings.h"

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
