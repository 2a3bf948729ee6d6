#include "CarriedPayload.h"

#include <algorithm>

#include "ContentHash.h"
#include "Customization.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "LauncherResources.h"
#include "Log.h"
#include "MadeByThisRun.h"
#include "Resources.h"
#include "ScopeExit.h"

namespace launcher {
namespace {

constexpr const wchar_t* kIndexItself = L"its index";

LPCWSTR carriedType() {
    return MAKEINTRESOURCEW(resources::kCarriedType);
}

// The package is found by name, every other carried file by its number.
Resource carriedResource(std::uint16_t resourceId, HMODULE module) {
    return resourceId == 0 ? Resource(resources::kPackageLookupName, carriedType(), module)
                           : Resource(resourceId, carriedType(), module);
}

std::optional<payload::Index> readIndex(HMODULE module) {
    const Resource resource(resources::kIndexLookupName, carriedType(), module);
    if (!resource.available()) {
        return std::nullopt;
    }
    try {
        return payload::readIndex(resource.rawData(), resource.size());
    } catch (const payload::IndexError& e) {
        LOG_ERROR(tstrings::fromUtf8(e.what()));
        refuseDamagedSetup(kIndexItself);
    }
}

}  // namespace

void refuseDamagedSetup(const tstring& name) {
    LD_THROW(tstrings::MessageBuilder() << "This setup is damaged: " << name
                                        << " is not what was packed. Download it again.");
}

CarriedPayload::CarriedPayload(HMODULE module) : module_(module), index_(readIndex(module)) {
    if (!index_) {
        files_.push_back(CarriedFile{tstring(), 0, payload::IndexEntry{}});
        find(files_.front());
        return;
    }
    for (std::size_t i = 0; i < index_->entries.size(); ++i) {
        const std::uint16_t resourceId = i == 0 ? 0 : resources::carriedFileId(i);
        files_.push_back(CarriedFile{index_->entries[i].name, resourceId, index_->entries[i]});
        find(files_.back());
    }
    refuseSharedBytes();
}

// A packer gives every carried file bytes of its own. Files that share theirs are a crafted
// launcher's way to make the setup write more than it holds: refused as damage before anything
// is written.
void CarriedPayload::refuseSharedBytes() const {
    std::vector<const CarriedFile*> byPlace;
    for (const CarriedFile& file : files_) {
        byPlace.push_back(&file);
    }
    const auto start = [](const CarriedFile* file) { return reinterpret_cast<std::uintptr_t>(file->data); };
    std::sort(byPlace.begin(), byPlace.end(),
              [&](const CarriedFile* a, const CarriedFile* b) { return start(a) < start(b); });
    for (std::size_t i = 1; i < byPlace.size(); ++i) {
        if (start(byPlace[i]) < start(byPlace[i - 1]) + byPlace[i - 1]->size) {
            LOG_ERROR("[" << byPlace[i - 1]->name << "] and [" << byPlace[i]->name << "] share their bytes");
            refuseDamagedSetup(byPlace[i]->name);
        }
    }
}

void CarriedPayload::find(CarriedFile& file) const {
    const Resource resource = carriedResource(file.resourceId, module_);
    if (!indexed()) {
        // Packed before indexes: a missing package is the resource's own error.
        file.data = resource.getPtr(file.size);
        return;
    }
    file.data = resource.getPtr(file.size, std::nothrow);
    if (file.data == nullptr || file.size != file.packed.size) {
        refuseDamagedSetup(file.name);
    }
}

std::vector<CarriedFile> CarriedPayload::besideThePackage() const {
    return std::vector<CarriedFile>(files_.begin() + 1, files_.end());
}

std::uint64_t CarriedPayload::totalSize() const {
    std::uint64_t total = 0;
    for (const CarriedFile& file : files_) {
        total += file.size;
    }
    return total;
}

UniqueHandle CarriedPayload::lockChecked(const CarriedFile& file, const tstring& path, bool renamable,
                                         const FileUtils::PieceDone& pieceDone) const {
    if (!indexed()) {
        // Packed before indexes: the carried bytes are all there is to compare with.
        return FileUtils::lockFileContent(path, file.data, file.size, nullptr, renamable, pieceDone);
    }
    std::uint64_t hash = 0;
    UniqueHandle lock = FileUtils::lockFileContent(path, file.data, file.size, &hash, renamable, pieceDone);
    if (hash != file.packed.hash) {
        refuseDamagedSetup(file.name);
    }
    return lock;
}

// saveToFile finds the resource again itself: the package's way to disk is the resource's own.
UniqueHandle CarriedPayload::writeChecked(const CarriedFile& file, const tstring& path,
                                          const FileUtils::PieceDone& pieceDone) const {
    carriedResource(file.resourceId, module_).saveToFile(path, pieceDone);
    return lockChecked(file, path, false, pieceDone);
}

namespace {

// A folder below `root` on the way to the relative `name` that is a link: nothing may be written
// through it. Checked before anything is written; CarriedDirectories checks again as it goes.
void refuseLinksOnTheWay(const tstring& root, const tstring& name) {
    const tstring_array parts = tstrings::split(tstrings::replace(name, L"/", L"\\"), L"\\");
    tstring folder = root;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        folder = FileUtils::PathBuilder() << folder << parts[i];
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            LD_THROW(FileUtils::linkBelowTargetRefusal(folder));
        }
    }
}

}  // namespace

