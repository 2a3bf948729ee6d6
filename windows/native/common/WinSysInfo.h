// What the library asks of the running process and the system: command line, environment,
// system directory, module handles and paths.
#pragma once

#include "WinApi.h"
#include "tstrings.h"

namespace SysInfo {

// The module that contains the library's code (the executable, or a custom-action DLL).
HMODULE getCurrentModuleHandle();
tstring getCurrentModulePath();

}  // namespace SysInfo
