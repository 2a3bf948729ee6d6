// The launcher lodestar-pack writes: a new file beside its destination that nobody else sees,
// written, read back and synced, then put in place whole; until then the destination is as it
// was. A packer that fails, or is killed, leaves nothing beside it: on Windows the file carries a
// delete disposition until it is renamed into place (OutputFileWin.cpp); on Linux it has no name
// until it is linked into place (O_TMPFILE), or, where the file system refuses unnamed files, a
// name of its own that a failing packer removes (OutputFilePosix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ByteSource.h"
#include "StubImage.h"
#include "tstrings.h"

class OutputFile : public ImageOutput {
public:
    // Starts the file beside `destination`, whose directory must exist.
    explicit OutputFile(const tstring& destination);
    // An unpublished file goes.
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const void* data, std::size_t size) override;
    void writeAt(std::uint64_t offset, const void* data, std::size_t size) override;
    std::uint64_t size() const { return size_; }

    // What was written, read back through the file itself, never by its name: up to `size` bytes
    // at `offset`, fewer only at the end.
    std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t size) const;

    // The same as a ByteSource, named by the destination, for what reads launchers as data.
    class Reader : public ByteSource {
    public:
        explicit Reader(const OutputFile& file) : file_(file) {}
        const tstring& path() const override { return file_.destination(); }
        std::uint64_t size() const override { return file_.size(); }
        std::size_t read(void* buffer, std::size_t size) override {
            const std::size_t read = file_.readAt(position_, buffer, size);
            position_ += read;
            return read;
        }
        void seek(std::uint64_t offset) override { position_ = offset; }

    private:
        const OutputFile& file_;
        std::uint64_t position_ = 0;
    };

    // Starts making what was written durable while the caller goes on (reading it back); nothing
    // is written after it. publish() waits for it and reports its failure. On Windows publish()
    // does it all.
    void startSync();

    // Makes the file durable and puts it at the destination. An existing destination is replaced
    // only with `replace`; otherwise it is an error and stays as it was.
    void publish(bool replace);

    const tstring& destination() const { return destination_; }

private:
    struct Native;

    tstring destination_;
    std::uint64_t size_ = 0;
    std::unique_ptr<Native> native_;
};
