#include "WinFileUtils.h"

#include <direct.h>
#include <ntsecapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <exception>
#include <memory>
#include <vector>

#include "ContentHash.h"
#include "ErrorHandling.h"
#include "Log.h"
#include "ScopeExit.h"
#include "WinApi.h"
#include "WinDll.h"

namespace FileUtils {
namespace {

// Units in the longest path Windows accepts (\\?\ form), with the terminating zero.
constexpr size_t kLongestPath = 32768;

// The C runtime allocates the text of _wgetcwd with malloc.
struct CrtFree {
    void operator()(wchar_t* text) const { std::free(text); }
};
using CrtText = std::unique_ptr<wchar_t, CrtFree>;

}  // namespace

tstring stripSuffix(const tstring& path) {
    const size_t dot = path.rfind(L'.');
    const size_t separator = path.find_last_of(kDirSeparators);
    if (dot == tstring::npos || (separator != tstring::npos && separator > dot)) {
        return path;
    }
    return path.substr(0, dot);
}

tstring toAbsolutePath(const tstring& path) {
    if (path.empty()) {
        const CrtText currentDirectory(_wgetcwd(nullptr, 0));
        if (!currentDirectory) {
            LD_THROW("_tgetcwd() failed");
        }
        if (*currentDirectory == L'\0') {
            LD_THROW("_tgetcwd() returned empty string");
        }
        return tstring(currentDirectory.get());
    }
    // Given no buffer, the C runtime allocates MAX_PATH units and fails for anything longer, such
    // as an executable in a deep directory; the caller's buffer may be as long as Windows allows.
    std::vector<wchar_t> fullPath(kLongestPath);
    if (_wfullpath(fullPath.data(), path.c_str(), fullPath.size()) == nullptr) {
        LD_THROW(tstrings::MessageBuilder() << "_tfullpath(" << path << ") failed");
    }
    return tstring(fullPath.data());
}

namespace {

bool isGone(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool hasAttribute(const tstring& path, DWORD attribute) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & attribute) != 0;
}

// The directory at `path` itself, never what a link there points to, opened for listing. Without
// delete sharing nobody else can rename or delete it while the handle is open. (Share modes count
// only for handles with data or delete access; listing is data access for a directory.)
UniqueHandle openDirectoryItself(const tstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// One level; an existing directory is accepted unless security attributes were asked for.
void createDir(const tstring& path, LPSECURITY_ATTRIBUTES securityAttributes, tstring_array* created) {
    if (CreateDirectoryW(path.c_str(), securityAttributes)) {
        LOG_TRACE("Created [" << path << "] directory");
        if (created != nullptr) {
            created->push_back(removeTrailingSeparators(path));
        }
        return;
    }
    const DWORD error = GetLastError();
    if (securityAttributes == nullptr && isDirectory(path)) {
        return;
    }
    LD_THROW_SYSTEM_ERROR(CreateDirectoryW, error, "CreateDirectory(" << path << ") failed");
}

void moveFileImpl(const tstring& from, const tstring& to, DWORD flags) {
    const bool isFolder = isDirectory(from);
    LD_THROW_LAST_ERROR_IF(!MoveFileExW(from.c_str(), to.empty() ? nullptr : to.c_str(), flags), MoveFileExW,
                           "MoveFileEx(" << from << ", " << to << ", " << flags << ") failed");
    LOG_TRACE("Moved '" << from << "' " << (isFolder ? "folder" : "file") << " to '" << to << "'");
}

// Leaves the platform's last-error value for the caller when it returns false.
bool deleteFileImpl(const std::nothrow_t&, const tstring& path) {
    if (DeleteFileW(path.c_str())) {
        LOG_TRACE("Deleted [" << path << "] file");
        return true;
    }
    return isGone(GetLastError());
}

}  // namespace

bool pathExists(const tstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isDirectory(const tstring& path) {
    return hasAttribute(path, FILE_ATTRIBUTE_DIRECTORY);
}

bool isDirectoryNotEmpty(const tstring& path) {
    return isDirectory(path) && !LD_SYSTEM_FUNCTION(shlwapi, PathIsDirectoryEmptyW)(path.c_str());
}

namespace {

// The end of the component at `start`: the next separator, or the end of `path`.
std::size_t componentEnd(const tstring& path, std::size_t start) {
    std::size_t end = start;
    while (end < path.size() && !isDirSeparator(path[end])) {
        ++end;
    }
    return end;
}

// How much of `path` names where its folders start, which is not made but must exist: a drive
// ("C:\"), a share ("\\server\share\", "\\?\UNC\server\share\"), a volume
// ("\\?\Volume{...}\", "\\?\C:\"), the current drive's root ("\"); nothing for a relative path.
std::size_t rootLength(const tstring& path) {
    const auto separatorAt = [&](std::size_t i) { return i < path.size() && isDirSeparator(path[i]); };
    if (separatorAt(0) && separatorAt(1)) {
        std::size_t start = 2;
        if (path.size() > 3 && (path[2] == L'?' || path[2] == L'.') && separatorAt(3)) {
            start = 4;  // \\?\ or \\.\: what follows is a drive, a volume, or UNC\server\share
            const std::size_t first = componentEnd(path, start);
            if (tstrings::toLower(path.substr(start, first - start)) != L"unc") {
                return std::min(first + 1, path.size());
            }
            start = first + 1;
        }
        const std::size_t server = componentEnd(path, start);
        const std::size_t share = componentEnd(path, std::min(server + 1, path.size()));
        return std::min(share + 1, path.size());
    }
    if (path.size() >= 2 && path[1] == L':') {
        return separatorAt(2) ? 3 : 2;
    }
    return separatorAt(0) ? 1 : 0;
}

}  // namespace

void createDirectory(const tstring& path, tstring_array* created) {
    // Every prefix that ends at a separator after the root is one level.
    const tstring levels = removeTrailingSeparators(path) + L'\\';
    for (size_t pos = rootLength(levels); pos < levels.size(); ++pos) {
        if (isDirSeparator(levels[pos])) {
            createDir(levels.substr(0, pos + 1), nullptr, created);
        }
    }
}

void copyFile(const tstring& from, const tstring& to, bool failIfExists) {
    createDirectory(dirname(to));
    LD_THROW_LAST_ERROR_IF(!CopyFileW(from.c_str(), to.c_str(), failIfExists), CopyFileW,
                           "CopyFile(" << from << ", " << to << ", " << (failIfExists ? 1 : 0) << ") failed");
    LOG_TRACE("Copied [" << from << "] file to [" << to << "]");
}

void moveFile(const tstring& from, const tstring& to, bool failIfExists) {
    createDirectory(dirname(to));
    const DWORD flags = MOVEFILE_COPY_ALLOWED | (failIfExists ? 0 : MOVEFILE_REPLACE_EXISTING);
    moveFileImpl(from, to, flags);
}

bool deleteFile(const tstring& path, const std::nothrow_t&) {
    bool deleted = deleteFileImpl(std::nothrow, path);
    const DWORD error = GetLastError();
    if (!deleted && error == ERROR_ACCESS_DENIED) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        SetLastError(error);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return false;
        }
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            if (SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
                LOG_TRACE("Discarded R/O attribute from [" << path << "] file");
                deleted = deleteFileImpl(std::nothrow, path);
            } else {
                const DWORD attributesError = GetLastError();
                LOG_WARNING(makeMessage((tstrings::MessageBuilder() << "Failed to discard R/O attribute from [" << path
                                                                    << "] file. File will not be deleted")
                                            .str(),
                                        "System error", ::apiAddress(&SetFileAttributesW), attributesError));
                SetLastError(error);
            }
        }
    }
    return deleted || isGone(GetLastError());
}

