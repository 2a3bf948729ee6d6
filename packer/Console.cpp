#include "Console.h"

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <iterator>
#include <string>

bool writeLine(ConsoleStream stream, const tstring& text) {
    return writeText(stream, text + L"\n");
}

namespace {

constexpr std::int64_t kShowAfterMs = 1000;
constexpr std::int64_t kUpdateEveryMs = 200;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ProgressLine::ProgressLine() : terminal_(isTerminal(ConsoleStream::Error)), startedMs_(nowMs()) {}

ProgressLine::~ProgressLine() {
    if (width_ > 0) {
        writeText(ConsoleStream::Error, L"\r" + tstring(width_, L' ') + L"\r");
    }
}

void ProgressLine::update(std::uint64_t done, std::uint64_t total, const tstring& reading) {
    const std::int64_t now = nowMs();
    if (!terminal_ || now - startedMs_ < kShowAfterMs || (shownMs_ >= 0 && now - shownMs_ < kUpdateEveryMs)) {
        return;
    }
    shownMs_ = now;
    const double seconds = static_cast<double>(now - startedMs_) / 1000;
    const auto rate = static_cast<std::uint64_t>(static_cast<double>(done) / seconds);
    tstring text = tstrings::formatPrintf(L"lodestar-pack: %s of %s (%u%%), %s/s, ", formatSize(done), formatSize(total),
                                          static_cast<unsigned>(total == 0 ? 100 : done * 100 / total),
                                          formatSize(rate));
    // A line that wraps is no longer rewritten in place by '\r': the file's name gives way, its
    // end kept, so that the line fits the narrowest usual terminal.
    constexpr std::size_t kLineWidth = 79;
    const tstring name = tstrings::printable(reading);
    const tstring cut = L"...";
    const std::size_t room = std::max(kLineWidth - std::min(kLineWidth, text.size()), cut.size() + 1);
    text += name.size() <= room ? name : cut + name.substr(name.size() - (room - cut.size()));
    const std::size_t width = text.size();
    if (width < width_) {
        text += tstring(width_ - width, L' ');
    }
    width_ = width;
    writeText(ConsoleStream::Error, L"\r" + text);
}

tstring formatSize(std::uint64_t bytes) {
    if (bytes < 1024) {
        return std::to_wstring(bytes) + L" bytes";
    }
    const wchar_t* const units[] = {L"KiB", L"MiB", L"GiB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    return tstrings::formatPrintf(L"%.1f %s", value, units[unit]);
}
