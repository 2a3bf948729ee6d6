#include "LauncherFacts.h"

#include "ErrorHandling.h"
#include "LittleEndian.h"
#include "SealedRecord.h"

namespace facts {
namespace {

constexpr SealedRecordFormat kFormat = {
    0x5846504C,  // "LPFX"
    kFactsVersion,
    "the launcher's facts are cut short",
    "the launcher's facts do not match their own hash",
    "the launcher's facts do not start with their signature",
    "the launcher's facts have format version",
};

}  // namespace

void LauncherFacts::set(const tstring& name, const tstring& value) {
    const auto [place, isNew] = byName_.emplace(name, facts_.size());
    if (isNew) {
        facts_.push_back(Fact{name, value});
    } else {
        facts_[place->second].value = value;
    }
}

void LauncherFacts::erase(const tstring& name) {
    const auto found = byName_.find(name);
    if (found == byName_.end()) {
        return;
    }
    facts_.erase(facts_.begin() + static_cast<std::ptrdiff_t>(found->second));
    byName_.clear();
    for (std::size_t i = 0; i < facts_.size(); ++i) {
        byName_.emplace(facts_[i].name, i);
    }
}

std::optional<tstring> LauncherFacts::get(const tstring& name) const {
    const auto found = byName_.find(name);
    if (found == byName_.end()) {
        return std::nullopt;
    }
    return facts_[found->second].value;
}

std::vector<std::uint8_t> serializeFacts(const LauncherFacts& facts) {
    std::vector<std::uint8_t> bytes;
    writeSealedHeader(bytes, kFormat, kFactsVersion, static_cast<std::uint32_t>(facts.all().size()));
    LittleEndianWriter out(bytes);
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
    appendSeal(bytes);
    return bytes;
}

LauncherFacts parseFacts(const void* data, std::size_t size) {
    auto record = openSealedRecord<FactsError>(data, size, kFormat);  // every version so far has one layout
    auto& in = record.items;
    LauncherFacts facts;
    for (std::uint32_t i = 0; i < record.count; ++i) {
        const tstring name = in.getText(in.get16());
        const tstring value = in.getText(in.get32());
        if (name.empty() || facts.has(name)) {
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
