// lodestar-pack --extract: what a launcher's extract verb writes, without running the launcher.
// The package goes under its own file name and every file carried beside it under its name
// relative to the package, into one directory. Portable: the launcher is read through
// LauncherContents, the files are written through OutputFiles.
#pragma once

#include <cstdint>

#include "LauncherContents.h"
#include "tstrings.h"

struct ExtractionResult {
    tstring directory;
    tstring_array names;  // relative to the directory, the package first
    std::uint64_t bytes = 0;
};

// Writes what the launcher at `launcherPath` carries into `directory` (both absolute), made
// when missing. Every target is checked before anything is written: a file that exists there
// refuses the run unless `replace` is given, a directory always does. Each file is written under
// a temporary name, read back and checked against the launcher's index, and only when every one
// is whole do they move into place. A failure removes whatever this run made. Throws
// PackFailure (located): kInputError for a launcher that cannot be read or does not match its
// index, kOutputError for a target that is taken or cannot be written.
ExtractionResult extractLauncher(const tstring& launcherPath, const tstring& directory, bool replace,
                                 const LauncherContents::Progress& progress = {});
