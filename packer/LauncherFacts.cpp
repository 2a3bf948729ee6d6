#include "LauncherFacts.h"

#include <algorithm>

#include "ContentHash.h"
#include "ErrorHandling.h"

namespace facts {
namespace {

constexpr std::uint32_t kMagic = 0x5846504C;  // "LPFX"
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kTrailerSize = 8;

class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    void put16(std::uint16_t value) { putLittleEndian(value, 2); }
    void put32(std::uint32_t value) { putLittleEndian(value, 4); }
    void put64(std::uint64_t value) { putLittleEndian(value, 8); }
    void putUnits(const std::u16string& text) {
        for (const char16_t unit : text) {
            put16(static_cast<std::uint16_t>(unit));
        }
    }

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
    // `units` UTF-16 units; the count is checked against what is left before anything is allocated.
    tstring getText(std::size_t units) {
        if ((size_ - position_) / 2 < units) {
            LD_THROW(FactsError("the launcher's facts are cut short"));
        }
        std::u16string text(units, u'\0');
        for (char16_t& unit : text) {
            unit = static_cast<char16_t>(get16());
        }
        return tstrings::fromUtf16(text);
    }
    bool atEnd() const { return position_ == size_; }

private:
    std::uint64_t getLittleEndian(int bytes) {
        if (size_ - position_ < static_cast<std::size_t>(bytes)) {
            LD_THROW(FactsError("the launcher's facts are cut short"));
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

}  // namespace

void LauncherFacts::set(const tstring& name, const tstring& value) {
    const auto same = std::find_if(facts_.begin(), facts_.end(), [&](const Fact& fact) { return fact.name == name; });
    if (same != facts_.end()) {
        same->value = value;
    } else {
        facts_.push_back(Fact{name, value});
    }
}

std::optional<tstring> LauncherFacts::get(const tstring& name) const {
    const auto found = std::find_if(facts_.begin(), facts_.end(), [&](const Fact& fact) { return fact.name == name; });
    if (found == facts_.end()) {
        return std::nullopt;
    }
    return found->value;
}

std::vector<std::uint8_t> serializeFacts(const LauncherFacts& facts) {
    std::vector<std::uint8_t> bytes;
    Writer out(bytes);
    out.put32(kMagic);
    out.put16(kFactsVersion);
    out.put16(0);
    out.put32(static_cast<std::uint32_t>(facts.all().size()));
    for (const Fact& fact : facts.all()) {
        const std::u16string name = tstrings::toUtf16(fact.name);
        const std::u16string value = tstrings::toUtf16(fact.value);
        if (name.empty() || name.size() > 0xFFFF) {
            LD_THROW(tstrings::MessageBuilder() << "The fact name [" << fact.name << "] cannot be recorded");
        }
        if (value.size() > 0xFFFFFFFFull) {
            LD_THROW(tstrings::MessageBuilder() << "The value of " << fact.name << " is too long to be recorded");
        }
        out.put16(static_cast<std::uint16_t>(name.size()));
        out.putUnits(name);
        out.put32(static_cast<std::uint32_t>(value.size()));
        out.putUnits(value);
    }
    out.put64(hashOf(bytes.data(), bytes.size()));
    return bytes;
}

LauncherFacts parseFacts(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    // The hash first: nothing of damaged facts is read, not even their count.
    if (size < kHeaderSize + kTrailerSize) {
        LD_THROW(FactsError("the launcher's facts are cut short"));
    }
    const std::size_t body = size - kTrailerSize;
    if (Reader(bytes + body, kTrailerSize).get64() != hashOf(bytes, body)) {
        LD_THROW(FactsError("the launcher's facts do not match their own hash"));
    }
    Reader in(bytes, body);
    if (in.get32() != kMagic) {
        LD_THROW(FactsError("the launcher's facts do not start with their signature"));
    }
    const std::uint16_t version = in.get16();
    if (version == 0 || version > kFactsVersion) {
        LD_THROW(FactsError((tstrings::MessageBuilder() << "the launcher's facts have format version " << version
                                                        << "; this build reads 1 to " << kFactsVersion)
                                .str()));
    }
    in.get16();
    const std::uint32_t count = in.get32();
    LauncherFacts facts;
    for (std::uint32_t i = 0; i < count; ++i) {
        const tstring name = in.getText(in.get16());
        const tstring value = in.getText(in.get32());
        if (name.empty() || facts.get(name)) {
            LD_THROW(FactsError("the launcher's facts name one fact twice, or one without a name"));
        }
        facts.set(name, value);
    }
    if (!in.atEnd()) {
        LD_THROW(FactsError("the launcher's facts hold more than their count says"));
    }
    return facts;
}

std::optional<InstallScope> installScope(const LauncherFacts& facts) {
    using Context = InstallScope::Context;
    const tstring allUsers = facts.get(kAllUsers).value_or(tstring());
    if (allUsers.empty()) {
        return InstallScope{Context::User, false};
    }
    if (allUsers == L"1") {
        return InstallScope{Context::Machine, false};
    }
    if (allUsers == L"2") {
        return InstallScope{facts.get(kInstallPerUser) == tstring(L"1") ? Context::User : Context::Machine, true};
    }
    return std::nullopt;
}

}  // namespace facts
