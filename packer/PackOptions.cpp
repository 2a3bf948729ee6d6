#include "PackOptions.h"

#include "ErrorHandling.h"

namespace {

[[noreturn]] void refuse(const tstrings::MessageBuilder& message) {
    LD_THROW(UsageError(message));
}

// The one file a command works on, given without an option.
tstring theOnlyFile(const tstring_array& files, const char* what) {
    if (files.size() != 1) {
        refuse(tstrings::MessageBuilder() << (files.empty() ? "no " : "more than one ") << what << " given");
    }
    return files.front();
}

// Options that belong to another command than `mode`'s.
void refuseStrayOptions(const PackOptions& options, const char* command) {
    const auto stray = [&](bool given, const char* option) {
        if (given) {
            refuse(tstrings::MessageBuilder() << option << " does not go with " << command);
        }
    };
    stray(options.mode != PackMode::Pack && !options.icon.empty(), "--icon");
    stray(options.mode != PackMode::Pack && options.productCode.has_value(), "--product-code");
    stray(options.mode != PackMode::Pack && options.followLinks, "--follow-links");
    stray(options.mode != PackMode::Info && options.json, "--json");
    stray(options.mode == PackMode::Info && !options.output.empty(), "-o");
    stray(options.mode == PackMode::Info && options.force, "--force");
}

}  // namespace

PackOptions parsePackOptions(const tstring_array& args) {
    PackOptions options;
    tstring_array files;
    bool optionsEnded = false;
    bool info = false;
    bool extract = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const tstring& arg = args[i];
        const auto value = [&]() -> const tstring& {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                refuse(tstrings::MessageBuilder() << arg << " needs a value");
            }
            return args[++i];
        };
        if (optionsEnded || arg.empty() || arg.front() != L'-' || arg == L"-") {
            files.push_back(arg);
        } else if (arg == L"--") {
            optionsEnded = true;
        } else if (arg == L"-o" || arg == L"--output") {
            options.output = value();
        } else if (arg == L"--icon") {
            options.icon = value();
        } else if (arg == L"--product-code") {
            options.productCode = value();
        } else if (arg == L"--info") {
            info = true;
        } else if (arg == L"--extract") {
            extract = true;
        } else if (arg == L"--json") {
            options.json = true;
        } else if (arg == L"--follow-links") {
            options.followLinks = true;
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
    if (info && extract) {
        refuse(tstrings::MessageBuilder() << "--info and --extract do not go together");
    }
    options.mode = info ? PackMode::Info : extract ? PackMode::Extract : PackMode::Pack;
    switch (options.mode) {
        case PackMode::Pack:
            refuseStrayOptions(options, "packing");
            options.package = theOnlyFile(files, "package");
            if (options.output.empty()) {
                refuse(tstrings::MessageBuilder() << "no output given (-o OUTPUT.exe)");
            }
            break;
        case PackMode::Info:
            refuseStrayOptions(options, "--info");
            options.launcher = theOnlyFile(files, "launcher");
            break;
        case PackMode::Extract:
            refuseStrayOptions(options, "--extract");
            options.launcher = theOnlyFile(files, "launcher");
            if (options.output.empty()) {
                refuse(tstrings::MessageBuilder() << "no output directory given (-o DIR)");
            }
            break;
    }
    return options;
}

tstring packUsage() {
    return L"Usage: lodestar-pack PACKAGE.msi -o OUTPUT.exe [--icon FILE.ico] [--product-code GUID] [--force]\n"
           L"                     [--follow-links]\n"
           L"       lodestar-pack --info SETUP.exe [--json]\n"
           L"       lodestar-pack --extract SETUP.exe -o DIR [--force]\n"
           L"\n"
           L"Writes OUTPUT.exe, a launcher that carries PACKAGE.msi byte for byte, with every file the\n"
           L"package needs beside it: the external cabinets its Media table names, and the uncompressed\n"
           L"source files of an administrative image or an uncompressed package, at the paths its tables\n"
           L"give. Run the launcher to install the package through msiexec /i (its arguments go on to\n"
           L"msiexec unchanged); run it with \"uninstall\" to remove the product silently. A launcher\n"
           L"checks every carried file against the hashes packed with it and refuses to run if one\n"
           L"differs.\n"
           L"\n"
           L"--info and --extract read a launcher as data and never run it; both check every carried\n"
           L"byte against the launcher's index.\n"
           L"\n"
           L"Options:\n"
           L"  -o, --output FILE     the launcher to write (with --extract: the directory to write into)\n"
           L"  --icon FILE           an .ico file for the launcher's icon\n"
           L"  --product-code GUID   fail unless the package's ProductCode is GUID\n"
           L"  -f, --force           replace OUTPUT.exe if it exists (with --extract: files in DIR)\n"
           L"  --follow-links        follow symbolic links (on Windows also junctions) below the\n"
           L"                        package's folder, as a build's tree of links needs; without it a\n"
           L"                        link there is refused, so a tree others can write cannot make the\n"
           L"                        launcher carry what lies outside it\n"
           L"  --info SETUP.exe      describe a launcher: ProductCode, UpgradeCode, ProductName,\n"
           L"                        ProductVersion, Manufacturer, installation scope, the package and\n"
           L"                        every file beside it with size and SHA-256, the launcher's own\n"
           L"                        SHA-256, the lodestar-pack version that made it, whether it is\n"
           L"                        signed; what a launcher does not record is shown as not recorded\n"
           L"  --json                with --info: the same as JSON, with a winget installer entry and\n"
           L"                        an Intune detection rule (the schema: info.schema.json)\n"
           L"  --extract SETUP.exe   write the package under its own name and every file beside it\n"
           L"                        into DIR (made when missing), as the launcher's extract verb does;\n"
           L"                        nothing is written when a file exists there and --force is not given,\n"
           L"                        nor when a folder or file below DIR is a link: nothing is written\n"
           L"                        through a link\n"
           L"  -h, --help            show this text\n"
           L"  --version             show the version\n"
           L"\n"
           L"Signing: sign the package first, pack it, then sign the launcher.\n"
           L"\n"
           L"Exit codes:\n"
           L"  0  the launcher was written and read back whole (--info: described; --extract: every file\n"
           L"     written and checked)\n"
           L"  1  the command line is wrong\n"
           L"  2  the package, a file it needs beside it, its product code or the icon cannot be used,\n"
           L"     or the launcher would be larger than the 2 GiB Windows loads (packages over 2 GiB,\n"
           L"     Windows Installer's limit, included); with --info and --extract: SETUP.exe is no\n"
           L"     launcher, is cut short, or a file it carries does not match its index\n"
           L"  3  the launcher cannot be written, or did not read back whole; with --extract: a file in\n"
           L"     DIR exists (without --force), or a file cannot be written or did not read back whole\n";
}
