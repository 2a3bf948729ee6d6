#include "LauncherInfo.h"

#include <nlohmann/json.hpp>

#include "HostPaths.h"
#include "PayloadIndex.h"
#include "LauncherContents.h"
#include "ProductCode.h"

namespace {

using json = nlohmann::ordered_json;
using Context = facts::InstallScope::Context;

// What a launcher packed before facts were recorded still says of its package: its version
// block, written from the same properties.
std::optional<tstring> versionString(const LauncherContents& contents, const tstring& key) {
    for (const auto& [name, value] : contents.versionStrings()) {
        if (name == key) {
            return value;
        }
    }
    return std::nullopt;
}

void describeProduct(const LauncherContents& contents, LauncherInfo& info) {
    info.productCode = contents.productCode();
    if (const std::optional<facts::LauncherFacts>& recorded = contents.recordedFacts()) {
        info.upgradeCode = recorded->get(facts::kUpgradeCode);
        info.productName = recorded->get(facts::kProductName);
        info.productVersion = recorded->get(facts::kProductVersion);
        info.manufacturer = recorded->get(facts::kManufacturer);
        info.packerVersion = recorded->get(facts::kPackerVersion);
        info.scope = facts::installScope(*recorded);
    } else {
        info.productName = versionString(contents, L"ProductName");
        info.productVersion = versionString(contents, L"ProductVersion");
        info.manufacturer = versionString(contents, L"CompanyName");
    }
    if (contents.customization()) {
        info.customization = *contents.customization();
        return;
    }
    // Not customized: the product installs as the facts say, in the package's own language.
    customization::InstalledIdentity base;
    const auto keep = [&](const wchar_t* name, const std::optional<tstring>& value) {
        if (value) {
            base.properties.set(name, *value);
        }
    };
    keep(facts::kProductCode, info.productCode);
    keep(facts::kUpgradeCode, info.upgradeCode);
    keep(facts::kProductName, info.productName);
    keep(facts::kProductVersion, info.productVersion);
    keep(facts::kManufacturer, info.manufacturer);
    if (contents.recordedFacts()) {
        keep(facts::kProductLanguage, contents.recordedFacts()->get(facts::kProductLanguage));
    }
    info.customization.identities.push_back(base);
}

void describeFiles(LauncherContents& contents, LauncherInfo& info) {
    const CarriedDigests digests = contents.digests();
    info.launcher = CarriedFileInfo{host::fileNameOf(contents.path()), contents.size(), toHex(digests.launcher)};
    const std::vector<CarriedItem>& items = contents.items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        CarriedFileInfo file{items[i].name, items[i].location.size, toHex(digests.items[i])};
        if (i == 0) {
            info.package = file;
        } else {
            info.files.push_back(file);
        }
    }
}

// The languages the launcher may install in: the package's own (kBaseLanguage), then each one a
// language transform is carried for.
std::vector<std::uint16_t> installLanguages(const LauncherInfo& info) {
    std::vector<std::uint16_t> languages{customization::kBaseLanguage};
    for (const std::uint16_t language : info.customization.languages()) {
        languages.push_back(language);
    }
    return languages;
}

// ---------------------------------------------------------------------------------------------
// Text

const wchar_t* scopeName(Context context) {
    return context == Context::Machine ? L"machine" : L"user";
}

// Every text the launcher gives is shown through tstrings::printable: it is someone else's.
tstring orNotRecorded(const std::optional<tstring>& value) {
    return value ? tstrings::printable(*value) : L"(not recorded)";
}

tstring fileLine(const CarriedFileInfo& file) {
    return (tstrings::MessageBuilder() << (file.name ? tstrings::printable(*file.name) : L"(name not recorded)")
                                       << ", " << file.size
                                       << " bytes, SHA-256 " << file.sha256)
        .tstr();
}

tstring languageLabel(const LauncherInfo& info, std::uint16_t language) {
    if (language != customization::kBaseLanguage) {
        return std::to_wstring(language);
    }
    const customization::InstalledIdentity* base = info.customization.identityFor(language);
    const std::optional<tstring> own = base != nullptr ? base->properties.get(facts::kProductLanguage) : std::nullopt;
    return own ? L"base (" + tstrings::printable(*own) + L")" : tstring(L"base");
}

