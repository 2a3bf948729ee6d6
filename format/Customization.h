// How a launcher installs its package as an administrator customized it when packing: whether
// it keeps a log by default, the
// transforms it applies (one chosen by the user's language, then the others in their order), the
// patches it slipstreams, the properties it presets, and the identity the product installs with
// for each language it may choose. The transforms and patches travel as carried files at the root
// of the package's folder, beside it. Written by lodestar-pack, read by lodestar-pack and the
// launcher; portable code, no system calls.
//
// Layout, a sealed record (SealedRecord.h) with the magic "LPCZ" and one item per entry:
//   u16 kind, u32 length in bytes of what follows, then by kind:
//     1 transform  u16 language (0: applied whatever the language), u16 name length, the name
//     2 patch      u16 name length, the name, u16 patch code length, the patch code
//     3 property   u16 name length, the name, u32 value length, the value
//     4 identity   u16 language (0: no language transform), u16 name length, the property's name,
//                  u32 value length, its value as the product installs with it
//     5 log        nothing: every install, repair and removal writes a verbose log to the user's
//                  temporary folder unless the user's text asks for a log of its own
//   texts in UTF-16 units. A reader skips the kinds it does not know, so a later packer may add
//   kinds without a new format version.
// A launcher without customizations carries no record at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include "LauncherFacts.h"
#include "tstrings.h"

namespace customization {

inline constexpr std::uint16_t kCustomizationVersion = 1;

// The script `extract` writes beside the package, which no carried file may be named.
inline constexpr const wchar_t* kInstallScriptName = L"install.cmd";

// No language transform chosen: the package's own language.
inline constexpr std::uint16_t kBaseLanguage = 0;

struct Transform {
    tstring name;                          // at the root of the package's folder
    std::uint16_t language = kBaseLanguage;  // the user-interface language it is for; 0: for every language
};

struct Patch {
    tstring name;  // at the root of the package's folder
    tstring patchCode;
};

struct Property {
    tstring name;
    tstring value;
};

// What the product installs as when the launcher chose the language transform for `language`.
struct InstalledIdentity {
    std::uint16_t language = kBaseLanguage;
    facts::LauncherFacts properties;  // ProductCode, ProductName, ProductVersion, ... as installed
};

struct Customization {
    std::vector<Transform> transforms;  // language transforms and the others, in the order given
    std::vector<Patch> patches;
    std::vector<Property> properties;
    std::vector<InstalledIdentity> identities;  // the base first, then per language
    bool verboseLog = false;

    // Transforms, patches or properties: msiexec is given more than the package and the user's text.
    bool changesInstallation() const { return !transforms.empty() || !patches.empty() || !properties.empty(); }
    bool empty() const { return !changesInstallation() && !verboseLog; }
    // The languages a language transform is carried for, in their order.
    std::vector<std::uint16_t> languages() const;
    const InstalledIdentity* identityFor(std::uint16_t language) const;
};

class CustomizationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::vector<std::uint8_t> serializeCustomization(const Customization& customization);
// Checks the seal first, then the layout; throws CustomizationError (located).
Customization parseCustomization(const void* data, std::size_t size);

// Why `name` cannot be preset: not a public property's name (upper-case letters, digits, '_' and
// '.', not starting with a digit), or one the launcher sets itself; empty when it can be.
tstring presetPropertyProblem(const tstring& name);

// Why `value` cannot be preset: a control character (NUL, a line break), which neither msiexec's
// command line nor install.cmd can carry as it is; empty when it can be.
tstring presetValueProblem(const tstring& value);

// Why `name` cannot be carried as a transform or patch at the root of the package's folder (it
// is not one plain file name, or holds ';', which separates the names msiexec is given); empty
// when it can be.
tstring rootFileNameProblem(const tstring& name);

// The language transform for a user whose interface language is `userLanguage` (a LANGID): the
// one for exactly that language, else the first for its primary language, else none
// (kBaseLanguage).
std::uint16_t chooseLanguage(const Customization& customization, std::uint16_t userLanguage);

// A property as msiexec reads it from its command line: NAME="value", quotes in the value doubled.
tstring quotedProperty(const tstring& name, const tstring& value);

// What the launcher gives msiexec after "/i PACKAGE" when it installs with the language transform
// for `language` (kBaseLanguage: none), its carried files lying in the folder `folderPrefix` names
// (ending with its separator): that transform and then the others as secure transforms (found at
// the root of the package's source), the patches by their full paths, the preset properties.
// Empty without customizations. `escape`, when given, is applied to every carried name and value
// before it is quoted, for a shell that reads the line again.
using Escape = tstring (*)(const tstring&);
tstring installArguments(const Customization& customization, std::uint16_t language, const tstring& folderPrefix,
                         Escape escape = nullptr);
// What a repair gives again: the preset properties (Windows Installer keeps the transforms and
// patches itself).
tstring propertyArguments(const Customization& customization);

// install.cmd, which `extract` writes beside the package `packageFileName`: it runs
// "install.cmd [LANGID] [msiexec options...]" as the launcher would install from that folder, for
// the package's own language or for a carried language given first, the options passed on.
// UTF-8 with CRLF line ends; every carried text escaped for cmd.
std::string installScript(const Customization& customization, const tstring& packageFileName);

}  // namespace customization
