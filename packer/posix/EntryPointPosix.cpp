// lodestar-pack, natively on Linux: turns a Windows Installer package into a launcher executable
// that carries it. The stub of a Windows build and the launcher's manifest are linked into it
// (LauncherParts.S.in).
#include <sys/resource.h>

#include <clocale>
#include <cstdio>

#include "Console.h"
#include "PackerMain.h"

extern "C" {
extern const char lodestar_stub_begin[];
extern const char lodestar_stub_end[];
extern const char lodestar_manifest_begin[];
extern const char lodestar_manifest_end[];
}

namespace {

// Every file a launcher carries stays open from its check until it is written (so what was
// checked is what is carried), and an administrative image can be tens of thousands of files:
// the soft limit on open files, often 1024, goes up to what the system allows this process.
void allowEveryOpenFile() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);  // if refused, a pack that needs more says so when it opens
    }
}

}  // namespace

int main(int argc, char** argv) {
    allowEveryOpenFile();
    // Arguments are bytes: paths and texts are UTF-8 here, and one that is not cannot be named
    // in a launcher, nor in a message.
    tstring_array args;
    for (int i = 1; i < argc; ++i) {
        const std::string argument(argv[i]);
        tstring text = tstrings::fromUtf8(argument);
        if (text.empty() && !argument.empty()) {
            writeLine(ConsoleStream::Error, L"lodestar-pack: argument " + std::to_wstring(i) + L" is not UTF-8 text");
            return kUsageError;
        }
        args.push_back(std::move(text));
    }
    const LauncherParts parts{lodestar_stub_begin, static_cast<std::size_t>(lodestar_stub_end - lodestar_stub_begin),
                              std::string(lodestar_manifest_begin, lodestar_manifest_end)};
    return runPacker(args, parts);
}
