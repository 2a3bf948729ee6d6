#include "Packer.h"

#include <cstring>
#include <optional>
#include <vector>

#include "ContentHash.h"
#include "ErrorHandling.h"
#include "FileKind.h"
#include "HostPaths.h"
#include "IconFile.h"
#include "InputFile.h"
#include "LauncherContents.h"
#include "LauncherFacts.h"
#include "LauncherResources.h"
#include "OutputFile.h"
#include "PackageDatabase.h"
#include "PackageLayout.h"
#include "PayloadIndex.h"
#include "PeFormat.h"
#include "ProductCode.h"
#include "ScopeExit.h"
#include "StubImage.h"
#include "Version.h"
#include "VersionInfo.h"

namespace {

namespace contract = launcher::resources;

constexpr char kCabinetSignature[] = {'M', 'S', 'C', 'F'};

// The package, open for reading and closed to writers for as long as the packer works on it.
InputFile openPackage(const tstring& given) {
    const tstring path = host::absolutePath(given);
    if (host::isDirectory(path)) {
        LD_THROW_PACK_FAILURE(kInputError, path << " is a directory, not a package");
    }
    InputFile package = classifyFailure(
        kInputError, [&] { return InputFile(path); },
        [&](const LdErrorBase& e) {
            if (const auto* error = dynamic_cast<const InputFileError*>(&e); error != nullptr && error->missing()) {
                return tstrings::MessageBuilder() << "There is no package at " << path;
            }
            return tstrings::MessageBuilder() << "Cannot open " << path << ": " << rawMessageOf(e);
        });
    if (package.size() > kLargestPackage) {
        LD_THROW_PACK_FAILURE(
            kInputError, path << " is " << package.size() << " bytes: Windows Installer opens no package over 2 GiB");
    }
    return package;
}

// The package as its launcher describes it: the product code every launcher carries, and the
// facts recorded beside it for deployment tools.
struct PackageDescription {
    tstring productCode;  // braced, upper case
    facts::LauncherFacts recorded;

