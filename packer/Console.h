// Text for the user of lodestar-pack: on Windows UTF-16 to a console and UTF-8 to a pipe or file
// (as under Wine, or when the output is redirected), on Linux UTF-8 (ConsoleWin.cpp,
// ConsolePosix.cpp).
#pragma once

#include <cstdint>

#include "tstrings.h"

enum class ConsoleStream { Output, Error };

// A line feed is added. False when not all of it was written (a full disk, a closed pipe): callers
// whose output is the result say so; a report on standard error has nowhere left to go.
bool writeLine(ConsoleStream stream, const tstring& text);

// "812 bytes", "10.2 KiB", "1.5 GiB".
tstring formatSize(std::uint64_t bytes);
