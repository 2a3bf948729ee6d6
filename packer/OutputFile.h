// What lodestar-pack writes (a launcher, or the files --extract writes out): a new file beside its
// destination that nobody else sees, written, read back and synced, then put in place whole; until
// then the destination is as it was. A packer that fails, or is killed, leaves nothing beside it:
// on Windows the file carries a delete disposition until it is renamed into place
// (OutputFileWin.cpp); on Linux it has no name until it is linked into place (O_TMPFILE), or,
// where the file system refuses unnamed files, a name of its own that a failing packer removes
// (OutputFilePosix.cpp); a packer killed there leaves that ".partial" file behind.
//
// Files are made in an OutputFolder, held open from the moment it was found or made: what is made
// below it is made there, never through a link somebody put in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ByteSink.h"
#include "ByteSource.h"
#include "tstrings.h"

class OutputFolder {
public:
    // `path` as given, which resolves as usual (it may be a link); made with its missing parents,
    // each appended to `made` as it is made, outermost first.
    OutputFolder(const tstring& path, tstring_array& made);
    ~OutputFolder();
    OutputFolder(OutputFolder&& other) noexcept;
    OutputFolder& operator=(OutputFolder&& other) noexcept;
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    const tstring& path() const { return path_; }
    // The path of `name` in it, for messages.
    tstring pathOf(const tstring& name) const;

    // The folder `name` (one component) in it, made when missing and then appended to `made`.
    // A link there is refused, as FileUtils::linkBelowTargetRefusal says, and so is a file.
    OutputFolder child(const tstring& name, tstring_array& made) const;

    // What is at `name` in it, looked at without following a link.
    enum class Entry { None, File, Folder, Link };
    Entry entry(const tstring& name) const;

    struct Native;
    const Native& native() const { return *native_; }

private:
    OutputFolder(const tstring& path, std::unique_ptr<Native> native);

    tstring path_;
    std::unique_ptr<Native> native_;
};

class OutputFile : public ByteSink {
public:
    // Starts the file `name` in `folder`, which must outlive it. Without `replace`, an existing
    // file at the name is never replaced: where the file system cannot publish a file without
    // replacing whatever appeared at its name meanwhile, that is found out here, before a byte is
    // written, and refused.
    OutputFile(const OutputFolder& folder, const tstring& name, bool replace);
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

    // Makes the file durable and puts it at its name. An existing file there is replaced only
    // when the file was started with `replace`; otherwise it is an error and stays as it was.
    // Nothing is published before every byte written has reached the disk.
    void publish();

    const tstring& destination() const { return destination_; }

private:
    struct Native;

    tstring destination_;
    std::uint64_t size_ = 0;
    std::unique_ptr<Native> native_;
};
