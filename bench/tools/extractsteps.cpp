// The steps of an extraction, timed inside one process so that no process start is counted:
// writing a package from a mapped view of it (as the launcher writes its resource), the same
// followed by the launcher's read-back check, and one CopyFileW, each followed by the deletion
// of what it made. The three alternate, in reverse order every other round so that none always
// follows the same one; a first round warms the caches and is not reported.
//   extractsteps PACKAGE TEMPDIR ROUNDS
// With --check, the read-back check alone, of one file written once (a copy of FILE in TEMPDIR,
// deleted at the end), against FILE mapped as the launcher maps what it carries: the library's
// check without a hash (memcmp only), the same with the content hash of the bytes read (as the
// launcher checks a file against its payload index), and, to tell where the time goes, the same
// hash taken after the comparison in a loop of its own, ReadFile alone and the hash alone over the
// mapped bytes. They alternate as above.
//   extractsteps --check FILE TEMPDIR ROUNDS
// With --fresh, what the first touch of mapped bytes costs: above, FILE is mapped once, so from
// the second round on its pages are already in the process's page tables, whereas every launcher
// maps its image anew. Here each run maps a new view of FILE and unmaps it at the end: writing
// from it, against one CopyFileW (which maps nothing); and reading one byte of each 4 KiB page of
// it, against ReadFile of the whole file through 256 KiB. The ways to stop paying a trap per page
// are timed beside them, each writing in pieces of 8 MiB, one call a piece: plain; each piece
// locked first (VirtualLock, in a working set raised for it); each piece prefetched first
// (PrefetchVirtualMemory); both; and no mapping at all, ReadFile through one buffer; and the
// launcher's calls of 256 KiB. Then each way whole, with the check of what it wrote: the
// launcher's, through the library (the staged file read back, compared with the view and hashed
// with XXH64, and named), and the buffered write followed by a SHA-256 of the file read back (what
// an index carrying digests would allow), with the platform's SHA-256, one on the CPU's SHA
// extensions (when it has them) and a portable one. The SHA-256 ways must agree with each other
// and with known digests before anything is timed.
//   extractsteps --fresh FILE TEMPDIR ROUNDS
// Output, one CSV line per run: round,label,seconds,exit_code,ok (as timepair writes).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "BenchTools.h"
#include "ContentHash.h"
#include "Log.h"
#include "Sha256.h"
#include "WinApi.h"
#include "WinFileUtils.h"

namespace {

const char* package = nullptr;
std::size_t packageSize = 0;
std::uint64_t packageHash = 0;  // --check: the carried file's, as its index holds it

// Writes the view in pieces of `piece` bytes, each first given to `prepare` (which may bring its
// pages in) and then to `release`.
template <typename Prepare, typename Release>
bool writeFromView(const std::wstring& path, std::size_t piece, Prepare prepare, Release release) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    for (std::size_t done = 0; ok && done < packageSize;) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(packageSize - done, piece));
        ok = prepare(package + done, chunk);
        ok = ok && WriteFile(file, package + done, chunk, &written, nullptr) && written > 0;
        release(package + done, chunk);
        done += written;
    }
    return CloseHandle(file) && ok;
}

bool writeFromView(const std::wstring& path) {
    return writeFromView(
        path, std::size_t{64} << 20, [](const char*, DWORD) { return true; }, [](const char*, DWORD) {});
}

// The pieces the launcher reports (StagedFileWriter::write), which it wrote in one call each
// before; the ways below that lock or prefetch do it a piece at a time.
constexpr std::size_t kLauncherPiece = std::size_t{8} << 20;
// The launcher's calls now.
constexpr std::size_t kLauncherCall = std::size_t{256} << 10;

// WIN32_MEMORY_RANGE_ENTRY, which the headers declare for Windows 8 and later only.
struct MemoryRange {
    void* address;
    SIZE_T size;
};

// PrefetchVirtualMemory (Windows 8 and later, so resolved at run time) of one piece; false, with a
// message, when the call fails or the system has none.
bool prefetchPiece(const char* at, DWORD size) {
    using Prefetch = BOOL(WINAPI*)(HANDLE, ULONG_PTR, MemoryRange*, ULONG);
    static const auto prefetch = reinterpret_cast<Prefetch>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "PrefetchVirtualMemory")));
    if (prefetch == nullptr) {
        std::fputs("extractsteps: no PrefetchVirtualMemory\n", stderr);
        return false;
    }
    MemoryRange range{const_cast<char*>(at), size};
    if (!prefetch(GetCurrentProcess(), 1, &range, 0)) {
        std::fprintf(stderr, "extractsteps: PrefetchVirtualMemory failed (error %lu)\n", GetLastError());
        return false;
    }
    return true;
}

