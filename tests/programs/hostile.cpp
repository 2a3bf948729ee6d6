// A hostile neighbour for the launcher's end-to-end tests: another Windows process of the same
// user that waits in the shared temporary directory for a launcher's working directory (digits
// + ".tmp", holding main.msi) and attacks it once. Share modes are enforced between Windows
// processes only, so the attacker has to be one.
//
//   hostile overwrite TEMPDIR PACKAGE SECONDS   copies PACKAGE over main.msi
//   hostile rename TEMPDIR SECONDS              renames the working directory away
//
// Prints "watching" once it looks, then what it did. Exit code: 0 when the attack was refused,
// 1 when it succeeded, 2 when no working directory appeared within SECONDS, 3 on bad usage.
#include <cstdio>
#include <cwctype>
#include <string>

#include "WinApi.h"

namespace {

bool isWorkingDirectoryName(const std::wstring& name) {
    const std::wstring suffix = L".tmp";
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    for (size_t i = 0; i < name.size() - suffix.size(); ++i) {
        if (!std::iswdigit(name[i])) {
            return false;
        }
    }
    return true;
}

// The first working directory in `tempDir` whose package is already there; empty if none.
std::wstring findWorkingDirectory(const std::wstring& tempDir) {
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((tempDir + L"\\*.tmp").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    std::wstring found;
    do {
        const std::wstring candidate = tempDir + L"\\" + entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && isWorkingDirectoryName(entry.cFileName) &&
            GetFileAttributesW((candidate + L"\\main.msi").c_str()) != INVALID_FILE_ATTRIBUTES) {
            found = candidate;
        }
    } while (found.empty() && FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

int report(const char* attack, const std::wstring& target, BOOL succeeded) {
    const DWORD error = GetLastError();
    if (succeeded) {
        std::printf("%s %ls: succeeded\n", attack, target.c_str());
        return 1;
    }
    std::printf("%s %ls: refused (error %lu)\n", attack, target.c_str(), error);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring attack = argc > 1 ? argv[1] : L"";
    const bool overwrite = attack == L"overwrite" && argc == 5;
    const bool rename = attack == L"rename" && argc == 4;
    if (!overwrite && !rename) {
        std::fputs("usage: hostile overwrite TEMPDIR PACKAGE SECONDS | hostile rename TEMPDIR SECONDS\n", stderr);
        return 3;
    }
    const std::wstring tempDir = argv[2];
    const DWORD deadline = GetTickCount() + 1000 * static_cast<DWORD>(_wtoi(argv[argc - 1]));
    std::printf("watching %ls\n", tempDir.c_str());
    std::fflush(stdout);

    std::wstring target;
    while (target.empty()) {
        if (static_cast<LONG>(GetTickCount() - deadline) > 0) {
            std::puts("no working directory appeared");
            return 2;
        }
        target = findWorkingDirectory(tempDir);
    }
    int result = 0;
    if (overwrite) {
        const std::wstring package = target + L"\\main.msi";
        result = report("overwrite", package, CopyFileW(argv[3], package.c_str(), FALSE));
    } else {
        result = report("rename", target, MoveFileExW(target.c_str(), (target + L".stolen").c_str(), 0));
    }
    std::fflush(stdout);
    return result;
}
