// Read access to resources of a loaded module: RCDATA blobs such as the carried installer
// package, and string-table entries such as the installer's message texts.
#pragma once

#include <cstdint>
#include <new>
#include <vector>

#include "WinApi.h"
#include "WinFileUtils.h"
#include "tstrings.h"

class Resource {
public:
    // `name` and `type` are text or integer resource names (MAKEINTRESOURCE).
    Resource(LPCWSTR name, LPCWSTR type, HMODULE module);
    // Only the low 16 bits of `number` are used.
    Resource(unsigned number, LPCWSTR type, HMODULE module);

    // The platform-facing names point into this object's own text.
    Resource(const Resource&) = delete;
    Resource& operator=(const Resource&) = delete;

    bool available() const;
    std::uint32_t size() const;
    const void* rawData() const;
    std::vector<std::uint8_t> binary() const;
    // Written through a staged sibling file: `path` is replaced whole or left as it was.
    // `pieceDone` hears of every piece written.
    void saveToFile(const tstring& path, const FileUtils::PieceDone& pieceDone = nullptr) const;

    // The data inside the loaded module and its size in bytes; the base of everything above.
    const void* getPtr(std::uint32_t& size) const;
    // The same, found with one lookup; nullptr (size 0) where the module has no such resource.
    const void* getPtr(std::uint32_t& size, const std::nothrow_t&) const;

private:
    HRSRC find() const;
    // getPtr's work once the resource is found.
    const void* dataOf(HRSRC found, std::uint32_t& size) const;
    tstring describe(const char* reason) const;
    bool isStringTable() const;

    tstring nameText_;
    LPCWSTR name_;
    tstring typeText_;
    LPCWSTR type_;
    HMODULE module_;
};

class StringResource {
public:
    StringResource(unsigned number, HMODULE module);

    tstring string() const;
    // Reports any failure to the log and returns a copy of `defaultText`.
    tstring string(const std::nothrow_t&, const tstring& defaultText) const;

private:
    Resource resource_;
};
