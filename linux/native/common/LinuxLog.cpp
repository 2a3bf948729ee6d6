// The log's record stamp in the native Linux build.
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>

#include "Log.h"

void stampLogEvent(LogEvent& event) {
    timeval now{};
    gettimeofday(&now, nullptr);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    event.ts.wYear = static_cast<std::uint16_t>(local.tm_year + 1900);
    event.ts.wMonth = static_cast<std::uint16_t>(local.tm_mon + 1);
    event.ts.wDayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
    event.ts.wDay = static_cast<std::uint16_t>(local.tm_mday);
    event.ts.wHour = static_cast<std::uint16_t>(local.tm_hour);
    event.ts.wMinute = static_cast<std::uint16_t>(local.tm_min);
    event.ts.wSecond = static_cast<std::uint16_t>(local.tm_sec);
    event.ts.wMilliseconds = static_cast<std::uint16_t>(now.tv_usec / 1000);
    event.tid = static_cast<std::uint32_t>(syscall(SYS_gettid));
    event.pid = static_cast<std::uint32_t>(getpid());
}
