// What a run made on disk (the files it named, the directories it created), removed again unless
// the run finishes: files first, then directories, deepest first, so that each is empty by the
// time it goes. Whoever creates something records it the moment it exists; a step that fails
// half-way leaves nothing behind the user did not have before.
//
//     MadeByThisRun made(removeFile, removeEmptyDirectory);
//     made.addDirectories(createdLevels);
//     ...                       // anything here that throws removes them
//     made.keep();              // finished: everything stays
//
// Portable: the platform's removal is given, as functions that never throw and leave what they
// cannot remove (a file somebody else holds open, a directory somebody filled meanwhile).
#pragma once

#include "tstrings.h"

class MadeByThisRun {
public:
    using Remove = void (*)(const tstring& path) noexcept;

    MadeByThisRun(Remove removeFile, Remove removeEmptyDirectory)
        : removeFile_(removeFile), removeEmptyDirectory_(removeEmptyDirectory) {}
    ~MadeByThisRun() { undo(); }
    MadeByThisRun(const MadeByThisRun&) = delete;
    MadeByThisRun& operator=(const MadeByThisRun&) = delete;

    void addFile(const tstring& path) { files_.push_back(path); }
    // Directories in the order they were made, each below one made before it or below a
    // directory that was there already.
    void addDirectories(const tstring_array& made) { directories_.insert(directories_.end(), made.begin(), made.end()); }
    // The run finished: nothing is removed.
    void keep() noexcept {
        files_.clear();
        directories_.clear();
    }

private:
    void undo() noexcept {
        for (const tstring& file : files_) {
            removeFile_(file);
        }
        for (auto directory = directories_.rbegin(); directory != directories_.rend(); ++directory) {
            removeEmptyDirectory_(*directory);
        }
    }

    Remove removeFile_;
    Remove removeEmptyDirectory_;
    tstring_array files_;
    tstring_array directories_;
};
