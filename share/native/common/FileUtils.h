// Paths as text: split into directory, name and suffix, join, strip, normalise for comparison.
// Nothing here touches the file system; both '\\' and '/' separate, every join writes '\\'.
// The operations that need the system (absolute paths, file operations) are in WinFileUtils.h.
#pragma once

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
