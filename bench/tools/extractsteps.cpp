// The steps of an extraction, timed inside one process so that no process start is counted:
// writing a package from a mapped view of it (as the launcher writes its resource), the same
// followed by the launcher's read-back check, and one CopyFileW, each followed by the deletion
// of what it made. The three alternate, in reverse order every other round so that none always
// follows the same one; a first round warms the caches and is not reported.
//   extractsteps PACKAGE TEMPDIR ROUNDS
// Output, one CSV line per run: round,label,seconds,exit_code,ok (as timepair writes).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BenchTools.h"
#include "WinApi.h"

namespace {

const char* package = nullptr;
std::size_t packageSize = 0;

bool writeFromView(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    for (std::size_t done = 0; ok && done < packageSize;) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(packageSize - done, 64 << 20));
        ok = WriteFile(file, package + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    return CloseHandle(file) && ok;
}

bool readBack(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::vector<char> buffer(256 * 1024);
    bool same = true;
    std::size_t done = 0;
    for (DWORD read = 1; same && read > 0;) {
        same = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
               read <= packageSize - done && std::memcmp(buffer.data(), package + done, read) == 0;
        done += read;
    }
    CloseHandle(file);
    return same && done == packageSize;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fputs("usage: extractsteps PACKAGE TEMPDIR ROUNDS\n", stderr);
        return 2;
    }
    const HANDLE source = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size{};
    GetFileSizeEx(source, &size);
    packageSize = static_cast<std::size_t>(size.QuadPart);
    const HANDLE mapping = CreateFileMappingW(source, nullptr, PAGE_READONLY, 0, 0, nullptr);
    package = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (package == nullptr) {
        std::fputs("extractsteps: cannot map the package\n", stderr);
        return 2;
    }
    const std::wstring target = std::wstring(argv[2]) + L"\\extracted.bin";
    const int rounds = _wtoi(argv[3]);

    using Step = bool (*)(const std::wstring&, const wchar_t*);
    std::vector<std::pair<const char*, Step>> steps = {
        {"write", [](const std::wstring& path, const wchar_t*) { return writeFromView(path); }},
        {"write_and_check",
         [](const std::wstring& path, const wchar_t*) { return writeFromView(path) && readBack(path); }},
        {"copyfile",
         [](const std::wstring& path, const wchar_t* from) { return CopyFileW(from, path.c_str(), TRUE) != 0; }},
    };
    std::puts("round,label,seconds,exit_code,ok");
    bool allOk = true;
    for (int round = 0; round <= rounds; ++round) {
        for (const auto& [label, step] : steps) {
            const double started = bench::now();
            const bool ok = step(target, argv[1]) && DeleteFileW(target.c_str());
            const double seconds = bench::now() - started;
            allOk = allOk && ok;
            if (round > 0) {
                std::printf("%d,%s,%.6f,0,%d\n", round, label, seconds, ok ? 1 : 0);
            } else if (!ok) {
                std::fprintf(stderr, "extractsteps: %s failed in the warm-up round\n", label);
            }
        }
        std::reverse(steps.begin(), steps.end());
    }
    return allOk ? 0 : 1;
}
