#include "FileUtils.h"

#include <algorithm>

namespace FileUtils {
namespace {

bool endsWithCurrentDirectory(const tstring& path) {
    return path.size() >= 2 && path.back() == L'.' && isDirSeparator(path[path.size() - 2]);
}

}  // namespace

bool isDirSeparator(tstring::value_type c) {
    return c == L'\\' || c == L'/';
}

tstring dirname(const tstring& path) {
    const tstring searched = endsWithCurrentDirectory(path) ? path.substr(0, path.size() - 2) : path;
    size_t pos = searched.find_last_of(kDirSeparators);
    if (pos == tstring::npos) {
        return tstring();
    }
    // "a\\\b" has the directory "a", not "a\\".
    while (pos > 0 && isDirSeparator(searched[pos])) {
        --pos;
    }
    if (isDirSeparator(searched[pos])) {
        return tstring();
    }
    return searched.substr(0, pos + 1);
}

tstring basename(const tstring& path) {
    const size_t pos = path.find_last_of(kDirSeparators);
    return pos == tstring::npos ? path : path.substr(pos + 1);
}

tstring suffix(const tstring& path) {
    const size_t dot = path.rfind(L'.');
    if (dot == tstring::npos) {
        return tstring();
    }
    if (path.find_first_of(kDirSeparators, dot + 1) != tstring::npos) {
        return tstring();  // the dot belongs to a directory name
    }
    const bool lastComponentIsParentDirectory =
        dot > 0 && path[dot - 1] == L'.' && (dot == 1 || isDirSeparator(path[dot - 2]));
    if (lastComponentIsParentDirectory) {
        return tstring();
    }
    return path.substr(dot);
}

tstring replaceSuffix(const tstring& path, const tstring& newSuffix) {
    return path.substr(0, path.size() - suffix(path).size()) + newSuffix;
}

tstring combinePath(const tstring& first, const tstring& second) {
    if (first.empty()) {
        return second;
    }
    if (second.empty()) {
        return first;
    }
    const size_t skip = isDirSeparator(second.front()) ? 1 : 0;
    return removeTrailingSeparators(first) + L'\\' + second.substr(skip);
}

tstring removeTrailingSeparators(const tstring& path) {
    const size_t last = path.find_last_not_of(kDirSeparators);
    return last == tstring::npos ? tstring() : path.substr(0, last + 1);
}

tstring normalizePath(const tstring& path) {
    tstring normalized = path;
    std::replace(normalized.begin(), normalized.end(), L'/', L'\\');
    return tstrings::toLower(normalized);
}

PathBuilder& PathBuilder::operator<<(const tstring& component) {
    path_ = combinePath(path_, component);
    return *this;
}

tstring linkBelowTargetRefusal(const tstring& path) {
    return path + L" is a link, and nothing is extracted through a link";
}

}  // namespace FileUtils
