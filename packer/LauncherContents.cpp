#include "LauncherContents.h"

#include <algorithm>
#include <numeric>
#include <set>

#include "ContentHash.h"
#include "ErrorHandling.h"
#include "LauncherResources.h"

namespace {

namespace contract = launcher::resources;

constexpr std::size_t kReadChunk = 1024 * 1024;

ResourceId carriedType() {
    return ResourceId::number(contract::kCarriedType);
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
bool isBracedGuid(const std::vector<std::uint8_t>& text) {
    if (text.size() != contract::kProductCodeSize || text.front() != '{' || text.back() != '}') {
        return false;
    }
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        const char c = static_cast<char>(text[i]);
        if (dash ? c != '-' : !isHexDigit(c)) {
            return false;
        }
    }
    return true;
}

tstring asciiText(const std::vector<std::uint8_t>& bytes) {
    return tstring(bytes.begin(), bytes.end());
}

// One name for every spelling Windows takes for the same file: either separator, any case.
tstring comparableName(const tstring& name) {
    return tstrings::toLower(tstrings::replace(name, L"/", L"\\"));
}

}  // namespace

InputFile openLauncher(const tstring& path) {
    return classifyFailure(
        kInputError, [&] { return InputFile(path); },
        [&](const LdErrorBase& e) {
            const auto* error = dynamic_cast<const InputFileError*>(&e);
            if (error != nullptr && error->missing()) {
                return tstrings::MessageBuilder() << "There is no launcher at " << path;
            }
            // The file's own messages name it: "X is a directory", "X cannot be opened: ...".
            return error != nullptr ? tstrings::MessageBuilder() << rawMessageOf(e)
                                    : tstrings::MessageBuilder() << "Cannot open " << path << ": " << rawMessageOf(e);
        });
}

LauncherContents::LauncherContents(InputFile& file) : file_(file), image_(file) {
    const ResourceLocation package = findPackage();
    readProductCode();
    readItems(package);
    readFacts();
    signed_ = image_.carriesSignature();
}

void LauncherContents::refuseDamaged(const tstrings::MessageBuilder& reason) const {
    LD_THROW(LauncherError((tstrings::MessageBuilder() << file_.path() << " is damaged: " << reason).str()));
}

std::optional<std::vector<std::uint8_t>> LauncherContents::optionalResource(const ResourceId& type,
                                                                            const ResourceId& name) {
    const std::optional<ResourceLocation> location = image_.find(type, name);
    if (!location) {
        return std::nullopt;
    }
    return image_.read(*location);
}

void LauncherContents::readProductCode() {
    const std::optional<std::vector<std::uint8_t>> code =
        optionalResource(carriedType(), ResourceId::text(contract::kProductCodeStoredName));
    if (!code) {
        refuseMissing("product code", contract::kProductCodeStoredName);
    }
    if (!isBracedGuid(*code)) {
        refuseDamaged(tstrings::MessageBuilder() << "its product code is not a GUID in braces");
    }
    productCode_ = asciiText(*code);
}

void LauncherContents::refuseMissing(const char* what, const tstring& name) const {
    LD_THROW(LauncherError((tstrings::MessageBuilder() << file_.path() << " is not a launcher: it carries no " << what
                                                       << " (no RCDATA resource " << name << ")")
                               .str()));
}

ResourceLocation LauncherContents::findPackage() {
    const std::optional<ResourceLocation> package =
        image_.find(carriedType(), ResourceId::text(contract::kPackageStoredName));
    if (!package) {
        refuseMissing("package", contract::kPackageStoredName);
    }
    return *package;
}

void LauncherContents::readItems(const ResourceLocation& package) {
    const std::optional<std::vector<std::uint8_t>> indexBytes =
        optionalResource(carriedType(), ResourceId::text(contract::kIndexStoredName));
    if (!indexBytes) {
        items_.push_back(CarriedItem{std::nullopt, package, std::nullopt});
        return;
    }
    indexed_ = true;
    payload::Index index;
    try {
        index = payload::parseIndex(indexBytes->data(), indexBytes->size());
    } catch (const LdError<payload::IndexError>& e) {
        refuseDamaged(tstrings::MessageBuilder() << std::string(e.rawMessage()));
    }
    if (index.entries.size() - 1 > contract::kLastCarriedFileId) {
        refuseDamaged(tstrings::MessageBuilder()
                      << "its index lists " << index.entries.size() - 1
                      << " files beside the package; a launcher carries at most " << contract::kLastCarriedFileId);
    }
    checkNames(index);
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const payload::IndexEntry& entry = index.entries[i];
        const std::optional<ResourceLocation> location =
            i == 0 ? std::optional<ResourceLocation>(package)
                   : image_.find(carriedType(), ResourceId::number(static_cast<std::uint16_t>(i)));
        if (!location) {
            refuseDamaged(tstrings::MessageBuilder()
                          << "it does not carry " << entry.name << ", which its index lists");
        }
        if (location->size != entry.size) {
            refuseDamaged(tstrings::MessageBuilder() << entry.name << " does not match its index (" << location->size
                                                     << " bytes, the index says " << entry.size << ")");
        }
        items_.push_back(CarriedItem{entry.name, *location, entry.hash});
    }
}

