// The log's record stamp on Windows.
#include "Log.h"
#include "WinApi.h"

void stampLogEvent(LogEvent& event) {
    GetLocalTime(&event.ts);
    event.tid = GetCurrentThreadId();
    event.pid = GetCurrentProcessId();
}
