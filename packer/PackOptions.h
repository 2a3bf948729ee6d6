// The command line of lodestar-pack.
#pragma once

#include <optional>
#include <vector>

#include "Customization.h"

#include "PackFailure.h"
#include "tstrings.h"

// What lodestar-pack is asked to do: pack a package into a launcher, describe a launcher, or
// write out what a launcher carries. The last two read the launcher as data and never run it.
enum class PackMode { Pack, Info, Extract };

struct PackOptions {
    PackMode mode = PackMode::Pack;
    tstring package;                     // Pack: the package
    tstring launcher;                    // Info, Extract: the launcher read
    tstring output;                      // Pack: the launcher written; Extract: the directory
    tstring icon;                        // empty: no icon
    std::optional<tstring> productCode;  // the code the package must have, as given
    bool json = false;                   // Info: JSON instead of text
    bool force = false;
    bool followLinks = false;  // Pack: follow links below the package's folder
    // Pack: how the launcher installs the package, as administrators customize it.
    tstring_array transforms;          // applied in this order, whatever the language
    tstring_array languageTransforms;  // one per user-interface language, chosen when the launcher runs
    tstring_array patches;
    std::vector<customization::Property> properties;  // checked: public names, none the launcher sets itself
    bool verboseLog = false;  // Pack: the launcher logs every run verbosely unless told otherwise
    bool help = false;
    bool version = false;
};

// A command line lodestar-pack cannot follow; the message says why.
class UsageError : public PackFailure {
public:
    explicit UsageError(const tstrings::MessageBuilder& message) : PackFailure(kUsageError, message) {}
};

// Options may come in any order, before or after the package or launcher; "--" ends them. With
// --help or --version nothing else is required.
PackOptions parsePackOptions(const tstring_array& args);

tstring packUsage();
