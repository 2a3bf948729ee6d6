#include "SummaryInformation.h"

#include <algorithm>
#include <cwchar>
#include <tuple>

#include "ErrorHandling.h"
#include "LittleEndian.h"

namespace {

constexpr std::uint16_t kVtI2 = 2;
constexpr std::uint16_t kVtI4 = 3;
constexpr std::uint16_t kVtLpstr = 30;

// The stream's bytes at `offset`, `size` of them, checked to be there.
const std::uint8_t* at(const std::vector<std::uint8_t>& stream, std::uint64_t offset, std::uint64_t size) {
    if (offset > stream.size() || stream.size() - offset < size) {
        LD_THROW(SummaryError("the summary information is cut short"));
    }
    return stream.data() + offset;
}

// "{GUID}version": the braced GUID and what follows it.
std::pair<tstring, tstring> codeAndVersion(const tstring& text) {
    if (text.size() < 38 || text.front() != L'{' || text[37] != L'}') {
        LD_THROW(SummaryError("the transform's Revision does not start a part with a braced GUID"));
    }
    return {text.substr(0, 38), text.substr(38)};
}

std::vector<unsigned long> versionParts(const tstring& version) {
    std::vector<unsigned long> parts;
    for (const tstring& part : tstrings::split(version, L".")) {
        parts.push_back(part.empty() || part.size() > 9 ? 0 : std::wcstoul(part.c_str(), nullptr, 10));
    }
    return parts;
}

// -1, 0 or 1 as `a` is below, at or above `b` in their first `count` parts.
int compareVersions(const tstring& a, const tstring& b, std::size_t count) {
    const std::vector<unsigned long> left = versionParts(a);
    const std::vector<unsigned long> right = versionParts(b);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned long x = i < left.size() ? left[i] : 0;
        const unsigned long y = i < right.size() ? right[i] : 0;
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

// Validation conditions, as Windows Installer numbers them.
constexpr std::uint16_t kLanguage = 0x1;
constexpr std::uint16_t kProductCode = 0x2;
constexpr std::uint16_t kPlatform = 0x4;
constexpr std::uint16_t kMajorVersion = 0x8;
constexpr std::uint16_t kMinorVersion = 0x10;
constexpr std::uint16_t kUpdateVersion = 0x20;
constexpr std::uint16_t kUpgradeCode = 0x800;
struct VersionRelation {
    std::uint16_t flag;
    bool (*holds)(int comparison);
    const wchar_t* words;
};
constexpr VersionRelation kRelations[] = {
    {0x40, [](int c) { return c < 0; }, L"lower than"},
    {0x80, [](int c) { return c <= 0; }, L"at most"},
    {0x100, [](int c) { return c == 0; }, L"equal to"},
    {0x200, [](int c) { return c >= 0; }, L"at least"},
    {0x400, [](int c) { return c > 0; }, L"higher than"},
};

}  // namespace

std::optional<tstring> SummaryInformation::asciiText(std::uint32_t id) const {
    const auto found = texts.find(id);
    if (found == texts.end() ||
        !std::all_of(found->second.begin(), found->second.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
        return std::nullopt;
    }
    return tstring(found->second.begin(), found->second.end());
}

SummaryInformation parseSummaryInformation(const std::vector<std::uint8_t>& stream) {
    const std::uint8_t* head = at(stream, 0, 48);
    if (littleEndian::read16(head) != 0xFFFE || littleEndian::read32(head + 24) == 0) {
        LD_THROW(SummaryError("the summary information is no property set"));
    }
    const std::uint32_t section = littleEndian::read32(head + 44);
    const std::uint32_t count = littleEndian::read32(at(stream, section, 8) + 4);
    const std::uint8_t* table = at(stream, std::uint64_t{section} + 8, std::uint64_t{count} * 8);
    SummaryInformation info;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t id = littleEndian::read32(table + 8 * i);
        const std::uint64_t offset = std::uint64_t{section} + littleEndian::read32(table + 8 * i + 4);
        const std::uint16_t type = littleEndian::read16(at(stream, offset, 4));
        if (type == kVtI2) {
            info.numbers[id] = static_cast<std::int16_t>(littleEndian::read16(at(stream, offset + 4, 2)));
        } else if (type == kVtI4) {
            info.numbers[id] = static_cast<std::int32_t>(littleEndian::read32(at(stream, offset + 4, 4)));
        } else if (type == kVtLpstr) {
            const std::uint32_t length = littleEndian::read32(at(stream, offset + 4, 4));
            const auto* text = reinterpret_cast<const char*>(at(stream, offset + 8, length));
            std::string value(text, length);
            value.erase(std::find(value.begin(), value.end(), '\0'), value.end());
            info.texts[id] = std::move(value);
        }
    }
    return info;
}

std::optional<SummaryInformation> readSummaryInformation(const CompoundFile& file) {
    const auto stream = file.rootStream(u"\u0005SummaryInformation");
    if (!stream) {
        return std::nullopt;
    }
    return parseSummaryInformation(*stream);
}

std::pair<tstring, std::uint16_t> platformAndLanguage(const tstring& text) {
    const std::size_t separator = text.find(L';');
    if (separator == tstring::npos) {
        LD_THROW(SummaryError("a platform and language is not written as Platform;Language"));
    }
    const tstring languages = text.substr(separator + 1);
    const tstring first = languages.substr(0, languages.find(L','));
    unsigned long language = 0;
    if (first.empty() || first.size() > 5 || !std::all_of(first.begin(), first.end(), [](wchar_t c) {
            return c >= L'0' && c <= L'9';
        }) || (language = std::stoul(first)) > 0xFFFF) {
        LD_THROW(SummaryError("a language is not a number from 0 to 65535"));
    }
    return {text.substr(0, separator), static_cast<std::uint16_t>(language)};
}

TransformSummary transformSummary(const SummaryInformation& info) {
    const auto required = [&](std::uint32_t id, const char* name) {
        const std::optional<tstring> text = info.asciiText(id);
        if (!text) {
            LD_THROW(SummaryError((tstrings::MessageBuilder() << "its summary has no " << name).str()));
        }
        return *text;
    };
    TransformSummary transform;
    std::tie(transform.basePlatform, transform.baseLanguage) = platformAndLanguage(required(summary::kTemplate, "Template"));
    std::tie(transform.resultPlatform, transform.resultLanguage) =
        platformAndLanguage(required(summary::kLastSavedBy, "Last Saved By"));
    const tstring_array revision = tstrings::split(required(summary::kRevision, "Revision"), L";");
    if (revision.size() < 2) {
        LD_THROW(SummaryError("the transform's Revision does not name its base and its result"));
    }
    std::tie(transform.baseProductCode, transform.baseVersion) = codeAndVersion(revision[0]);
    std::tie(transform.resultProductCode, transform.resultVersion) = codeAndVersion(revision[1]);
    if (revision.size() > 2 && !revision[2].empty()) {
        transform.upgradeCode = codeAndVersion(revision[2]).first;
    }
    const auto conditions = info.numbers.find(summary::kTransformConditions);
    if (conditions != info.numbers.end()) {
        const auto bits = static_cast<std::uint32_t>(conditions->second);
        transform.validation = static_cast<std::uint16_t>(bits >> 16);
        transform.ignoredErrors = static_cast<std::uint16_t>(bits & 0xFFFF);
    }
    return transform;
}

std::optional<tstring> unmetCondition(const TransformSummary& transform, const PackageIdentity& package) {
    const std::uint16_t conditions = transform.validation;
    tstrings::MessageBuilder why;
    if ((conditions & kProductCode) != 0 &&
        !tstrings::equals(package.productCode, transform.baseProductCode, tstrings::IgnoreCase)) {
        return (why << "the package's ProductCode is " << package.productCode << ", the transform is for "
                    << transform.baseProductCode)
            .tstr();
    }
    if ((conditions & kUpgradeCode) != 0 &&
        !tstrings::equals(package.upgradeCode, transform.upgradeCode, tstrings::IgnoreCase)) {
        return (why << "the package's UpgradeCode is " << (package.upgradeCode.empty() ? L"missing" : package.upgradeCode)
                    << ", the transform is for " << transform.upgradeCode)
            .tstr();
    }
    if ((conditions & kLanguage) != 0 && package.language != transform.baseLanguage) {
        return (why << "the package's language is " << package.language << ", the transform is for "
                    << transform.baseLanguage)
            .tstr();
    }
    if ((conditions & kPlatform) != 0 && !tstrings::equals(package.platform, transform.basePlatform, tstrings::IgnoreCase)) {
        return (why << "the package's platform is " << package.platform << ", the transform is for "
                    << transform.basePlatform)
            .tstr();
    }
    const std::size_t parts = (conditions & kUpdateVersion) != 0   ? 3
                              : (conditions & kMinorVersion) != 0 ? 2
                              : (conditions & kMajorVersion) != 0 ? 1
                                                                  : 3;
    for (const VersionRelation& relation : kRelations) {
        if ((conditions & relation.flag) != 0 &&
            !relation.holds(compareVersions(package.productVersion, transform.baseVersion, parts))) {
            return (why << "the package's ProductVersion " << package.productVersion << " is not " << relation.words
                        << " the transform's base version " << transform.baseVersion)
                .tstr();
        }
    }
    return std::nullopt;
}
