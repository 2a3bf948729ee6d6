// The one header that includes <windows.h>; every other file that needs the Windows API
// includes this one, so the target version and the trimmed macro set are the same everywhere.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7: SetDefaultDllDirectories and job objects in nested jobs
#endif
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif

#include <windows.h>

// wingdi.h defines ERROR as 0, which would turn LogLevel::ERROR into a syntax error.
#ifdef ERROR
#undef ERROR
#endif