void customizationText(const LauncherInfo& info, tstrings::MessageBuilder& text) {
    const customization::Customization& carried = info.customization;
    for (const customization::Transform& transform : carried.transforms) {
        text << "Transform       " << tstrings::printable(transform.name);
        if (transform.language != customization::kBaseLanguage) {
            text << " (for language " << transform.language << ")";
        }
        text << "\n";
    }
    for (const customization::Patch& patch : carried.patches) {
        text << "Patch           " << tstrings::printable(patch.name) << ", patch code "
             << tstrings::printable(patch.patchCode) << "\n";
    }
    for (const customization::Property& property : carried.properties) {
        text << "Property        " << tstrings::printable(customization::quotedProperty(property.name, property.value))
             << "\n";
    }
    if (carried.verboseLog) {
        text << "Log             verbose, into the user's temporary folder, unless the options given ask for one\n";
    }
    if (!carried.changesInstallation()) {
        return;  // installed as the package is: the lines above say all
    }
    for (const std::uint16_t language : installLanguages(info)) {
        text << "Installs as     " << languageLabel(info, language) << ":";
        if (const customization::InstalledIdentity* identity = carried.identityFor(language)) {
            for (const facts::Fact& fact : identity->properties.all()) {
                text << " " << tstrings::printable(fact.name) << "=" << tstrings::printable(fact.value) << ";";
            }
        }
        text << "\n"
             << "                msiexec " << tstrings::printable(msiexecCommandLine(info, language))
             << " [the arguments the launcher is given]\n";
    }
}

tstring scopeText(const std::optional<facts::InstallScope>& scope) {
    if (!scope) {
        return L"(not recorded)";
    }
    return tstring(scopeName(scope->context)) +
           (scope->dualPurpose ? L" (dual purpose: ALLUSERS=2, either scope can be chosen)" : L"");
}

// ---------------------------------------------------------------------------------------------
// JSON

json text(const tstring& value) {
    return tstrings::toUtf8(value);
}

json textOrNull(const std::optional<tstring>& value) {
    return value ? text(*value) : json(nullptr);
}

// The UpgradeCode as the package spells it (real packages carry lower-case ones too), when it is a
// GUID in braces: deployment tools match products by it, and anything else would match nothing.
std::optional<tstring> bracedGuid(const std::optional<tstring>& value) {
    return value && canonicalBracedProductCode(*value) ? value : std::nullopt;
}

json optionalFact(const facts::LauncherFacts& facts, const wchar_t* name) {
    return textOrNull(facts.get(name));
}

json languageOrNull(std::uint16_t language) {
    return language == customization::kBaseLanguage ? json(nullptr) : json(language);
}

json transformsJson(const customization::Customization& carried) {
    json transforms = json::array();
    for (const customization::Transform& transform : carried.transforms) {
        transforms.push_back({{"name", text(transform.name)}, {"language", languageOrNull(transform.language)}});
    }
    return transforms;
}

json patchesJson(const customization::Customization& carried) {
    json patches = json::array();
    for (const customization::Patch& patch : carried.patches) {
        patches.push_back({{"name", text(patch.name)}, {"patchCode", text(patch.patchCode)}});
    }
    return patches;
}

json propertiesJson(const customization::Customization& carried) {
    json properties = json::array();
    for (const customization::Property& property : carried.properties) {
        properties.push_back({{"name", text(property.name)}, {"value", text(property.value)}});
    }
    return properties;
}

// Per language the launcher may choose: the identity the product installs with and the command line.
json installsJson(const LauncherInfo& info) {
    json installs = json::array();
    for (const std::uint16_t language : installLanguages(info)) {
        const customization::InstalledIdentity* identity = info.customization.identityFor(language);
        const facts::LauncherFacts none;
        const facts::LauncherFacts& properties = identity != nullptr ? identity->properties : none;
        installs.push_back({
            {"language", languageOrNull(language)},
            {"productCode", optionalFact(properties, facts::kProductCode)},
            {"upgradeCode", textOrNull(bracedGuid(properties.get(facts::kUpgradeCode)))},
            {"productName", optionalFact(properties, facts::kProductName)},
            {"productVersion", optionalFact(properties, facts::kProductVersion)},
            {"productLanguage", optionalFact(properties, facts::kProductLanguage)},
            {"manufacturer", optionalFact(properties, facts::kManufacturer)},
            {"msiexecArguments", text(msiexecCommandLine(info, language))},
        });
    }
    return installs;
}

json fileJson(const CarriedFileInfo& file) {
    return json{{"name", textOrNull(file.name)}, {"size", file.size}, {"sha256", text(file.sha256)}};
}

// A winget installer entry: the launcher installs silently with msiexec's own switches, which it
// passes on, and registers the package's product in Apps & Features. InstallerUrl is the
// publisher's to add.
json wingetInstaller(const LauncherInfo& info) {
    json appsAndFeatures{{"ProductCode", text(info.productCode)}, {"InstallerType", "msi"}};
    if (const std::optional<tstring> upgradeCode = bracedGuid(info.upgradeCode)) {
        appsAndFeatures["UpgradeCode"] = text(*upgradeCode);
    }
    const auto returnCode = [](int code, const char* response) {
        return json{{"InstallerReturnCode", code}, {"ReturnResponse", response}};
    };
    json installer{
        {"InstallerType", "exe"},
        {"InstallerSha256", text(info.launcher.sha256)},
        {"InstallerSwitches",
         {{"Silent", "/qn /norestart"}, {"SilentWithProgress", "/passive /norestart"}, {"Log", "/l*v \"<LOGPATH>\""}}},
        {"ProductCode", text(info.productCode)},
        {"AppsAndFeaturesEntries", json::array({appsAndFeatures})},
        {"ExpectedReturnCodes",
         json::array({returnCode(1602, "cancelledByUser"), returnCode(1618, "installInProgress"),
                      returnCode(3010, "rebootRequiredToFinish"), returnCode(1641, "rebootInitiated")})},
    };
    if (info.scope) {
        installer["Scope"] = tstrings::toUtf8(scopeName(info.scope->context));
    }
    return installer;
}

