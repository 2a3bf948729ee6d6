// The resource section of an executable, built from scratch: the three-level directory (type,
// name, language) the Windows loader searches, and the data it points to. Small resources are
// held in memory; a large one (an installer package) stays in its file and is streamed into
// place, starting on a page of its own so that the loader can map it.
#pragma once

#include <cstdint>
#include <vector>

#include "WinApi.h"
#include "tstrings.h"

// A resource type or name: a number, or a text that the section stores in upper case (the form
// FindResource looks for).
struct ResourceId {
    static ResourceId number(std::uint16_t value);
    static ResourceId text(const tstring& value);

    std::uint16_t id = 0;
    tstring name;  // empty for a number

    bool isName() const { return !name.empty(); }
};

// The order of a resource directory: names first, by their upper-case text, then numbers.
bool operator<(const ResourceId& a, const ResourceId& b);

class ResourceSection {
public:
    static constexpr std::uint16_t kLanguage = 0x0409;  // English (United States), as windres writes

    void add(const ResourceId& type, const ResourceId& name, std::vector<std::uint8_t> data);
    // The data is read from `file` (not owned; read from its current position) when the section
    // is written; `size` is the number of bytes to take.
    void addFile(const ResourceId& type, const ResourceId& name, HANDLE file, std::uint64_t size);

    // A file resource and where in the section its bytes go.
    struct FilePart {
        HANDLE file;
        std::uint64_t offset;
        std::uint64_t size;
    };

    // The section laid out for the address `rva`: `head` holds the directory and every resource
    // kept in memory; each file part follows at its offset (the gaps are zeros); `size` is the
    // section's size without padding.
    struct Layout {
        std::vector<std::uint8_t> head;
        std::vector<FilePart> fileParts;
        std::uint64_t size = 0;
    };
    Layout layout(std::uint32_t rva) const;

private:
    struct Entry {
        ResourceId type;
        ResourceId name;
        std::vector<std::uint8_t> data;
        HANDLE file = nullptr;  // set for a file resource
        std::uint64_t size = 0;
    };

    std::vector<Entry> entries_;
};
