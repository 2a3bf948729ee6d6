// lodestar-pack's console on Linux: UTF-8, as terminals and pipes take it.
#include <cstdio>

#include "Console.h"

bool writeLine(ConsoleStream stream, const tstring& text) {
    std::FILE* out = stream == ConsoleStream::Output ? stdout : stderr;
    const std::string line = tstrings::toUtf8(text) + "\n";
    const bool written = std::fwrite(line.data(), 1, line.size(), out) == line.size();
    return std::fflush(out) == 0 && written;
}