    // A recorded text, empty when the package does not have it: for the version block, which
    // leaves empty strings out.
    tstring text(const wchar_t* name) const { return recorded.get(name).value_or(tstring()); }
};

[[noreturn]] void refuseKind(const tstring& path, FileKind kind) {
    LD_THROW_PACK_FAILURE(kInputError,
                          path << " is " << describeKind(kind) << "; lodestar-pack takes installation packages (.msi)");
}

// A patch, a transform or any other file is told for what it is, in one line, before a table is read.
void refuseAllButPackages(InputFile& package) {
    const FileKind kind = fileKindOf(package);
    if (kind != FileKind::Package) {
        refuseKind(package.path(), kind);
    }
}

// What Windows Installer cannot open as a database it cannot install either.
std::unique_ptr<PackageDatabase> openDatabase(const InputFile& package) {
    const tstring& path = package.path();
    return classifyFailure(
        kInputError, [&] { return std::make_unique<PackageDatabase>(package); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder()
                   << path << " is not a Windows Installer package (" << rawMessageOf(e) << ")";
        });
}

// A merge module has a package's class; its ModuleSignature table tells it apart.
void refuseMergeModule(const PackageDatabase& database, const tstring& path) {
    const bool isModule = classifyFailure(
        kInputError, [&] { return database.hasTable(L"ModuleSignature"); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder() << "Cannot read the tables of " << path << " (" << rawMessageOf(e) << ")";
        });
    if (isModule) {
        refuseKind(path, FileKind::MergeModule);
    }
}

// The properties a deployment tool asks for are recorded when the package has them, and only
// then: a missing one stays missing rather than becoming an empty value.
PackageDescription describePackage(const PackageDatabase& database, const tstring& path) {
    const std::optional<tstring> code = classifyFailure(
        kInputError, [&] { return database.property(L"ProductCode"); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder()
                   << "Cannot read the ProductCode of " << path << " (" << rawMessageOf(e) << ")";
        });
    if (!code) {
        LD_THROW_PACK_FAILURE(kInputError, path << " has no ProductCode property");
    }
    // The one form Windows Installer takes: 38 characters, braced.
    const std::optional<tstring> parsed = canonicalBracedProductCode(*code);
    if (!parsed) {
        LD_THROW_PACK_FAILURE(kInputError,
                              path << " has a malformed ProductCode '" << *code << "': it must be a GUID in braces");
    }
    const auto optionalProperty = [&](const wchar_t* name) {
        return classifyFailure(
            kInputError, [&] { return database.property(name); },
            [&](const LdErrorBase& e) {
                return tstrings::MessageBuilder()
                       << "Cannot read the " << name << " of " << path << " (" << rawMessageOf(e) << ")";
            });
    };
    PackageDescription package;
    package.productCode = *parsed;
    package.recorded.set(facts::kProductCode, package.productCode);
    for (const wchar_t* name : {facts::kUpgradeCode, facts::kProductName, facts::kProductVersion, facts::kManufacturer,
                                facts::kAllUsers, facts::kInstallPerUser}) {
        if (const std::optional<tstring> value = optionalProperty(name)) {
            package.recorded.set(name, *value);
        }
    }
    package.recorded.set(facts::kPackerVersion, LODESTAR_VERSION);
    return package;
}

void confirmProductCode(const PackageDescription& package, const tstring& given, const tstring& path) {
    const std::optional<tstring> expected = canonicalProductCode(given);
    if (!expected) {
        LD_THROW(UsageError(tstrings::MessageBuilder() << "--product-code " << given << " is not a GUID"));
    }
    if (*expected != package.productCode) {
        LD_THROW_PACK_FAILURE(kInputError, "The ProductCode of " << path << " is " << package.productCode << ", not "
                                                                 << *expected << " as --product-code says");
    }
}

// A file the package names beside it, opened (not read: the launcher's size is judged first).
InputFile openFileBeside(FilesBelow& packageFolder, const tstring& packagePath, const FileBesidePackage& file) {
    const tstring packageName = host::fileNameOf(packagePath);
    return classifyFailure(
        kInputError, [&] { return packageFolder.open(file.name); },
        [&](const LdErrorBase& e) {
            const auto* error = dynamic_cast<const InputFileError*>(&e);
            tstrings::MessageBuilder message;
            const tstring asked = L", which " + file.askedBy + L" of " + packageName + L" names, ";
            if (error == nullptr) {
                return message << file.name << asked << "cannot be found: " << rawMessageOf(e);
            }
            message << error->path() << asked;
            if (error->missing()) {
                return message << "is missing: the package cannot be installed without it";
            }
            if (error->link()) {
                return message << "is not read: " << rawMessageOf(e)
                               << ", and lodestar-pack follows no link below the package's folder unless "
                                  "--follow-links is given";
            }
            return message << "cannot be read (" << rawMessageOf(e) << ")";
        });
}

void checkIsCabinet(InputFile& opened, const tstring& packagePath, const FileBesidePackage& file) {
    char signature[sizeof(kCabinetSignature)] = {};
    const std::size_t read = classifyFailure(
        kInputError, [&] { return opened.read(signature, sizeof(signature)); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder() << opened.path() << " cannot be read (" << rawMessageOf(e) << ")";
        });
    if (read != sizeof(signature) || std::memcmp(signature, kCabinetSignature, sizeof(signature)) != 0) {
        LD_THROW_PACK_FAILURE(kInputError, opened.path()
                                               << ", which " << file.askedBy << " of " << host::fileNameOf(packagePath)
                                               << " names, is no cabinet: it does not start with MSCF");
    }
    opened.rewind();
}

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

// The index as it will be once the hashes are known: names and sizes now, hashes as the files
// are streamed.
payload::Index indexWithoutHashes(const tstring& packagePath, const InputFile& package,
                                  const std::vector<FileBesidePackage>& files, const std::vector<InputFile>& opened) {
    payload::Index index;
    index.entries.push_back(payload::IndexEntry{host::fileNameOf(packagePath), package.size(), 0});
    for (std::size_t i = 0; i < files.size(); ++i) {
        index.entries.push_back(payload::IndexEntry{files[i].name, opened[i].size(), 0});
    }
    return index;
}

ResourceSection launcherResources(const LauncherParts& parts, const PackageDescription& description, InputFile& package,
                                  std::vector<InputFile>& beside, const payload::Index& index,
                                  const std::optional<IconResources>& icon, const tstring& outputPath) {
    ResourceSection resources;
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
    if (icon) {
        for (std::size_t i = 0; i < icon->images.size(); ++i) {
            resources.add(ResourceId::number(contract::kIconType),
                          ResourceId::number(static_cast<std::uint16_t>(i + 1)), icon->images[i]);
        }
        resources.add(ResourceId::number(contract::kIconGroupType), ResourceId::number(contract::kIconGroupId),
                      icon->group);
    }
    const ResourceId carried = ResourceId::number(contract::kCarriedType);
    resources.add(carried, ResourceId::text(contract::kProductCodeStoredName), bytesOf(description.productCode));
    resources.add(carried, ResourceId::text(contract::kFactsStoredName), facts::serializeFacts(description.recorded));
    resources.addFile(carried, ResourceId::text(contract::kPackageStoredName), package);
    for (std::size_t i = 0; i < beside.size(); ++i) {
        resources.addFile(carried, ResourceId::number(static_cast<std::uint16_t>(contract::kFirstCarriedFileId + i)),
                          beside[i]);
    }
    resources.addLast(carried, ResourceId::text(contract::kIndexStoredName), payload::serializedIndexSize(index),
                      [index](const std::vector<std::uint64_t>& hashes) {
                          payload::Index complete = index;
                          for (std::size_t i = 0; i < complete.entries.size(); ++i) {
                              complete.entries[i].hash = hashes.at(i);
                          }
                          return payload::serializeIndex(complete);
                      });
    return resources;
}

// Reads the written launcher back through the file written, as lodestar-pack --info reads any
// launcher, and compares what it carries with what went in: the product code, the facts, the index,
// and every carried file against the index.
void verifyLauncher(const OutputFile& output, const PackageDescription& description, const payload::Index& index) {
    OutputFile::Reader reader(output);
    LauncherContents contents(reader);
    if (contents.productCode() != description.productCode) {
        LD_THROW("its product_code resource is not the package's ProductCode");
    }
    if (!contents.recordedFacts() ||
        facts::serializeFacts(*contents.recordedFacts()) != facts::serializeFacts(description.recorded)) {
        LD_THROW("its package_facts resource is not the facts written");
    }
    const std::vector<CarriedItem>& items = contents.items();
    if (!contents.indexed() || items.size() != index.entries.size()) {
        LD_THROW("its payload index is not the one written");
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const payload::IndexEntry& entry = index.entries[i];
        if (items[i].name.value_or(tstring()) != entry.name || items[i].location.size != entry.size ||
            items[i].indexedHash.value_or(0) != entry.hash) {
            LD_THROW("its payload index is not the one written");
        }
        // Every carried byte read back and held against the index.
        contents.stream(items[i], [](const void*, std::size_t) {});
    }
}

}  // namespace

