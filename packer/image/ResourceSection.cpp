#include "ResourceSection.h"

#include <algorithm>
#include <map>

#include "ErrorHandling.h"
#include "LittleEndian.h"

namespace {

constexpr std::uint32_t kSubdirectoryBit = 0x80000000;
constexpr std::uint32_t kNameBit = 0x80000000;
constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kDataAlignment = 8;
constexpr std::size_t kDirectorySize = 16;  // IMAGE_RESOURCE_DIRECTORY
constexpr std::size_t kEntrySize = 8;       // IMAGE_RESOURCE_DIRECTORY_ENTRY
constexpr std::size_t kDataEntrySize = 16;  // IMAGE_RESOURCE_DATA_ENTRY

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

tstring upperCase(const tstring& text) {
    tstring upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 0x20) : c; });
    return upper;
}

}  // namespace

ResourceId ResourceId::number(std::uint16_t value) {
    ResourceId id;
    id.id = value;
    return id;
}

ResourceId ResourceId::text(const tstring& value) {
    if (value.empty()) {
        LD_THROW("A resource name cannot be empty");
    }
    ResourceId id;
    id.name = upperCase(value);
    return id;
}

bool operator<(const ResourceId& a, const ResourceId& b) {
    if (a.isName() != b.isName()) {
        return a.isName();
    }
    return a.isName() ? a.name < b.name : a.id < b.id;
}

void ResourceSection::add(const ResourceId& type, const ResourceId& name, std::vector<std::uint8_t> data) {
    const std::uint64_t size = data.size();
    entries_.push_back(Entry{type, name, Kind::Bytes, std::move(data), nullptr, size});
}

void ResourceSection::addFile(const ResourceId& type, const ResourceId& name, InputFile& file) {
    entries_.push_back(Entry{type, name, Kind::File, {}, &file, file.size()});
}

void ResourceSection::addLast(const ResourceId& type, const ResourceId& name, std::size_t size, LastData make) {
    if (makeLast_) {
        LD_THROW("A resource section has one resource made last, not two");
    }
    makeLast_ = std::move(make);
    entries_.push_back(Entry{type, name, Kind::Last, {}, nullptr, size});
}

std::uint64_t ResourceSection::fileBytes() const {
    std::uint64_t total = 0;
    for (const Entry& entry : entries_) {
        if (entry.kind == Kind::File) {
            total += entry.size;
        }
    }
    return total;
}

