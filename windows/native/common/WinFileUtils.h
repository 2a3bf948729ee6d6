// Files on Windows: absolute paths, directory creation, copy, move, forgiving deletion, directory
// walking and deferred deletion, unique temporary files and directories, staged writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <vector>

#include "FileUtils.h"
#include "UniqueResource.h"
#include "WinApi.h"
#include "tstrings.h"

namespace FileUtils {

// The path without the last component's suffix; unlike suffix(), ".profile" loses everything.
tstring stripSuffix(const tstring& path);

// toAbsolutePath, pathExists, isDirectory, createDirectory and the std::nothrow forms of
// deleteFile and deleteDirectory are in FileUtils.h: every platform has them.

bool isDirectoryNotEmpty(const tstring& path);

// Both create the destination's parent directory when it is missing.
void copyFile(const tstring& from, const tstring& to, bool failIfExists);
// Files and directories; `failIfExists` false replaces an existing destination file.
void moveFile(const tstring& from, const tstring& to, bool failIfExists);

// Deletion is forgiving, as the std::nothrow forms in FileUtils.h: these raise where those return
// false.
void deleteFile(const tstring& path);
// An empty directory only.
void deleteDirectory(const tstring& path);
// The files directly inside `directory`; subdirectories and the directory itself stay.
void deleteFiles(const tstring& directory);
bool deleteFiles(const tstring& directory, const std::nothrow_t&);
// `directory` with everything in it. Links (junctions, symbolic links) are removed, never
// followed, wherever they are: a `directory` that is itself a link loses only the link. Each
// directory is held open, closed to renaming and deletion, while its contents go, so nobody can
// put a link in its place meanwhile.
void deleteDirectoryRecursive(const tstring& directory);
bool deleteDirectoryRecursive(const tstring& directory, const std::nothrow_t&);

// Receives the entries of a directory; returning false stops the enumeration.
class DirectoryCallback {
public:
    virtual ~DirectoryCallback() = default;
    virtual bool onFile(const tstring& /*path*/) { return true; }
    virtual bool onDirectory(const tstring& /*path*/) { return true; }
};

// Entries in the platform's order, "." and ".." left out. A missing directory is an error, an
// empty one calls nothing. The callback may delete the entry it is shown.
void iterateDirectory(const tstring& directory, DirectoryCallback& callback);

// Collects the paths under a root; by default files and directories, recursively, each
// directory listed before its contents.
class DirectoryIterator : public DirectoryCallback {
public:
    explicit DirectoryIterator(const tstring& root) : root_(root) {}

    DirectoryIterator& recurse(bool value) {
        recurse_ = value;
        return *this;
    }
    DirectoryIterator& withFiles(bool value) {
        withFiles_ = value;
        return *this;
    }
    DirectoryIterator& withDirs(bool value) {
        withDirs_ = value;
        return *this;
    }

    // Appends the collected paths to `list`; a root that is not a directory adds nothing.
    DirectoryIterator& findItems(tstring_array& list);

    bool onFile(const tstring& path) override;
    bool onDirectory(const tstring& path) override;

private:
    bool recurse_ = true;
    bool withFiles_ = true;
    bool withDirs_ = true;
    tstring root_;
    tstring_array items_;
};

// Paths to delete when the scope ends (or on execute()): all single files first, then the
// contents of directories, then whole trees, then empty directories; within one kind in the
// order they were added. A path that cannot be deleted is skipped; nothing is ever raised.
class DeferredDeleter {
public:
    DeferredDeleter() = default;
    ~DeferredDeleter() { execute(); }
    DeferredDeleter(const DeferredDeleter&) = delete;
    DeferredDeleter& operator=(const DeferredDeleter&) = delete;

    DeferredDeleter& appendFile(const tstring& path);
    DeferredDeleter& appendAllFiles(const tstring& directory);
    DeferredDeleter& appendRecursiveDirectory(const tstring& directory);
    DeferredDeleter& appendEmptyDirectory(const tstring& directory);
    // `base`\`relative` and every directory between it and `base` (not `base` itself), deepest
    // first. `relative` must be made of names only: no drive, no "." or "..".
    DeferredDeleter& appendEmptyDirectories(const tstring& base, const tstring& relative);

    // Forgets every entry without deleting anything.
    void cancel() { entries_.clear(); }
    // Deletes every entry and forgets it, so a second call deletes nothing. What another program
    // holds is tried again for up to two seconds, then left.
    void execute() noexcept;

private:
    enum Kind : std::int32_t { File = 0, AllFiles = 1, RecursiveDirectory = 2, EmptyDirectory = 3 };
    struct Entry {
        tstring path;
        std::int32_t kind;
    };

    DeferredDeleter& append(const tstring& path, Kind kind);
    // The no-throw deletion of the entry's kind; false when something could not be deleted.
    static bool deleteEntry(const Entry& entry);

    std::vector<Entry> entries_;
};

// Keeps other processes from renaming or deleting a directory, and so from putting a link in its
// place, for as long as it lives; files inside may still come and go. `path` must be a directory
// of its own: a link or a file is refused with an error.
class DirectoryLock {
public:
    explicit DirectoryLock(const tstring& path);