void deleteFile(const tstring& path) {
    LD_THROW_LAST_ERROR_IF(!deleteFile(path, std::nothrow), DeleteFileW, "DeleteFile(" << path << ") failed");
}

bool deleteDirectory(const tstring& path, const std::nothrow_t&) {
    if (RemoveDirectoryW(path.c_str())) {
        LOG_TRACE("Deleted [" << path << "] directory");
        return true;
    }
    return isGone(GetLastError());
}

void deleteDirectory(const tstring& path) {
    LD_THROW_LAST_ERROR_IF(!deleteDirectory(path, std::nothrow), RemoveDirectoryW,
                           "RemoveDirectory(" << path << ") failed");
}

namespace {

bool isDotOrDotDot(const wchar_t* name) {
    return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0;
}

}  // namespace

void iterateDirectory(const tstring& directory, DirectoryCallback& callback) {
    WIN32_FIND_DATAW entry;
    const FindHandle search(FindFirstFileW(combinePath(directory, L"*").c_str(), &entry));
    if (!search) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return;
        }
        LD_THROW_SYSTEM_ERROR(FindFirstFileW, error, "FindFirstFile(" << directory << ") failed");
    }
    for (;;) {
        bool goOn = true;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            goOn = callback.onFile(combinePath(directory, entry.cFileName));
        } else if (!isDotOrDotDot(entry.cFileName)) {
            goOn = callback.onDirectory(combinePath(directory, entry.cFileName));
        }
        if (!goOn) {
            return;
        }
        if (!FindNextFileW(search.get(), &entry)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_FILES) {
                return;
            }
            LD_THROW_SYSTEM_ERROR(FindNextFileW, error, "FindNextFile(" << directory << ") failed");
        }
    }
}