// An Intune (Microsoft Graph) detection rule for a Win32 app: the product is installed at this
// version or a later one. Without a recorded version, the product code alone. With it, the return
// codes of a Win32 app that runs the launcher, which ends with the installer's own exit code.
json intuneDetectionRule(const LauncherInfo& info) {
    const auto returnCode = [](int code, const char* type) { return json{{"returnCode", code}, {"type", type}}; };
    return json{{"@odata.type", "#microsoft.graph.win32LobAppProductCodeDetection"},
                {"productCode", text(info.productCode)},
                {"productVersionOperator", info.productVersion ? "greaterThanOrEqual" : "notConfigured"},
                {"productVersion", textOrNull(info.productVersion)},
                {"returnCodes", json::array({returnCode(0, "success"), returnCode(1707, "success"),
                                             returnCode(3010, "softReboot"), returnCode(1641, "hardReboot"),
                                             returnCode(1618, "retry")})}};
}

}  // namespace

tstring msiexecCommandLine(const LauncherInfo& info, std::uint16_t language) {
    const tstring folder = kFolderPlaceholder;
    const tstring customized = customization::installArguments(info.customization, language, folder + L"\\");
    return L"/i \"" + folder + L"\\" + payload::kInstallersCopyName + L"\"" + (customized.empty() ? L"" : L" ") +
           customized;
}

LauncherInfo readLauncherInfo(const tstring& path, const LauncherContents::Progress& progress) {
    InputFile file = openLauncher(path);
    return readingLauncher(path, [&] {
        LauncherContents contents(file);
        contents.reportProgressTo(progress);
        LauncherInfo info;
        describeProduct(contents, info);
        describeFiles(contents, info);
        info.carriesSignature = contents.carriesSignature();
        return info;
    });
}

tstring infoText(const LauncherInfo& info) {
    tstrings::MessageBuilder text;
    text << "Launcher        " << fileLine(info.launcher) << "\n"
         << "ProductCode     " << info.productCode << "\n"
         << "UpgradeCode     " << orNotRecorded(info.upgradeCode) << "\n"
         << "ProductName     " << orNotRecorded(info.productName) << "\n"
         << "ProductVersion  " << orNotRecorded(info.productVersion) << "\n"
         << "Manufacturer    " << orNotRecorded(info.manufacturer) << "\n"
         << "Scope           " << scopeText(info.scope) << "\n"
         << "Package         " << fileLine(info.package) << "\n";
    for (const CarriedFileInfo& file : info.files) {
        text << "Beside it       " << fileLine(file) << "\n";
    }
    customizationText(info, text);
    text << "Packed by       "
         << (info.packerVersion ? L"lodestar-pack " + tstrings::printable(*info.packerVersion) : tstring(L"(not recorded)")) << "\n"
         << "Signed          " << (info.carriesSignature ? "yes" : "no");
    return text.tstr();
}

std::string infoJson(const LauncherInfo& info) {
    json files = json::array();
    for (const CarriedFileInfo& file : info.files) {
        files.push_back(fileJson(file));
    }
    const json document{
        {"schemaVersion", kInfoSchemaVersion},
        {"launcher", fileJson(info.launcher)},
        {"productCode", text(info.productCode)},
        {"upgradeCode", textOrNull(bracedGuid(info.upgradeCode))},
        {"productName", textOrNull(info.productName)},
        {"productVersion", textOrNull(info.productVersion)},
        {"manufacturer", textOrNull(info.manufacturer)},
        {"scope", info.scope ? json(tstrings::toUtf8(scopeName(info.scope->context))) : json(nullptr)},
        {"dualPurpose", info.scope ? json(info.scope->dualPurpose) : json(nullptr)},
        {"package", fileJson(info.package)},
        {"files", files},
        {"transforms", transformsJson(info.customization)},
        {"patches", patchesJson(info.customization)},
        {"properties", propertiesJson(info.customization)},
        {"installs", installsJson(info)},
        {"verboseLog", info.customization.verboseLog},
        {"packerVersion", textOrNull(info.packerVersion)},
        {"signed", info.carriesSignature},
        {"winget", wingetInstaller(info)},
        {"intune", intuneDetectionRule(info)},
    };
    return document.dump(2, ' ', false, json::error_handler_t::replace);
}
