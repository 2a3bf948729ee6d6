#include "HostPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cwctype>
#include <vector>

#include "ErrorHandling.h"

namespace host {
namespace {

std::string narrow(const tstring& path) {
    return tstrings::toUtf8(path);
}

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

tstring absolutePath(const tstring& path) {
    tstring absolute = path;
    if (path.empty() || path.front() != L'/') {
        std::vector<char> buffer(4096);
        while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
            LD_THROW_LAST_ERROR_IF(errno != ERANGE, ::getcwd, "getcwd() failed");
            buffer.resize(buffer.size() * 2);
        }
        absolute = tstrings::fromUtf8(buffer.data()) + L"/" + path;
    }
    tstring_array kept;
    for (const tstring& part : components(absolute, L"/")) {
        if (part == L"..") {
            if (!kept.empty()) {
                kept.pop_back();
            }
        } else if (part != L".") {
            kept.push_back(part);
        }
    }
    tstring normal;
    for (const tstring& part : kept) {
        normal += L"/" + part;
    }
    return normal.empty() ? L"/" : normal;
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

bool exists(const tstring& path) {
    struct stat status {};
    return ::lstat(narrow(path).c_str(), &status) == 0;
}

bool isLink(const tstring& path) {
    struct stat status {};
    return ::lstat(narrow(path).c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool isDirectory(const tstring& path) {
    struct stat status {};
    return ::stat(narrow(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

tstring joinRelative(const tstring& directory, const tstring& name) {
    tstring path = directory;
    for (const tstring& part : components(name, L"\\/")) {
        path = join(path, part);
    }
    return path;
}

tstring_array makeDirectories(const tstring& directory) {
    tstring_array missing;
    for (tstring path = directory; !path.empty() && path != L"/" && !isDirectory(path); path = parentOf(path)) {
        missing.insert(missing.begin(), path);
    }
    tstring_array created;
    for (const tstring& path : missing) {
        if (::mkdir(narrow(path).c_str(), 0777) != 0) {
            const int error = errno;
            if (error == EEXIST && isDirectory(path)) {
                continue;
            }
            for (auto made = created.rbegin(); made != created.rend(); ++made) {
                removeEmptyDirectory(*made);
            }
            LD_THROW_SYSTEM_ERROR(::mkdir, static_cast<unsigned long>(error), "mkdir(" << path << ") failed");
        }
        created.push_back(path);
    }
    return created;
}

void removeFile(const tstring& path) noexcept {
    ::unlink(narrow(path).c_str());
}

void removeEmptyDirectory(const tstring& directory) noexcept {
    ::rmdir(narrow(directory).c_str());
}

}  // namespace host
