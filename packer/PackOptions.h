// The command line of lodestar-pack.
#pragma once

#include <optional>
#include <stdexcept>

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
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Options may come in any order, before or after the package; "--" ends them. With --help or
// --version nothing else is required.
PackOptions parsePackOptions(const tstring_array& args);

tstring packUsage();