bool DirectoryIterator::onFile(const tstring& path) {
    if (withFiles_) {
        items_.push_back(path);
    }
    return true;
}

bool DirectoryIterator::onDirectory(const tstring& path) {
    if (withDirs_) {
        items_.push_back(path);
    }
    if (recurse_) {
        // The subdirectory's contents go into this list, right after the subdirectory itself.
        DirectoryIterator(path).recurse(recurse_).withFiles(withFiles_).withDirs(withDirs_).findItems(items_);
    }
    return true;
}

DirectoryIterator& DirectoryIterator::findItems(tstring_array& list) {
    if (!isDirectory(root_)) {
        return *this;
    }
    iterateDirectory(root_, *this);
    list.insert(list.end(), items_.begin(), items_.end());
    items_.clear();
    return *this;
}

namespace {

class DeleteFilesCallback : public DirectoryCallback {
public:
    explicit DeleteFilesCallback(bool throwing) : throwing_(throwing) {}

    bool onFile(const tstring& path) override {
        if (throwing_) {
            deleteFile(path);
        } else if (!deleteFile(path, std::nothrow)) {
            failed_ = true;
        }
        return true;  // one failure does not keep the other files
    }

    bool failed() const { return failed_; }

protected:
    const bool throwing_;
    bool failed_ = false;
};

class DeleteAllCallback : public DeleteFilesCallback {
public:
    explicit DeleteAllCallback(bool throwing) : DeleteFilesCallback(throwing) {}

    // A link among the entries is handled by deleteDirectoryRecursive itself: it goes, unfollowed.
    bool onDirectory(const tstring& path) override {
        if (throwing_) {
            deleteDirectoryRecursive(path);
        } else if (!deleteDirectoryRecursive(path, std::nothrow)) {
            failed_ = true;
        }
        return true;
    }
};

// A directory about to be emptied, held open so that it cannot be renamed away and replaced by a
// link meanwhile, or found to be a link (junction, symbolic link) itself. A link may lead
// anywhere, to another user's files or, for an elevated caller, to the system's: it is never
// entered.
class DirectoryToEmpty {
public:
    explicit DirectoryToEmpty(const tstring& path) : link_(hasAttribute(path, FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (link_) {
            return;
        }
        // The handle is the proof: what was opened is what gets emptied. A path that cannot be
        // opened this way is emptied unheld, and fails there if it is no directory.
        handle_ = openDirectoryItself(path);
        BY_HANDLE_FILE_INFORMATION info{};
        if (handle_ && GetFileInformationByHandle(handle_.get(), &info)) {
            link_ = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        }
    }

    bool isLink() const { return link_; }
    // Lets go of the directory so that it can be removed.
    void release() { handle_.reset(); }

private:
    bool link_;
    UniqueHandle handle_;
};

// The engine of deleteFiles (the files in one directory) and deleteDirectoryRecursive (a tree).
class BatchDeleter {
public:
    explicit BatchDeleter(const tstring& directory) : directory_(directory) {}

