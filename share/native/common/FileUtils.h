// Paths as text: split into directory, name and suffix, join, strip, normalise for comparison.
// These touch no file system; both '\\' and '/' separate, every join writes '\\'.
// Below them, the few file operations every platform defines (WinFileUtils.cpp, LinuxFileUtils.cpp),
// on the host's own paths; the rest of Windows' are in WinFileUtils.h.
#pragma once

#include <new>

#include "tstrings.h"

namespace FileUtils {

// The characters that separate path components.
inline constexpr const wchar_t* kDirSeparators = L"\\/";

bool isDirSeparator(tstring::value_type c);

// Everything before the last separator, without trailing separators: "C:\a\b" -> "C:\a",
// "C:\a" -> "C:", "name" -> "". A trailing "\." is ignored: "C:\a\." -> "C:".
tstring dirname(const tstring& path);

// Everything after the last separator; empty when the path ends with one.
tstring basename(const tstring& path);

// The last component's text from its last '.', dot included: "a.b.c" -> ".c", ".profile" ->
// ".profile"; empty for no dot, a dot inside a directory name, and the name "..".
tstring suffix(const tstring& path);

// The path without its suffix, followed by `newSuffix` (an empty one just removes the suffix).
tstring replaceSuffix(const tstring& path, const tstring& newSuffix = tstring());

// `first`, one backslash, `second`; exactly one separator between them unless `second` starts
// with two. An empty part returns the other one unchanged.
tstring combinePath(const tstring& first, const tstring& second);

// "C:\dir\\" -> "C:\dir", "C:\" -> "C:", "\\\" -> "".
tstring removeTrailingSeparators(const tstring& path);

// Backslashes and lower-case ASCII letters, so that equal paths compare equal as text.
tstring normalizePath(const tstring& path);

// What an extraction says of a link it finds below the folder it writes into: the launcher's
// extract verb and lodestar-pack --extract write nothing through one, and say so alike.
tstring linkBelowTargetRefusal(const tstring& path);

// `path` resolved against the current directory, "." and ".." removed; the file system is not
// consulted. An empty path gives the current directory.
tstring toAbsolutePath(const tstring& path);

// Whether anything is at `path` itself, a link included (its target is not asked).
bool pathExists(const tstring& path);
// Whether `path` is a directory, or a link to one.
bool isDirectory(const tstring& path);

// Creates `path` and its missing parents; an existing directory is fine. `created`, when given,
// receives the directories this call made, outermost first. On Linux a failure removes again what
// the call made; on Windows what it made stays, named in `created`.
void createDirectory(const tstring& path, tstring_array* created = nullptr);

// Deletion is forgiving: what is already gone counts as deleted (on Windows a read-only file is made
// writable first). These return false where something could not be deleted; they never raise.
bool deleteFile(const tstring& path, const std::nothrow_t&);
// An empty directory only.
bool deleteDirectory(const tstring& path, const std::nothrow_t&);

// Joins any number of components with combinePath:
//     tstring package = PathBuilder() << workDir << L"main.msi";
class PathBuilder {
public:
    PathBuilder& operator<<(const tstring& component);

    operator tstring() const { return path_; }
    const tstring& str() const { return path_; }

private:
    tstring path_;
};

}  // namespace FileUtils
