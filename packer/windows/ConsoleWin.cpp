// lodestar-pack's console on Windows.
#include "Console.h"
#include "WinApi.h"

bool writeLine(ConsoleStream stream, const tstring& text) {
    const HANDLE handle = GetStdHandle(stream == ConsoleStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const tstring line = text + L"\n";
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
