#include "LauncherExtraction.h"

#include <vector>

#include "ContentHash.h"
#include "FileUtils.h"
#include "LauncherContents.h"
#include "OutputFiles.h"

namespace {

constexpr std::size_t kReadChunk = 1024 * 1024;

struct Target {
    const CarriedItem* item;
    tstring name;  // relative to the directory
    tstring path;
};

// What this run made, removed again unless the run finished: published files first, then
// directories, deepest first.
class MadeByThisRun {
public:
    MadeByThisRun() = default;
    MadeByThisRun(const MadeByThisRun&) = delete;
    MadeByThisRun& operator=(const MadeByThisRun&) = delete;
    ~MadeByThisRun() {
        for (const tstring& file : files_) {
            output::removeFile(file);
        }
        for (auto directory = directories_.rbegin(); directory != directories_.rend(); ++directory) {
            output::removeEmptyDirectory(*directory);
        }
    }

    void addDirectories(const tstring_array& made) {
        directories_.insert(directories_.end(), made.begin(), made.end());
    }
    void addFile(const tstring& path) { files_.push_back(path); }
    void keep() {
        files_.clear();
        directories_.clear();
    }

private:
    tstring_array files_;
    tstring_array directories_;
};

// Under its own name when the index records it; a launcher packed before indexes goes by its own
// name, as its extract verb does.
tstring packageName(const CarriedItem& package, const tstring& launcherPath) {
    return package.name.value_or(FileUtils::replaceSuffix(FileUtils::basename(launcherPath), L".msi"));
}

std::vector<Target> targetsOf(const LauncherContents& contents, const tstring& directory) {
    std::vector<Target> targets;
    for (const CarriedItem& item : contents.items()) {
        const tstring name = targets.empty() ? packageName(item, contents.path()) : *item.name;
        targets.push_back(Target{&item, name, FileUtils::PathBuilder() << directory << name});
    }
    return targets;
}

// Every target, before anything is written.
void checkTargets(const std::vector<Target>& targets, bool replace) {
    for (const Target& target : targets) {
        if (const tstring problem = payload::relativeNameProblem(target.name); !problem.empty()) {
            LD_THROW_PACK_FAILURE(kInputError, "The package cannot be written as " << target.name << ": " << problem);
        }
        switch (output::occupantOf(target.path)) {
            case output::Occupant::Directory:
                LD_THROW_PACK_FAILURE(kOutputError, target.path << " is a directory: nothing was extracted");
            case output::Occupant::File:
                if (!replace) {
                    LD_THROW_PACK_FAILURE(kOutputError,
                                          target.path << " exists; add --force to replace it: nothing was extracted");
                }
                break;
            case output::Occupant::Nothing:
                break;
        }
    }
}

// The ContentHash of what the file at `path` holds now.
std::uint64_t contentHashOf(const tstring& path) {
    InputFile file(path);
    ContentHash hash;
    std::vector<std::uint8_t> buffer(kReadChunk);
    for (std::size_t read = file.read(buffer.data(), buffer.size()); read > 0;
         read = file.read(buffer.data(), buffer.size())) {
        hash.update(buffer.data(), read);
    }
    return hash.digest();
}

// The item's bytes in a staged file at the target, read back and found to be what the launcher
// carries (which the index has vouched for while they were read).
output::StagedFile stage(LauncherContents& contents, const Target& target, MadeByThisRun& made) {
    made.addDirectories(output::makeDirectories(FileUtils::dirname(target.path)));
    output::StagedFile staged(target.path);
    const std::uint64_t carried = readingLauncher(contents.path(), [&] {
        return contents.stream(*target.item, [&](const void* data, std::size_t size) {
            classifyFailure(
                kOutputError, [&] { staged.write(data, size); },
                [&](const LdErrorBase& e) {
                    return tstrings::MessageBuilder() << "Cannot write " << target.path << ": " << rawMessageOf(e);
                });
        });
    });
    staged.close();
    if (contentHashOf(staged.temporaryPath()) != carried) {
        LD_THROW_PACK_FAILURE(kOutputError, target.path << " did not read back as it was written");
    }
    return staged;
}

}  // namespace

ExtractionResult extractLauncher(const tstring& launcherPath, const tstring& directory, bool replace) {
    InputFile file = openLauncher(launcherPath);
    LauncherContents contents = readingLauncher(launcherPath, [&] { return LauncherContents(file); });
    const std::vector<Target> targets = targetsOf(contents, directory);
    checkTargets(targets, replace);

    ExtractionResult result;
    result.directory = directory;
    MadeByThisRun made;
    const auto writeAll = [&] {
        made.addDirectories(output::makeDirectories(directory));
        std::vector<output::StagedFile> staged;
        for (const Target& target : targets) {
            staged.push_back(stage(contents, target, made));
            result.names.push_back(target.name);
            result.bytes += target.item->location.size;
        }
        for (std::size_t i = 0; i < staged.size(); ++i) {
            staged[i].publish(replace);
            made.addFile(targets[i].path);
        }
    };
    classifyFailure(kOutputError, writeAll, [&](const LdErrorBase& e) {
        return tstrings::MessageBuilder() << "Cannot extract into " << directory << ": " << rawMessageOf(e);
    });
    made.keep();
    return result;
}
