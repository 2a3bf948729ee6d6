// What a launcher carries, read from its own resources: the package, the files that lie beside it
// (external cabinets, uncompressed source files) and the index that says what each must be. Every
// file is written through a staged file and then held, read-only, after its bytes were checked
// against the carried bytes (nobody else wrote to it) and against the index (the setup is not
// damaged).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "PayloadIndex.h"
#include "Resources.h"
#include "UniqueResource.h"
#include "WinFileUtils.h"
#include "WinApi.h"
#include "tstrings.h"

namespace launcher {

// The message of a launcher whose bytes are not what was packed; `name` is the first file that
// does not match, or "its index".
[[noreturn]] void refuseDamagedSetup(const tstring& name);

struct CarriedFile {
    tstring name;                // relative to the package's folder; the package's own file name first
    std::uint16_t resourceId;    // the RCDATA number of a carried file; 0 for the package
    payload::IndexEntry packed;  // size and hash as packed
    // The carried bytes in the launcher's mapped image, found once.
    const void* data = nullptr;
    std::uint32_t size = 0;
};

class CarriedPayload {
public:
    // Reads the index of `module`, if it has one, and checks it, and finds every carried file: a
    // damaged index, or a carried file missing or of another size than the index says, is
    // refused here, before anything is written.
    explicit CarriedPayload(HMODULE module);

    // False for a launcher packed before payload indexes: it carries the package alone, and
    // only the carried bytes tell what it must be.
    bool indexed() const { return index_.has_value(); }
    // Entry 0 of the index; without an index, an entry without a name.
    const CarriedFile& package() const { return files_.front(); }
    // The files beside the package, in index order.
    std::vector<CarriedFile> besideThePackage() const;

    // The bytes of every carried file together.
    std::uint64_t totalSize() const;

    // Writes `file` to `path` (a new name in an existing directory) and returns the handle that
    // keeps it read-only, once its bytes are checked; `pieceDone` hears of every piece written
    // and every piece checked.
    UniqueHandle writeChecked(const CarriedFile& file, const tstring& path,
                              const FileUtils::PieceDone& pieceDone = nullptr) const;

    // Writes the package under `packageFileName` (its own name, when the index knows it) and every
    // file beside it under its relative name into `directory`, made when missing. A target that
    // exists refuses the whole run before anything is written; a failure part-way removes what
    // was written. Every file is read back and checked before this returns.
    // With `installScript`, it is written too, as install.cmd beside the package.
    void extractTo(const tstring& directory, const tstring& packageFileName,
                   const std::optional<std::string>& installScript = std::nullopt) const;

private:
    // Finds the carried bytes of `file` in the module, one lookup.
    void find(CarriedFile& file) const;
    // Refuses the setup as damaged when two carried files share bytes.
    void refuseSharedBytes() const;
    // Holds `path`, just written from `file`, read-only and compares it with the carried bytes
    // and, with an index, with the hash the index records; with `renamable`, the handle may rename
    // the file (FileUtils::renameHeldFile).
    UniqueHandle lockChecked(const CarriedFile& file, const tstring& path, bool renamable = false,
                             const FileUtils::PieceDone& pieceDone = nullptr) const;

    HMODULE module_;
    std::optional<payload::Index> index_;
    std::vector<CarriedFile> files_;
};

// Directories below a root that this process makes for carried files, held closed to renaming
// and deletion for as long as this object lives. Below a working directory each must be new (a
// name that exists already was not made here and is refused); below a directory the user chose,
// existing ones serve.
class CarriedDirectories {
public:
    enum class Existing { Refused, Used };
    CarriedDirectories(const tstring& root, Existing existing) : root_(root), existing_(existing) {}

    // The full path of the relative `name`, its missing parent directories made.
    tstring prepare(const tstring& name);
    // The directories made, in the order they were made.
    const tstring_array& made() const { return madePaths_; }

private:
    tstring root_;
    Existing existing_;
    tstring_array seen_;  // lower case, relative
    tstring_array madePaths_;
    std::vector<FileUtils::DirectoryLock> locks_;
};

}  // namespace launcher
