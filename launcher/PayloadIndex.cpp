#include "PayloadIndex.h"

#include <algorithm>
#include <cstring>

#include "ErrorHandling.h"
#include "LittleEndian.h"

namespace payload {
namespace {

constexpr std::uint32_t kMagic = 0x5849504C;  // "LPIX"
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kEntryFixedSize = 18;  // size, hash, name length

constexpr const char* kCutShort = "the payload index is cut short";

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 name devices, not files, whatever follows
// them after a dot.
bool isDeviceName(const tstring& component) {
    const tstring stem = tstrings::toLower(component.substr(0, component.find(L'.')));
    if (stem == L"con" || stem == L"prn" || stem == L"aux" || stem == L"nul") {
        return true;
    }
    return stem.size() == 4 && (stem.compare(0, 3, L"com") == 0 || stem.compare(0, 3, L"lpt") == 0) &&
           stem[3] >= L'1' && stem[3] <= L'9';
}

}  // namespace

std::size_t serializedIndexSize(const Index& index) {
    std::size_t size = kHeaderSize + kSealSize;
    for (const IndexEntry& entry : index.entries) {
        size += kEntryFixedSize + 2 * tstrings::toUtf16(entry.name).size();
    }
    return size;
}

std::vector<std::uint8_t> serializeIndex(const Index& index) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(serializedIndexSize(index));
    LittleEndianWriter out(bytes);
    out.put32(kMagic);
    out.put16(index.version);
    out.put16(0);
    out.put32(static_cast<std::uint32_t>(index.entries.size()));
    for (const IndexEntry& entry : index.entries) {
        const std::u16string name = tstrings::toUtf16(entry.name);
        if (name.size() > 0xFFFF) {
            LD_THROW(tstrings::MessageBuilder() << "The name " << entry.name << " is too long for the payload index");
        }
        out.put64(entry.size);
        out.put64(entry.hash);
        out.put16(static_cast<std::uint16_t>(name.size()));
        out.putUnits(name);
    }
    appendSeal(bytes);
    return bytes;
}

Index parseIndex(const void* data, std::size_t size) {
    auto in =
        openSealed<IndexError>(data, size, kHeaderSize, kCutShort, "the payload index does not match its own hash");
    if (in.get32() != kMagic) {
        LD_THROW(IndexError("the payload index does not start with its signature"));
    }
    Index index;
    index.version = in.get16();
    if (index.version == 0 || index.version > kIndexVersion) {
        LD_THROW(IndexError((tstrings::MessageBuilder() << "the payload index has format version " << index.version
                                                        << "; this build reads 1 to " << kIndexVersion)
                                .str()));
    }
    in.get16();
    const std::uint32_t count = in.get32();
    for (std::uint32_t i = 0; i < count; ++i) {
        IndexEntry entry;
        entry.size = in.get64();
        entry.hash = in.get64();
        entry.name = in.getText(in.get16());
        index.entries.push_back(std::move(entry));
    }
    if (!in.atEnd() || index.entries.empty()) {
        LD_THROW(IndexError("the payload index holds more or less than its entries"));
    }
    return index;
}

tstring relativeNameProblem(const tstring& name) {
    if (name.empty()) {
        return L"it is empty";
    }
    if (isSeparator(name.front())) {
        return L"it is absolute";
    }
    static const tstring forbidden = L"<>:\"|?*";
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !isSeparator(name[i])) {
            const wchar_t c = name[i];
            if (c < 0x20) {
                return L"it holds a control character";
            }
            if (forbidden.find(c) != tstring::npos) {
                return c == L':' ? L"it holds a colon (a drive or a stream)" : tstring(L"it holds the character ") + c;
            }
            continue;
        }
        const tstring component = name.substr(start, i - start);
        if (component.empty()) {
            return L"one of its parts is empty";
        }
        if (component == L"." || component == L"..") {
            return L"one of its parts is " + component;
        }
        if (component.back() == L'.' || component.back() == L' ') {
            return L"a part of it ends in a dot or a blank, which Windows drops";
        }
        if (isDeviceName(component)) {
            return L"a part of it names a device (" + component + L")";
        }
        start = i + 1;
    }
    return tstring();
}

std::optional<NameProblem> indexNameProblem(const Index& index) {
    tstring_array keys;  // one spelling of each name: lower case, '\' between components
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const tstring& name = index.entries[i].name;
        tstring problem = relativeNameProblem(name);
        if (problem.empty() && i == 0 && name.find_first_of(L"\\/") != tstring::npos) {
            problem = L"the package's own name holds a folder";
        }
        if (problem.empty() && i > 0 && tstrings::equals(name, kInstallersCopyName, tstrings::IgnoreCase)) {
            problem = L"it is where the launcher puts its copy of the package";
        }
        if (!problem.empty()) {
            return NameProblem{name, problem};
        }
        keys.push_back(tstrings::toLower(tstrings::replace(name, L"/", L"\\")));
    }
    // Sorted with their places, a name twice stands next to itself: no pair of tens of thousands
    // is compared. The later of the two is the one named.
    std::vector<std::pair<tstring, std::size_t>> sorted;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        sorted.emplace_back(keys[i], i);
    }
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i].first == sorted[i - 1].first) {
            return NameProblem{index.entries[sorted[i].second].name, L"it is listed twice"};
        }
    }
    if (const auto clash = fileWhereFolderIs(keys)) {
        return NameProblem{index.entries[clash->first].name,
                           L"it is a file where " + index.entries[clash->second].name + L" needs a folder"};
    }
    return std::nullopt;
}

std::optional<std::pair<std::size_t, std::size_t>> fileWhereFolderIs(const tstring_array& keys) {
    // Every folder on the way to a name, with the name's position, sorted: a payload may carry
    // tens of thousands of files, and no pair of them is compared.
    std::vector<std::pair<tstring, std::size_t>> folders;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        for (std::size_t at = 0; at < keys[i].size(); ++at) {
            if (isSeparator(keys[i][at])) {
                folders.emplace_back(tstrings::replace(keys[i].substr(0, at), L"/", L"\\"), i);
            }
        }
    }
    std::sort(folders.begin(), folders.end());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const tstring key = tstrings::replace(keys[i], L"/", L"\\");
        const auto folder = std::lower_bound(folders.begin(), folders.end(), std::make_pair(key, std::size_t{0}));
        if (folder != folders.end() && folder->first == key) {
            return std::make_pair(i, folder->second);
        }
    }
    return std::nullopt;
}

}  // namespace payload
