#include "Packer.h"

#include <cstring>
#include <optional>
#include <vector>

#include "ContentHash.h"
#include "ErrorHandling.h"
#include "Guid.h"
#include "IconFile.h"
#include "MsiDb.h"
#include "Resources.h"
#include "StubImage.h"
#include "UniqueResource.h"
#include "VersionInfo.h"
#include "WinDll.h"
#include "WinFileUtils.h"

namespace {

constexpr std::size_t kBracedGuidLength = 38;
constexpr std::uint16_t kManifestId = 1;  // CREATEPROCESS_MANIFEST_RESOURCE_ID
constexpr std::uint16_t kVersionId = 1;
constexpr std::uint16_t kIconGroupId = 1;

[[noreturn]] void fail(PackExitCode exitCode, const tstrings::MessageBuilder& message) {
    LD_THROW(PackFailure(exitCode, message.str()));
}

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
        fail(kInputError, tstrings::MessageBuilder() << package.path << " is a directory, not a package");
    }
    package.file.reset(CreateFileW(package.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!package.file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            fail(kInputError, tstrings::MessageBuilder() << "There is no package at " << package.path);
        }
        fail(kInputError, tstrings::MessageBuilder()
                              << "Cannot open " << package.path << ": " << describeSystemError(error, nullptr));
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(package.file.get(), &size)) {
        const DWORD error = GetLastError();
        fail(kInputError, tstrings::MessageBuilder() << "Cannot read the size of " << package.path << ": "
                                                     << describeSystemError(error, nullptr));
    }
    package.size = static_cast<std::uint64_t>(size.QuadPart);
    if (package.size > kLargestPackage) {
        fail(kInputError, tstrings::MessageBuilder() << package.path << " is " << package.size
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

// The package's own database is the proof that it is one: what Windows Installer cannot open as
// a database it cannot install either.
PackageFacts readPackageFacts(const tstring& path) {
    std::optional<msi::Database> database;
    try {
        database.emplace(path);
    } catch (const LdErrorBase& e) {
        fail(kInputError, tstrings::MessageBuilder()
                              << path << " is not a Windows Installer package (" << std::string(e.rawMessage()) << ")");
    }
    tstring code;
    try {
        code = database->getProperty(L"ProductCode");
    } catch (const msi::NoMoreItemsError&) {
        fail(kInputError, tstrings::MessageBuilder() << path << " has no ProductCode property");
    } catch (const LdErrorBase& e) {
        fail(kInputError, tstrings::MessageBuilder() << "Cannot read the ProductCode of " << path << " ("
                                                     << std::string(e.rawMessage()) << ")");
    }
    std::optional<Guid> parsed;
    if (code.size() == kBracedGuidLength && code.front() == L'{' && code.back() == L'}') {
        try {
            parsed.emplace(code);
        } catch (const LdErrorBase&) {
        }
    }
    if (!parsed) {
        fail(kInputError, tstrings::MessageBuilder()
                              << path << " has a malformed ProductCode '" << code << "': it must be a GUID in braces");
    }
    PackageFacts facts;
    facts.productCode = parsed->toString();
    facts.productName = database->getProperty(L"ProductName", std::nothrow);
    facts.productVersion = database->getProperty(L"ProductVersion", std::nothrow);
    facts.manufacturer = database->getProperty(L"Manufacturer", std::nothrow);
    return facts;
}

void confirmProductCode(const PackageFacts& facts, const tstring& given, const tstring& path) {
    std::optional<Guid> expected;
    try {
        expected.emplace(given);
    } catch (const LdErrorBase&) {
        LD_THROW(UsageError((tstrings::MessageBuilder() << "--product-code " << given << " is not a GUID").str()));
    }
    if (!(*expected == Guid(facts.productCode))) {
        fail(kInputError, tstrings::MessageBuilder() << "The ProductCode of " << path << " is " << facts.productCode
                                                     << ", not " << expected->toString() << " as --product-code says");
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
    resources.add(ResourceId::number(24), ResourceId::number(kManifestId), bytesOf(parts.manifest));  // RT_MANIFEST
    const tstring description = facts.productName.empty() ? L"Installer" : facts.productName + L" Setup";
    resources.add(ResourceId::number(16), ResourceId::number(kVersionId),  // RT_VERSION
                  buildVersionInfo(facts.productVersion, {{L"CompanyName", facts.manufacturer},
                                                          {L"FileDescription", description},
                                                          {L"FileVersion", facts.productVersion},
                                                          {L"InternalName", L"lodestar launcher"},
                                                          {L"OriginalFilename", FileUtils::basename(outputPath)},
                                                          {L"ProductName", facts.productName},
                                                          {L"ProductVersion", facts.productVersion}}));
    if (icon) {
        for (std::size_t i = 0; i < icon->images.size(); ++i) {
            resources.add(ResourceId::number(3), ResourceId::number(static_cast<std::uint16_t>(i + 1)),  // RT_ICON
                          icon->images[i]);
        }
        resources.add(ResourceId::number(14), ResourceId::number(kIconGroupId), icon->group);  // RT_GROUP_ICON
    }
    resources.add(ResourceId::number(10), ResourceId::text(L"PRODUCT_CODE"), bytesOf(facts.productCode));  // RT_RCDATA
    resources.addFile(ResourceId::number(10), ResourceId::text(L"MSI"), package.file.get(), package.size);
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
    const void* code = Resource(L"product_code", RT_RCDATA, launcher.get()).getPtr(size);
    if (size != facts.productCode.size() || std::memcmp(code, bytesOf(facts.productCode).data(), size) != 0) {
        LD_THROW("its product_code resource is not the package's ProductCode");
    }
    const void* data = Resource(L"msi", RT_RCDATA, launcher.get()).getPtr(size);
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
        try {
            icon = readIconFile(FileUtils::toAbsolutePath(options.icon));
        } catch (const LdErrorBase& e) {
            fail(kInputError, tstrings::MessageBuilder() << std::string(e.rawMessage()));
        }
    }

    PackResult result;
    result.packagePath = package.path;
    result.outputPath = FileUtils::toAbsolutePath(options.output);
    result.productCode = facts.productCode;
    result.packageSize = package.size;
    if (FileUtils::isDirectory(result.outputPath)) {
        fail(kOutputError, tstrings::MessageBuilder() << result.outputPath << " is a directory");
    }
    if (FileUtils::pathExists(result.outputPath) && !options.force) {
        fail(kOutputError, tstrings::MessageBuilder() << result.outputPath << " exists; add --force to replace it");
    }

    // Directories made for the output go again when it cannot be written.
    FileUtils::DeferredDeleter madeDirectories;
    try {
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
        try {
            verifyLauncher(writer.temporaryPath(), facts, package.size, written.fileHashes.front());
        } catch (const LdErrorBase& e) {
            fail(kOutputError, tstrings::MessageBuilder()
                                   << "The launcher written to " << writer.temporaryPath()
                                   << " did not read back whole: " << std::string(e.rawMessage()));
        }
        result.outputSize = written.size;
        writer.finalize(!options.force);
        madeDirectories.cancel();
    } catch (const PackFailure&) {
        throw;
    } catch (const LdErrorBase& e) {
        fail(kOutputError, tstrings::MessageBuilder()
                               << "Cannot write " << result.outputPath << ": " << std::string(e.rawMessage()));
    }
    return result;
}
