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
// The text as it is, without a line feed (the platform's).
bool writeText(ConsoleStream stream, const tstring& text);
// Whether the stream is a terminal a person watches, not a pipe or a file (the platform's).
bool isTerminal(ConsoleStream stream);

// One line on standard error that a long run updates in place: shown only on a terminal, and only
// once the run has taken about a second, so that logs and quick runs stay clean. Cleared when the
// run ends.
class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // `done` of `total` bytes, while `reading` is read.
    void update(std::uint64_t done, std::uint64_t total, const tstring& reading);

private:
    bool terminal_;
    std::int64_t startedMs_;
    std::int64_t shownMs_ = -1;
    std::size_t width_ = 0;  // of what is on the line now
};

// "812 bytes", "10.2 KiB", "1.5 GiB".
tstring formatSize(std::uint64_t bytes);
