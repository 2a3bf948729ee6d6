#include "HostPaths.h"

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "WinApi.h"

namespace host {

tstring parentOf(const tstring& path) {
    return FileUtils::dirname(path);
}

tstring fileNameOf(const tstring& path) {
    return FileUtils::basename(path);
}

tstring join(const tstring& directory, const tstring& name) {
    return FileUtils::PathBuilder() << directory << name;
}

bool isLink(const tstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Windows finds names without regard to case itself.
tstring caseKey(const tstring& name) {
    if (name.empty()) {
        return name;
    }
    // Upper case of the invariant locale, character by character, as file systems compare names.
    tstring key(name.size(), L'\0');
    const int size = static_cast<int>(name.size());
    LD_THROW_LAST_ERROR_IF(LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.c_str(), size, &key[0], size,
                                         nullptr, nullptr, 0) != size,
                           LCMapStringEx, "LCMapStringEx(" << name << ", upper case) failed");
    return key;
}

tstring joinRelative(const tstring& directory, const tstring& name) {
    return join(directory, name);
}

}  // namespace host
