// The command line of lodestar-pack.
#pragma once

#include <optional>

#include "PackFailure.h"
#include "tstrings.h"

struct PackOptions {
    tstring package;
    tstring output;
    tstring icon;                        // empty: no icon
    std::optional<tstring> productCode;  // the code the package must have, as given
    bool force = false;
    bool help = false;
    bool version = false;
};

// A command line lodestar-pack cannot follow; the message says why.
class UsageError : public PackFailure {
public:
    explicit UsageError(const tstrings::MessageBuilder& message) : PackFailure(kUsageError, message) {}
};

// Options may come in any order, before or after the package; "--" ends them. With --help or
// --version nothing else is required.
PackOptions parsePackOptions(const tstring_array& args);

tstring packUsage();