    BatchDeleter& recurse(bool value) {
        recurse_ = value;
        return *this;
    }

    void execute() const {
        if (!pathExists(directory_)) {
            return;
        }
        if (!recurse_) {
            run(true);
            return;
        }
        DirectoryToEmpty target(directory_);
        if (!target.isLink()) {
            run(true);
        }
        target.release();
        deleteDirectory(directory_);
    }

    bool execute(const std::nothrow_t&) const {
        if (!pathExists(directory_)) {
            return true;
        }
        if (!isDirectory(directory_)) {
            return false;
        }
        try {
            if (!recurse_) {
                return run(false);
            }
            DirectoryToEmpty target(directory_);
            if (!target.isLink() && !run(false)) {
                return false;
            }
            target.release();
            return deleteDirectory(directory_, std::nothrow);
        }
        LD_CATCH_AND_LOG(std::exception)
        return false;
    }

private:
    // True when everything was deleted.
    bool run(bool throwing) const {
        std::unique_ptr<DeleteFilesCallback> callback;
        if (recurse_) {
            callback = std::make_unique<DeleteAllCallback>(throwing);
        } else {
            callback = std::make_unique<DeleteFilesCallback>(throwing);
        }
        iterateDirectory(directory_, *callback);
        return !callback->failed();
    }

    tstring directory_;
    bool recurse_ = false;
};

}  // namespace

void deleteFiles(const tstring& directory) {
    BatchDeleter(directory).execute();
}

bool deleteFiles(const tstring& directory, const std::nothrow_t&) {
    return BatchDeleter(directory).execute(std::nothrow);
}

void deleteDirectoryRecursive(const tstring& directory) {
    BatchDeleter(directory).recurse(true).execute();
}

bool deleteDirectoryRecursive(const tstring& directory, const std::nothrow_t&) {
    return BatchDeleter(directory).recurse(true).execute(std::nothrow);
}

namespace {

constexpr int kDeletionRetries = 20;
constexpr DWORD kDeletionRetryDelayMs = 100;

}  // namespace

DeferredDeleter& DeferredDeleter::append(const tstring& path, Kind kind) {
    entries_.push_back(Entry{path, kind});
    return *this;
}

DeferredDeleter& DeferredDeleter::appendFile(const tstring& path) {
    return append(path, File);
}

DeferredDeleter& DeferredDeleter::appendAllFiles(const tstring& directory) {
    return append(directory, AllFiles);
}

DeferredDeleter& DeferredDeleter::appendRecursiveDirectory(const tstring& directory) {
    return append(directory, RecursiveDirectory);
}

DeferredDeleter& DeferredDeleter::appendEmptyDirectory(const tstring& directory) {
    return append(directory, EmptyDirectory);
}

namespace {

// Names only: walking up from base\relative must end at base, never above it or elsewhere.
bool isPlainRelativePath(const tstring& relative) {
    if (relative.find(L':') != tstring::npos) {
        return false;
    }
    for (const tstring& component : tstrings::split(tstrings::replace(relative, L"/", L"\\"), L"\\")) {
        if (component == L"." || component == L"..") {
            return false;
        }
    }
    return true;
}

}  // namespace

DeferredDeleter& DeferredDeleter::appendEmptyDirectories(const tstring& base, const tstring& relative) {
    if (!isPlainRelativePath(relative)) {
        LD_THROW(tstrings::MessageBuilder() << "appendEmptyDirectories(" << base << ", " << relative
                                            << ") needs a relative path made of names only");
    }
    tstring directory = normalizePath(removeTrailingSeparators(combinePath(base, relative)));
    const tstring stop = normalizePath(removeTrailingSeparators(base));
    while (directory != stop) {
        append(directory, EmptyDirectory);
        const tstring parent = dirname(directory);
        if (parent == directory) {
            break;
        }
        directory = parent;
    }
    return *this;
}

bool DeferredDeleter::deleteEntry(const Entry& entry) {
    switch (entry.kind) {
        case File:
            return deleteFile(entry.path, std::nothrow);
        case AllFiles:
            return deleteFiles(entry.path, std::nothrow);
        case RecursiveDirectory:
            return deleteDirectoryRecursive(entry.path, std::nothrow);
        default:
            return deleteDirectory(entry.path, std::nothrow);
    }
}

void DeferredDeleter::execute() noexcept {
    std::vector<Entry> entries;
    entries.swap(entries_);
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.kind < b.kind; });
    // Another program may hold a file for a moment (a scanner, an indexer, a neighbour that is
    // still copying): what could not go is tried again, in order, for a short while before it is
    // left behind.
    for (int attempt = 0; !entries.empty(); ++attempt) {
        if (attempt > 0) {
            if (attempt > kDeletionRetries) {
                break;
            }
            Sleep(kDeletionRetryDelayMs);
        }
        std::vector<Entry> left;
        for (const Entry& entry : entries) {
            // Whatever one entry does, the others are still deleted.
            try {
                if (deleteEntry(entry)) {
                    continue;
                }
            }
            LD_CATCH_AND_LOG(std::exception)
            left.push_back(entry);
        }
        entries.swap(left);
    }
}

