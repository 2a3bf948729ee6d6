// The launcher lodestar-pack is about to write, decided once from the package's description and
// the sizes of the files it carries, before a byte of them is read: the payload index without
// its hashes, every resource, the resource section laid out after the stub and the image size
// that follows. A launcher Windows would not load is refused as the plan is made. Writing it
// streams every carried file once and makes the index from the hashes taken on the way.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "Customization.h"
#include "IconFile.h"
#include "InputFile.h"
#include "LauncherFacts.h"
#include "PackageLayout.h"
#include "Packer.h"
#include "PayloadIndex.h"
#include "ResourceSection.h"
#include "StubImage.h"
#include "tstrings.h"

// The package as its launcher describes it: the product code every launcher carries, and the
// facts recorded beside it for deployment tools.
struct PackageDescription {
    tstring productCode;  // braced, upper case
    facts::LauncherFacts recorded;
    customization::Customization customization;  // empty: installed as the package is

    // A recorded text, empty when the package does not have it: for the version block, which
    // leaves empty strings out.
    tstring text(const wchar_t* name) const { return recorded.get(name).value_or(tstring()); }
};

// What the launcher carries, open and sized; not owned, read when the plan is written.
struct CarriedInputs {
    InputFile& package;
    tstring packageName;                          // the package's own file name
    const std::vector<FileBesidePackage>& files;  // as the package names them
    std::vector<InputFile>& beside;               // opened, in the order of `files`
};

class LauncherPlan {
public:
    // Throws ImageTooLarge (located) for a launcher Windows would not load.
    LauncherPlan(const StubImage& stub, const LauncherParts& parts, const PackageDescription& description,
                 const CarriedInputs& carried, const std::optional<IconResources>& icon, const tstring& outputPath);
    // Its resources refer to the plan itself.
    LauncherPlan(const LauncherPlan&) = delete;
    LauncherPlan& operator=(const LauncherPlan&) = delete;

    std::uint64_t imageSize() const { return placed_.imageSize; }

    struct Written {
        std::uint64_t size = 0;  // of the whole executable
        payload::Index index;    // as written: with the hash of every carried file as it was read
    };
    Written write(ByteSink& out, const StubImage::Progress& progress) const;

private:
    // The index with the hashes of the carried files, in index order: the one place they go in.
    payload::Index indexWith(const std::vector<std::uint64_t>& hashes) const;

    const StubImage& stub_;
    payload::Index index_;  // names and sizes; hashes as the files are streamed
    ResourceSection resources_;
    StubImage::Placed placed_;
};
