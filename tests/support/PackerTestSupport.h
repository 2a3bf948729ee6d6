// Helpers the packer's tests share: the headers of an executable's bytes, launchers written from
// the stub the build made, and the system's reading of them.
#pragma once

#include <cstring>
#include <string>

#include "InputFile.h"
#include "PackerTestFiles.h"
#include "ResourceSection.h"
#include "StubImage.h"
#include "TestSupport.h"
#include "UniqueResource.h"
#include "WinFileUtils.h"

template <typename T>
T readStruct(const std::string& bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

inline std::size_t ntHeadersOffset(const std::string& image) {
    return static_cast<std::size_t>(readStruct<IMAGE_DOS_HEADER>(image, 0).e_lfanew);
}

inline IMAGE_NT_HEADERS64 ntHeaders(const std::string& image) {
    return readStruct<IMAGE_NT_HEADERS64>(image, ntHeadersOffset(image));
}

// A staged file as the stub image writes it.
class StagedTestOutput : public ByteSink {
public:
    explicit StagedTestOutput(FileUtils::StagedFileWriter& writer) : writer_(writer) {}
    void write(const void* data, std::size_t size) override { writer_.write(data, size); }
    void writeAt(std::uint64_t offset, const void* data, std::size_t size) override {
        writer_.writeAt(offset, data, size);
    }

private:
    FileUtils::StagedFileWriter& writer_;
};

// Writes `stub` with `resources` as its last section to `path`, as pack() does after its checks.
inline StubImage::Written writeLauncher(const std::string& stub, const ResourceSection& resources, const tstring& path,
                                        const StubImage::Progress& progress = nullptr) {
    FileUtils::StagedFileWriter writer(path);
    StagedTestOutput output(writer);
    const StubImage::Written written = StubImage(stub.data(), stub.size()).writeWith(resources, output, progress);
    writer.close();
    writer.finalize();
    return written;
}

// A file of `size` bytes that takes no space: laid out, never read whole.
inline void writeSparseFile(const tstring& path, std::uint64_t size) {
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    ASSERT_TRUE(file && SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()))
        << utf8(path) << ": error " << GetLastError();
}

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
