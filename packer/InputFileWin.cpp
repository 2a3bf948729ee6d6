#include "InputFile.h"

#include <algorithm>

#include "ErrorHandling.h"
#include "UniqueResource.h"
#include "WinApi.h"
#include "WinFileUtils.h"

struct InputFile::Native {
    UniqueHandle handle;
};

namespace {

[[noreturn]] void refuse(const tstrings::MessageBuilder& message, bool missing) {
    LD_THROW(InputFileError(message.str(), missing));
}

}  // namespace

InputFile::InputFile(const tstring& path) : path_(path), native_(std::make_unique<Native>()) {
    if (FileUtils::isDirectory(path_)) {
        refuse(tstrings::MessageBuilder() << path_ << " is a directory", false);
    }
    // Read sharing only: nobody can change the file while it is checked and carried.
    native_->handle.reset(CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!native_->handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            refuse(tstrings::MessageBuilder() << "there is no file at " << path_, true);
        }
        refuse(tstrings::MessageBuilder() << path_ << " cannot be opened: " << describeSystemError(error, nullptr),
               false);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(native_->handle.get(), &size)) {
        const DWORD error = GetLastError();
        refuse(tstrings::MessageBuilder()
                   << "the size of " << path_ << " cannot be read: " << describeSystemError(error, nullptr),
               false);
    }
    size_ = static_cast<std::uint64_t>(size.QuadPart);
}

tstring InputFile::reopenablePath() const {
    return path_;
}

InputFile::~InputFile() = default;
InputFile::InputFile(InputFile&& other) noexcept = default;
InputFile& InputFile::operator=(InputFile&& other) noexcept = default;

std::size_t InputFile::read(void* buffer, std::size_t size) {
    auto* next = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 64 * 1024 * 1024));
        DWORD read = 0;
        LD_THROW_LAST_ERROR_IF(!ReadFile(native_->handle.get(), next + done, chunk, &read, nullptr), ReadFile,
                               "ReadFile(" << path_ << ") failed");
        if (read == 0) {
            break;
        }
        done += read;
    }
    return done;
}

void InputFile::seek(std::uint64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(std::min<std::uint64_t>(offset, size_));
    LD_THROW_LAST_ERROR_IF(!SetFilePointerEx(native_->handle.get(), position, nullptr, FILE_BEGIN), SetFilePointerEx,
                           "SetFilePointerEx(" << path_ << ", " << offset << ") failed");
}
