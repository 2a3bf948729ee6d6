// Dynamic libraries: one owned reference to a loaded module, and the library it belongs to,
// loaded from a given path or from the system directory, with exported functions looked up by name.
#pragma once

#include <string>

#include "WinApi.h"
#include "tstrings.h"

// The one owner of a module reference, released with FreeLibrary.
class ModuleHandle {
public:
    ModuleHandle() noexcept = default;
    explicit ModuleHandle(HMODULE module) noexcept : module_(module) {}
    ~ModuleHandle() { reset(); }

    ModuleHandle(ModuleHandle&& other) noexcept : module_(other.release()) {}
    ModuleHandle& operator=(ModuleHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ModuleHandle(const ModuleHandle&) = delete;
    ModuleHandle& operator=(const ModuleHandle&) = delete;

    HMODULE get() const noexcept { return module_; }
    explicit operator bool() const noexcept { return module_ != nullptr; }

    // Gives the reference up without releasing it.
    HMODULE release() noexcept {
        HMODULE module = module_;
        module_ = nullptr;
        return module;
    }

    // Releases the held reference (keeping the thread's last-error value) and takes `module`.
    void reset(HMODULE module = nullptr) noexcept;

private:
    HMODULE module_ = nullptr;
};

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
