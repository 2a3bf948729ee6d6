// What a run made on disk (the files it named, the directories it created), removed again unless
// the run finishes: files first, then directories, deepest first, so that each is empty by the
// time it goes. Whoever creates something records it the moment it exists; a step that fails
// half-way leaves nothing behind the user did not have before.
//
//     MadeByThisRun made;
//     made.addDirectories(createdLevels);
//     ...                       // anything here that throws removes them
//     made.keep();              // finished: everything stays
//
// What cannot be removed (a file somebody else holds open, a directory somebody filled meanwhile)
// stays; what is gone already counts as removed.
#pragma once

#include <new>

#include "FileUtils.h"
#include "tstrings.h"

class MadeByThisRun {
public:
    MadeByThisRun() = default;
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
            FileUtils::deleteFile(file, std::nothrow);
        }
        for (auto directory = directories_.rbegin(); directory != directories_.rend(); ++directory) {
            FileUtils::deleteDirectory(*directory, std::nothrow);
        }
    }

    tstring_array files_;
    tstring_array directories_;
};
