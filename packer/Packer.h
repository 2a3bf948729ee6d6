// The packer's work: check the package, describe it, and write the launcher that carries it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "PackFailure.h"
#include "PackOptions.h"

// What every launcher is made of besides the package: the stub executable and its manifest.
struct LauncherParts {
    const void* stub;
    std::size_t stubSize;
    std::string manifest;
};

struct PackResult {
    tstring packagePath;  // absolute
    tstring outputPath;   // absolute
    tstring productCode;  // braced, upper case
    std::uint64_t packageSize = 0;
    std::uint64_t besideCount = 0;  // files carried beside the package
    std::uint64_t besideSize = 0;   // their bytes
    std::uint64_t outputSize = 0;
};

// Writes the launcher; called with the carried bytes written so far and their total.
using PackProgress = std::function<void(std::uint64_t done, std::uint64_t total, const tstring& reading)>;

// Throws PackFailure (located, as LdError<PackFailure>) for anything that keeps the launcher from
// being written whole; then nothing is left at the output path, nor any temporary file.
PackResult pack(const PackOptions& options, const LauncherParts& parts, const PackProgress& progress);

// Windows Installer opens no package larger than this.
constexpr std::uint64_t kLargestPackage = std::uint64_t{2} * 1024 * 1024 * 1024;
