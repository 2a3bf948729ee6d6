// Helpers the unit tests share. The file and process helpers use the platform and the standard
// library directly, never the code under test, so that what they report stays independent of it.
#pragma once

#include <gtest/gtest.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "ErrorHandling.h"
#include "Log.h"
#include "tstrings.h"
#ifdef _WIN32
#include "WinApi.h"
#endif

inline std::string utf8(const tstring& text) {
    return tstrings::toUtf8(text);
}

#ifdef _WIN32
// Wine's ntdll exports wine_get_version; Windows' does not.
inline bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#endif

// ---------------------------------------------------------------------------------------------
// Errors, log records and output streams

// The raw message of the located error of type E that `action` throws; any other outcome comes
// back as a text that no expected message equals.
template <typename E = LdErrorBase, typename Action>
std::string rawMessageOf(Action&& action) {
    try {
        action();
    } catch (const E& e) {
        return e.rawMessage();
    } catch (const std::exception& e) {
        return std::string("unexpected error: ") + e.what();
    }
    return "(nothing thrown)";
}

// Keeps every record it is given and installs itself as the global appender for the life of a
// scope.
class CapturingLogAppender : public LogAppender {
public:
    CapturingLogAppender() : previous_(Logger::global().setAppender(this)) {}
    ~CapturingLogAppender() override { Logger::global().setAppender(previous_); }

    void append(const LogEvent& event) override { events.push_back(event); }

    bool contains(LogLevel level, const tstring& text) const {
        for (const LogEvent& event : events) {
            if (event.logLevel == logLevelName(level) && event.message.find(text) != tstring::npos) {
                return true;
            }
        }
        return false;
    }

    std::vector<LogEvent> events;

private:
    LogAppender* previous_;
};

// Sends a C runtime stream (stdout, stderr) into a temporary file for the life of the scope, at
// the level of its file descriptor, so that whatever writes to it is caught.
class StreamCapture {
public:
#ifdef _WIN32
    explicit StreamCapture(std::FILE* stream) : stream_(stream) {
        wchar_t directory[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, directory);
        const std::wstring path = std::wstring(directory) + L"lodestar capture " +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) +
                                  L".txt";
        capture_ = _wfopen(path.c_str(), L"w+bTD");  // deleted when closed
        std::fflush(stream_);
        saved_ = _dup(_fileno(stream_));
        _dup2(_fileno(capture_), _fileno(stream_));
    }
    ~StreamCapture() {
        std::fflush(stream_);
        _dup2(saved_, _fileno(stream_));
        _close(saved_);
        std::fclose(capture_);
    }
#else
    explicit StreamCapture(std::FILE* stream) : stream_(stream) {
        capture_ = std::tmpfile();  // deleted when closed
        std::fflush(stream_);
        saved_ = ::dup(::fileno(stream_));
        ::dup2(::fileno(capture_), ::fileno(stream_));
    }
    ~StreamCapture() {
        std::fflush(stream_);
        ::dup2(saved_, ::fileno(stream_));
        ::close(saved_);
        std::fclose(capture_);
    }
#endif
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    // Everything written so far.
    std::string text() const {
        std::fflush(stream_);
        std::fflush(capture_);
        std::fseek(capture_, 0, SEEK_SET);
        std::string text;
        char chunk[4096];
        for (size_t read = 0; (read = std::fread(chunk, 1, sizeof(chunk), capture_)) > 0;) {
            text.append(chunk, read);
        }
        std::fseek(capture_, 0, SEEK_END);
        return text;
    }

private:
    std::FILE* stream_;
    std::FILE* capture_ = nullptr;
    int saved_ = -1;
};

// ---------------------------------------------------------------------------------------------
// Files and directories

// A path as the standard library takes it: on Linux its UTF-8 bytes, whatever the locale (which
// std::filesystem would otherwise convert wide text with, failing on non-ASCII in the C locale).
inline std::filesystem::path fsPath(const tstring& path) {
#ifdef _WIN32
    return std::filesystem::path(path);
#else
    return std::filesystem::path(tstrings::toUtf8(path));
#endif
}

// The host's separator of the parts of a path.
inline const tstring kPathSeparator(1, static_cast<wchar_t>(std::filesystem::path::preferred_separator));

inline tstring fromFsPath(const std::filesystem::path& path) {
#ifdef _WIN32
    return path.wstring();
#else
    return tstrings::fromUtf8(path.string());
#endif
}

// Accents, Greek and CJK in one name, with spaces: a user directory the library must not mangle.
inline const tstring kNonAsciiName = L"J\u00e9r\u00f4me \u0391\u03b8\u03ae\u03bd\u03b1 \u6771\u4eac";

// A fresh directory under the system's temporary directory, its name holding blanks and
// kNonAsciiName, removed with its contents (read-only ones too) at the end.
class ScratchDirectory {
public:
    ScratchDirectory() {
        static std::atomic<int> counter{0};
        static const unsigned long long run = std::random_device()();
        path_ = std::filesystem::temp_directory_path() / fsPath(L"lodestar test " + std::to_wstring(run) + L"-" +
                                                                std::to_wstring(counter++) + L" " + kNonAsciiName);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
#ifdef _WIN32
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
#endif
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    tstring path() const {
        return fromFsPath(path_);
    }
    tstring operator/(const tstring& relative) const {
        return fromFsPath(path_ / fsPath(relative));
    }

private:
    std::filesystem::path path_;
};

inline void writeFile(const tstring& path, const std::string& content) {
    std::ofstream out(fsPath(path), std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << "cannot write " << utf8(path);
}

// The file's bytes; empty when it cannot be read.
inline std::string readFile(const tstring& path) {
    std::ifstream in(fsPath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifdef _WIN32
inline tstring readUtf16File(const tstring& path) {
    const std::string bytes = readFile(path);
    return tstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

#endif

// The names directly inside `directory`, sorted.
inline std::vector<tstring> listNames(const tstring& directory) {
    std::vector<tstring> names;
    for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(fsPath(directory))) {
        names.push_back(fromFsPath(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// ---------------------------------------------------------------------------------------------
// Processes

#ifdef _WIN32
// The path of `module` in this process; of the test program itself by default.
inline tstring modulePath(HMODULE module = nullptr) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    return tstring(buffer.data(), length);
}

// The directory the test program runs from, where the build also puts the tests' helper programs.
inline tstring testDirectory() {
    const tstring self = modulePath();
    return self.substr(0, self.find_last_of(L"\\/"));
}

inline tstring besideTestProgram(const tstring& fileName) {
    return testDirectory() + L"\\" + fileName;
}

// Sets an environment variable for the scope and removes it again; children inherit the test's
// environment.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const tstring& value) : name_(name) { SetEnvironmentVariableW(name, value.c_str()); }
    ~ScopedEnv() { SetEnvironmentVariableW(name_, nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const wchar_t* name_;
};

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
#endif  // _WIN32
