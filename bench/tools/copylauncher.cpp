// The simplest launcher a copy can make, for comparison.
//   copylauncher SOURCE [ARGUMENTS...]
//       one CopyFileW of a package into the temporary directory, the system's msiexec /i on the
//       copy, the copy deleted; exits with msiexec's exit code
//   copylauncher SOURCE --beside FILE [--beside FILE]... [ARGUMENTS...]
//       the same for a package with files beside it: a new directory in the temporary directory,
//       the package and each FILE copied into it under their own names (one CopyFileW each),
//       msiexec /i on the package's copy, the copies and the directory deleted
//   copylauncher --to DIR SOURCE [--beside FILE]...
//       only the copies, into DIR (made here; it must not exist), kept: what an extraction into a
//       directory does; exits 0
// Any failure before msiexec runs exits -1.
#include <string>
#include <vector>

#include "BenchTools.h"

namespace {

// The next argument of `text` from `at` (blanks skipped; quoted, or up to the next blank),
// `at` moved past it; empty at the end.
std::wstring nextArgument(const std::wstring& text, size_t& at) {
    while (at < text.size() && text[at] == L' ') {
        ++at;
    }
    if (at < text.size() && text[at] == L'"') {
        const size_t closingQuote = text.find(L'"', at + 1);
        const size_t end = closingQuote == std::wstring::npos ? text.size() : closingQuote;
        std::wstring argument = text.substr(at + 1, end - at - 1);
        at = end == text.size() ? end : end + 1;
        return argument;
    }
    const size_t blank = text.find(L' ', at);
    const size_t end = blank == std::wstring::npos ? text.size() : blank;
    std::wstring argument = text.substr(at, end - at);
    at = end;
    return argument;
}

std::wstring fileName(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// Copies every source into `directory` under its own name; the copies made so far go into `made`.
bool copyAll(const std::vector<std::wstring>& sources, const std::wstring& directory, std::vector<std::wstring>& made) {
    for (const std::wstring& source : sources) {
        const std::wstring copy = directory + L"\\" + fileName(source);
        if (!CopyFileW(source.c_str(), copy.c_str(), TRUE)) {
            return false;
        }
        made.push_back(copy);
    }
    return true;
}

bool removeAll(const std::vector<std::wstring>& files, const std::wstring& directory) {
    bool removed = true;
    for (const std::wstring& file : files) {
        removed = DeleteFileW(file.c_str()) && removed;
    }
    return RemoveDirectoryW(directory.c_str()) && removed;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
    const std::wstring text = arguments;
    size_t at = 0;
    std::wstring to;
    std::wstring source = nextArgument(text, at);
    if (source == L"--to") {
        to = nextArgument(text, at);
        source = nextArgument(text, at);
    }
    std::vector<std::wstring> sources = {source};
    for (size_t next = at; nextArgument(text, next) == L"--beside"; next = at) {
        at = next;
        sources.push_back(nextArgument(text, at));
    }
    const std::wstring rest = text.substr(at);

    if (!to.empty()) {
        std::vector<std::wstring> made;
        return CreateDirectoryW(to.c_str(), nullptr) && copyAll(sources, to, made) ? 0 : -1;
    }

    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring stem = std::wstring(temp) + L"copy-" + std::to_wstring(GetCurrentProcessId());
    if (sources.size() == 1) {
        const std::wstring copy = stem + L".msi";
        if (!CopyFileW(source.c_str(), copy.c_str(), TRUE)) {
            return -1;
        }
        const int exitCode = bench::runMsiexecInstall(L"\"" + copy + L"\"" + rest);
        DeleteFileW(copy.c_str());
        return exitCode;
    }
    std::vector<std::wstring> made;
    if (!CreateDirectoryW(stem.c_str(), nullptr)) {
        return -1;
    }
    if (!copyAll(sources, stem, made)) {
        removeAll(made, stem);
        return -1;
    }
    const int exitCode = bench::runMsiexecInstall(L"\"" + made.front() + L"\"" + rest);
    return removeAll(made, stem) ? exitCode : -1;
}
