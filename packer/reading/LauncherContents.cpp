#include "LauncherContents.h"

#include <algorithm>
#include <utility>

#include "CarriedHashing.h"

#include "ContentHash.h"
#include "ErrorHandling.h"
#include "LauncherResources.h"
#include "ProductCode.h"

namespace {

namespace contract = launcher::resources;

constexpr std::size_t kReadChunk = 256 * 1024;
// The launcher is read whole in larger pieces, each of them hashed on a second thread as well.
constexpr std::size_t kScanChunk = 4 * 1024 * 1024;

ResourceId carriedType() {
    return ResourceId::number(contract::kCarriedType);
}

std::uint64_t end(const CarriedItem& item) {
    return item.location.offset + item.location.size;
}

tstring asciiText(const std::vector<std::uint8_t>& bytes) {
    return tstring(bytes.begin(), bytes.end());
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

LauncherContents::LauncherContents(ByteSource& file) : file_(file), image_(file) {
    const ResourceLocation package = findPackage();
    readProductCode();
    readItems(package);
    readFacts();
    readCustomization();
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
    if (!canonicalBracedProductCode(asciiText(*code))) {
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
        index = payload::readIndex(indexBytes->data(), indexBytes->size());
    } catch (const LdError<payload::IndexError>& e) {
        refuseDamaged(tstrings::MessageBuilder() << std::string(e.rawMessage()));
    }
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const payload::IndexEntry& entry = index.entries[i];
        const std::optional<ResourceLocation> location =
            i == 0 ? std::optional<ResourceLocation>(package)
                   : image_.find(carriedType(), ResourceId::number(contract::carriedFileId(i)));
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
    refuseSharedBytes();
}

void LauncherContents::refuseSharedBytes() const {
    // Sorted by where they start, an item that begins before the one before it ends shares its bytes.
    std::vector<const CarriedItem*> byOffset;
    for (const CarriedItem& item : items_) {
        if (item.location.size > 0) {
            byOffset.push_back(&item);
        }
    }
    std::sort(byOffset.begin(), byOffset.end(),
              [](const CarriedItem* a, const CarriedItem* b) { return a->location.offset < b->location.offset; });
    const CarriedItem* reachesFurthest = nullptr;
    for (const CarriedItem* item : byOffset) {
        if (reachesFurthest != nullptr && item->location.offset < end(*reachesFurthest)) {
            refuseDamaged(tstrings::MessageBuilder() << describe(*reachesFurthest) << " and " << describe(*item)
                                                     << " share their bytes, which a packer never does");
        }
        if (reachesFurthest == nullptr || end(*item) > end(*reachesFurthest)) {
            reachesFurthest = item;
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

// Every transform and patch it applies is a file it carries, and it installs the product it removes.
void LauncherContents::readCustomization() {
    const auto bytes = optionalResource(carriedType(), ResourceId::text(contract::kCustomizationStoredName));
    if (!bytes) {
        return;
    }
    try {
        customization_ = customization::parseCustomization(bytes->data(), bytes->size());
    } catch (const LdError<customization::CustomizationError>& e) {
        refuseDamaged(tstrings::MessageBuilder() << std::string(e.rawMessage()));
    }
    const auto carried = [&](const tstring& name) {
        return std::any_of(items_.begin() + 1, items_.end(), [&](const CarriedItem& item) { return item.name == name; });
    };
    tstring_array applied;
    for (const customization::Transform& transform : customization_->transforms) {
        applied.push_back(transform.name);
    }
    for (const customization::Patch& patch : customization_->patches) {
        applied.push_back(patch.name);
    }
    for (const tstring& name : applied) {
        if (!carried(name)) {
            refuseDamaged(tstrings::MessageBuilder() << "it applies " << tstrings::printable(name)
                                                     << ", which it does not carry");
        }
    }
    const customization::InstalledIdentity* base = customization_->identityFor(customization::kBaseLanguage);
    const std::optional<tstring> baseCode = base != nullptr ? base->properties.get(facts::kProductCode) : std::nullopt;
    if (baseCode && *baseCode != productCode_) {
        refuseDamaged(tstrings::MessageBuilder()
                      << "its customizations install the ProductCode " << tstrings::printable(*baseCode)
                      << ", it carries " << productCode_);
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
        if (progress_) {
            progress_(item.location.offset + item.location.size - left, file_.size(), describe(item));
        }
    }
    const std::uint64_t digest = hash.digest();
    checkAgainstIndex(item, digest);
    return digest;
}

CarriedDigests LauncherContents::digests() {
    std::vector<CarriedSpan> spans;
    for (const CarriedItem& item : items_) {
        spans.push_back(CarriedSpan{item.location.offset, item.location.size});
    }
    CarriedHashing carried(spans);
    CarriedDigests digests;
    digests.items.resize(items_.size());
    const auto checkFinished = [&] {
        for (const FinishedItem& done : carried.takeFinished()) {
            checkAgainstIndex(items_[done.item], done.contentHash);
            digests.items[done.item] = done.sha256;
        }
    };
    digests.launcher = readWhole([&](std::uint64_t position, const std::uint8_t* bytes, std::size_t size) {
        carried.feed(position, bytes, size);
        checkFinished();
    });
    carried.finishEmptyAt(file_.size());
    checkFinished();
    if (const std::optional<std::size_t> cut = carried.unfinished()) {
        refuseDamaged(tstrings::MessageBuilder() << describe(items_[*cut]) << " ends before its size");
    }
    return digests;
}

Sha256Digest LauncherContents::readWhole(const Piece& take) {
    // Two buffers: one is read into while the other is still being hashed.
    std::vector<std::uint8_t> buffers[2] = {std::vector<std::uint8_t>(kScanChunk),
                                            std::vector<std::uint8_t>(kScanChunk)};
    // Declared after the buffers: on the way out of a failure it waits for its thread before they go.
    BackgroundSha256 whole;
    file_.seek(0);
    std::size_t turn = 0;
    for (std::uint64_t position = 0; position < file_.size(); ++turn) {
        std::vector<std::uint8_t>& buffer = buffers[turn % 2];
        const std::size_t read = file_.read(
            buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file_.size() - position)));
        if (read == 0) {
            refuseDamaged(tstrings::MessageBuilder() << "it ends before its size");
        }
        whole.update(buffer.data(), read);
        take(position, buffer.data(), read);
        if (progress_) {
            progress_(position + read, file_.size(), file_.path());
        }
        position += read;
    }
    return whole.finish();
}
