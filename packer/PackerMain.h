// lodestar-pack's command line, run: packing, --info, --extract, --help and --version, the
// messages and the exit code. The same on every platform; the entry points (EntryPointWin.cpp,
// EntryPointPosix.cpp) hand it the arguments and what every launcher is made of.
#pragma once

#include "Packer.h"
#include "tstrings.h"

// The arguments without the program's name. Never throws: every failure is a message on standard
// error and an exit code (PackExitCode).
int runPacker(const tstring_array& args, const LauncherParts& parts);
