// The launch frame: runs a payload, turns every failure that escapes it into one ERROR record
// and a short last error message for the user, and never lets an exception out. Its Windows
// half, app::wlaunch with the console and the error box, is declared in WinApp.h; the debug
// switch is read through SysInfo (SysInfo.h).
#pragma once

#include <new>
#include <string>

#include "Log.h"

namespace app {

typedef void (*LauncherFunc)();

// True exactly when LODESTAR_DEBUG is "true": case-sensitive, the whole value.
bool isDebugSwitchOn();

// The message kept for the user while a caught failure is being reported: the raw message of a
// located error, the runtime library's error text for another runtime error, "Unknown error"
// for anything else. Empty at all other times.
std::string lastErrorMsg();

// The process-wide appender that writes lastErrorMsg() as one line to standard error.
LogAppender& defaultLastErrorLogAppender();

// Chooses the log sink by the debug switch, runs `payload` and reports what escapes it through
// `lastErrorLogAppender` (null: the process-wide one) as well as the chosen sink.
// Returns 0 when the payload returned, 1 when it failed.
int launch(const std::nothrow_t&, LauncherFunc payload, LogAppender* lastErrorLogAppender);

}  // namespace app
