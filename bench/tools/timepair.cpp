// The benchmark's Windows parent: runs the programs of a plan in rounds, times each from its
// creation to its exit, checks its exit code and that it left its temporary directory empty.
//
//   timepair PLAN ROUNDS TEMPDIR
//
// PLAN is a UTF-8 text file, one program per line: label, expected exit code, executable path
// and the whole command line, separated by tabs; then, for a program that leaves a directory
// behind (an extraction), that directory and what it must hold, FILES:BYTES (so many files,
// subdirectories included, of so many bytes in all). Every program runs once per round; the order
// is reversed every other round, so that neither side of a pair always runs first. A first round
// warms the caches and is not reported. TEMP and TMP point at TEMPDIR for every program.
// A directory left behind is checked and deleted after the program has ended and its time been
// taken; it must not exist before the program runs.
// Output, on standard output, one CSV line per run: round,label,seconds,exit_code,ok, where ok
// is 1 when the exit code was the expected one, TEMPDIR was empty afterwards, and the directory
// left behind, if any, held what it must and could be deleted.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchTools.h"
#include "WinApi.h"

namespace {

struct Program {
    std::string label;
    long expectedExitCode;
    std::wstring path;
    std::wstring commandLine;
    std::wstring leaves;      // the directory it leaves behind, or empty
    std::wstring leavesWhat;  // FILES:BYTES it must hold
};

std::wstring widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                           static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(std::max(length, 0)));
    return wide;
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

std::vector<Program> readPlan(const wchar_t* path) {
    std::vector<Program> plan;
    FILE* in = _wfopen(path, L"rb");
    if (in == nullptr) {
        return plan;
    }
    char buffer[65536];
    while (std::fgets(buffer, sizeof(buffer), in) != nullptr) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        const std::vector<std::string> fields = splitTabs(line);
        if (fields.size() == 4 || fields.size() == 6) {
            Program program{fields[0], std::stol(fields[1]), widen(fields[2]), widen(fields[3]), L"", L""};
            if (fields.size() == 6) {
                program.leaves = widen(fields[4]);
                program.leavesWhat = widen(fields[5]);
            }
            plan.push_back(program);
        }
    }
    std::fclose(in);
    return plan;
}

bool isEmptyDirectory(const std::wstring& directory) {
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool empty = true;
    do {
        const std::wstring name = entry.cFileName;
        empty = empty && (name == L"." || name == L"..");
    } while (empty && FindNextFileW(search, &entry));
    FindClose(search);
    return empty;
}

// Counts the files below `directory` and their bytes, and deletes them and every directory below it,
// then the directory itself; false when anything could not be read or deleted.
bool countAndDelete(const std::wstring& directory, unsigned long long& files, unsigned long long& bytes) {
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring path = directory + L"\\" + name;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            ok = countAndDelete(path, files, bytes) && ok;
        } else {
            ++files;
            bytes += (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            ok = DeleteFileW(path.c_str()) && ok;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return RemoveDirectoryW(directory.c_str()) && ok;
}

// Whether the directory the program left holds what it must; deleted either way.
bool leftWhatItMust(const Program& program) {
    unsigned long long files = 0;
    unsigned long long bytes = 0;
    const bool deleted = countAndDelete(program.leaves, files, bytes);
    const std::wstring found = std::to_wstring(files) + L":" + std::to_wstring(bytes);
    if (found != program.leavesWhat) {
        std::fprintf(stderr, "timepair: %s left %ls, not %ls\n", program.label.c_str(), found.c_str(),
                     program.leavesWhat.c_str());
    }
    return deleted && found == program.leavesWhat;
}

// Seconds from creation to exit, and the exit code; a program that cannot start gives -1 seconds.
std::pair<double, long> timeOne(const Program& program) {
    std::vector<wchar_t> commandLine(program.commandLine.begin(), program.commandLine.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const double started = bench::now();
    if (!CreateProcessW(program.path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "timepair: cannot start %ls (error %lu)\n", program.path.c_str(), GetLastError());
        return {-1.0, -1};
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    const double ended = bench::now();
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return {ended - started, static_cast<long>(exitCode)};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fputs("usage: timepair PLAN ROUNDS TEMPDIR\n", stderr);
        return 2;
    }
    std::vector<Program> plan = readPlan(argv[1]);
    const int rounds = _wtoi(argv[2]);
    const std::wstring tempDir = argv[3];
    if (plan.empty() || rounds < 1) {
        std::fputs("timepair: empty plan or no rounds\n", stderr);
        return 2;
    }
    SetEnvironmentVariableW(L"TEMP", tempDir.c_str());
    SetEnvironmentVariableW(L"TMP", tempDir.c_str());

    bool allOk = true;
    std::puts("round,label,seconds,exit_code,ok");
    for (int round = 0; round <= rounds; ++round) {
        for (const Program& program : plan) {
            if (!program.leaves.empty() && GetFileAttributesW(program.leaves.c_str()) != INVALID_FILE_ATTRIBUTES) {
                std::fprintf(stderr, "timepair: %ls exists before %s runs\n", program.leaves.c_str(),
                             program.label.c_str());
                return 2;
            }
            const auto [seconds, exitCode] = timeOne(program);
            const bool left = program.leaves.empty() || leftWhatItMust(program);
            const bool ok = seconds >= 0 && exitCode == program.expectedExitCode && isEmptyDirectory(tempDir) && left;
            allOk = allOk && ok;
            if (round > 0) {
                std::printf("%d,%s,%.6f,%ld,%d\n", round, program.label.c_str(), seconds, exitCode, ok ? 1 : 0);
                std::fflush(stdout);
            } else if (!ok) {
                std::fprintf(stderr, "timepair: %s failed in the warm-up round (exit code %ld)\n",
                             program.label.c_str(), exitCode);
            }
        }
        std::reverse(plan.begin(), plan.end());
    }
    return allOk ? 0 : 1;
}
