#include "PayloadIndex.h"

#include <cstring>

#include "ContentHash.h"
#include "ErrorHandling.h"

namespace payload {
namespace {

constexpr std::uint32_t kMagic = 0x5849504C;  // "LPIX"
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kEntryFixedSize = 18;  // size, hash, name length
constexpr std::size_t kTrailerSize = 8;

class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    void put16(std::uint16_t value) { putLittleEndian(value, 2); }
    void put32(std::uint32_t value) { putLittleEndian(value, 4); }
    void put64(std::uint64_t value) { putLittleEndian(value, 8); }

private:
    void putLittleEndian(std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    std::vector<std::uint8_t>& bytes_;
};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint16_t get16() { return static_cast<std::uint16_t>(getLittleEndian(2)); }
    std::uint32_t get32() { return static_cast<std::uint32_t>(getLittleEndian(4)); }
    std::uint64_t get64() { return getLittleEndian(8); }
    bool atEnd() const { return position_ == size_; }

private:
    std::uint64_t getLittleEndian(int bytes) {
        if (size_ - position_ < static_cast<std::size_t>(bytes)) {
            LD_THROW(IndexError("the payload index is cut short"));
        }
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<std::uint64_t>(data_[position_++]) << (8 * i);
        }
        return value;
    }
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

std::uint64_t hashOf(const void* data, std::size_t size) {
    return ContentHash().update(data, size).digest();
}

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
    std::size_t size = kHeaderSize + kTrailerSize;
    for (const IndexEntry& entry : index.entries) {
        size += kEntryFixedSize + 2 * tstrings::toUtf16(entry.name).size();
    }
    return size;
}

std::vector<std::uint8_t> serializeIndex(const Index& index) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(serializedIndexSize(index));
    Writer out(bytes);
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
        for (const char16_t unit : name) {
            out.put16(static_cast<std::uint16_t>(unit));
        }
    }
    out.put64(hashOf(bytes.data(), bytes.size()));
    return bytes;
}

Index parseIndex(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    // The hash first: nothing of a damaged index is read, not even its counts.
    if (size < kHeaderSize + kTrailerSize) {
        LD_THROW(IndexError("the payload index is cut short"));
    }
    const std::size_t body = size - kTrailerSize;
    if (Reader(bytes + body, kTrailerSize).get64() != hashOf(bytes, body)) {
        LD_THROW(IndexError("the payload index does not match its own hash"));
    }
    Reader in(bytes, body);
    if (in.get32() != kMagic) {
        LD_THROW(IndexError("the payload index does not start with its signature"));
    }
    Index index;
    index.version = in.get16();
    if (index.version == 0 || index.version > kIndexVersion) {
        LD_THROW(IndexError((tstrings::MessageBuilder()
                             << "the payload index has format version " << index.version << "; this build reads 1 to "
                             << kIndexVersion)
                                .str()));
    }
    in.get16();
    const std::uint32_t count = in.get32();
    for (std::uint32_t i = 0; i < count; ++i) {
        IndexEntry entry;
        entry.size = in.get64();
        entry.hash = in.get64();
        std::u16string name(in.get16(), u'\0');
        for (char16_t& unit : name) {
            unit = static_cast<char16_t>(in.get16());
        }
        entry.name = tstrings::fromUtf16(name);
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

}  // namespace payload
