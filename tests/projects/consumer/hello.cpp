// A program built against the installed library.
#include <cstdio>

#include "Guid.h"
#include "tstrings.h"

int wmain() {
    const Guid code(tstring(L"6f9619ff8b86d011b42d00c04fc964ff"));
    std::printf("%s\n", tstrings::toUtf8(code.toString()).c_str());
    return 0;
}
