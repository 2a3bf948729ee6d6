#include "HostPaths.h"

#include <new>

#include "FileUtils.h"

namespace host {

tstring absolutePath(const tstring& path) {
    return FileUtils::toAbsolutePath(path);
}

bool exists(const tstring& path) {
    return FileUtils::pathExists(path);
}

bool isDirectory(const tstring& path) {
    return FileUtils::isDirectory(path);
}

void removeFile(const tstring& path) noexcept {
    FileUtils::deleteFile(path, std::nothrow);
}

void removeEmptyDirectory(const tstring& directory) noexcept {
    FileUtils::deleteDirectory(directory, std::nothrow);
}

}  // namespace host
