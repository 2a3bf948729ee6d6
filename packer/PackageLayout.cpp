#include "PackageLayout.h"

#include <cwchar>
#include <map>

#include "HostPaths.h"
#include "PackageNames.h"
#include "PayloadIndex.h"

namespace {

constexpr std::int32_t kShortNames = 1;      // Word Count bit 0
constexpr std::int32_t kCompressed = 2;      // Word Count bit 1
constexpr long kFileNoncompressed = 0x2000;  // msidbFileAttributesNoncompressed
constexpr long kFileCompressed = 0x4000;     // msidbFileAttributesCompressed

long integerField(const tstring& text) {
    return text.empty() ? 0 : std::wcstol(text.c_str(), nullptr, 10);
}

class Layout {
public:
    Layout(const PackageDatabase& package, const tstring& packageFileName)
        : package_(package), packageFileName_(packageFileName) {
        const std::int32_t wordCount = package.wordCount();
        shortNames_ = (wordCount & kShortNames) != 0;
        compressed_ = (wordCount & kCompressed) != 0;
    }

    std::vector<FileBesidePackage> collect() {
        addCabinets();
        addUncompressedFiles();
        refuseFileWhereFolderIs();
        return files_;
    }

private:
    void addCabinets() {
        if (!package_.hasTable(L"Media")) {
            return;
        }
        for (const PackageDatabase::Row& row : package_.select(L"SELECT `DiskId`, `Cabinet` FROM `Media`")) {
            const tstring& cabinet = row.at(1);
            // '#' marks a cabinet stored inside the package.
            if (cabinet.empty() || cabinet.front() == L'#') {
                continue;
            }
            add(cabinet, L"the Media table's row " + row.at(0) + L" (Cabinet '" + cabinet + L"')", true);
        }
    }

    void addUncompressedFiles() {
        if (!package_.hasTable(L"File")) {
            return;
        }
        readDirectories();
        std::map<tstring, tstring> componentDirectories;
        for (const PackageDatabase::Row& row : package_.select(L"SELECT `Component`, `Directory_` FROM `Component`")) {
            componentDirectories[row.at(0)] = row.at(1);
        }
        const auto rows = package_.select(L"SELECT `File`, `Component_`, `FileName`, `Attributes` FROM `File`");
        for (const PackageDatabase::Row& row : rows) {
            const long attributes = integerField(row.at(3));
            const bool uncompressed =
                compressed_ ? (attributes & kFileNoncompressed) != 0 : (attributes & kFileCompressed) == 0;
            if (!uncompressed) {
                continue;
            }
            const tstring askedBy = L"the File table's row '" + row.at(0) + L"'";
            const auto directory = componentDirectories.find(row.at(1));
            if (directory == componentDirectories.end()) {
                LD_THROW_LAYOUT_ERROR(packageFileName_ << ": " << askedBy << " names the component '"
                                                                    << row.at(1)
                                                                    << "', which the Component table does not have");
            }
            const tstring fileName = pickName(row.at(2), shortNames_);
            if (fileName.find_first_of(L"\\/") != tstring::npos) {
                refuseName(fileName, askedBy, L"a file name holds a separator");
            }
            const tstring folder = sourcePath(directory->second, askedBy);
            add(folder.empty() ? fileName : folder + L"\\" + fileName, askedBy, false);
        }
    }

    void readDirectories() {
        if (!package_.hasTable(L"Directory")) {
            return;
        }
        for (const PackageDatabase::Row& row :
             package_.select(L"SELECT `Directory`, `Directory_Parent`, `DefaultDir` FROM `Directory`")) {
            directories_[row.at(0)] = Directory{row.at(1), row.at(2)};
        }
    }

