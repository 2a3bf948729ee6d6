#include "Packer.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "ErrorHandling.h"
#include "FileKind.h"
#include "HostPaths.h"
#include "IconFile.h"
#include "InputFile.h"
#include "LauncherContents.h"
#include "LauncherFacts.h"
#include "LauncherPlan.h"
#include "LauncherResources.h"
#include "MadeByThisRun.h"
#include "OutputFile.h"
#include "PackageCustomization.h"
#include "PackageDatabase.h"
#include "PackageLayout.h"
#include "PayloadIndex.h"
#include "PeFormat.h"
#include "ProductCode.h"
#include "ScopeExit.h"
#include "StubImage.h"
#include "Version.h"

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
                                facts::kProductLanguage, facts::kAllUsers, facts::kInstallPerUser}) {
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
InputFile openFileBeside(FilesBelow& packageFolder, const tstring& packageName, const FileBesidePackage& file) {
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

void checkIsCabinet(InputFile& opened, const tstring& packageName, const FileBesidePackage& file) {
    char signature[sizeof(kCabinetSignature)] = {};
    const std::size_t read = classifyFailure(
        kInputError, [&] { return opened.read(signature, sizeof(signature)); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder() << opened.path() << " cannot be read (" << rawMessageOf(e) << ")";
        });
    if (read != sizeof(signature) || std::memcmp(signature, kCabinetSignature, sizeof(signature)) != 0) {
        LD_THROW_PACK_FAILURE(kInputError, opened.path()
                                               << ", which " << file.askedBy << " of " << packageName
                                               << " names, is no cabinet: it does not start with MSCF");
    }
    opened.rewind();
}

// Reads the written launcher back through the file written, as lodestar-pack --info reads any
// launcher, and compares what it carries with what went in: the product code, the facts, the index,
// and every carried file against the index.
bool sameFacts(const facts::LauncherFacts& read, const facts::LauncherFacts& written) {
    const auto same = [](const facts::Fact& a, const facts::Fact& b) { return a.name == b.name && a.value == b.value; };
    return std::equal(read.all().begin(), read.all().end(), written.all().begin(), written.all().end(), same);
}

void verifyLauncher(const OutputFile& output, const PackageDescription& description, const payload::Index& index) {
    OutputFile::Reader reader(output);
    LauncherContents contents(reader);
    if (contents.productCode() != description.productCode) {
        LD_THROW("its product_code resource is not the package's ProductCode");
    }
    if (!contents.recordedFacts() || !sameFacts(*contents.recordedFacts(), description.recorded)) {
        LD_THROW("its package_facts resource is not the facts written");
    }
    const std::optional<customization::Customization>& customized = contents.customization();
    if (customized.has_value() == description.customization.empty() ||
        (customized && customization::serializeCustomization(*customized) !=
                           customization::serializeCustomization(description.customization))) {
        LD_THROW("its customization resource is not the one written");
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

// The files the package names beside it, opened below its folder (and not read yet).
struct FilesBeside {
    std::vector<FileBesidePackage> files;
    std::vector<InputFile> opened;  // in the order of `files`
};

FilesBeside openFilesBeside(const PackageDatabase& database, const tstring& packagePath, const tstring& packageName,
                            bool followLinks) {
    FilesBeside beside;
    beside.files = classifyFailure(
        kInputError, [&] { return filesBesidePackage(database, packageName); },
        [&](const LdErrorBase& e) {
            if (dynamic_cast<const PackageLayoutError*>(&e) != nullptr) {
                return tstrings::MessageBuilder() << rawMessageOf(e);
            }
            return tstrings::MessageBuilder() << "The files " << packagePath
                                              << " names beside it cannot be read from its tables: " << rawMessageOf(e);
        });
    if (beside.files.size() > contract::kMostCarriedFiles) {
        LD_THROW_PACK_FAILURE(kInputError, packagePath << " names " << beside.files.size()
                                                       << " files beside it; a launcher carries at most "
                                                       << contract::kMostCarriedFiles);
    }
    if (beside.files.empty()) {
        return beside;
    }
    std::optional<FilesBelow> packageFolder;
    classifyFailure(
        kInputError, [&] { packageFolder.emplace(host::parentOf(packagePath), followLinks); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder()
                   << "The files " << packagePath << " names beside it cannot be read: " << rawMessageOf(e);
        });
    for (const FileBesidePackage& file : beside.files) {
        beside.opened.push_back(openFileBeside(*packageFolder, packageName, file));
    }
    return beside;
}

// A launcher Windows would not load is refused from the sizes alone, before a byte is read.
[[noreturn]] void refuseImageSize(const ImageTooLarge& e, const tstring& packagePath, bool filesBeside) {
    LD_THROW_PACK_FAILURE(kInputError, packagePath << (filesBeside ? L" and the files beside it" : L"")
                                                   << " would make a launcher of " << (e.atLeast() ? L"more than " : L"")
                                                   << e.imageSize() << " bytes in memory; Windows loads no executable over "
                                                   << pe::kLargestImage << " bytes (2 GiB)");
}

// Writes the plan to `outputPath` under a name of its own, reads it back and only then names
// it; returns its size. Directories made for the output go again when it cannot be written,
// and so does the output itself.
std::uint64_t writeLauncher(const LauncherPlan& plan, const PackageDescription& description, const tstring& outputPath,
                            bool replace, const PackProgress& progress) {
    MadeByThisRun made;
    std::uint64_t size = 0;
    const auto write = [&] {
        tstring_array madeDirectories;
        const auto keepTrack = ld::scopeExit([&] { made.addDirectories(madeDirectories); });
        const OutputFolder folder(host::parentOf(outputPath), madeDirectories);
        OutputFile output(folder, host::fileNameOf(outputPath), replace);
        const LauncherPlan::Written written = plan.write(output, progress);
        classifyFailure(
            kOutputError,
            [&] {
                verifyLauncher(output, description, written.index);
            },
            [&](const LdErrorBase& e) {
                return tstrings::MessageBuilder()
                       << "The launcher written for " << outputPath << " did not read back whole: " << rawMessageOf(e);
            });
        size = written.size;
        output.publish();
    };
    classifyFailure(kOutputError, write, [&](const LdErrorBase& e) {
        return tstrings::MessageBuilder() << "Cannot write " << outputPath << ": " << rawMessageOf(e);
    });
    made.keep();
    return size;
}

}  // namespace

PackResult pack(const PackOptions& options, const LauncherParts& parts, const PackProgress& progress) {
    InputFile package = openPackage(options.package);
    const tstring packagePath = package.path();
    refuseAllButPackages(package);
    const std::unique_ptr<PackageDatabase> database = openDatabase(package);
    refuseMergeModule(*database, packagePath);
    PackageDescription description = describePackage(*database, packagePath);
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

    const tstring packageName = host::fileNameOf(packagePath);
    FilesBeside beside = openFilesBeside(*database, packagePath, packageName, options.followLinks);
    CarriedCustomization customized = customizePackage(options, package, description, beside.files);
    description.customization = std::move(customized.record);
    result.productCode = description.productCode;
    if (beside.files.size() + customized.files.size() > contract::kMostCarriedFiles) {
        LD_THROW_PACK_FAILURE(kInputError, packagePath << " names " << beside.files.size()
                                                       << " files beside it, and " << customized.files.size()
                                                       << " more are to be carried; a launcher carries at most "
                                                       << contract::kMostCarriedFiles);
    }
    beside.files.insert(beside.files.end(), customized.files.begin(), customized.files.end());
    for (InputFile& file : customized.opened) {
        beside.opened.push_back(std::move(file));
    }
    for (const InputFile& file : beside.opened) {
        result.besideCount += 1;
        result.besideSize += file.size();
    }
    const StubImage stub = classifyFailure(
        kOutputError, [&] { return StubImage(parts.stub, parts.stubSize); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder() << "Cannot write " << result.outputPath << ": " << rawMessageOf(e);
        });
    std::optional<LauncherPlan> plan;
    try {
        plan.emplace(stub, parts, description, CarriedInputs{package, packageName, beside.files, beside.opened}, icon,
                     result.outputPath);
    } catch (const ImageTooLarge& e) {
        refuseImageSize(e, packagePath, !beside.files.empty());
    }
    for (std::size_t i = 0; i < beside.files.size(); ++i) {
        if (beside.files[i].cabinet) {
            checkIsCabinet(beside.opened[i], packageName, beside.files[i]);
        }
    }
    result.outputSize = writeLauncher(*plan, description, result.outputPath, options.force, progress);
    return result;
}