void LauncherContents::checkNames(const payload::Index& index) const {
    std::set<tstring> seen;
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const tstring& name = index.entries[i].name;
        tstring problem = payload::relativeNameProblem(name);
        if (problem.empty() && i == 0 && name.find_first_of(L"\\/") != tstring::npos) {
            problem = L"the package's own name holds a folder";
        }
        if (problem.empty() && !seen.insert(comparableName(name)).second) {
            problem = L"it is listed twice";
        }
        if (!problem.empty()) {
            refuseDamaged(tstrings::MessageBuilder()
                          << "its index names [" << name << "], which cannot be written below a folder: " << problem);
        }
    }
}

void LauncherContents::readFacts() {
    const ResourceId version = ResourceId::number(contract::kVersionType);
    if (const auto block = optionalResource(version, ResourceId::number(contract::kVersionId))) {
        versionStrings_ = readVersionStrings(block->data(), block->size());
    }
    const auto bytes = optionalResource(carriedType(), ResourceId::text(contract::kFactsStoredName));
    if (!bytes) {
        return;
    }
    try {
        recorded_ = facts::parseFacts(bytes->data(), bytes->size());
    } catch (const LdError<facts::FactsError>& e) {
        refuseDamaged(tstrings::MessageBuilder() << std::string(e.rawMessage()));
    }
    const std::optional<tstring> recordedCode = recorded_->get(facts::kProductCode);
    if (recordedCode && *recordedCode != productCode_) {
        refuseDamaged(tstrings::MessageBuilder()
                      << "its facts give the ProductCode " << *recordedCode << ", it carries " << productCode_);
    }
}

tstring LauncherContents::describe(const CarriedItem& item) const {
    return item.name.value_or(L"its package");
}

void LauncherContents::checkAgainstIndex(const CarriedItem& item, std::uint64_t hash) const {
    if (item.indexedHash && *item.indexedHash != hash) {
        refuseDamaged(tstrings::MessageBuilder() << describe(item) << " does not match its index");
    }
}

std::uint64_t LauncherContents::stream(const CarriedItem& item, const Take& take) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, item.location.size)));
    ContentHash hash;
    file_.seek(item.location.offset);
    for (std::uint64_t left = item.location.size; left > 0;) {
        const std::size_t read =
            file_.read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left)));
        if (read == 0) {
            refuseDamaged(tstrings::MessageBuilder() << describe(item) << " ends before its size");
        }
        take(buffer.data(), read);
        hash.update(buffer.data(), read);
        left -= read;
    }
    const std::uint64_t digest = hash.digest();
    checkAgainstIndex(item, digest);
    return digest;
}

CarriedDigests LauncherContents::digests() {
    // The items in the order their bytes come in the file; each is hashed while the read is
    // within its bytes.
    std::vector<std::size_t> byOffset(items_.size());
    std::iota(byOffset.begin(), byOffset.end(), std::size_t{0});
    std::stable_sort(byOffset.begin(), byOffset.end(), [&](std::size_t a, std::size_t b) {
        return items_[a].location.offset < items_[b].location.offset;
    });
    struct Running {
        std::size_t item;
        std::uint64_t begin;
        std::uint64_t end;
        ContentHash contentHash;
        Sha256 sha256;
    };
    std::vector<Running> running;
    std::size_t next = 0;
    CarriedDigests digests;
    digests.items.resize(items_.size());
    const auto finish = [&](Running& done) {
        checkAgainstIndex(items_[done.item], done.contentHash.digest());
        digests.items[done.item] = done.sha256.finish();
    };

    Sha256 whole;
    std::vector<std::uint8_t> buffer(kReadChunk);
    file_.seek(0);
    for (std::uint64_t position = 0; position < file_.size();) {
        const std::size_t read = file_.read(
            buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file_.size() - position)));
        if (read == 0) {
            refuseDamaged(tstrings::MessageBuilder() << "it ends before its size");
        }
        whole.update(buffer.data(), read);
        const std::uint64_t end = position + read;
        for (; next < byOffset.size() && items_[byOffset[next]].location.offset < end; ++next) {
            const CarriedItem& item = items_[byOffset[next]];
            running.push_back(Running{byOffset[next], item.location.offset, item.location.offset + item.location.size,
                                      ContentHash(), Sha256()});
        }
        for (Running& item : running) {
            const std::uint64_t from = std::max(item.begin, position);
            const std::uint64_t to = std::min(item.end, end);
            if (from < to) {
                const std::uint8_t* bytes = buffer.data() + (from - position);
                item.contentHash.update(bytes, static_cast<std::size_t>(to - from));
                item.sha256.update(bytes, static_cast<std::size_t>(to - from));
            }
        }
        for (auto item = running.begin(); item != running.end();) {
            if (item->end <= end) {
                finish(*item);
                item = running.erase(item);
            } else {
                ++item;
            }
        }
        position = end;
    }
    if (!running.empty()) {
        refuseDamaged(tstrings::MessageBuilder() << describe(items_[running.front().item]) << " ends before its size");
    }
    // Empty files at the very end of the launcher start where the read ended.
    for (; next < byOffset.size(); ++next) {
        Running empty{byOffset[next], 0, 0, ContentHash(), Sha256()};
        finish(empty);
    }
    digests.launcher = whole.finish();
    return digests;
}