    // The directory's path relative to the package's folder: its ancestors' source names below
    // the root (the package's folder itself), "." adding nothing.
    tstring sourcePath(const tstring& key, const tstring& askedBy) {
        tstring path;
        tstring current = key;
        for (std::size_t depth = 0;; ++depth) {
            const auto found = directories_.find(current);
            if (found == directories_.end()) {
                LD_THROW_LAYOUT_ERROR(packageFileName_ << ": " << askedBy << " lies in the directory '"
                                                                    << current
                                                                    << "', which the Directory table does not have");
            }
            const Directory& directory = found->second;
            if (directory.parent.empty() || directory.parent == current) {
                return path;  // the root: the source directory itself, whatever its name
            }
            if (depth > directories_.size()) {
                LD_THROW_LAYOUT_ERROR(packageFileName_ << ": the Directory table's rows form a cycle at '"
                                                                    << current << "'");
            }
            const tstring name = sourceName(directory.defaultDir);
            if (name != L".") {
                path = path.empty() ? name : name + L"\\" + path;
            }
            current = directory.parent;
        }
    }

    tstring sourceName(const tstring& defaultDir) const { return directorySourceName(defaultDir, shortNames_); }

    void add(const tstring& name, const tstring& askedBy, bool cabinet) {
        const tstring problem = payload::relativeNameProblem(name);
        if (!problem.empty()) {
            refuseName(name, askedBy, problem);
        }
        const tstring key = host::caseKey(name);
        for (const tstring& taken : {packageFileName_, tstring(payload::kInstallersCopyName)}) {
            if (key == host::caseKey(taken)) {
                LD_THROW_LAYOUT_ERROR(packageFileName_ << ": " << askedBy << " names '" << name
                                                                    << "', which is where the package itself goes");
            }
        }
        if (const tstring part = payload::carriedNameProblem(name); !part.empty()) {
            refuseName(name, askedBy, part);  // main.msi as a folder on its way
        }
        // Found by their case-folded names: a package may name tens of thousands of files.
        const auto [taken, isNew] = byFoldedName_.emplace(key, files_.size());
        if (!isNew) {
            const FileBesidePackage& other = files_[taken->second];
            if (other.name == name) {
                return;  // the same file, named twice
            }
            LD_THROW_LAYOUT_ERROR(packageFileName_ << ": " << other.askedBy << " names '" << other.name
                                                                << "' and " << askedBy << " names '" << name
                                                                << "': Windows cannot hold both, as the names "
                                                                   "differ only in case");
        }
        files_.push_back(FileBesidePackage{name, askedBy, cabinet});
    }

    // "data" and "data\x.txt" cannot both be extracted: Windows holds one file or folder per name.
    void refuseFileWhereFolderIs() const {
        tstring_array keys;
        for (const FileBesidePackage& file : files_) {
            keys.push_back(host::caseKey(file.name));
        }
        if (const auto clash = payload::fileWhereFolderIs(keys)) {
            const FileBesidePackage& file = files_[clash->first];
            const FileBesidePackage& below = files_[clash->second];
            LD_THROW_LAYOUT_ERROR(packageFileName_ << ": " << file.askedBy << " names '" << file.name
                                                                << "' and " << below.askedBy << " names '" << below.name
                                                                << "' below a folder of that name: Windows "
                                                                   "cannot hold a file and a folder of one name");
        }
    }

    [[noreturn]] void refuseName(const tstring& name, const tstring& askedBy, const tstring& problem) const {
        LD_THROW_LAYOUT_ERROR(packageFileName_
                                               << ": " << askedBy << " names '" << name
                                               << "', which cannot lie below the package's folder: " << problem);
    }

    struct Directory {
        tstring parent;
        tstring defaultDir;
    };

    const PackageDatabase& package_;
    tstring packageFileName_;
    bool shortNames_ = false;
    bool compressed_ = false;
    std::map<tstring, Directory> directories_;
    std::vector<FileBesidePackage> files_;
    std::map<tstring, std::size_t> byFoldedName_;  // case-folded name -> its file
};

}  // namespace

std::vector<FileBesidePackage> filesBesidePackage(const PackageDatabase& package, const tstring& packageFileName) {
    return Layout(package, packageFileName).collect();
}
