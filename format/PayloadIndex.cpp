#include "PayloadIndex.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "ErrorHandling.h"
#include "LauncherResources.h"
#include "LittleEndian.h"
#include "SealedRecord.h"

namespace payload {
namespace {

constexpr SealedRecordFormat kFormat = {
    0x5849504C,  // "LPIX"
    kIndexVersion,
    "the payload index is cut short",
    "the payload index does not match its own hash",
    "the payload index does not start with its signature",
    "the payload index has format version",
};
constexpr std::size_t kEntryFixedSize = 18;  // size, hash, name length

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

// The names as a tree of folders, built in one pass over them: each folder's name is stored once,
// as its own last part under a number for the folder above it, so that neither work nor memory
// grows faster than the names do (copying every folder prefix of a name of 65,535 units would
// take gigabytes). A node is a file, a folder, or, in a damaged index, both.
class NameTree {
public:
    struct Clash {
        std::size_t first;   // a file
        std::size_t second;  // the same name again, or a name below a folder of that name
        bool twice;
    };

    explicit NameTree(std::size_t names) {
        nodes_.reserve(names);
        byPart_.reserve(2 * names);  // few parts share a bucket: each found at the first look
    }

    // Adds `key` (folded to one case), the name at `position`; the first clash with a name added
    // before, if there is one.
    std::optional<Clash> add(const tstring& key, std::size_t position) {
        std::size_t node = kRoot;
        std::size_t start = 0;
        for (std::size_t i = 0; i <= key.size(); ++i) {
            if (i < key.size() && !isSeparator(key[i])) {
                continue;
            }
            if (node != kRoot && nodes_[node].file != kNone) {
                return Clash{nodes_[node].file, position, false};  // a file on the way
            }
            node = child(node, key, start, i - start, position);
            start = i + 1;
        }
        Node& end = nodes_[node];
        if (end.file != kNone) {
            return Clash{end.file, position, true};
        }
        if (end.firstBelow != kNone) {
            return Clash{position, end.firstBelow, false};  // a folder already
        }
        end.file = position;
        return std::nullopt;
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    static constexpr std::size_t kRoot = static_cast<std::size_t>(-2);
    struct Node {
        std::size_t file = kNone;        // the name that is this node, a file
        std::size_t firstBelow = kNone;  // the first name that goes through this node to another
    };

    // The node for the part of `key` at `start` below `parent`, made when missing.
    std::size_t child(std::size_t parent, const tstring& key, std::size_t start, std::size_t length,
                      std::size_t position) {
        if (parent != kRoot && nodes_[parent].firstBelow == kNone) {
            nodes_[parent].firstBelow = position;
        }
        tstring part;  // the parent's number in four 8-bit units, then the part itself
        part.reserve(4 + length);
        for (int shift = 0; shift < 32; shift += 8) {
            part.push_back(static_cast<wchar_t>((static_cast<std::uint64_t>(parent) >> shift) & 0xFF));
        }
        part.append(key, start, length);
        const auto [found, isNew] = byPart_.emplace(std::move(part), nodes_.size());
        if (isNew) {
            nodes_.emplace_back();
        }
        return found->second;
    }

    std::vector<Node> nodes_;
    std::unordered_map<tstring, std::size_t> byPart_;
};

// Whether `name` has a component equal to `component` as Windows compares names (case aside).
bool hasComponent(const tstring& name, const tstring& component) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !isSeparator(name[i])) {
            continue;
        }
        if (i - start == component.size() &&
            tstrings::equals(name.substr(start, i - start), component, tstrings::IgnoreCase)) {
            return true;
        }
        start = i + 1;
    }
    return false;
}

}  // namespace

std::size_t serializedIndexSize(const Index& index) {
    std::size_t size = kSealedHeaderSize + kSealSize;
    for (const IndexEntry& entry : index.entries) {
        size += kEntryFixedSize + 2 * tstrings::toUtf16(entry.name).size();
    }
    return size;
}

std::vector<std::uint8_t> serializeIndex(const Index& index) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(serializedIndexSize(index));
    writeSealedHeader(bytes, kFormat, index.version, static_cast<std::uint32_t>(index.entries.size()));
    LittleEndianWriter out(bytes);
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
    auto record = openSealedRecord<IndexError>(data, size, kFormat);
    auto& in = record.items;
    Index index;
    index.version = record.version;
    for (std::uint32_t i = 0; i < record.count; ++i) {
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

Index readIndex(const void* data, std::size_t size) {
    Index index = parseIndex(data, size);
    const std::size_t beside = index.entries.size() - 1;
    if (beside > launcher::resources::kMostCarriedFiles) {
        LD_THROW(IndexError((tstrings::MessageBuilder()
                             << "its index lists " << beside << " files beside the package; a launcher carries at most "
                             << launcher::resources::kMostCarriedFiles)
                                .str()));
    }
    if (const auto name = indexNameProblem(index)) {
        LD_THROW(
            IndexError((tstrings::MessageBuilder() << "its index names [" << name->name
                                                   << "], which cannot be written below a folder: " << name->problem)
                           .str()));
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

tstring carriedNameProblem(const tstring& name) {
    tstring problem = relativeNameProblem(name);
    if (problem.empty() && hasComponent(name, kInstallersCopyName)) {
        problem =
            tstring(L"a part of it is ") + kInstallersCopyName + L", where the launcher puts its copy of the package";
    }
    return problem;
}

std::optional<NameProblem> indexNameProblem(const Index& index) {
    NameTree tree(index.entries.size());
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const tstring& name = index.entries[i].name;
        tstring problem = i == 0 ? relativeNameProblem(name) : carriedNameProblem(name);
        if (problem.empty() && i == 0 && name.find_first_of(L"\\/") != tstring::npos) {
            problem = L"the package's own name holds a folder";
        }
        if (!problem.empty()) {
            return NameProblem{name, problem};
        }
        if (const auto clash = tree.add(tstrings::toLower(name), i)) {
            if (clash->twice) {
                return NameProblem{name, L"it is listed twice"};
            }
            return NameProblem{index.entries[clash->first].name,
                               L"it is a file where " + index.entries[clash->second].name + L" needs a folder"};
        }
    }
    return std::nullopt;
}

std::optional<std::pair<std::size_t, std::size_t>> fileWhereFolderIs(const tstring_array& keys) {
    NameTree tree(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (const auto clash = tree.add(keys[i], i); clash && !clash->twice) {
            return std::make_pair(clash->first, clash->second);
        }
    }
    return std::nullopt;
}

}  // namespace payload
