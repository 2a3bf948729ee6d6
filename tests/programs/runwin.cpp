// Test runner: starts a Windows program with a changed environment and reports its full 32-bit
// exit code, which a Linux shell would see only as the low 8 bits.
//
//   runwin [--env NAME=VALUE]... [--unset NAME]... [--cmdline RAW | --cmdline-file FILE] -- PROGRAM [ARGS...]
//
// --cmdline-file reads the raw command line from a UTF-8 file, for command lines too long to
// pass through runwin's own.
// The child inherits standard streams. The last line on standard output is
// "exit code: <signed decimal>". runwin exits 0 when the child ran, 2 on bad usage, 3 when the
// child could not be started.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ArgvQuoting.h"
#include "WinApi.h"

namespace {

struct CaseInsensitiveLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};
using Environment = std::map<std::wstring, std::wstring, CaseInsensitiveLess>;

Environment currentEnvironment() {
    Environment env;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring text(entry);
        const size_t eq = text.find(L'=', 1);  // "=C:=C:\..." entries start with '='
        if (eq != std::wstring::npos) {
            env[text.substr(0, eq)] = text.substr(eq + 1);
        }
    }
    FreeEnvironmentStringsW(block);
    return env;
}

std::vector<wchar_t> environmentBlock(const Environment& env) {
    std::vector<wchar_t> block;
    for (const auto& [name, value] : env) {
        const std::wstring entry = name + L"=" + value;
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

std::wstring readUtf8File(const std::wstring& path) {
    FILE* in = _wfopen(path.c_str(), L"rb");
    if (in == nullptr) {
        return std::wstring();
    }
    std::string bytes;
    char chunk[4096];
    for (size_t read = 0; (read = std::fread(chunk, 1, sizeof(chunk), in)) > 0;) {
        bytes.append(chunk, read);
    }
    std::fclose(in);
    std::wstring text(bytes.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                           static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(length > 0 ? length : 0));
    return text;
}

int usage() {
    std::fputs(
        "usage: runwin [--env NAME=VALUE]... [--unset NAME]... [--cmdline RAW | --cmdline-file FILE] -- PROGRAM "
        "[ARGS...]\n",
        stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Environment env = currentEnvironment();
    std::wstring rawCommandLine;
    int i = 1;
    for (; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--") {
            ++i;
            break;
        }
        if (i + 1 >= argc) {
            return usage();
        }
        const std::wstring value = argv[++i];
        if (option == L"--env") {
            const size_t eq = value.find(L'=');
            if (eq == std::wstring::npos || eq == 0) {
                return usage();
            }
            env[value.substr(0, eq)] = value.substr(eq + 1);
        } else if (option == L"--unset") {
            env.erase(value);
        } else if (option == L"--cmdline") {
            rawCommandLine = value;
        } else if (option == L"--cmdline-file") {
            rawCommandLine = readUtf8File(value);
            if (rawCommandLine.empty()) {
                return usage();
            }
        } else {
            return usage();
        }
    }
    if (i >= argc) {
        return usage();
    }
    const std::wstring program = argv[i];
    std::wstring commandLine = rawCommandLine;
    if (commandLine.empty()) {
        commandLine = quoteForArgv(program);
        for (int k = i + 1; k < argc; ++k) {
            commandLine += L" " + quoteForArgv(argv[k]);
        }
    }

    std::vector<wchar_t> block = environmentBlock(env);
    std::vector<wchar_t> mutableCommandLine(commandLine.begin(), commandLine.end());
    mutableCommandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    // Wine, on a loaded machine, now and then fails a process start with ERROR_INTERNAL_ERROR
    // before the program runs at all; that is the harness's problem, not the program's, so it is
    // tried again a few times. Every other failure is reported at once.
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (CreateProcessW(program.c_str(), mutableCommandLine.data(), nullptr, nullptr, TRUE,
                           CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup, &process)) {
            error = ERROR_SUCCESS;
            break;
        }
        error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR) {
            break;
        }
        Sleep(250);
    }
    if (error != ERROR_SUCCESS) {
        std::fprintf(stderr, "runwin: cannot start %ls (error %lu)\n", program.c_str(), error);
        return 3;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    std::fflush(stderr);
    std::printf("exit code: %ld\n", static_cast<long>(code));
    std::fflush(stdout);
    return 0;
}