PackResult pack(const PackOptions& options, const LauncherParts& parts, const PackProgress& progress) {
    InputFile package = openPackage(options.package);
    const tstring packagePath = package.path();
    refuseAllButPackages(package);
    const std::unique_ptr<PackageDatabase> database = openDatabase(package);
    refuseMergeModule(*database, packagePath);
    const PackageDescription description = describePackage(*database, packagePath);
    if (options.productCode) {
        confirmProductCode(description, *options.productCode, packagePath);
    }
    std::optional<IconResources> icon;
    if (!options.icon.empty()) {
        icon = classifyFailure(
            kInputError, [&] { return readIconFile(host::absolutePath(options.icon)); },
            [](const LdErrorBase& e) { return tstrings::MessageBuilder() << rawMessageOf(e); });
    }

    PackResult result;
    result.packagePath = packagePath;
    result.outputPath = host::absolutePath(options.output);
    result.productCode = description.productCode;
    result.packageSize = package.size();
    if (host::isDirectory(result.outputPath)) {
        LD_THROW_PACK_FAILURE(kOutputError, result.outputPath << " is a directory");
    }
    if (host::exists(result.outputPath) && !options.force) {
        LD_THROW_PACK_FAILURE(kOutputError, result.outputPath << " exists; add --force to replace it");
    }

    const std::vector<FileBesidePackage> files = classifyFailure(
        kInputError, [&] { return filesBesidePackage(*database, host::fileNameOf(packagePath)); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder() << "The files " << packagePath
                                              << " names beside it cannot be read from its tables: " << rawMessageOf(e);
        });
    if (files.size() > contract::kLastCarriedFileId) {
        LD_THROW_PACK_FAILURE(kInputError, packagePath << " names " << files.size()
                                                       << " files beside it; a launcher carries at most "
                                                       << contract::kLastCarriedFileId);
    }
    std::vector<InputFile> beside;
    std::optional<FilesBelow> packageFolder;
    if (!files.empty()) {
        classifyFailure(
            kInputError, [&] { packageFolder.emplace(host::parentOf(packagePath), options.followLinks); },
            [&](const LdErrorBase& e) {
                return tstrings::MessageBuilder()
                       << "The files " << packagePath << " names beside it cannot be read: " << rawMessageOf(e);
            });
    }
    for (const FileBesidePackage& file : files) {
        beside.push_back(openFileBeside(*packageFolder, packagePath, file));
        result.besideCount += 1;
        result.besideSize += beside.back().size();
    }
    const payload::Index index = indexWithoutHashes(packagePath, package, files, beside);

    const StubImage stub = classifyFailure(
        kOutputError, [&] { return StubImage(parts.stub, parts.stubSize); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder() << "Cannot write " << result.outputPath << ": " << rawMessageOf(e);
        });
    const ResourceSection resources =
        launcherResources(parts, description, package, beside, index, icon, result.outputPath);
    // Decided from the sizes alone, before a byte is read: a launcher Windows would not load. Carried
    // bytes past the limit are refused before the section is laid out, as its headers could not
    // describe more than 4 GiB.
    std::uint64_t carried = package.size();
    for (const InputFile& file : beside) {
        carried += file.size();
    }
    const bool carriedTooMuch = carried > pe::kLargestImage;
    const std::uint64_t imageSize = carriedTooMuch ? carried : stub.imageSizeWith(resources);
    if (imageSize > pe::kLargestImage) {
        LD_THROW_PACK_FAILURE(kInputError, packagePath << (files.empty() ? tstring() : L" and the files beside it")
                                                       << " would make a launcher of "
                                                       << (carriedTooMuch ? L"more than " : L"") << imageSize
                                                       << " bytes in memory; Windows loads no executable over "
                                                       << pe::kLargestImage << " bytes (2 GiB)");
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].cabinet) {
            checkIsCabinet(beside[i], packagePath, files[i]);
        }
    }

    // Directories made for the output go again when it cannot be written, and so does the
    // output itself: it has no name of its own until it is complete and checked.
    tstring_array madeDirectories;
    auto removeDirectories = ld::scopeExit([&] {
        for (auto directory = madeDirectories.rbegin(); directory != madeDirectories.rend(); ++directory) {
            host::removeEmptyDirectory(*directory);
        }
    });
    const auto writeLauncher = [&] {
        const OutputFolder folder(host::parentOf(result.outputPath), madeDirectories);
        OutputFile output(folder, host::fileNameOf(result.outputPath), options.force);
        const StubImage::Written written = stub.writeWith(resources, output, progress);
        payload::Index packed = index;
        for (std::size_t i = 0; i < packed.entries.size(); ++i) {
            packed.entries[i].hash = written.fileHashes.at(i);
        }
        classifyFailure(
            kOutputError,
            [&] {
                verifyLauncher(output, description, packed);
            },
            [&](const LdErrorBase& e) {
                return tstrings::MessageBuilder() << "The launcher written for " << result.outputPath
                                                  << " did not read back whole: " << rawMessageOf(e);
            });
        result.outputSize = written.size;
        output.publish();
        removeDirectories.release();
    };
    classifyFailure(kOutputError, writeLauncher, [&](const LdErrorBase& e) {
        return tstrings::MessageBuilder() << "Cannot write " << result.outputPath << ": " << rawMessageOf(e);
    });
    return result;
}