namespace {

constexpr std::uint32_t kTempNameAttempts = 100;

// Control characters and everything Windows forbids in a file name, path separators included.
tstring forbiddenNameCharacters() {
    tstring forbidden;
    for (wchar_t c = 0; c < 0x20; ++c) {
        forbidden.push_back(c);
    }
    return forbidden + L"<>:\"|?*/\\";
}

// CREATE_NEW fails when anything exists under the name: the reservation is exclusive, and the
// handle that made the file is the one returned, never a second one opened later.
UniqueHandle createNewFile(const tstring& path, DWORD access, DWORD shareMode) {
    UniqueHandle file(
        CreateFileW(path.c_str(), access, shareMode, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        LOG_TRACE("Created [" << path << "] file");
    }
    return file;
}

bool createNewFile(const tstring& path) {
    return static_cast<bool>(createNewFile(path, GENERIC_WRITE, 0));
}

struct CreatedFile {
    tstring path;  // empty when no file was created
    UniqueHandle handle;
};

CreatedFile createFirstFree(const tstring& directory, const tstring& prefix, const tstring& suffix,
                            std::uint32_t firstNumber, DWORD access, DWORD shareMode) {
    for (std::uint32_t attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        const std::uint32_t number = firstNumber + attempt;  // wraps past 4294967295 to 0
        const tstring candidate =
            PathBuilder() << directory
                          << prefix + tstrings::detail::decimal(static_cast<unsigned long long>(number)) + suffix;
        UniqueHandle file = createNewFile(candidate, access, shareMode);
        if (file) {
            return CreatedFile{candidate, std::move(file)};
        }
    }
    return CreatedFile{};
}

// Where names are counted from. Anybody can see the tick count; with it as the start, another
// process could take the next hundred thousand names ahead and block every caller.
std::uint32_t unpredictableNumber() {
    std::uint32_t number = 0;
    if (!LD_SYSTEM_FUNCTION(advapi32, SystemFunction036)(&number, sizeof(number))) {  // RtlGenRandom
        LD_THROW("RtlGenRandom() failed");
    }
    return number;
}

// True when this call made the directory; false when the name is taken by anything.
bool createNewDirectory(const tstring& path) {
    const tstring directory = removeTrailingSeparators(path) + L'\\';
    if (CreateDirectoryW(directory.c_str(), nullptr)) {
        LOG_TRACE("Created [" << directory << "] directory");
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        LOG_WARNING("[" << path << "] was taken between reserving the name and creating the directory");
        return false;
    }
    LD_THROW_SYSTEM_ERROR(CreateDirectoryW, error, "CreateDirectory(" << directory << ") failed");
}

}  // namespace

namespace detail {

tstring createFirstFreeFile(const tstring& directory, const tstring& prefix, const tstring& suffix,
                            std::uint32_t firstNumber) {
    return createFirstFree(directory, prefix, suffix, firstNumber, GENERIC_WRITE, 0).path;
}

}  // namespace detail

tstring createTempFile(const tstring& prefix, const tstring& suffix, const tstring& directory) {
    const tstring forbidden = forbiddenNameCharacters();
    if (prefix.find_first_of(forbidden) != tstring::npos) {
        LD_THROW(tstrings::MessageBuilder() << "Illegal characters in prefix=" << prefix);
    }
    if (suffix.find_first_of(forbidden) != tstring::npos) {
        LD_THROW(tstrings::MessageBuilder() << "Illegal characters in suffix=" << suffix);
    }

    const tstring path = detail::createFirstFreeFile(directory, prefix, suffix, unpredictableNumber());
    if (path.empty()) {
        LD_THROW(tstrings::MessageBuilder()
                 << "createTempFile(" << prefix << ", " << suffix << ", " << directory << ") failed");
    }
    return path;
}

tstring createTempDirectory(const tstring& prefix, const tstring& suffix, const tstring& directory) {
    // The name is reserved as a file, which is then replaced by the directory. Whatever takes the
    // name in between is not ours: someone could have prepared its contents (say, the package an
    // elevated installer is about to run), so that name is given up and a new one reserved.
    for (std::uint32_t attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        const tstring path = createTempFile(prefix, suffix, directory);
        deleteFile(path);
        if (createNewDirectory(path)) {
            return path;
        }
    }
    LD_THROW(tstrings::MessageBuilder() << "createTempDirectory(" << prefix << ", " << suffix << ", " << directory
                                        << ") failed");
}

tstring createUniqueFile(const tstring& path) {
    if (createNewFile(path)) {
        return path;
    }
    const tstring stem = replaceSuffix(basename(path), tstring());
    return createTempFile(stem, suffix(path), dirname(path));
}

namespace {

struct TempPathReply {
    tstring path;     // without trailing separators; empty when the call failed
    DWORD error = 0;  // the call's last error when it failed, 0 for an unusable reply
};

TempPathReply queryTempPath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length > buffer.size()) {
        buffer.resize(length);
        length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    TempPathReply reply;
    if (length == 0) {
        reply.error = GetLastError();
    } else if (length < buffer.size()) {
        reply.path = removeTrailingSeparators(tstring(buffer.data(), length));
    }
    return reply;
}

}  // namespace

