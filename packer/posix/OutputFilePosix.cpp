#include "OutputFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <future>
#include <random>
#include <string>
#include <system_error>
#include <utility>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "HostPaths.h"
#include "Log.h"
#include "Posix.h"

namespace {

using posix::Descriptor;
using posix::narrow;

constexpr int kNameAttempts = 100;
constexpr int kFolderFlags = O_RDONLY | O_CLOEXEC | O_DIRECTORY;

// The file systems that keep no unnamed files (vfat, exFAT, overlayfs before Linux 6.6, some
// network file systems) answer O_TMPFILE with one of these. The environment variable is the
// tests' way to take the named path on any file system.
bool namedFileWanted() {
    return std::getenv("LODESTAR_PACK_NAMED_OUTPUT") != nullptr;
}

bool unnamedFilesRefused(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// An unnamed file gets its name through its /proc/self/fd entry; without /proc (a container
// that mounts none) it could never be published, so it is not made.
bool descriptorPathsAvailable() {
    return ::access("/proc/self/fd", X_OK) == 0;
}

std::string partialName(std::random_device& random) {
    return ".lodestar-pack-" + std::to_string(random()) + ".partial";
}

}  // namespace

struct OutputFolder::Native {
    Descriptor fd;
};

OutputFolder::OutputFolder(const tstring& path, std::unique_ptr<Native> native)
    : path_(path), native_(std::move(native)) {}

OutputFolder::OutputFolder(const tstring& path, tstring_array& made)
    : path_(path), native_(std::make_unique<Native>()) {
    FileUtils::createDirectory(path, &made);
    native_->fd = Descriptor(::open(narrow(path).c_str(), kFolderFlags));
    LD_THROW_LAST_ERROR_IF(!native_->fd.valid(), ::open, "open(" << path << ") failed");
}

OutputFolder::~OutputFolder() = default;
OutputFolder::OutputFolder(OutputFolder&& other) noexcept = default;
OutputFolder& OutputFolder::operator=(OutputFolder&& other) noexcept = default;

tstring OutputFolder::pathOf(const tstring& name) const {
    return host::join(path_, name);
}

OutputFolder::Entry OutputFolder::entry(const tstring& name) const {
    struct stat status {};
    if (::fstatat(native_->fd.get(), narrow(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return Entry::None;
    }
    return S_ISLNK(status.st_mode) ? Entry::Link : S_ISDIR(status.st_mode) ? Entry::Folder : Entry::File;
}

OutputFolder OutputFolder::child(const tstring& name, tstring_array& made) const {
    const tstring path = pathOf(name);
    const std::string entryName = narrow(name);
    if (::mkdirat(native_->fd.get(), entryName.c_str(), 0777) == 0) {
        made.push_back(path);
    } else {
        LD_THROW_LAST_ERROR_IF(errno != EEXIST, ::mkdirat, "mkdir(" << path << ") failed");
    }
    auto native = std::make_unique<Native>();
    native->fd = Descriptor(::openat(native_->fd.get(), entryName.c_str(), kFolderFlags | O_NOFOLLOW));
    if (!native->fd.valid()) {
        const int error = errno;
        const Entry found = entry(name);
        if (found == Entry::Link) {
            LD_THROW(FileUtils::linkBelowTargetRefusal(path));
        }
        if (found == Entry::File) {
            LD_THROW(tstrings::MessageBuilder() << path << " is a file, not a folder");
        }
        LD_THROW_SYSTEM_ERROR(::openat, posix::errorCode(error), "open(" << path << ") failed");
    }
    return OutputFolder(path, std::move(native));
}

// Written bytes are handed to the disk in steps of this size while the packer goes on, so that
// the final fsync has little left to wait for and the kernel never holds a whole launcher dirty.
// A file read back after that many bytes also starts its fsync then, in the background.
constexpr std::uint64_t kWritebackStep = 32 * 1024 * 1024;

// How the file gets its name in publish().
enum class Publishing {
    LinkUnnamed,      // an unnamed file, linked in through /proc/self/fd (never replaces)
    LinkNamed,        // a named file, hard-linked in (never replaces), its own name then removed
    RenameNoReplace,  // a named file, renamed in with RENAME_NOREPLACE: vfat, exFAT
    Rename,           // a named file, renamed over whatever is there: only when replacing is wanted
};

struct OutputFile::Native {
    int folder = -1;  // the OutputFolder's, which outlives this file
    std::string name;
    Descriptor fd;
    bool replace = false;
    Publishing publishing = Publishing::LinkUnnamed;
    std::uint64_t writebackStarted = 0;  // bytes from the start handed to the disk
    std::string partial;                 // the file's own name in the folder; empty while it has none
    bool published = false;
    std::future<int> sync;          // the background fsync: 0, or its errno
    bool writtenSinceSync = false;  // bytes the background fsync may have missed

    // The disk's part of the work (most of a large launcher's time) goes on while what was written
    // is read back from the page cache; small files (an extraction may write thousands) are synced
    // by publish() alone.
    void startSyncIfLarge(std::uint64_t size) {
        if (sync.valid() || size < kWritebackStep) {
            return;
        }
        const int descriptor = fd.get();
        try {
            sync = std::async(std::launch::async, [descriptor] { return ::fsync(descriptor) == 0 ? 0 : errno; });
            writtenSinceSync = false;
        } catch (const std::system_error&) {
            // No thread to be had: publish() syncs, as it would have without this head start.
        }
    }

    // 0 once every byte written has reached the disk, or the errno of the fsync that failed.
    int syncAll() {
        if (sync.valid()) {
            const int error = sync.get();
            if (error != 0 || !writtenSinceSync) {
                return error;
            }
        }
        return ::fsync(fd.get()) == 0 ? 0 : errno;
    }

    // An unnamed file in the folder, where the system keeps them and can name them later.
    bool makeUnnamed(const tstring& destination) {
        if (namedFileWanted() || !descriptorPathsAvailable()) {
            return false;
        }
        fd = Descriptor(::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
        LD_THROW_LAST_ERROR_IF(!fd.valid() && !unnamedFilesRefused(errno), ::open,
                               "open(" << destination << ", O_TMPFILE) failed");
        return fd.valid();
    }

    void makeNamed(const tstring& destination, std::random_device& random) {
        for (int attempt = 0; !fd.valid() && attempt < kNameAttempts; ++attempt) {
            partial = partialName(random);
            fd =
                Descriptor(::openat(folder, partial.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0666));
            LD_THROW_LAST_ERROR_IF(!fd.valid() && errno != EEXIST, ::open,
                                   "open(" << destination << ".partial, O_EXCL) failed");
        }
        if (!fd.valid()) {
            LD_THROW(tstrings::MessageBuilder() << "No new file could be made beside " << destination);
        }
    }

    // How a named file can take its name without replacing one that appears there meanwhile,
    // tried on the still empty file: a hard link, else a rename that refuses to replace. Where
    // the file system knows neither (some shared-folder and network mounts), no byte is written.
    void choosePublishing(const tstring& destination, std::random_device& random) {
        const std::string probe = partialName(random);
        if (::linkat(folder, partial.c_str(), folder, probe.c_str(), 0) == 0) {
            ::unlinkat(folder, probe.c_str(), 0);
            publishing = Publishing::LinkNamed;
            return;
        }
        if (::renameat2(folder, partial.c_str(), folder, probe.c_str(), RENAME_NOREPLACE) == 0) {
            partial = probe;
            publishing = Publishing::RenameNoReplace;
            return;
        }
        const int error = errno;
        ::unlinkat(folder, partial.c_str(), 0);
        partial.clear();
        LD_THROW(tstrings::MessageBuilder()
                 << destination
                 << " cannot be written without --force: the file system it goes to can neither link a file nor "
                    "rename one without replacing another ("
                 << posix::errorText(error) << "), so a file that appeared at that name meanwhile would be replaced");
    }
};

OutputFile::OutputFile(const OutputFolder& folder, const tstring& name, bool replace)
    : destination_(folder.pathOf(name)), native_(std::make_unique<Native>()) {
    native_->folder = folder.native().fd.get();
    native_->name = narrow(name);
    native_->replace = replace;
    if (native_->makeUnnamed(destination_)) {
        native_->publishing = Publishing::LinkUnnamed;
        return;
    }
    std::random_device random;
    native_->makeNamed(destination_, random);
    if (replace) {
        native_->publishing = Publishing::Rename;
    } else {
        native_->choosePublishing(destination_, random);
    }
}

OutputFile::~OutputFile() {
    if (native_->sync.valid()) {
        native_->sync.wait();  // it uses the descriptor
    }
    native_->fd.reset();
    if (!native_->published && !native_->partial.empty()) {
        ::unlinkat(native_->folder, native_->partial.c_str(), 0);
    }
}

void OutputFile::write(const void* data, std::size_t size) {
    writeAt(size_, data, size);
}

void OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    const int fd = native_->fd.get();
    native_->writtenSinceSync = true;
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written =
            posix::retryOnInterrupt([&] { return ::pwrite(fd, next, size, static_cast<off_t>(offset)); });
        if (written == 0) {
            errno = ENOSPC;  // nothing written and no error: no room, as far as the caller can tell
        }
        LD_THROW_LAST_ERROR_IF(written <= 0, ::pwrite, "pwrite(" << destination_ << ") failed");
        next += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
        size_ = std::max(size_, offset);
    }
    if (size_ - native_->writebackStarted >= kWritebackStep) {
        // Only a start: the data is not durable until publish() syncs it. A file system that
        // cannot do this just waits for fsync.
        ::sync_file_range(fd, static_cast<off_t>(native_->writebackStarted),
                          static_cast<off_t>(size_ - native_->writebackStarted), SYNC_FILE_RANGE_WRITE);
        native_->writebackStarted = size_;
    }
}

// Reading back is what follows the writing: the time to start the fsync of a large file.
std::size_t OutputFile::readAt(std::uint64_t offset, void* buffer, std::size_t size) const {
    native_->startSyncIfLarge(size_);
    const int fd = native_->fd.get();
    return readUntilFullOrEnd(buffer, size, [&](void* into, std::size_t done, std::size_t left) {
        const ssize_t got =
            posix::retryOnInterrupt([&] { return ::pread(fd, into, left, static_cast<off_t>(offset + done)); });
        LD_THROW_LAST_ERROR_IF(got < 0, ::pread, "pread(" << destination_ << ") failed");
        return static_cast<std::size_t>(got);
    });
}

void OutputFile::publish() {
    Native& file = *native_;
    if (const int syncError = file.syncAll(); syncError != 0) {
        LD_THROW_SYSTEM_ERROR(::fsync, posix::errorCode(syncError), "fsync(" << destination_ << ") failed");
    }
    const char* name = file.name.c_str();
    if (file.publishing == Publishing::LinkUnnamed) {
        // link() never replaces: a replacement is linked under a name of its own first and then
        // renamed over the destination.
        const std::string self = posix::descriptorPath(file.fd.get());
        if (!file.replace) {
            LD_THROW_LAST_ERROR_IF(::linkat(AT_FDCWD, self.c_str(), file.folder, name, AT_SYMLINK_FOLLOW) != 0,
                                   ::linkat, "linkat(" << destination_ << ") failed");
        } else {
            std::random_device random;
            for (int attempt = 0; file.partial.empty(); ++attempt) {
                const std::string partial = partialName(random);
                if (::linkat(AT_FDCWD, self.c_str(), file.folder, partial.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                    file.partial = partial;
                }
                LD_THROW_LAST_ERROR_IF(file.partial.empty() && (errno != EEXIST || attempt >= kNameAttempts), ::linkat,
                                       "linkat(" << destination_ << ".partial) failed");
            }
            file.publishing = Publishing::Rename;
        }
    }
    const char* partial = file.partial.c_str();
    switch (file.publishing) {
        case Publishing::LinkUnnamed:
            break;
        case Publishing::LinkNamed:
            // linkat() fails where the destination exists: it is never replaced unasked.
            LD_THROW_LAST_ERROR_IF(::linkat(file.folder, partial, file.folder, name, 0) != 0, ::linkat,
                                   "link(" << destination_ << ") failed");
            ::unlinkat(file.folder, partial, 0);
            break;
        case Publishing::RenameNoReplace:
            LD_THROW_LAST_ERROR_IF(::renameat2(file.folder, partial, file.folder, name, RENAME_NOREPLACE) != 0,
                                   ::renameat2, "rename(" << destination_ << ", RENAME_NOREPLACE) failed");
            break;
        case Publishing::Rename:
            LD_THROW_LAST_ERROR_IF(::renameat(file.folder, partial, file.folder, name) != 0, ::renameat,
                                   "rename(" << destination_ << ") failed");
            break;
    }
    file.published = true;
    // The new name is durable once its folder is.
    ::fsync(file.folder);
    LOG_TRACE("Created [" << destination_ << "] file");
}
