#include "LauncherExtraction.h"

#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "ContentHash.h"
#include "FileUtils.h"
#include "HostPaths.h"
#include "LauncherContents.h"
#include "MadeByThisRun.h"
#include "OutputFile.h"

namespace {

constexpr std::size_t kReadChunk = 1024 * 1024;

struct Target {
    const CarriedItem* item;  // none: the install script
    tstring name;             // relative to the directory
    tstring path;
};

// Under its own name when the index records it; a launcher packed before indexes goes by its own
// name, as its extract verb does.
tstring packageName(const CarriedItem& package, const tstring& launcherPath) {
    if (package.name) {
        return *package.name;
    }
    return FileUtils::replaceSuffix(host::fileNameOf(launcherPath), L".msi");
}

std::vector<Target> targetsOf(const LauncherContents& contents, const tstring& directory) {
    std::vector<Target> targets;
    for (const CarriedItem& item : contents.items()) {
        const tstring name = targets.empty() ? packageName(item, contents.path()) : *item.name;
        targets.push_back(Target{&item, name, host::joinRelative(directory, name)});
    }
    if (contents.customization()) {
        const tstring name = customization::kInstallScriptName;
        targets.push_back(Target{nullptr, name, host::joinRelative(directory, name)});
    }
    return targets;
}

// Every target, before anything is written. No folder below `directory` on the way to a target
// may be a link: nothing is written through one. The folders are made and opened without following
// links when the files are written, so that one put in place meanwhile is refused there too.
void checkTargets(const tstring& directory, const std::vector<Target>& targets, bool replace) {
    for (const Target& target : targets) {
        if (const tstring problem = payload::relativeNameProblem(target.name); !problem.empty()) {
            LD_THROW_PACK_FAILURE(kInputError, "The package cannot be written as " << target.name << ": " << problem);
        }
        tstring folder = directory;
        const tstring_array parts = tstrings::split(tstrings::replace(target.name, L"/", L"\\"), L"\\");
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            folder = host::join(folder, parts[i]);
            if (host::isLink(folder)) {
                LD_THROW_PACK_FAILURE(kOutputError, FileUtils::linkBelowTargetRefusal(folder));
            }
        }
        if (host::isDirectory(target.path) && !host::isLink(target.path)) {
            LD_THROW_PACK_FAILURE(kOutputError, target.path << " is a directory: nothing was extracted");
        }
        if (host::exists(target.path) && !replace) {
            LD_THROW_PACK_FAILURE(kOutputError,
                                  target.path << " exists; add --force to replace it: nothing was extracted");
        }
    }
}

// The ContentHash of what was written to `file`, read back through the file itself.
std::uint64_t contentHashOf(const OutputFile& file) {
    OutputFile::Reader reader(file);
    ContentHash hash;
    std::vector<std::uint8_t> buffer(kReadChunk);
    for (std::size_t read = reader.read(buffer.data(), buffer.size()); read > 0;
         read = reader.read(buffer.data(), buffer.size())) {
        hash.update(buffer.data(), read);
    }
    return hash.digest();
}

// The folders below the extraction's directory, each made (when missing) and held open once,
// however many files lie in it; a link where a folder should be is refused.
class TargetFolders {
public:
    TargetFolders(const tstring& directory, MadeByThisRun& made) : made_(made) {
        tstring_array created;
        root_.emplace(directory, created);
        made_.addDirectories(created);
    }

    // The folder `name` (relative, '\\' or '/' between components) lies in, and its last component.
    std::pair<const OutputFolder*, tstring> placeOf(const tstring& name) {
        const tstring_array parts = tstrings::split(tstrings::replace(name, L"/", L"\\"), L"\\");
        const OutputFolder* folder = &*root_;
        tstring key;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            key += host::caseKey(parts[i]) + L"\\";
            auto found = below_.find(key);
            if (found == below_.end()) {
                tstring_array created;
                OutputFolder child = folder->child(parts[i], created);
                made_.addDirectories(created);
                found = below_.emplace(key, std::move(child)).first;
            }
            folder = &found->second;
        }
        return {folder, parts.back()};
    }

private:
    MadeByThisRun& made_;
    std::optional<OutputFolder> root_;
    std::map<tstring, OutputFolder> below_;  // by the case-folded relative path, as Windows finds them
};

// The item's bytes in a new file beside the target, read back and found to be what the launcher
// carries (which the index has vouched for while they were read).
std::unique_ptr<OutputFile> stage(LauncherContents& contents, const Target& target, TargetFolders& folders,
                                  bool replace, const std::string& installScript) {
    const auto [folder, name] = folders.placeOf(target.name);
    auto staged = std::make_unique<OutputFile>(*folder, name, replace);
    if (target.item == nullptr) {
        staged->write(installScript.data(), installScript.size());
        if (contentHashOf(*staged) != ContentHash().update(installScript.data(), installScript.size()).digest()) {
            LD_THROW_PACK_FAILURE(kOutputError, target.path << " did not read back as it was written");
        }
        return staged;
    }
    const std::uint64_t carried = readingLauncher(contents.path(), [&] {
        return contents.stream(*target.item, [&](const void* data, std::size_t size) {
            classifyFailure(
                kOutputError, [&] { staged->write(data, size); },
                [&](const LdErrorBase& e) {
                    return tstrings::MessageBuilder() << "Cannot write " << target.path << ": " << rawMessageOf(e);
                });
        });
    });
    if (contentHashOf(*staged) != carried) {
        LD_THROW_PACK_FAILURE(kOutputError, target.path << " did not read back as it was written");
    }
    return staged;
}

}  // namespace

ExtractionResult extractLauncher(const tstring& launcherPath, const tstring& directory, bool replace,
                                 const LauncherContents::Progress& progress) {
    InputFile file = openLauncher(launcherPath);
    LauncherContents contents = readingLauncher(launcherPath, [&] { return LauncherContents(file); });
    contents.reportProgressTo(progress);
    const std::vector<Target> targets = targetsOf(contents, directory);
    checkTargets(directory, targets, replace);
    const std::string installScript =
        contents.customization() ? customization::installScript(*contents.customization(), targets.front().name) : "";

    ExtractionResult result;
    result.directory = directory;
    MadeByThisRun made;
    const auto writeAll = [&] {
        TargetFolders folders(directory, made);
        std::vector<std::unique_ptr<OutputFile>> staged;
        for (const Target& target : targets) {
            staged.push_back(stage(contents, target, folders, replace, installScript));
            result.names.push_back(target.name);
            result.bytes += target.item != nullptr ? target.item->location.size : installScript.size();
        }
        for (std::size_t i = 0; i < staged.size(); ++i) {
            // A file replaced (--force) stays as extracted if a later one fails: removing it would
            // leave the user neither their own copy nor this one.
            const bool replacing = host::exists(targets[i].path);
            staged[i]->publish();
            if (!replacing) {
                made.addFile(targets[i].path);
            }
        }
    };
    classifyFailure(kOutputError, writeAll, [&](const LdErrorBase& e) {
        return tstrings::MessageBuilder() << "Cannot extract into " << directory << ": " << rawMessageOf(e);
    });
    made.keep();
    return result;
}