    const tstring& path() const { return path_; }

private:
    tstring path_;
    UniqueHandle handle_;
};

// Told the size of every piece of a file just written or compared, for a caller that shows how far
// the work has come; whatever it throws stops the work between two pieces.
using PieceDone = std::function<void(std::size_t bytes)>;

// Opens `path` for reading and keeps every other process from writing, renaming or deleting it
// while the handle lives, after checking that the file holds exactly the `size` bytes at `data`:
// whatever anybody did to it before the handle was open is caught here. With `contentHash`, the
// ContentHash of the bytes read comes back through it, computed in the same pass. With
// `renamable`, the handle may also rename the file itself (renameHeldFile). `pieceDone` hears of
// every piece compared.
UniqueHandle lockFileContent(const tstring& path, const void* data, std::size_t size,
                             std::uint64_t* contentHash = nullptr, bool renamable = false,
                             const PieceDone& pieceDone = nullptr);

// A new, empty file named prefix + number + suffix in `directory`; the number starts at an
// unpredictable value (another process cannot take the names in advance) and grows by one for
// each name that is taken, 100 names at most. The prefix and suffix may not hold control
// characters or any of <>:"|?*/\.
tstring createTempFile(const tstring& prefix, const tstring& suffix, const tstring& directory);
// The same for a directory, which is always one this call created: a name that appears
// meanwhile is passed over.
tstring createTempDirectory(const tstring& prefix, const tstring& suffix, const tstring& directory);
namespace detail {
// The work of createTempFile after its checks, with the first number given: the first of the 100
// names prefix + n + suffix, n counting up from `firstNumber` modulo 2^32, that could be created
// as a new file in `directory`; empty when none could. Tests choose the number here that
// createTempFile draws at random.
tstring createFirstFreeFile(const tstring& directory, const tstring& prefix, const tstring& suffix,
                            std::uint32_t firstNumber);
}  // namespace detail

// A new file at `path`, or beside it with a number before the suffix when `path` is taken.
tstring createUniqueFile(const tstring& path);
// The system's temporary directory without trailing separators; empty if it cannot be read.
tstring getTempDirectory();
// The same, but a directory that cannot be read is an error: for callers whose files must go
// there or nowhere, not into the current directory.
tstring requireTempDirectory();

// Writes a file under a temporary name ("rvn" + number + ".tmp") beside the destination and
// moves it over the destination only in finalize(), after every byte was written and the file
// closed. Until then the destination is untouched; a writer destroyed without a successful
// finalize() deletes its temporary file. While it is written, other processes may read the
// temporary file but neither write, rename nor delete it.
class StagedFileWriter {
public:
    explicit StagedFileWriter(const tstring& destination);
    StagedFileWriter(const StagedFileWriter&) = delete;
    StagedFileWriter& operator=(const StagedFileWriter&) = delete;

    // Written in pieces, each told to `pieceDone`.
    StagedFileWriter& write(const void* data, std::size_t size, const PieceDone& pieceDone = nullptr);
    // Writes again over `size` bytes at `offset` of what was already written: for a header whose
    // content is known only once everything after it is written.
    StagedFileWriter& writeAt(std::uint64_t offset, const void* data, std::size_t size);
    // Closes the temporary file without moving it, so that it can be opened and checked before
    // finalize() publishes it; nothing more can be written.
    void close();
    const tstring& temporaryPath() const { return tempPath_; }
    // Moves the complete file over the destination; with `failIfExists` an existing destination
    // is an error and stays as it was.
    void finalize(bool failIfExists = false);

private:
    void closeFile();

    tstring tempPath_;
    DeferredDeleter deleter_;
    // Declared after the deleter: the file is closed before the deleter removes it.
    UniqueHandle file_;
    tstring destination_;
    bool incomplete_ = false;
    bool finalizeCalled_ = false;
};

// The one way a whole file is written from memory: `size` bytes at `data` go to `path` through a
// StagedFileWriter, and an existing `path` is replaced or, with Existing::Kept, is an error and
// stays as it was. `checkAndHold`, when given, is called with the complete temporary file, closed,
// before it takes its name: it checks the file (throwing keeps it from being named) and returns
// the handle lockFileContent(..., renamable) gave it, through which the file is then named, so
// that nobody can change it between the check and the name. It goes with Existing::Kept.
enum class Existing { Replaced, Kept };

// Gives the file that `held` holds (a handle with DELETE access, such as lockFileContent's with
// `renamable`) the name `to`, through the handle itself, so that what was checked is what gets the
// name; an existing `to` is replaced or, with Existing::Kept, is an error and stays as it was.
void renameHeldFile(HANDLE held, const tstring& from, const tstring& to, Existing existing = Existing::Kept);

void writeStagedFile(const tstring& path, const void* data, std::size_t size, Existing existing,
                     const std::function<UniqueHandle(const tstring& temporaryPath)>& checkAndHold = nullptr,
                     const PieceDone& pieceDone = nullptr);

}  // namespace FileUtils
