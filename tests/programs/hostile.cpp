// A hostile neighbour for the launcher's end-to-end tests: another Windows process of the same
// user that waits in the shared temporary directory for a launcher's working directory (digits
// + ".tmp", holding main.msi and NAME) and attacks it once. Share modes are enforced between
// Windows processes only, so the attacker has to be one.
//
//   hostile [--while-installing] overwrite TEMPDIR SOURCE [NAME] SECONDS
//       copies SOURCE over NAME (main.msi unless given)
//   hostile [--while-installing] swap TEMPDIR SOURCE NAME SECONDS
//       renames NAME away, then copies SOURCE in its place
//   hostile [--while-installing] rename TEMPDIR [NAME] SECONDS
//       renames NAME (the working directory itself unless given) away
//
// NAME is relative to the working directory. With --while-installing the attack waits, once NAME
// is there, until an msiexec.exe that was not running when the attacker started is. Prints
// "watching" once it looks, then what it did. Exit code: 0 when the attack was refused, 1 when it
// succeeded, 2 when no working directory (or no installer) appeared within SECONDS, 3 on bad usage.
#include <cstdio>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "WinApi.h"

#include <tlhelp32.h>

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

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The first working directory in `tempDir` that holds the package and `name`; empty if none.
std::wstring findWorkingDirectory(const std::wstring& tempDir, const std::wstring& name) {
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((tempDir + L"\\*.tmp").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    std::wstring found;
    do {
        const std::wstring candidate = tempDir + L"\\" + entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && isWorkingDirectoryName(entry.cFileName) &&
            exists(candidate + L"\\main.msi") && (name.empty() || exists(candidate + L"\\" + name))) {
            found = candidate;
        }
    } while (found.empty() && FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

// The process ids of every running msiexec.exe.
std::set<DWORD> installerProcesses() {
    std::set<DWORD> found;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return found;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"msiexec.exe") == 0) {
            found.insert(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
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
    std::vector<std::wstring> args(argv + 1, argv + argc);
    const bool whileInstalling = !args.empty() && args.front() == L"--while-installing";
    if (whileInstalling) {
        args.erase(args.begin());
    }
    const std::wstring attack = args.empty() ? L"" : args[0];
    const std::size_t count = args.size();
    const bool overwrite = attack == L"overwrite" && (count == 4 || count == 5);
    const bool swap = attack == L"swap" && count == 5;
    const bool rename = attack == L"rename" && (count == 3 || count == 4);
    if (!overwrite && !swap && !rename) {
        std::fputs(
            "usage: hostile [--while-installing] overwrite TEMPDIR SOURCE [NAME] SECONDS | "
            "swap TEMPDIR SOURCE NAME SECONDS | rename TEMPDIR [NAME] SECONDS\n",
            stderr);
        return 3;
    }
    const std::wstring tempDir = args[1];
    const std::wstring source = rename ? L"" : args[2];
    std::wstring name;
    if (rename && count == 4) {
        name = args[2];
    } else if (!rename && count == 5) {
        name = args[3];
    }
    const DWORD deadline = GetTickCount() + 1000 * static_cast<DWORD>(_wtoi(args.back().c_str()));
    const auto pastDeadline = [deadline] { return static_cast<LONG>(GetTickCount() - deadline) > 0; };
    const std::set<DWORD> earlierInstallers = installerProcesses();
    std::printf("watching %ls\n", tempDir.c_str());
    std::fflush(stdout);

    std::wstring directory;
    while (directory.empty()) {
        if (pastDeadline()) {
            std::puts("no working directory appeared");
            return 2;
        }
        directory = findWorkingDirectory(tempDir, name);
    }
    for (bool started = !whileInstalling; !started;) {
        if (pastDeadline()) {
            std::puts("no installer started");
            return 2;
        }
        for (const DWORD process : installerProcesses()) {
            started = started || earlierInstallers.count(process) == 0;
        }
        Sleep(1);
    }
    const std::wstring target =
        name.empty() ? (rename ? directory : directory + L"\\main.msi") : directory + L"\\" + name;
    int result = 0;
    if (overwrite) {
        result = report("overwrite", target, CopyFileW(source.c_str(), target.c_str(), FALSE));
    } else if (swap) {
        // Moving the launcher's file away is the attack; another file in its place completes it.
        const BOOL moved = MoveFileExW(target.c_str(), (target + L".old").c_str(), 0);
        if (moved) {
            CopyFileW(source.c_str(), target.c_str(), TRUE);
        }
        result = report("swap", target, moved);
    } else {
        result = report("rename", target, MoveFileExW(target.c_str(), (target + L".stolen").c_str(), 0));
    }
    std::fflush(stdout);
    return result;
}
