#include "PackOptions.h"

#include "ErrorHandling.h"

namespace {

[[noreturn]] void refuse(const tstrings::MessageBuilder& message) {
    LD_THROW(UsageError(message));
}

}  // namespace

PackOptions parsePackOptions(const tstring_array& args) {
    PackOptions options;
    tstring_array packages;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const tstring& arg = args[i];
        const auto value = [&]() -> const tstring& {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                refuse(tstrings::MessageBuilder() << arg << " needs a value");
            }
            return args[++i];
        };
        if (optionsEnded || arg.empty() || arg.front() != L'-' || arg == L"-") {
            packages.push_back(arg);
        } else if (arg == L"--") {
            optionsEnded = true;
        } else if (arg == L"-o" || arg == L"--output") {
            options.output = value();
        } else if (arg == L"--icon") {
            options.icon = value();
        } else if (arg == L"--product-code") {
            options.productCode = value();
        } else if (arg == L"--force" || arg == L"-f") {
            options.force = true;
        } else if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            options.help = true;
        } else if (arg == L"--version") {
            options.version = true;
        } else {
            refuse(tstrings::MessageBuilder() << "unknown option " << arg);
        }
    }
    if (options.help || options.version) {
        return options;
    }
    if (packages.size() != 1) {
        refuse(tstrings::MessageBuilder() << (packages.empty() ? "no package given" : "more than one package given"));
    }
    options.package = packages.front();
    if (options.output.empty()) {
        refuse(tstrings::MessageBuilder() << "no output given (-o OUTPUT.exe)");
    }
    return options;
}

tstring packUsage() {
    return L"Usage: lodestar-pack PACKAGE.msi -o OUTPUT.exe [--icon FILE.ico] [--product-code GUID] [--force]\n"
           L"\n"
           L"Writes OUTPUT.exe, a launcher that carries PACKAGE.msi byte for byte, with every file the\n"
           L"package needs beside it: the external cabinets its Media table names, and the uncompressed\n"
           L"source files of an administrative image or an uncompressed package, at the paths its tables\n"
           L"give. Run the launcher to install the package through msiexec /i (its arguments go on to\n"
           L"msiexec unchanged); run it with \"uninstall\" to remove the product silently. A launcher\n"
           L"checks every carried file against the hashes packed with it and refuses to run if one\n"
           L"differs.\n"
           L"\n"
           L"Options:\n"
           L"  -o, --output FILE     the launcher to write\n"
           L"  --icon FILE           an .ico file for the launcher's icon\n"
           L"  --product-code GUID   fail unless the package's ProductCode is GUID\n"
           L"  -f, --force           replace OUTPUT.exe if it exists\n"
           L"  -h, --help            show this text\n"
           L"  --version             show the version\n"
           L"\n"
           L"Signing: sign the package first, pack it, then sign the launcher.\n"
           L"\n"
           L"Exit codes:\n"
           L"  0  the launcher was written and read back whole\n"
           L"  1  the command line is wrong\n"
           L"  2  the package, a file it needs beside it, its product code or the icon cannot be used,\n"
           L"     or the launcher would be larger than the 2 GiB Windows loads (packages over 2 GiB,\n"
           L"     Windows Installer's limit, included)\n"
           L"  3  the launcher cannot be written, or did not read back whole\n";
}