// Each piece's pages locked in (one call maps them all; Wine turns it into mlock) before it is
// written, within a working set raised for it; with `prefetchFirst`, each piece is prefetched
// before it is locked (the two ways combined).
bool writeLocked(const std::wstring& path, bool prefetchFirst = false) {
    if (!SetProcessWorkingSetSize(GetCurrentProcess(), 4 * kLauncherPiece, 8 * kLauncherPiece)) {
        std::fprintf(stderr, "extractsteps: SetProcessWorkingSetSize failed (error %lu)\n", GetLastError());
        return false;
    }
    return writeFromView(
        path, kLauncherPiece,
        [prefetchFirst](const char* at, DWORD size) {
            if (prefetchFirst && !prefetchPiece(at, size)) {
                return false;
            }
            if (!VirtualLock(const_cast<char*>(at), size)) {
                std::fprintf(stderr, "extractsteps: VirtualLock failed (error %lu)\n", GetLastError());
                return false;
            }
            return true;
        },
        [](const char* at, DWORD size) { VirtualUnlock(const_cast<char*>(at), size); });
}

bool writePrefetched(const std::wstring& path) {
    return writeFromView(path, kLauncherPiece, prefetchPiece, [](const char*, DWORD) {});
}

// No mapping: ReadFile of the source through one buffer of the launcher's piece, and WriteFile
// of it (what a launcher would do for the files beside the package, checking a digest after).
bool writeThroughBuffer(const std::wstring& path, const wchar_t* from) {
    const HANDLE source = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    std::vector<char> buffer(kLauncherPiece);
    bool ok = source != INVALID_HANDLE_VALUE && file != INVALID_HANDLE_VALUE;
    std::size_t done = 0;
    for (DWORD read = 1; ok && read > 0;) {
        DWORD written = 0;
        ok = ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
             (read == 0 || (WriteFile(file, buffer.data(), read, &written, nullptr) && written == read));
        done += read;
    }
    if (source != INVALID_HANDLE_VALUE) {
        CloseHandle(source);
    }
    return file != INVALID_HANDLE_VALUE && CloseHandle(file) && ok && done == packageSize;
}

// ReadFile through the check's buffer size, `use` given each piece read with the carried bytes at
// the same place; false as soon as `use` says so, or when the file is not exactly as long.
template <typename Use>
bool readThrough(const std::wstring& path, Use use) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::vector<char> buffer(256 * 1024);
    bool ok = true;
    std::size_t done = 0;
    for (DWORD read = 1; ok && read > 0;) {
        ok = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
             read <= packageSize - done && use(buffer.data(), package + done, read);
        done += read;
    }
    CloseHandle(file);
    return ok && done == packageSize;
}

// Today's read-back in the tool's own words: memcmp of every piece read.
bool readBack(const std::wstring& path) {
    return readThrough(
        path, [](const char* read, const char* carried, DWORD size) { return std::memcmp(read, carried, size) == 0; });
}

// The library's check, as the launcher calls it; with `hashed`, the hash of the bytes read must be
// the carried file's. The check throws when the file differs.
bool libraryCheck(const std::wstring& path, bool hashed) {
    try {
        std::uint64_t hash = 0;
        const UniqueHandle lock = FileUtils::lockFileContent(path, package, packageSize, hashed ? &hash : nullptr);
        return lock.valid() && (!hashed || hash == packageHash);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "extractsteps: %s\n", e.what());
        return false;
    }
}

// The launcher's write and check of a carried file, through the library as the launcher calls it:
// a staged file written from the view, held, read back and compared with the view and hashed in
// the same pass, and named through the handle that held it.
bool libraryWriteChecked(const std::wstring& path) {
    try {
        std::uint64_t hash = 0;
        FileUtils::writeStagedFile(path, package, packageSize, FileUtils::Existing::Kept,
                                   [&](const tstring& temporaryPath) {
                                       return FileUtils::lockFileContent(temporaryPath, package, packageSize, &hash,
                                                                         /*renamable=*/true);
                                   });
        return hash == packageHash;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "extractsteps: %s\n", e.what());
        return false;
    }
}

using Step = bool (*)(const std::wstring&, const wchar_t*);
using Steps = std::vector<std::pair<const char*, Step>>;

