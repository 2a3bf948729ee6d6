// Test helpers for the file and system-information tests. They use the platform and the
// standard library directly, never the code under test, so that checks stay independent.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "WinApi.h"
#include "tstrings.h"

namespace files_test {

namespace fs = std::filesystem;

// Accents, Greek and CJK in one name, with spaces: a user directory the library must not mangle.
inline const tstring kNonAsciiName = L"J\u00e9r\u00f4me \u0391\u03b8\u03ae\u03bd\u03b1 \u6771\u4eac";

inline tstring ownExecutablePath() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return tstring(buffer.data(), length);
}

// A program built beside the test executable.
inline tstring siblingProgram(const tstring& fileName) {
    return fs::path(ownExecutablePath()).parent_path() / fileName;
}

// A fresh directory under the system's temporary directory, removed with its contents at the end.
class ScratchDirectory {
public:
    ScratchDirectory() {
        static std::atomic<int> counter{0};
        path_ = fs::temp_directory_path() /
                (L"lodestar files " + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()) +
                 L"-" + std::to_wstring(counter++) +
                 L" " + kNonAsciiName);
        fs::create_directories(path_);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
             it.increment(ignored)) {
            SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        fs::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    tstring path() const { return path_.wstring(); }
    tstring operator/(const tstring& relative) const { return (path_ / relative).wstring(); }

private:
    fs::path path_;
};

inline void writeFile(const tstring& path, const std::string& content) {
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << "cannot write " << tstrings::toUtf8(path);
}

inline std::string readFile(const tstring& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline tstring readUtf16File(const tstring& path) {
    const std::string bytes = readFile(path);
    return tstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

// The names directly inside `directory`, sorted.
inline std::vector<tstring> listNames(const tstring& directory) {
    std::vector<tstring> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(directory))) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct ChildResult {
    bool started = false;
    DWORD startError = 0;
    DWORD exitCode = 0;
};

// Starts `program` with exactly `rawCommandLine`, inheriting this process's environment, and
// waits for it.
inline ChildResult runChild(const tstring& program, const tstring& rawCommandLine) {
    ChildResult result;
    std::vector<wchar_t> commandLine(rawCommandLine.begin(), rawCommandLine.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        result.startError = GetLastError();
        return result;
    }
    result.started = true;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hProcess);
    return result;
}

// Wine's ntdll exports wine_get_version; Windows' does not.
inline bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace files_test
