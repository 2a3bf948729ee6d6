// What an administrator adds to a package when packing it: transforms, language transforms,
// patches and preset properties. Each carried file is opened and judged before anything is
// written: it is the kind of file it is given as, it fits the package (a transform's validation
// conditions, a patch's target products), and its name can lie beside the package. Then the
// identity the product installs with is worked out per language the launcher may choose, from
// what each transform does to the Property table, without applying any. Portable: the same
// verdict on every host.
#pragma once

#include <vector>

#include "Customization.h"
#include "InputFile.h"
#include "LauncherPlan.h"
#include "PackOptions.h"
#include "PackageLayout.h"

struct CarriedCustomization {
    customization::Customization record;  // what the launcher records; empty: nothing to record
    std::vector<FileBesidePackage> files;  // transforms, then patches, at the root of the package's folder
    std::vector<InputFile> opened;         // in the order of `files`
};

// Reads the customizations `options` ask for and checks them against `package` (whose
// description it turns into the base language's installed identity) and the files the package
// names `beside` it. Throws PackFailure: kInputError naming the file and the reason.
CarriedCustomization customizePackage(const PackOptions& options, InputFile& package, PackageDescription& description,
                                      const std::vector<FileBesidePackage>& beside);