void CarriedPayload::extractTo(const tstring& directory, const tstring& packageFileName,
                               const std::optional<std::string>& installScript) const {
    // Every file with its name relative to `directory`, checked before anything is written.
    std::vector<std::pair<const CarriedFile*, tstring>> targets;
    // '\' between components: a \\?\ path takes no '/' for one.
    targets.emplace_back(&package(), packageFileName);
    for (std::size_t i = 1; i < files_.size(); ++i) {
        targets.emplace_back(&files_[i], tstrings::replace(files_[i].name, L"/", L"\\"));
    }
    // The script is written and checked as a carried file is, against its own bytes.
    std::optional<CarriedFile> script;
    if (installScript) {
        const auto size = static_cast<std::uint32_t>(installScript->size());
        const std::uint64_t hash = ContentHash().update(installScript->data(), installScript->size()).digest();
        script = CarriedFile{customization::kInstallScriptName, 0,
                             payload::IndexEntry{customization::kInstallScriptName, size, hash}, installScript->data(),
                             size};
        targets.emplace_back(&*script, customization::kInstallScriptName);
    }
    for (const auto& [file, name] : targets) {
        static_cast<void>(file);
        refuseLinksOnTheWay(directory, name);
        const tstring path = FileUtils::PathBuilder() << directory << name;
        if (FileUtils::pathExists(path)) {
            LD_THROW(tstrings::MessageBuilder() << path << " exists already: nothing was extracted");
        }
    }

    // What this run makes goes again if it cannot finish: its files, then its directories,
    // deepest first, once they are no longer held.
    MadeByThisRun made;
    {
        // Recorded level by level, so a failure half-way still removes the levels made.
        tstring_array madeLevels;
        const auto keepTrack = ld::scopeExit([&] { made.addDirectories(madeLevels); });
        FileUtils::createDirectory(directory, &madeLevels);
    }
    {
        CarriedDirectories directories(directory, CarriedDirectories::Existing::Used);
        const auto keepTrack = ld::scopeExit([&] { made.addDirectories(directories.made()); });
        for (const auto& [target, name] : targets) {
            const CarriedFile& file = *target;
            const tstring path = directories.prepare(name);
            // Checked under its temporary name and only then named, through the handle that checked
            // it: a run killed in between leaves no damaged file under a name of the setup's, and
            // nobody can change it after the check. Never over a file that appeared meanwhile: the
            // rename fails instead.
            FileUtils::writeStagedFile(
                path, file.data, file.size, FileUtils::Existing::Kept,
                [&](const tstring& temporaryPath) { return lockChecked(file, temporaryPath, true); });
            made.addFile(path);
        }
    }
    made.keep();
}

tstring CarriedDirectories::prepare(const tstring& name) {
    const tstring_array parts = tstrings::split(tstrings::replace(name, L"/", L"\\"), L"\\");
    tstring relative;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        relative += (relative.empty() ? L"" : L"\\") + parts[i];
        const tstring key = tstrings::toLower(relative);
        // Kept sorted: a payload may carry tens of thousands of files in thousands of folders.
        const auto seen = std::lower_bound(seen_.begin(), seen_.end(), key);
        if (seen != seen_.end() && *seen == key) {
            continue;
        }
        const tstring directory = FileUtils::PathBuilder() << root_ << relative;
        if (CreateDirectoryW(directory.c_str(), nullptr)) {
            LOG_TRACE("Created [" << directory << "] directory");
            madePaths_.push_back(directory);
        } else {
            const DWORD error = GetLastError();
            // Below a working directory only a directory made here is known to be one: a name
            // somebody else took first may be a link to anywhere. Below a folder the user chose,
            // an existing folder serves, and a link is never gone through.
            if (existing_ == Existing::Refused || error != ERROR_ALREADY_EXISTS) {
                LD_THROW_SYSTEM_ERROR(CreateDirectoryW, error, "CreateDirectory(" << directory << ") failed");
            }
            const DWORD attributes = GetFileAttributesW(directory.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                LD_THROW(FileUtils::linkBelowTargetRefusal(directory));
            }
            if (!FileUtils::isDirectory(directory)) {
                LD_THROW_SYSTEM_ERROR(CreateDirectoryW, error, "CreateDirectory(" << directory << ") failed");
            }
        }
        locks_.emplace_back(directory);
        seen_.insert(std::lower_bound(seen_.begin(), seen_.end(), key), key);
    }
    // '\' between components: a \\?\ path takes no '/' for one.
    return FileUtils::PathBuilder() << root_ << tstrings::replace(name, L"/", L"\\");
}

}  // namespace launcher
