// Paths on the host lodestar-pack runs on: Windows paths with '\' and drive letters, or Linux
// paths with '/'. What the packer prints names a path as its user gave it, in the host's form.
// Names from a package's tables are Windows names ('\' between components, any case), found on
// disk by FilesBelow (InputFile.h). What the library does alike on every platform (FileUtils.h)
// HostPaths.cpp takes from it; the paths' own text, links and the case of names are the platform's
// (posix/HostPathsPosix.cpp, windows/HostPathsWin.cpp).
#pragma once

#include <stdexcept>

#include "tstrings.h"

namespace host {

// `path` resolved against the current directory, "." and ".." removed.
tstring absolutePath(const tstring& path);
tstring parentOf(const tstring& path);
tstring fileNameOf(const tstring& path);
tstring join(const tstring& directory, const tstring& name);
bool exists(const tstring& path);
bool isDirectory(const tstring& path);
// A symbolic link (on Windows also a junction or another reparse point) itself is at `path`.
bool isLink(const tstring& path);

// A Windows name below `directory` that cannot be found as Windows would find it: on Linux, two
// entries of one directory that differ only in case.
class AmbiguousName : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What Windows compares when it finds a file by `name` whatever its case: the name with every
// character upper-cased as Windows upper-cases names. Equal keys, one file for Windows.
tstring caseKey(const tstring& name);

// The path the Windows-style relative `name` gets below `directory`, for a file about to be made.
tstring joinRelative(const tstring& directory, const tstring& name);

// Remove what a failed run made; what cannot be removed stays, what is gone counts as removed.
// Never throw.
void removeFile(const tstring& path) noexcept;
void removeEmptyDirectory(const tstring& directory) noexcept;

}  // namespace host
