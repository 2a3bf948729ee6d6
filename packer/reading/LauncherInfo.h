// lodestar-pack --info: what deployment tools need to know of a launcher, read from it as data
// and checked, as text for people or as JSON for tools (packer/info.schema.json). A fact the
// launcher does not record is absent here and null in the JSON, never guessed. Portable code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Customization.h"
#include "LauncherContents.h"
#include "LauncherFacts.h"
#include "tstrings.h"

// The version of the JSON's layout, its "schemaVersion"; a change that could break a reader
// raises it.
inline constexpr int kInfoSchemaVersion = 1;

struct CarriedFileInfo {
    std::optional<tstring> name;  // none: a package whose name the launcher does not record
    std::uint64_t size = 0;
    tstring sha256;  // lower-case hex
};

struct LauncherInfo {
    CarriedFileInfo launcher;  // the launcher file itself
    tstring productCode;
    std::optional<tstring> upgradeCode;
    std::optional<tstring> productName;
    std::optional<tstring> productVersion;
    std::optional<tstring> manufacturer;
    std::optional<facts::InstallScope> scope;
    CarriedFileInfo package;
    std::vector<CarriedFileInfo> files;  // beside the package, in index order
    std::optional<tstring> packerVersion;
    bool carriesSignature = false;
    // How it installs its package: for a launcher packed without customizations, nothing carried
    // and the base identity alone (the facts above).
    customization::Customization customization;
};

// Where --info puts the launcher's temporary folder in the command lines it shows.
inline constexpr const wchar_t* kFolderPlaceholder = L"<folder>";

// The msiexec command line the launcher composes for `language` (kBaseLanguage: none chosen),
// before the user's own arguments.
tstring msiexecCommandLine(const LauncherInfo& info, std::uint16_t language);

// Reads the launcher at `path` (absolute) once, front to back, and describes it. Throws
// PackFailure (located): kInputError when it is no launcher, is cut short, cannot be read, or a
// file it carries does not match its index.
LauncherInfo readLauncherInfo(const tstring& path, const LauncherContents::Progress& progress = {});

// One line per fact, for people.
tstring infoText(const LauncherInfo& info);
// The JSON document info.schema.json describes, indented, as UTF-8.
std::string infoJson(const LauncherInfo& info);