tstring getTempDirectory() {
    return queryTempPath().path;
}

tstring requireTempDirectory() {
    const TempPathReply reply = queryTempPath();
    if (reply.error != 0) {
        LD_THROW_SYSTEM_ERROR(GetTempPathW, reply.error,
                              "GetTempPath() failed: TMP and TEMP name no usable temporary directory");
    }
    if (reply.path.empty()) {
        LD_THROW("Unexpected reply from GetTempPath(): no temporary directory");
    }
    return reply.path;
}

DirectoryLock::DirectoryLock(const tstring& path) : path_(path) {
    const bool looksLikeLink = hasAttribute(path, FILE_ATTRIBUTE_REPARSE_POINT);
    handle_ = openDirectoryItself(path);
    LD_THROW_LAST_ERROR_IF(!handle_, CreateFileW, "CreateFile(" << path << ") failed");
    BY_HANDLE_FILE_INFORMATION info{};
    LD_THROW_LAST_ERROR_IF(!GetFileInformationByHandle(handle_.get(), &info), GetFileInformationByHandle,
                           "GetFileInformationByHandle(" << path << ") failed");
    const bool link = looksLikeLink || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (link || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        LD_THROW(tstrings::MessageBuilder() << "[" << path << "] is " << (link ? "a link" : "not a directory")
                                            << ", not the directory it should be");
    }
}

