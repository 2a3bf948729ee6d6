// What the library asks of the running process and the system on Windows: besides what every
// platform answers (SysInfo.h: environment, module paths), the command line, the system
// directory and module handles.
#pragma once

#include <new>

#include "SysInfo.h"
#include "WinApi.h"
#include "tstrings.h"

namespace SysInfo {

// Only ExcludeProgramName leaves the program name out; any other value keeps it.
enum ProgramNameMode : int { IncludeProgramName = 0, ExcludeProgramName = 1 };

// The process command line split by the platform's own rules (CommandLineToArgvW).
tstring_array getCommandArgs(ProgramNameMode mode);
// The arguments as the process received them: the command line after the program name (ended
// where CommandLineToArgvW ends it) and the blanks that follow it. Nothing is split, unquoted or
// re-quoted, so a program with its own parser (msiexec) can be handed exactly what the user typed.
tstring getCommandArgsText();

// Without trailing separators.
tstring getSystemDirectory();
// "msiexec.exe" in the system directory.
tstring getWIPath();

// The module that contains the library's code (the executable, or a custom-action DLL).
HMODULE getCurrentModuleHandle();
// The module whose code or data lies at `address`, without taking a reference to it; null when
// none does (the thread's last error then says why).
HMODULE moduleContaining(const void* address) noexcept;

}  // namespace SysInfo
