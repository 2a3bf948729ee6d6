// The resource section of an executable, built from scratch: the three-level directory (type,
// name, language) the Windows loader searches, and the data it points to. Small resources are
// held in memory; large ones (an installer package, its cabinets) stay in their files and are
// streamed into place, each starting on a page of its own so that the loader can map it. One
// resource may be made last, from the hashes of the streamed files (the payload index).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "InputFile.h"
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
    // is written; the whole file is taken, as large as it was when it was opened.
    void addFile(const ResourceId& type, const ResourceId& name, InputFile& file);

    // Makes the data of a resource of `size` bytes once the file resources are written, from the
    // ContentHash of each, in the order they were added. At most one per section.
    using LastData = std::function<std::vector<std::uint8_t>(const std::vector<std::uint64_t>& fileHashes)>;
    void addLast(const ResourceId& type, const ResourceId& name, std::size_t size, LastData make);

    // A file resource and where in the section its bytes go.
    struct FilePart {
        InputFile* file;
        std::uint64_t offset;
        std::uint64_t size;
    };

    // The section laid out for the address `rva`: `head` holds the directory and every resource
    // kept in memory; each file part follows at its offset (the gaps are zeros), then the last
    // resource at `lastOffset`; `size` is the section's size without padding. Nothing is read.
    struct Layout {
        std::vector<std::uint8_t> head;
        std::vector<FilePart> fileParts;
        std::uint64_t lastOffset = 0;
        std::size_t lastSize = 0;
        LastData makeLast;  // empty when there is no last resource
        std::uint64_t size = 0;
    };
    Layout layout(std::uint32_t rva) const;
    // The bytes of every file resource together, known before the section is laid out.
    std::uint64_t fileBytes() const;

private:
    enum class Kind { Bytes, File, Last };
    struct Entry {
        ResourceId type;
        ResourceId name;
        Kind kind = Kind::Bytes;
        std::vector<std::uint8_t> data;
        InputFile* file = nullptr;
        std::uint64_t size = 0;
    };

    std::vector<Entry> entries_;
    LastData makeLast_;
};
