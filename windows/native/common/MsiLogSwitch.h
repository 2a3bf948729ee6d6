// msiexec's logging switch (/L[modes] FILE, /log FILE), read from an argument list so that a
// removal through the installer service can log the way msiexec itself would.
#pragma once

#include <optional>

#include "WinApi.h"
#include "tstrings.h"

namespace msi {

struct LogSwitch {
    tstring path;          // absolute
    DWORD mode = 0;        // INSTALLLOGMODE_ bits
    DWORD attributes = 0;  // INSTALLLOGATTRIBUTES_ bits
};

// The last logging switch in `args`, with the file that follows it; none when there is no such
// switch. The switch starts with '/' or '-' and is matched without regard to case. Mode letters
// as msiexec reads them: i w e a r u c m o p v x, '*' for all but v and x, '+' to append and
// '!' to flush each line; no letter means "iwearmo" and /log means /L*. A switch without a file
// or with an unknown letter is an error, as it is to msiexec.
std::optional<LogSwitch> findLogSwitch(const tstring_array& args);

// Whether `args` hold a logging switch at all, well formed or not: for a caller that passes the
// arguments on to msiexec, which answers a malformed one itself.
bool hasLogSwitch(const tstring_array& args);

}  // namespace msi
