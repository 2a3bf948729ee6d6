// Text for the user of a console program: UTF-16 to a console, UTF-8 to a pipe or file (as under
// Wine, or when the output is redirected).
#pragma once

#include "WinApi.h"
#include "tstrings.h"

// `stream` is STD_OUTPUT_HANDLE or STD_ERROR_HANDLE; a line feed is added. Failures are ignored:
// there is nowhere left to report them.
void writeLine(DWORD stream, const tstring& text);

// "812 bytes", "10.2 KiB", "1.5 GiB".
tstring formatSize(std::uint64_t bytes);
