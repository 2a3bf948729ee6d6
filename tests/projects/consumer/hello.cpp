// A program built against the installed library, with a Log.h of its own beside it: the library's
// headers are reached as <lodestar/...>, so neither hides the other.
#include <lodestar/Guid.h>
#include <lodestar/Log.h>
#include <lodestar/tstrings.h>

#include <cstdio>

#include "Log.h"

int wmain() {
    const Guid code(tstring(L"6f9619ff8b86d011b42d00c04fc964ff"));
    std::printf("%s %s\n", tstrings::toUtf8(code.toString()).c_str(), consumerLogTag());
    return logLevelName(LogLevel::ERROR)[0] == L'E' ? 0 : 1;
}
