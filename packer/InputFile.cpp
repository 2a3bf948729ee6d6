#include "InputFile.h"

#include <utility>

InputFile::InputFile(const tstring& path) : InputFile(path, openNative(path)) {}

InputFile::InputFile(const tstring& path, NativeOwner native) : path_(path), native_(std::move(native)) {
    adopt();
}

InputFile::~InputFile() = default;
InputFile::InputFile(InputFile&& other) noexcept = default;
InputFile& InputFile::operator=(InputFile&& other) noexcept = default;

std::size_t InputFile::read(void* buffer, std::size_t size) {
    return readUntilFullOrEnd(buffer, size,
                              [&](void* at, std::size_t, std::size_t left) { return readSome(at, left); });
}