// Runs each step once a round, in reverse order every other round, after an unreported first
// round; after each, `after` (the deletion of what the step made, or nothing).
int runRounds(Steps steps, int rounds, const std::wstring& target, const wchar_t* source,
              bool (*after)(const std::wstring&)) {
    std::puts("round,label,seconds,exit_code,ok");
    bool allOk = true;
    for (int round = 0; round <= rounds; ++round) {
        for (const auto& [label, step] : steps) {
            const double started = bench::now();
            const bool ok = step(target, source) && after(target);
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

int extractionSteps(const wchar_t* source, const std::wstring& target, int rounds) {
    const Steps steps = {
        {"write", [](const std::wstring& path, const wchar_t*) { return writeFromView(path); }},
        {"write_and_check",
         [](const std::wstring& path, const wchar_t*) { return writeFromView(path) && readBack(path); }},
        {"copyfile",
         [](const std::wstring& path, const wchar_t* from) { return CopyFileW(from, path.c_str(), TRUE) != 0; }},
    };
    return runRounds(steps, rounds, target, source,
                     [](const std::wstring& path) { return DeleteFileW(path.c_str()) != 0; });
}

int checkSteps(const wchar_t* source, const std::wstring& target, int rounds) {
    DeleteFileW(target.c_str());
    if (!CopyFileW(source, target.c_str(), TRUE)) {
        std::fputs("extractsteps: cannot copy the file to check\n", stderr);
        return 2;
    }
    packageHash = ContentHash().update(package, packageSize).digest();
    const Steps steps = {
        {"memcmp", [](const std::wstring& path, const wchar_t*) { return libraryCheck(path, false); }},
        {"memcmp_xxh64", [](const std::wstring& path, const wchar_t*) { return libraryCheck(path, true); }},
        {"memcmp_then_xxh64",
         [](const std::wstring& path, const wchar_t*) {
             ContentHash hash;
             return readThrough(path,
                                [&](const char* read, const char* carried, DWORD size) {
                                    const bool same = std::memcmp(read, carried, size) == 0;
                                    hash.update(read, size);
                                    return same;
                                }) &&
                    hash.digest() == packageHash;
         }},
        {"read",
         [](const std::wstring& path, const wchar_t*) {
             return readThrough(path, [](const char*, const char*, DWORD) { return true; });
         }},
        {"xxh64", [](const std::wstring&,
                     const wchar_t*) { return ContentHash().update(package, packageSize).digest() == packageHash; }},
    };
    const int result = runRounds(steps, rounds, target, source, [](const std::wstring&) { return true; });
    return DeleteFileW(target.c_str()) ? result : 1;
}

HANDLE packageMapping = nullptr;
bench::Sha256Digest packageDigest{};  // --fresh: what an index would carry for the file

// The written file held against writers, as the launcher holds what it checks, read back through
// the check's buffer size and hashed `way`; true when it gives the carried file's digest.
bool digestReadBack(const std::wstring& path, bench::Sha256::Way way) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::vector<char> buffer(256 * 1024);
    bench::Sha256 hash(way);
    bool ok = true;
    for (DWORD read = 1; ok && read > 0;) {
        ok = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) != 0;
        hash.update(buffer.data(), read);
    }
    CloseHandle(file);
    return ok && hash.finish() == packageDigest;
}

template <bench::Sha256::Way way>
bool writeThroughBufferThenDigest(const std::wstring& path, const wchar_t* from) {
    return writeThroughBuffer(path, from) && digestReadBack(path, way);
}

// A new view of the package for the length of `use`; false when it cannot be mapped.
template <typename Use>
bool withFreshView(Use use) {
    package = static_cast<const char*>(MapViewOfFile(packageMapping, FILE_MAP_READ, 0, 0, 0));
    if (package == nullptr) {
        return false;
    }
    const bool ok = use();
    UnmapViewOfFile(package);
    package = nullptr;
    return ok;
}

volatile char touched = 0;

int freshViewSteps(const wchar_t* source, const std::wstring& target, int rounds) {
    Steps steps = {
        {"write_fresh",
         [](const std::wstring& path, const wchar_t*) { return withFreshView([&] { return writeFromView(path); }); }},
        {"copyfile",
         [](const std::wstring& path, const wchar_t* from) { return CopyFileW(from, path.c_str(), TRUE) != 0; }},
        {"write_fresh_pieces",
         [](const std::wstring& path, const wchar_t*) {
             return withFreshView([&] {
                 return writeFromView(
                     path, kLauncherPiece, [](const char*, DWORD) { return true; }, [](const char*, DWORD) {});
             });
         }},
        {"write_fresh_calls",
         [](const std::wstring& path, const wchar_t*) {
             return withFreshView([&] {
                 return writeFromView(
                     path, kLauncherCall, [](const char*, DWORD) { return true; }, [](const char*, DWORD) {});
             });
         }},
        {"write_fresh_locked",
         [](const std::wstring& path, const wchar_t*) { return withFreshView([&] { return writeLocked(path); }); }},
        {"write_fresh_prefetched",
         [](const std::wstring& path, const wchar_t*) { return withFreshView([&] { return writePrefetched(path); }); }},
        {"write_buffered", writeThroughBuffer},
        {"write_fresh_locked_prefetched",
         [](const std::wstring& path, const wchar_t*) {
             return withFreshView([&] { return writeLocked(path, /*prefetchFirst=*/true); });
         }},
        // Each way with the check of what it wrote: the launcher's (from the mapped image, compared
        // with it and hashed with XXH64 in one pass), and ReadFile and
        // WriteFile through a buffer, then a SHA-256 of the file read back, three ways.
        {"write_fresh_checked", [](const std::wstring& path, const wchar_t*) { return withFreshView([&] {
                                        return libraryWriteChecked(path);
                                    }); }},
        {"write_buffered_sha256_platform", writeThroughBufferThenDigest<bench::Sha256::Way::Platform>},
        {"write_buffered_sha256_portable", writeThroughBufferThenDigest<bench::Sha256::Way::Portable>},
        {"touch_fresh",
         [](const std::wstring&, const wchar_t*) {
             return withFreshView([] {
                 char sum = 0;
                 for (std::size_t at = 0; at < packageSize; at += 4096) {
                     sum = static_cast<char>(sum ^ package[at]);
                 }
                 touched = sum;
                 return true;
             });
         }},
        {"read",
         [](const std::wstring&, const wchar_t* from) {
             const HANDLE file = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
             if (file == INVALID_HANDLE_VALUE) {
                 return false;
             }
             std::vector<char> buffer(256 * 1024);
             std::size_t done = 0;
             DWORD read = 0;
             while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read > 0) {
                 done += read;
             }
             CloseHandle(file);
             return done == packageSize;
         }},
    };
    if (bench::Sha256::cpuHasExtensions()) {
        steps.push_back({"write_buffered_sha256_extensions",
                         writeThroughBufferThenDigest<bench::Sha256::Way::CpuExtensions>});
    } else {
        std::fputs("extractsteps: this CPU has no SHA extensions\n", stderr);
    }
    // What a step wrote goes; what it only read leaves nothing.
    return runRounds(steps, rounds, target, source, [](const std::wstring& path) {
        return DeleteFileW(path.c_str()) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
    });
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // The library's trace would go into the CSV on standard output; its failures come as exceptions.
    static NopLogAppender quiet;
    Logger::global().setAppender(&quiet);
    const std::wstring mode = argc == 5 ? argv[1] : L"";
    const bool check = mode == L"--check";
    const bool fresh = mode == L"--fresh";
    if (argc != 4 && !check && !fresh) {
        std::fputs(
            "usage: extractsteps PACKAGE TEMPDIR ROUNDS\n       extractsteps --check FILE TEMPDIR ROUNDS\n"
            "       extractsteps --fresh FILE TEMPDIR ROUNDS\n",
            stderr);
        return 2;
    }
    wchar_t** args = argc == 5 ? argv + 2 : argv + 1;
    const HANDLE source = CreateFileW(args[0], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size{};
    GetFileSizeEx(source, &size);
    packageSize = static_cast<std::size_t>(size.QuadPart);
    packageMapping = CreateFileMappingW(source, nullptr, PAGE_READONLY, 0, 0, nullptr);
    package = static_cast<const char*>(MapViewOfFile(packageMapping, FILE_MAP_READ, 0, 0, 0));
    if (package == nullptr) {
        std::fputs("extractsteps: cannot map the package\n", stderr);
        return 2;
    }
    const int rounds = _wtoi(args[2]);
    if (fresh) {
        const std::string failed = bench::Sha256::selfTest();
        if (!failed.empty()) {
            std::fprintf(stderr, "extractsteps: SHA-256 self-test failed: %s\n", failed.c_str());
            return 2;
        }
        packageHash = ContentHash().update(package, packageSize).digest();
        bench::Sha256 digest(bench::Sha256::cpuHasExtensions() ? bench::Sha256::Way::CpuExtensions
                                                               : bench::Sha256::Way::Portable);
        digest.update(package, packageSize);
        packageDigest = digest.finish();
        UnmapViewOfFile(package);
        package = nullptr;  // each step that reads the file maps a view of its own
        return freshViewSteps(args[0], std::wstring(args[1]) + L"\\extracted.bin", rounds);
    }
    if (check) {
        return checkSteps(args[0], std::wstring(args[1]) + L"\\checked.bin", rounds);
    }
    return extractionSteps(args[0], std::wstring(args[1]) + L"\\extracted.bin", rounds);
}
