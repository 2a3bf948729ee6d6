// lodestar-pack's console on Windows.
#include "Console.h"
#include "WinApi.h"

namespace {

HANDLE handleOf(ConsoleStream stream) {
    return GetStdHandle(stream == ConsoleStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

bool isTerminal(ConsoleStream stream) {
    DWORD mode = 0;
    const HANDLE handle = handleOf(stream);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

bool writeText(ConsoleStream stream, const tstring& line) {
    const HANDLE handle = handleOf(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        return WriteConsoleW(handle, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr) &&
               written == line.size();
    }
    const std::string bytes = tstrings::toUtf8(line);
    return WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}
