#include "PackOptions.h"

#include <algorithm>

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

// NAME=VALUE, as --property takes it.
customization::Property presetProperty(const tstring& given) {
    const std::size_t equals = given.find(L'=');
    if (equals == tstring::npos) {
        refuse(tstrings::MessageBuilder() << "--property " << tstrings::printable(given) << " is not NAME=VALUE");
    }
    customization::Property property{given.substr(0, equals), given.substr(equals + 1)};
    if (const tstring problem = customization::presetPropertyProblem(property.name); !problem.empty()) {
        refuse(tstrings::MessageBuilder() << "--property " << tstrings::printable(property.name) << ": " << problem);
    }
    if (const tstring problem = customization::presetValueProblem(property.value); !problem.empty()) {
        refuse(tstrings::MessageBuilder() << "--property " << property.name << ": " << problem);
    }
    return property;
}

void addPresetProperty(std::vector<customization::Property>& properties, const tstring& given) {
    customization::Property property = presetProperty(given);
    for (const customization::Property& earlier : properties) {
        if (earlier.name == property.name) {
            refuse(tstrings::MessageBuilder() << "--property " << property.name << " is given twice");
        }
    }
    properties.push_back(std::move(property));
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
    stray(options.mode != PackMode::Pack && !options.transforms.empty(), "--transform");
    stray(options.mode != PackMode::Pack && !options.languageTransforms.empty(), "--language-transform");
    stray(options.mode != PackMode::Pack && !options.patches.empty(), "--patch");
    stray(options.mode != PackMode::Pack && !options.properties.empty(), "--property");
    stray(options.mode != PackMode::Pack && options.verboseLog, "--log");
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
        } else if (arg == L"--transform") {
            options.transforms.push_back(value());
        } else if (arg == L"--language-transform") {
            options.languageTransforms.push_back(value());
        } else if (arg == L"--patch") {
            options.patches.push_back(value());
        } else if (arg == L"--property") {
            addPresetProperty(options.properties, value());
        } else if (arg == L"--log") {
            options.verboseLog = true;
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
           L"                     [--follow-links] [--transform FILE.mst]... [--language-transform FILE.mst]...\n"
           L"                     [--patch FILE.msp]... [--property NAME=VALUE]... [--log]\n"
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
           L"  --transform FILE      carry a transform (.mst) and apply it, in the order given; it must fit\n"
           L"                        the package (its validation conditions), after each language\n"
           L"                        transform and after none\n"
           L"  --language-transform FILE\n"
           L"                        carry a transform for one user-interface language (its summary's\n"
           L"                        Last Saved By); the launcher applies it first where the user's\n"
           L"                        language is that one; one per language, none for the package's own\n"
           L"  --patch FILE          carry a patch (.msp) for the package's product and apply it\n"
           L"  --property NAME=VALUE preset a public property (not TRANSFORMS, TRANSFORMSSECURE, PATCH,\n"
           L"                        REINSTALL or REINSTALLMODE); anyone with the setup can read it\n"
           L"  --log                 the launcher writes a verbose log of every install, repair and\n"
           L"                        removal into the user's temporary folder, named for the product,\n"
           L"                        unless the user's own options ask for a log (/l*v FILE)\n"
           L"  --info SETUP.exe      describe a launcher: ProductCode, UpgradeCode, ProductName,\n"
           L"                        ProductVersion, Manufacturer, installation scope, the package and\n"
           L"                        every file beside it with size and SHA-256, the launcher's own\n"
           L"                        SHA-256, the lodestar-pack version that made it, whether it is\n"
           L"                        signed; what it applies (transforms, patches, properties) and, per\n"
           L"                        language, what the product installs as and the msiexec command\n"
           L"                        line; what a launcher does not record is shown as not recorded\n"
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
           L"  2  the package, a file it needs beside it, its product code, the icon, a transform or a\n"
           L"     patch cannot be used (or does not fit the package),\n"
           L"     or the launcher would be larger than the 2 GiB Windows loads (packages over 2 GiB,\n"
           L"     Windows Installer's limit, included); with --info and --extract: SETUP.exe is no\n"
           L"     launcher, is cut short, or a file it carries does not match its index\n"
           L"  3  the launcher cannot be written, or did not read back whole; with --extract: a file in\n"
           L"     DIR exists (without --force), or a file cannot be written or did not read back whole\n";
}
