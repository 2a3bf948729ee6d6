#include "LauncherPlan.h"

#include "ErrorHandling.h"
#include "HostPaths.h"
#include "LauncherResources.h"
#include "VersionInfo.h"

namespace {

namespace contract = launcher::resources;

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> bytesOf(const tstring& asciiText) {
    std::vector<std::uint8_t> bytes;
    for (const wchar_t c : asciiText) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    return bytes;
}

payload::Index indexWithoutHashes(const CarriedInputs& carried) {
    payload::Index index;
    index.entries.push_back(payload::IndexEntry{carried.packageName, carried.package.size(), 0});
    for (std::size_t i = 0; i < carried.files.size(); ++i) {
        index.entries.push_back(payload::IndexEntry{carried.files[i].name, carried.beside[i].size(), 0});
    }
    return index;
}

// What describes the launcher to Windows: its manifest, its version block, its icon.
void addDescription(ResourceSection& resources, const LauncherParts& parts, const PackageDescription& description,
                    const std::optional<IconResources>& icon, const tstring& outputPath) {
    resources.add(ResourceId::number(contract::kManifestType), ResourceId::number(contract::kManifestId),
                  bytesOf(parts.manifest));
    const tstring productName = description.text(facts::kProductName);
    const tstring productVersion = description.text(facts::kProductVersion);
    resources.add(ResourceId::number(contract::kVersionType), ResourceId::number(contract::kVersionId),
                  buildVersionInfo(productVersion,
                                   {{L"CompanyName", description.text(facts::kManufacturer)},
                                    {L"FileDescription", productName.empty() ? L"Installer" : productName + L" Setup"},
                                    {L"FileVersion", productVersion},
                                    {L"InternalName", L"lodestar launcher"},
                                    {L"OriginalFilename", host::fileNameOf(outputPath)},
                                    {L"ProductName", productName},
                                    {L"ProductVersion", productVersion}}));
    if (!icon) {
        return;
    }
    for (std::size_t i = 0; i < icon->images.size(); ++i) {
        resources.add(ResourceId::number(contract::kIconType), ResourceId::number(static_cast<std::uint16_t>(i + 1)),
                      icon->images[i]);
    }
    resources.add(ResourceId::number(contract::kIconGroupType), ResourceId::number(contract::kIconGroupId),
                  icon->group);
}

}  // namespace

LauncherPlan::LauncherPlan(const StubImage& stub, const LauncherParts& parts, const PackageDescription& description,
                           const CarriedInputs& carried, const std::optional<IconResources>& icon,
                           const tstring& outputPath)
    : stub_(stub), index_(indexWithoutHashes(carried)) {
    addDescription(resources_, parts, description, icon, outputPath);
    const ResourceId carriedType = ResourceId::number(contract::kCarriedType);
    resources_.add(carriedType, ResourceId::text(contract::kProductCodeStoredName), bytesOf(description.productCode));
    resources_.add(carriedType, ResourceId::text(contract::kFactsStoredName),
                   facts::serializeFacts(description.recorded));
    if (!description.customization.empty()) {
        resources_.add(carriedType, ResourceId::text(contract::kCustomizationStoredName),
                       customization::serializeCustomization(description.customization));
    }
    resources_.addFile(carriedType, ResourceId::text(contract::kPackageStoredName), carried.package);
    for (std::size_t i = 0; i < carried.beside.size(); ++i) {
        resources_.addFile(carriedType, ResourceId::number(contract::carriedFileId(i + 1)), carried.beside[i]);
    }
    resources_.addLast(carriedType, ResourceId::text(contract::kIndexStoredName), payload::serializedIndexSize(index_),
                       [this](const std::vector<std::uint64_t>& hashes) {
                           return payload::serializeIndex(indexWith(hashes));
                       });
    placed_ = stub_.place(resources_);
}

payload::Index LauncherPlan::indexWith(const std::vector<std::uint64_t>& hashes) const {
    payload::Index complete = index_;
    for (std::size_t i = 0; i < complete.entries.size(); ++i) {
        complete.entries[i].hash = hashes.at(i);
    }
    return complete;
}

LauncherPlan::Written LauncherPlan::write(ByteSink& out, const StubImage::Progress& progress) const {
    const StubImage::Written written = stub_.write(placed_, out, progress);
    return Written{written.size, indexWith(written.fileHashes)};
}
