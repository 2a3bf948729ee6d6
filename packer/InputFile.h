// A file lodestar-pack reads (the package, the files beside it, the icon): open for reading and
// closed to writers for as long as the packer works on it, so that what is checked is what is
// carried. The system calls behind it are the platform's (InputFileWin.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "ByteSource.h"
#include "tstrings.h"

// A file that cannot be opened for reading. The message says why ("there is no file at X", "X is
// a directory", "X cannot be opened: ..."), for callers to put into context.
class InputFileError : public std::runtime_error {
public:
    InputFileError(const std::string& message, bool missing) : std::runtime_error(message), missing_(missing) {}
    // Nothing is at the path (or a directory on the way to it is not).
    bool missing() const noexcept { return missing_; }

private:
    bool missing_;
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
    // A path that opens this very file again, even when its own path has been renamed or
    // replaced since: on Linux the open descriptor's, on Windows the path itself (an open
    // InputFile can be neither renamed nor replaced there).
    tstring reopenablePath() const;

private:
    struct Native;

    tstring path_;
    std::uint64_t size_ = 0;
    std::unique_ptr<Native> native_;
};
