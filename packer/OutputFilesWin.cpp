#include "OutputFiles.h"

#include "WinFileUtils.h"

namespace output {

Occupant occupantOf(const tstring& path) {
    if (FileUtils::isDirectory(path)) {
        return Occupant::Directory;
    }
    return FileUtils::pathExists(path) ? Occupant::File : Occupant::Nothing;
}

tstring_array makeDirectories(const tstring& path) {
    tstring_array made;
    FileUtils::createDirectory(path, &made);
    return made;
}

void removeFile(const tstring& path) noexcept {
    FileUtils::deleteFile(path, std::nothrow);
}

void removeEmptyDirectory(const tstring& path) noexcept {
    FileUtils::deleteDirectory(path, std::nothrow);
}

struct StagedFile::Native {
    explicit Native(const tstring& destination) : writer(destination) {}
    FileUtils::StagedFileWriter writer;
};

StagedFile::StagedFile(const tstring& destination) : native_(std::make_unique<Native>(destination)) {}
StagedFile::~StagedFile() = default;
StagedFile::StagedFile(StagedFile&& other) noexcept = default;
StagedFile& StagedFile::operator=(StagedFile&& other) noexcept = default;

void StagedFile::write(const void* data, std::size_t size) {
    native_->writer.write(data, size);
}

void StagedFile::close() {
    native_->writer.close();
}

const tstring& StagedFile::temporaryPath() const {
    return native_->writer.temporaryPath();
}

void StagedFile::publish(bool replace) {
    native_->writer.finalize(!replace);
}

}  // namespace output
