// The file operations every platform defines (FileUtils.h), in the native Linux build: paths with
// '/' and UTF-8 names, as the system takes them.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "ErrorHandling.h"
#include "FileUtils.h"

namespace FileUtils {
namespace {

std::string narrow(const tstring& path) {
    return tstrings::toUtf8(path);
}

tstring currentDirectory() {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        LD_THROW_LAST_ERROR_IF(errno != ERANGE, ::getcwd, "getcwd() failed");
        buffer.resize(buffer.size() * 2);
    }
    return tstrings::fromUtf8(buffer.data());
}

// Everything before the last '/': "/a/b" -> "/a", "/a" -> "/", "a" -> "".
tstring parentOf(const tstring& path) {
    const std::size_t slash = path.find_last_of(L'/');
    if (slash == tstring::npos) {
        return tstring();
    }
    return slash == 0 ? L"/" : path.substr(0, slash);
}

}  // namespace

tstring toAbsolutePath(const tstring& path) {
    const tstring absolute = !path.empty() && path.front() == L'/' ? path : currentDirectory() + L"/" + path;
    tstring_array kept;
    for (const tstring& part : tstrings::split(absolute, L"/", true)) {
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

bool pathExists(const tstring& path) {
    struct stat status {};
    return ::lstat(narrow(path).c_str(), &status) == 0;
}

bool isDirectory(const tstring& path) {
    struct stat status {};
    return ::stat(narrow(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void createDirectory(const tstring& path, tstring_array* created) {
    tstring_array missing;
    for (tstring level = path; !level.empty() && level != L"/" && !isDirectory(level); level = parentOf(level)) {
        missing.insert(missing.begin(), level);
    }
    tstring_array made;
    for (const tstring& level : missing) {
        if (::mkdir(narrow(level).c_str(), 0777) != 0) {
            const int error = errno;
            if (error == EEXIST && isDirectory(level)) {
                continue;
            }
            for (auto last = made.rbegin(); last != made.rend(); ++last) {
                deleteDirectory(*last, std::nothrow);
            }
            LD_THROW_SYSTEM_ERROR(::mkdir, static_cast<unsigned long>(error), "mkdir(" << level << ") failed");
        }
        made.push_back(level);
    }
    if (created != nullptr) {
        created->insert(created->end(), made.begin(), made.end());
    }
}

bool deleteFile(const tstring& path, const std::nothrow_t&) {
    return ::unlink(narrow(path).c_str()) == 0 || errno == ENOENT;
}

bool deleteDirectory(const tstring& path, const std::nothrow_t&) {
    return ::rmdir(narrow(path).c_str()) == 0 || errno == ENOENT;
}

}  // namespace FileUtils
