// The verbose log of a launcher packed with --log: support asks for one when an installation
// fails on a user's machine, and it exists only if somebody typed /l*v. Written into the user's
// temporary folder as [installed name]_[yyyyMMddHHmmss]_[process id].log, so that two runs in one
// second write two logs.
#pragma once

#include "tstrings.h"

namespace launcher {

// `name` as one file name Windows takes: characters it refuses and control characters become
// '_', trailing dots and blanks go; "setup" when nothing is left.
tstring fileSystemSafe(const tstring& name);

// The path of this run's log in the user's temporary folder, resolved now.
tstring defaultLogPath(const tstring& productName);

}  // namespace launcher