namespace {

// Whether the file, read from its current position to its end, holds exactly `size` bytes equal
// to `data`. Read through a small buffer: the comparison costs no more memory for a large file,
// and maps nothing that would count as the process's own. The bytes read go into `hash` too, when
// there is one.
bool holdsExactly(HANDLE file, const tstring& path, const void* data, std::size_t size, ContentHash* hash,
                  const PieceDone& pieceDone) {
    constexpr DWORD kChunk = 256 * 1024;
    std::vector<char> buffer(kChunk);
    const char* expected = static_cast<const char*>(data);
    for (std::size_t compared = 0;;) {
        DWORD read = 0;
        LD_THROW_LAST_ERROR_IF(!ReadFile(file, buffer.data(), kChunk, &read, nullptr), ReadFile,
                               "ReadFile(" << path << ") failed");
        if (read == 0) {
            return compared == size;
        }
        if (read > size - compared) {
            return false;
        }
        // With a hash, compared and hashed in one pass over the piece while it is in the cache.
        const bool same = hash != nullptr ? hash->updateComparing(buffer.data(), expected + compared, read)
                                          : std::memcmp(buffer.data(), expected + compared, read) == 0;
        if (!same) {
            return false;
        }
        compared += read;
        if (pieceDone) {
            pieceDone(read);
        }
    }
}

}  // namespace

UniqueHandle lockFileContent(const tstring& path, const void* data, std::size_t size, std::uint64_t* contentHash,
                             bool renamable, const PieceDone& pieceDone) {
    // Read sharing only: from here on nobody else can open the file to write, rename or delete it.
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | (renamable ? DELETE : 0), FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        // Only this process wrote the file, and it has closed it: whoever holds it open to write
        // it, rename it or delete it is another program, and what it did cannot be known.
        if (error == ERROR_SHARING_VIOLATION) {
            LD_THROW(tstrings::MessageBuilder()
                     << "[" << path << "] was opened by another program after it was written");
        }
        LD_THROW_SYSTEM_ERROR(CreateFileW, error, "CreateFile(" << path << ") failed");
    }
    // Before the handle was open anybody could have written to the file: only the bytes tell.
    ContentHash hash;
    if (!holdsExactly(file.get(), path, data, size, contentHash != nullptr ? &hash : nullptr, pieceDone)) {
        LD_THROW(tstrings::MessageBuilder() << "[" << path << "] was changed by another program after it was written");
    }
    if (contentHash != nullptr) {
        *contentHash = hash.digest();
    }
    return file;
}

namespace {
// Marks the staged file incomplete unless released: whichever call threw, close() and finalize()
// refuse the file from then on.
auto markIncompleteUnlessDone(bool& incomplete) {
    return ld::scopeExit([&incomplete] { incomplete = true; });
}
}  // namespace

StagedFileWriter::StagedFileWriter(const tstring& destination) : destination_(destination) {
    const tstring directory = dirname(destination);
    // Readers are welcome; writers, and whoever would rename the file or put another in its
    // place, are kept out until it is complete.
    CreatedFile temp =
        createFirstFree(directory, L"rvn", L".tmp", unpredictableNumber(), GENERIC_WRITE, FILE_SHARE_READ);
    if (temp.path.empty()) {
        LD_THROW(tstrings::MessageBuilder() << "createTempFile(rvn, .tmp, " << directory << ") failed");
    }
    tempPath_ = temp.path;
    deleter_.appendFile(tempPath_);
    file_ = std::move(temp.handle);
}

StagedFileWriter& StagedFileWriter::write(const void* data, std::size_t size, const PieceDone& pieceDone) {
    auto incompleteOnThrow = markIncompleteUnlessDone(incomplete_);
    // WriteFile may report success for part of the data (a full disk); the rest is written by
    // further calls, and the first one that cannot write reports why. Calls of 256 KiB: with calls
    // of 8 MiB, writing 1 GiB from the launcher's mapped image took twice as long in some runs as
    // in others, and with 256 KiB it did not (bench/README.md). Pieces of 8 MiB are reported: small
    // enough that a progress bar moves and a cancel is heard within a fraction of a second on a
    // slow disk.
    constexpr std::size_t kCallSize = 256 * 1024;
    constexpr std::size_t kPieceSize = 8 * 1024 * 1024;
    const char* next = static_cast<const char*>(data);
    std::size_t unreported = 0;
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min(size, kCallSize));
        DWORD written = 0;
        LD_THROW_LAST_ERROR_IF(!WriteFile(file_.get(), next, chunk, &written, nullptr), WriteFile,
                               "WriteFile(" << tempPath_ << ") failed");
        if (written == 0) {
            LD_THROW(tstrings::MessageBuilder()
                     << "WriteFile(" << tempPath_ << ") wrote none of " << chunk << " bytes");
        }
        next += written;
        size -= written;
        unreported += written;
        if (pieceDone && (unreported >= kPieceSize || size == 0)) {
            pieceDone(unreported);
            unreported = 0;
        }
    }
    incompleteOnThrow.release();
    return *this;
}

