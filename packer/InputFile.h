// A file lodestar-pack reads (the package, the files beside it, the icon): open for reading and
// closed to writers for as long as the packer works on it, so that what is checked is what is
// carried. InputFile.cpp holds what both platforms do alike; the opening and the reading are the
// platform's (posix/InputFilePosix.cpp, windows/InputFileWin.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "ByteSource.h"
#include "tstrings.h"

// A file that cannot be opened for reading. The message says why ("there is no file at X", "X is
// a directory", "X is a link", "X cannot be opened: ..."), for callers to put into context.
class InputFileError : public std::runtime_error {
public:
    enum class Reason { Unreadable, Missing, Link };
    InputFileError(const std::string& message, Reason reason, const tstring& path)
        : std::runtime_error(message), reason_(reason), path_(path) {}
    // Nothing is at the path (or a directory on the way to it is not).
    bool missing() const noexcept { return reason_ == Reason::Missing; }
    // The file asked for: as far as it was found on disk, and as written from there on.
    const tstring& path() const noexcept { return path_; }
    // The file, or a folder on the way to it, is a link that was not to be followed.
    bool link() const noexcept { return reason_ == Reason::Link; }

private:
    Reason reason_;
    tstring path_;
};

class InputFile : public ByteSource {
public:
    // Throws InputFileError (located).
    explicit InputFile(const tstring& path);
    ~InputFile() override;
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const tstring& path() const override { return path_; }
    // As it was when the file was opened; on Windows it cannot change while it is open.
    std::uint64_t size() const override { return size_; }

    std::size_t read(void* buffer, std::size_t size) override;
    void seek(std::uint64_t offset) override;
    // Back to the first byte.
    void rewind() { seek(0); }

    // What the platform holds open, known to the platform's files alone: for its code that reads
    // the file by other means.
    struct Native;
    const Native& native() const { return *native_; }

private:
    friend class FilesBelow;

    // Frees what the platform holds, where Native is known.
    struct NativeRelease {
        void operator()(Native* native) const noexcept;
    };
    using NativeOwner = std::unique_ptr<Native, NativeRelease>;

    InputFile(const tstring& path, NativeOwner native);
    // The platform's open of `path`; throws InputFileError (located).
    static NativeOwner openNative(const tstring& path);
    // Takes the size of what was opened; refuses anything but a regular file.
    void adopt();
    // One read of the platform's: some of `size` bytes, none only at the end.
    std::size_t readSome(void* buffer, std::size_t size);

    tstring path_;
    std::uint64_t size_ = 0;
    NativeOwner native_;
};

// The files below one folder, as a package's tables name them: Windows names ('\\' between
// components, any case), found on disk as Windows would find them. The folder itself resolves as
// usual, but below it no link is followed unless `followLinks` says so, so that a tree somebody
// else can write cannot make the packer read what lies outside it. Every folder on the way to a
// file is opened, without following a link, from the folder above it, which is held open
// meanwhile (InputFilePosix.cpp, InputFileWin.cpp).
class FilesBelow {
public:
    // Throws InputFileError (located) when `directory` cannot be opened.
    FilesBelow(const tstring& directory, bool followLinks);
    ~FilesBelow();
    FilesBelow(const FilesBelow&) = delete;
    FilesBelow& operator=(const FilesBelow&) = delete;

    // The file `name` names below the folder, open. Throws InputFileError (located): missing, a
    // link, or unreadable; and host::AmbiguousName (located) where two entries of one folder
    // differ only in case and so are one name for Windows.
    InputFile open(const tstring& name);

private:
    struct Native;
    std::unique_ptr<Native> native_;
};
