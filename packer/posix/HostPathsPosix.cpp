#include "HostPaths.h"

#include <sys/stat.h>

#include <clocale>
#include <cwctype>

#include "Posix.h"

namespace host {
namespace {

tstring_array components(const tstring& path, const wchar_t* separators) {
    tstring_array parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || std::wcschr(separators, path[i]) != nullptr) {
            if (i > start) {
                parts.push_back(path.substr(start, i - start));
            }
            start = i + 1;
        }
    }
    return parts;
}

}  // namespace

// Windows compares names by upper-casing each character; the C library's Unicode tables (of the
// C.UTF-8 locale, whatever the process's own locale is) do the same here. Without them (a system
// that lacks the locale), only ASCII letters are folded.
tstring caseKey(const tstring& name) {
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    tstring key = name;
    for (wchar_t& c : key) {
        if (unicode != static_cast<locale_t>(nullptr)) {
            c = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), unicode));
        } else if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return key;
}

tstring parentOf(const tstring& path) {
    const std::size_t slash = path.find_last_of(L'/');
    if (slash == tstring::npos) {
        return tstring();
    }
    return slash == 0 ? L"/" : path.substr(0, slash);
}

tstring fileNameOf(const tstring& path) {
    const std::size_t slash = path.find_last_of(L'/');
    return slash == tstring::npos ? path : path.substr(slash + 1);
}

tstring join(const tstring& directory, const tstring& name) {
    if (directory.empty()) {
        return name;
    }
    return directory.back() == L'/' ? directory + name : directory + L"/" + name;
}

bool isLink(const tstring& path) {
    struct stat status {};
    return ::lstat(posix::narrow(path).c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

tstring joinRelative(const tstring& directory, const tstring& name) {
    tstring path = directory;
    for (const tstring& part : components(name, L"\\/")) {
        path = join(path, part);
    }
    return path;
}

}  // namespace host