StagedFileWriter& StagedFileWriter::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    auto incompleteOnThrow = markIncompleteUnlessDone(incomplete_);
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    LARGE_INTEGER end{};
    LD_THROW_LAST_ERROR_IF(!SetFilePointerEx(file_.get(), LARGE_INTEGER{}, &end, FILE_END) ||
                               !SetFilePointerEx(file_.get(), position, nullptr, FILE_BEGIN),
                           SetFilePointerEx, "SetFilePointerEx(" << tempPath_ << ") failed");
    if (offset + size > static_cast<std::uint64_t>(end.QuadPart)) {
        LD_THROW(tstrings::MessageBuilder() << "writeAt(" << tempPath_ << ", " << offset << ", " << size
                                            << ") goes past the " << end.QuadPart << " bytes written");
    }
    write(data, size);
    LD_THROW_LAST_ERROR_IF(!SetFilePointerEx(file_.get(), end, nullptr, FILE_BEGIN), SetFilePointerEx,
                           "SetFilePointerEx(" << tempPath_ << ") failed");
    incompleteOnThrow.release();
    return *this;
}

void StagedFileWriter::closeFile() {
    auto incompleteOnThrow = markIncompleteUnlessDone(incomplete_);
    // Closed by hand rather than by the owner: a close that fails is a write that may not have
    // reached the disk, and has to be reported.
    LD_THROW_LAST_ERROR_IF(file_ && !CloseHandle(file_.release()), CloseHandle,
                           "CloseHandle(" << tempPath_ << ") failed");
    incompleteOnThrow.release();
}

void StagedFileWriter::close() {
    if (incomplete_) {
        LD_THROW(tstrings::MessageBuilder() << "[" << tempPath_ << "] is incomplete");
    }
    closeFile();
}

void renameHeldFile(HANDLE held, const tstring& from, const tstring& to, Existing existing) {
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = existing == Existing::Replaced ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    to.copy(rename->FileName, to.size());
    LD_THROW_LAST_ERROR_IF(!SetFileInformationByHandle(held, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())),
                           SetFileInformationByHandle, "Renaming " << from << " to " << to << " failed");
    LOG_TRACE("Moved '" << from << "' file to '" << to << "'");
}

void writeStagedFile(const tstring& path, const void* data, std::size_t size, Existing existing,
                     const std::function<UniqueHandle(const tstring& temporaryPath)>& checkAndHold,
                     const PieceDone& pieceDone) {
    StagedFileWriter writer(path);
    writer.write(data, size, pieceDone);
    if (!checkAndHold) {
        writer.finalize(existing == Existing::Kept);
        return;
    }
    writer.close();
    const UniqueHandle held = checkAndHold(writer.temporaryPath());
    // Named through the handle that checked it; the writer then finds its temporary name gone.
    renameHeldFile(held.get(), writer.temporaryPath(), path);
}

void StagedFileWriter::finalize(bool failIfExists) {
    // A caller that caught a failed write, close or move must not publish the file by trying
    // again: only the first finalize() of a complete file may move it.
    if (incomplete_) {
        LD_THROW(tstrings::MessageBuilder()
                 << "[" << tempPath_ << "] is incomplete and does not replace [" << destination_ << "]");
    }
    if (finalizeCalled_) {
        LD_THROW(tstrings::MessageBuilder() << "[" << destination_ << "] was already finalized once");
    }
    finalizeCalled_ = true;
    closeFile();
    moveFile(tempPath_, destination_, failIfExists);
    deleter_.cancel();
}

}  // namespace FileUtils
