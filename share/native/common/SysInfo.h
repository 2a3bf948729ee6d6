// What the library asks of the running process on any platform: its environment and the paths of
// its code. Defined in windows/native/common/WinSysInfo.cpp, and for the native Linux build in
// linux/native/common/LinuxSysInfo.cpp; WinSysInfo.h adds what only Windows has (the command line
// as Windows splits it, module handles, the system directory).
#pragma once

#include <new>

#include "tstrings.h"

namespace SysInfo {

void setEnvVariable(const tstring& name, const tstring& value);
// True also for a variable set to the empty string.
bool isEnvVariableSet(const tstring& name);
// Throws when the variable is not set or cannot be read.
tstring getEnvVariable(const tstring& name);
// `defaultValue` when the variable is not set or cannot be read.
tstring getEnvVariable(const std::nothrow_t&, const tstring& name, const tstring& defaultValue);

// The path of the module that contains the library's code (the executable, or a custom-action
// DLL).
tstring getCurrentModulePath();
// The absolute path of the process executable.
tstring getProcessModulePath();

}  // namespace SysInfo
