// Helpers the packer's tests share: an executable's header fields, read and changed at the
// format's own offsets (PeFormat.h); launchers written from the stub the build made; large files
// that take no space; and, on Windows, the system's own reading of a launcher.
#pragma once

#include <cstdint>
#include <string>

#include "ByteSink.h"
#include "InputFile.h"
#include "LauncherImage.h"
#include "PackerTestFiles.h"
#include "PeFormat.h"
#include "ResourceSection.h"
#include "StubImage.h"
#include "TestSupport.h"
#ifdef _WIN32
#include "UniqueResource.h"
#else
#include <fstream>
#endif

// The little-endian field of `size` bytes at `at`.
inline std::uint64_t fieldAt(const std::string& image, std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;) {
        value = value << 8 | static_cast<std::uint8_t>(image.at(at + i));
    }
    return value;
}

inline void setField(std::string& image, std::size_t at, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        image.at(at + i) = static_cast<char>(value >> (8 * i));
    }
}

// Where an image's headers lie: its NT headers, its optional header and its section table.
struct PeHeaders {
    explicit PeHeaders(const std::string& image)
        : nt(static_cast<std::size_t>(fieldAt(image, pe::kNtHeadersOffsetField, 4))),
          file(nt + pe::kFileHeaderOffset),
          optional(nt + pe::kOptionalHeaderOffset),
          sections(optional + fieldAt(image, file + pe::kSizeOfOptionalHeader, 2)),
          sectionCount(fieldAt(image, file + pe::kNumberOfSections, 2)) {}

    std::size_t section(std::uint64_t index) const {
        return sections + static_cast<std::size_t>(index) * pe::kSectionHeaderSize;
    }
    std::size_t directory(std::size_t index) const {
        return optional + pe::kDataDirectories + index * pe::kDataDirectorySize;
    }

    std::size_t nt, file, optional, sections;
    std::uint64_t sectionCount;
};

// An image written to memory.
class MemoryOutput : public ByteSink {
public:
    void write(const void* data, std::size_t size) override { bytes.append(static_cast<const char*>(data), size); }
    void writeAt(std::uint64_t offset, const void* data, std::size_t size) override {
        bytes.replace(static_cast<std::size_t>(offset), size, static_cast<const char*>(data), size);
    }
    std::string bytes;
};

inline const std::string& builtStub() {
    static const std::string stub = readFile(packertest::kStub);
    return stub;
}

// `stub` with `resources` as its last section, as pack() writes it after its checks.
inline std::string launcherWith(const ResourceSection& resources, const std::string& stub = builtStub(),
                                const StubImage::Progress& progress = nullptr, StubImage::Written* written = nullptr) {
    MemoryOutput out;
    const StubImage::Written done = StubImage(stub.data(), stub.size()).writeWith(resources, out, progress);
    if (written != nullptr) {
        *written = done;
    }
    return out.bytes;
}

// The stub, its checksum field cleared, and a tail of 0xFF bytes: long enough for a checksum to
// pass 32 bits, of odd length so that its last 16-bit word is only half there.
inline std::string checksummedImage() {
    std::string image = builtStub();
    setField(image, PeHeaders(image).optional + pe::kCheckSum, 0, 4);
    return image.append(1024 * 1024 + 1, '\xFF');
}

// What LauncherImage finds in the launcher at `path`: the resource's bytes, "(none)", or the
// message it refuses with.
inline std::string resourceOf(const tstring& path, const ResourceId& type, const ResourceId& name) {
    try {
        InputFile file(path);
        LauncherImage image(file);
        const std::optional<ResourceLocation> location = image.find(type, name);
        if (!location) {
            return "(none)";
        }
        const std::vector<std::uint8_t> bytes = image.read(*location);
        return std::string(bytes.begin(), bytes.end());
    } catch (const LdErrorBase& e) {
        return e.rawMessage();
    }
}

// A file of `size` bytes that takes no space: laid out, never read whole.
inline void writeSparseFile(const tstring& path, std::uint64_t size) {
#ifdef _WIN32
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    ASSERT_TRUE(file && SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()))
        << utf8(path) << ": error " << GetLastError();
#else
    std::ofstream(fsPath(path)).close();
    std::filesystem::resize_file(fsPath(path), size);
#endif
}

#ifdef _WIN32
// A written launcher, loaded as the system reads the resources of a file it does not run.
class LoadedLauncher {
public:
    explicit LoadedLauncher(const tstring& path)
        : module_(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {
        EXPECT_TRUE(module_) << "cannot load " << utf8(path) << ": error " << GetLastError();
    }

    HMODULE get() const { return module_.get(); }

    // Where the resource's bytes are; nullptr when it is missing.
    const char* address(LPCWSTR name, LPCWSTR type) const {
        const HRSRC found = FindResourceW(module_.get(), name, type);
        return found == nullptr ? nullptr : static_cast<const char*>(LockResource(LoadResource(module_.get(), found)));
    }

    // The resource's bytes; "(none)" when it is missing.
    std::string resource(LPCWSTR name, LPCWSTR type) const {
        const HRSRC found = FindResourceW(module_.get(), name, type);
        if (found == nullptr) {
            return "(none)";
        }
        return std::string(address(name, type), SizeofResource(module_.get(), found));
    }

private:
    ModuleHandle module_;
};
#endif
