// lodestar-pack's console on Linux: UTF-8, as terminals and pipes take it.
#include <unistd.h>

#include <cstdio>

#include "Console.h"

bool writeText(ConsoleStream stream, const tstring& text) {
    std::FILE* out = stream == ConsoleStream::Output ? stdout : stderr;
    const std::string bytes = tstrings::toUtf8(text);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fflush(out) == 0 && written;
}

bool isTerminal(ConsoleStream stream) {
    return isatty(stream == ConsoleStream::Output ? STDOUT_FILENO : STDERR_FILENO) == 1;
}
