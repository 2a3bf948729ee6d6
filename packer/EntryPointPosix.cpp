// lodestar-pack, natively on Linux: turns a Windows Installer package into a launcher executable
// that carries it. The stub of a Windows build and the launcher's manifest are linked into it
// (LauncherParts.S.in).
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

int main(int argc, char** argv) {
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
