// The files and directories lodestar-pack --extract writes: what is at a path, directories made
// with their missing parents, files written under a temporary name and moved into place once
// they are whole, and removal for undoing a run that could not finish. The system calls behind it
// are the platform's (OutputFilesWin.cpp).
#pragma once

#include <cstddef>
#include <memory>

#include "tstrings.h"

namespace output {

enum class Occupant { Nothing, File, Directory };
Occupant occupantOf(const tstring& path);

// Makes `path` and its missing parents; returns the directories it made, outermost first.
tstring_array makeDirectories(const tstring& path);

// Never raise: they undo what a failed run made, on the way out of the failure. What is already
// gone counts as removed.
void removeFile(const tstring& path) noexcept;
void removeEmptyDirectory(const tstring& path) noexcept;

// A file written under a temporary name beside its destination, which it replaces only in
// publish(); destroyed before that, it removes its temporary file and leaves the destination as
// it was.
class StagedFile {
public:
    explicit StagedFile(const tstring& destination);
    ~StagedFile();
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&& other) noexcept;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    void write(const void* data, std::size_t size);
    // Closes the temporary file, so that what it holds can be read back before it is published.
    void close();
    const tstring& temporaryPath() const;
    // Moves the file to its destination; without `replace`, an existing destination is an error
    // and stays as it was.
    void publish(bool replace);

private:
    struct Native;
    std::unique_ptr<Native> native_;
};

}  // namespace output