ResourceSection::Layout ResourceSection::layout(std::uint32_t rva) const {
    // type -> name -> entry; one language for every resource.
    std::map<ResourceId, std::map<ResourceId, const Entry*>> tree;
    for (const Entry& entry : entries_) {
        if (!tree[entry.type].emplace(entry.name, &entry).second) {
            LD_THROW("Two resources share one type and name");
        }
    }

    // Where each part goes, in the order they are written: the directories (root, types, names,
    // languages), the data entries, the names, the data.
    std::size_t offset = kDirectorySize + kEntrySize * tree.size();
    std::map<const void*, std::size_t> directoryOffsets;
    for (const auto& [type, names] : tree) {
        directoryOffsets[&names] = offset;
        offset += kDirectorySize + kEntrySize * names.size();
    }
    for (const auto& [type, names] : tree) {
        for (const auto& [name, entry] : names) {
            directoryOffsets[entry] = offset;
            offset += kDirectorySize + kEntrySize;
        }
    }
    std::map<const Entry*, std::size_t> dataEntryOffsets;
    for (const Entry& entry : entries_) {
        dataEntryOffsets[&entry] = offset;
        offset += kDataEntrySize;
    }
    std::map<tstring, std::size_t> nameOffsets;
    const auto placeName = [&](const ResourceId& id) {
        if (id.isName() && nameOffsets.emplace(id.name, offset).second) {
            offset += 2 + 2 * tstrings::toUtf16(id.name).size();  // length, then the UTF-16 text without terminator
        }
    };
    for (const auto& [type, names] : tree) {
        placeName(type);
        for (const auto& [name, entry] : names) {
            placeName(name);
        }
    }

    Layout layout;
    std::vector<std::uint8_t>& head = layout.head;
    std::uint64_t dataOffset = alignUp(offset, kDataAlignment);
    std::map<const Entry*, std::uint64_t> dataOffsets;
    for (const Entry& entry : entries_) {
        if (entry.kind == Kind::Bytes) {
            dataOffsets[&entry] = dataOffset;
            LittleEndianWriter(head, static_cast<std::size_t>(dataOffset))
                .putBytes(entry.data.data(), entry.data.size());
            dataOffset = alignUp(dataOffset + entry.data.size(), kDataAlignment);
        }
    }
    // Files next, each on a page of its own.
    for (const Entry& entry : entries_) {
        if (entry.kind == Kind::File) {
            dataOffset = alignUp(dataOffset, kPage);
            dataOffsets[&entry] = dataOffset;
            layout.fileParts.push_back(FilePart{entry.file, dataOffset, entry.size});
            dataOffset += entry.size;
        }
    }
    // Then the one made from them.
    for (const Entry& entry : entries_) {
        if (entry.kind == Kind::Last) {
            dataOffset = alignUp(dataOffset, kDataAlignment);
            dataOffsets[&entry] = dataOffset;
            layout.lastOffset = dataOffset;
            layout.lastSize = static_cast<std::size_t>(entry.size);
            layout.makeLast = makeLast_;
            dataOffset += entry.size;
        }
    }
    layout.size = dataOffset;
    if (rva + layout.size > 0xFFFFFFFFull) {
        LD_THROW("The resources do not fit into the 4 GiB an executable can hold");
    }

    const auto writeDirectory = [&](std::size_t at, std::size_t named, std::size_t numbered) {
        LittleEndianWriter(head, at)
            .put32(0)  // characteristics
            .put32(0)  // time stamp: none, so that equal inputs give equal files
            .put32(0)  // version
            .put16(static_cast<std::uint16_t>(named))
            .put16(static_cast<std::uint16_t>(numbered));
    };
    const auto idField = [&](const ResourceId& id) {
        return id.isName() ? kNameBit | static_cast<std::uint32_t>(nameOffsets.at(id.name)) : id.id;
    };
    const auto countNames = [](const auto& map) {
        return static_cast<std::size_t>(
            std::count_if(map.begin(), map.end(), [](const auto& item) { return item.first.isName(); }));
    };

    writeDirectory(0, countNames(tree), tree.size() - countNames(tree));
    std::size_t typeSlot = kDirectorySize;
    for (const auto& [type, names] : tree) {
        LittleEndianWriter(head, typeSlot)
            .put32(idField(type))
            .put32(kSubdirectoryBit | static_cast<std::uint32_t>(directoryOffsets.at(&names)));
        typeSlot += kEntrySize;

        const std::size_t typeDirectory = directoryOffsets.at(&names);
        writeDirectory(typeDirectory, countNames(names), names.size() - countNames(names));
        std::size_t nameSlot = typeDirectory + kDirectorySize;
        for (const auto& [name, entry] : names) {
            const std::size_t nameDirectory = directoryOffsets.at(entry);
            LittleEndianWriter(head, nameSlot)
                .put32(idField(name))
                .put32(kSubdirectoryBit | static_cast<std::uint32_t>(nameDirectory));
            nameSlot += kEntrySize;

            writeDirectory(nameDirectory, 0, 1);
            LittleEndianWriter(head, nameDirectory + kDirectorySize)
                .put32(kLanguage)
                .put32(static_cast<std::uint32_t>(dataEntryOffsets.at(entry)));
        }
    }
    for (const Entry& entry : entries_) {
        LittleEndianWriter(head, dataEntryOffsets.at(&entry))
            .put32(rva + static_cast<std::uint32_t>(dataOffsets.at(&entry)))
            .put32(static_cast<std::uint32_t>(entry.size))
            .put32(0)   // code page
            .put32(0);  // reserved
    }
    for (const auto& [name, at] : nameOffsets) {
        const std::u16string units = tstrings::toUtf16(name);
        LittleEndianWriter(head, at).put16(static_cast<std::uint16_t>(units.size())).putUnits(units);
    }
    return layout;
}
