#include "Packer.h"

#include <cstring>
#include <optional>
#include <vector>

#include "ContentHash.h"
#include "ErrorHandling.h"
#include "Guid.h"
#include "IconFile.h"
#include "LauncherResources.h"
#include "MsiDb.h"
#include "Resources.h"
#include "StubImage.h"
#include "UniqueResource.h"
#include "VersionInfo.h"
#include "WinDll.h"
#include "WinFileUtils.h"

namespace {

namespace contract = launcher::resources;

constexpr std::size_t kBracedGuidLength = contract::kProductCodeSize;

// The package, open for reading and closed to writers for as long as the packer works on it.
struct Package {
    tstring path;
    UniqueHandle file;
    std::uint64_t size = 0;
};

Package openPackage(const tstring& given) {
    Package package;
    package.path = FileUtils::toAbsolutePath(given);
    if (FileUtils::isDirectory(package.path)) {
        LD_THROW_PACK_FAILURE(kInputError, package.path << " is a directory, not a package");
    }
    package.file.reset(CreateFileW(package.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!package.file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            LD_THROW_PACK_FAILURE(kInputError, "There is no package at " << package.path);
        }
        LD_THROW_PACK_FAILURE(kInputError, "Cannot open " << package.path << ": " << describeSystemError(error, nullptr));
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(package.file.get(), &size)) {
        const DWORD error = GetLastError();
        LD_THROW_PACK_FAILURE(kInputError, "Cannot read the size of " << package.path << ": "
                                                     << describeSystemError(error, nullptr));
    }
    package.size = static_cast<std::uint64_t>(size.QuadPart);
    if (package.size > kLargestPackage) {
        LD_THROW_PACK_FAILURE(kInputError, package.path << " is " << package.size
                                                     << " bytes: Windows Installer opens no package over 2 GiB");
    }
    return package;
}

struct PackageFacts {
    tstring productCode;  // braced, upper case
    tstring productName;
    tstring productVersion;
    tstring manufacturer;
};

std::optional<Guid> tryParseGuid(const tstring& text) {
    try {
        return Guid(text);
    } catch (const LdErrorBase&) {
        return std::nullopt;
    }
}

// A product code in the one form Windows Installer takes: 38 characters, braced.
std::optional<Guid> parseBracedGuid(const tstring& text) {
    if (text.size() != kBracedGuidLength || text.front() != L'{' || text.back() != L'}') {
        return std::nullopt;
    }
    return tryParseGuid(text);
}

// The package's own database is the proof that it is one: what Windows Installer cannot open as
// a database it cannot install either.
PackageFacts readPackageFacts(const tstring& path) {
    const msi::Database database = classifyFailure(
        kInputError, [&] { return msi::Database(path); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder() << path << " is not a Windows Installer package (" << rawMessageOf(e)
                                              << ")";
        });
    const tstring code = classifyFailure(
        kInputError, [&] { return database.getProperty(L"ProductCode"); },
        [&](const LdErrorBase& e) {
            if (dynamic_cast<const msi::NoMoreItemsError*>(&e) != nullptr) {
                return tstrings::MessageBuilder() << path << " has no ProductCode property";
            }
            return tstrings::MessageBuilder() << "Cannot read the ProductCode of " << path << " (" << rawMessageOf(e)
                                              << ")";
        });
    const std::optional<Guid> parsed = parseBracedGuid(code);
    if (!parsed) {
        LD_THROW_PACK_FAILURE(kInputError,
                              path << " has a malformed ProductCode '" << code << "': it must be a GUID in braces");
    }
    PackageFacts facts;
    facts.productCode = parsed->toString();
    facts.productName = database.getProperty(L"ProductName", std::nothrow);
    facts.productVersion = database.getProperty(L"ProductVersion", std::nothrow);
    facts.manufacturer = database.getProperty(L"Manufacturer", std::nothrow);
    return facts;
}

void confirmProductCode(const PackageFacts& facts, const tstring& given, const tstring& path) {
    const std::optional<Guid> expected = tryParseGuid(given);
    if (!expected) {
        LD_THROW(UsageError(tstrings::MessageBuilder() << "--product-code " << given << " is not a GUID"));
    }
    if (!(*expected == Guid(facts.productCode))) {
        LD_THROW_PACK_FAILURE(kInputError, "The ProductCode of " << path << " is " << facts.productCode << ", not "
                                                                 << expected->toString() << " as --product-code says");
    }
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

ResourceSection launcherResources(const LauncherParts& parts, const PackageFacts& facts, const Package& package,
                                  const std::optional<IconResources>& icon, const tstring& outputPath) {
    ResourceSection resources;
    resources.add(ResourceId::number(contract::kManifestType), ResourceId::number(contract::kManifestId),
                  bytesOf(parts.manifest));
    const tstring description = facts.productName.empty() ? L"Installer" : facts.productName + L" Setup";
    resources.add(ResourceId::number(contract::kVersionType), ResourceId::number(contract::kVersionId),
                  buildVersionInfo(facts.productVersion, {{L"CompanyName", facts.manufacturer},
                                                          {L"FileDescription", description},
                                                          {L"FileVersion", facts.productVersion},
                                                          {L"InternalName", L"lodestar launcher"},
                                                          {L"OriginalFilename", FileUtils::basename(outputPath)},
                                                          {L"ProductName", facts.productName},
                                                          {L"ProductVersion", facts.productVersion}}));
    if (icon) {
        for (std::size_t i = 0; i < icon->images.size(); ++i) {
            resources.add(ResourceId::number(contract::kIconType),
                          ResourceId::number(static_cast<std::uint16_t>(i + 1)), icon->images[i]);
        }
        resources.add(ResourceId::number(contract::kIconGroupType), ResourceId::number(contract::kIconGroupId),
                      icon->group);
    }
    const ResourceId carried = ResourceId::number(contract::kCarriedType);
    resources.add(carried, ResourceId::text(contract::kProductCodeStoredName), bytesOf(facts.productCode));
    resources.addFile(carried, ResourceId::text(contract::kPackageStoredName), package.file.get(), package.size);
    return resources;
}

// Loads the written launcher as the system would read its resources and compares them with
// what went in.
void verifyLauncher(const tstring& path, const PackageFacts& facts, std::uint64_t packageSize,
                    std::uint64_t packageHash) {
    const ModuleHandle launcher(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    LD_THROW_LAST_ERROR_IF(!launcher, LoadLibraryExW, "LoadLibraryExW(" << path << ") failed");
    std::uint32_t size = 0;
    const void* code = Resource(contract::kProductCodeLookupName, MAKEINTRESOURCEW(contract::kCarriedType), launcher.get()).getPtr(size);
    if (size != facts.productCode.size() || std::memcmp(code, bytesOf(facts.productCode).data(), size) != 0) {
        LD_THROW("its product_code resource is not the package's ProductCode");
    }
    const void* data = Resource(contract::kPackageLookupName, MAKEINTRESOURCEW(contract::kCarriedType), launcher.get()).getPtr(size);
    if (size != packageSize || ContentHash().update(data, size).digest() != packageHash) {
        LD_THROW("its msi resource is not the package, byte for byte");
    }
}

}  // namespace

PackResult pack(const PackOptions& options, const LauncherParts& parts, const PackProgress& progress) {
    const Package package = openPackage(options.package);
    const PackageFacts facts = readPackageFacts(package.path);
    if (options.productCode) {
        confirmProductCode(facts, *options.productCode, package.path);
    }
    std::optional<IconResources> icon;
    if (!options.icon.empty()) {
        icon = classifyFailure(
            kInputError, [&] { return readIconFile(FileUtils::toAbsolutePath(options.icon)); },
            [](const LdErrorBase& e) { return tstrings::MessageBuilder() << rawMessageOf(e); });
    }

    PackResult result;
    result.packagePath = package.path;
    result.outputPath = FileUtils::toAbsolutePath(options.output);
    result.productCode = facts.productCode;
    result.packageSize = package.size;
    if (FileUtils::isDirectory(result.outputPath)) {
        LD_THROW_PACK_FAILURE(kOutputError, result.outputPath << " is a directory");
    }
    if (FileUtils::pathExists(result.outputPath) && !options.force) {
        LD_THROW_PACK_FAILURE(kOutputError, result.outputPath << " exists; add --force to replace it");
    }

    // Directories made for the output go again when it cannot be written.
    FileUtils::DeferredDeleter madeDirectories;
    const auto writeLauncher = [&] {
        tstring_array created;
        FileUtils::createDirectory(FileUtils::dirname(result.outputPath), &created);
        for (auto directory = created.rbegin(); directory != created.rend(); ++directory) {
            madeDirectories.appendEmptyDirectory(*directory);
        }
        const StubImage stub(parts.stub, parts.stubSize);
        const ResourceSection resources = launcherResources(parts, facts, package, icon, result.outputPath);
        FileUtils::StagedFileWriter writer(result.outputPath);
        const StubImage::Written written = stub.writeWith(resources, writer, progress);
        writer.close();
        classifyFailure(
            kOutputError, [&] { verifyLauncher(writer.temporaryPath(), facts, package.size, written.fileHashes.front()); },
            [&](const LdErrorBase& e) {
                return tstrings::MessageBuilder() << "The launcher written to " << writer.temporaryPath()
                                                  << " did not read back whole: " << rawMessageOf(e);
            });
        result.outputSize = written.size;
        writer.finalize(!options.force);
        madeDirectories.cancel();
    };
    classifyFailure(kOutputError, writeLauncher, [&](const LdErrorBase& e) {
        return tstrings::MessageBuilder() << "Cannot write " << result.outputPath << ": " << rawMessageOf(e);
    });
    return result;
}
