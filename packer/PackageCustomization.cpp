#include "PackageCustomization.h"

#include <map>
#include <optional>

#include "CodePage.h"
#include "CompoundFile.h"
#include "ErrorHandling.h"
#include "FileKind.h"
#include "HostPaths.h"
#include "PackFailure.h"
#include "PayloadIndex.h"
#include "ProductCode.h"
#include "SummaryInformation.h"
#include "TransformProperties.h"

namespace {

using customization::kBaseLanguage;

// The Property rows that say what the product installs as; all but the last two are private
// properties, which only the package and its transforms set.
constexpr const wchar_t* kIdentityNames[] = {
    facts::kProductCode,  facts::kUpgradeCode,      facts::kProductName, facts::kProductVersion,
    facts::kManufacturer, facts::kProductLanguage, facts::kAllUsers,    facts::kInstallPerUser,
};

// The longest identity value a launcher records: its version block keeps texts in 16-bit lengths.
constexpr std::size_t kLongestIdentityValue = 0x7FFF;

bool namesIdentity(const tstring& name) {
    for (const wchar_t* identityName : kIdentityNames) {
        if (name == identityName) {
            return true;
        }
    }
    return false;
}

// A file given on the command line, open and closed to writers for as long as the packer works.
InputFile openGiven(const tstring& given, const wchar_t* option) {
    const tstring path = host::absolutePath(given);
    if (host::isDirectory(path)) {
        LD_THROW_PACK_FAILURE(kInputError, option << " " << path << " is a directory");
    }
    return classifyFailure(
        kInputError, [&] { return InputFile(path); },
        [&](const LdErrorBase& e) {
            if (const auto* error = dynamic_cast<const InputFileError*>(&e); error != nullptr && error->missing()) {
                return tstrings::MessageBuilder() << option << ": there is no file at " << path;
            }
            return tstrings::MessageBuilder() << option << ": cannot open " << path << ": " << rawMessageOf(e);
        });
}

void expectKind(InputFile& file, FileKind expected, const wchar_t* option) {
    const FileKind kind = classifyFailure(
        kInputError, [&] { return fileKindOf(file); },
        [&](const LdErrorBase& e) {
            return tstrings::MessageBuilder() << file.path() << " cannot be read (" << rawMessageOf(e) << ")";
        });
    if (kind != expected) {
        LD_THROW_PACK_FAILURE(kInputError, file.path() << " is " << describeKind(kind) << "; " << option << " takes "
                                                       << describeKind(expected));
    }
}

// Runs `step`, which reads `file` as a compound file; what it throws is about that file.
template <typename Step>
decltype(auto) readingCompound(const InputFile& file, Step&& step) {
    return classifyFailure(kInputError, std::forward<Step>(step), [&](const LdErrorBase& e) {
        return tstrings::MessageBuilder() << file.path() << " cannot be read: " << rawMessageOf(e);
    });
}

SummaryInformation summaryOf(const InputFile& file, const CompoundFile& compound) {
    std::optional<SummaryInformation> summary = readSummaryInformation(compound);
    if (!summary) {
        LD_THROW_PACK_FAILURE(kInputError, file.path() << " has no summary information");
    }
    return *summary;
}

struct GivenTransform {
    InputFile file;
    TransformSummary summary;
    std::vector<std::pair<tstring, std::optional<tstring>>> identityChanges;  // in the transform's order
};

GivenTransform readTransform(const tstring& given, const wchar_t* option) {
    InputFile file = openGiven(given, option);
    expectKind(file, FileKind::Transform, option);
    GivenTransform transform{std::move(file), {}, {}};
    readingCompound(transform.file, [&] {
        const CompoundFile compound(transform.file);
        transform.summary = transformSummary(summaryOf(transform.file, compound));
        const TransformProperties properties = readTransformProperties(compound);
        for (const PropertyChange& change : properties.changes) {
            // The identity's names are ASCII in every code page: no other row is decoded.
            const tstring name(change.name.begin(), change.name.end());
            if (!namesIdentity(name)) {
                continue;
            }
            std::optional<tstring> value;
            if (change.value) {
                value = decodeCodePage(*change.value, properties.codePage);
                if (value->find(L'\0') != tstring::npos || value->size() > kLongestIdentityValue) {
                    LD_THROW_PACK_FAILURE(kInputError, transform.file.path() << " sets " << name
                                                                             << " to a value a setup cannot record (a "
                                                                                "NUL, or over 32,767 characters)");
                }
            }
            transform.identityChanges.emplace_back(name, value);
        }
    });
    transform.file.rewind();
    return transform;
}

// What the product is as the transforms applied so far leave it.
class Identity {
public:
    Identity(const facts::LauncherFacts& package, tstring platform, std::uint16_t summaryLanguage)
        : properties_(package), platform_(std::move(platform)), summaryLanguage_(summaryLanguage) {}

    void apply(const GivenTransform& transform) {
        for (const auto& [name, value] : transform.identityChanges) {
            if (value) {
                properties_.set(name, *value);
            } else {
                properties_.erase(name);
            }
        }
    }

    void preset(const std::vector<customization::Property>& properties) {
        for (const customization::Property& property : properties) {
            if (namesIdentity(property.name)) {
                properties_.set(property.name, property.value);
            }
        }
    }

    // As a transform's validation conditions compare it: the default language is ProductLanguage.
    PackageIdentity forConditions() const {
        PackageIdentity identity;
        identity.productCode = text(facts::kProductCode);
        identity.productVersion = text(facts::kProductVersion);
        identity.upgradeCode = text(facts::kUpgradeCode);
        identity.platform = platform_;
        identity.language = language();
        return identity;
    }

    std::uint16_t language() const {
        const tstring value = text(facts::kProductLanguage);
        if (value.empty() || value.size() > 5 ||
            value.find_first_not_of(L"0123456789") != tstring::npos || std::stoul(value) > 0xFFFF) {
            return summaryLanguage_;
        }
        return static_cast<std::uint16_t>(std::stoul(value));
    }

    tstring text(const wchar_t* name) const { return properties_.get(name).value_or(tstring()); }
    const facts::LauncherFacts& properties() const { return properties_; }

    // Only what a transform can change: the packer's own facts stay out.
    facts::LauncherFacts recorded() const {
        facts::LauncherFacts identity;
        for (const wchar_t* name : kIdentityNames) {
            if (const std::optional<tstring> value = properties_.get(name)) {
                identity.set(name, *value);
            }
        }
        return identity;
    }

private:
    facts::LauncherFacts properties_;
    tstring platform_;
    std::uint16_t summaryLanguage_;
};

Identity packageIdentity(InputFile& package, const PackageDescription& description) {
    std::pair<tstring, std::uint16_t> platform;
    readingCompound(package, [&] {
        const CompoundFile compound(package);
        const std::optional<tstring> templateText = summaryOf(package, compound).asciiText(summary::kTemplate);
        platform = platformAndLanguage(templateText.value_or(L""));
    });
    package.rewind();
    return Identity(description.recorded, platform.first, platform.second);
}

void refuseUnfit(const GivenTransform& transform, const tstring& packagePath, const Identity& identity,
                 const GivenTransform* after) {
    if (const std::optional<tstring> unmet = unmetCondition(transform.summary, identity.forConditions())) {
        tstrings::MessageBuilder message;
        message << transform.file.path() << " does not fit " << packagePath;
        if (after != nullptr) {
            message << " with the language transform " << after->file.path();
        }
        LD_THROW_PACK_FAILURE(kInputError, message << ": " << *unmet);
    }
}

// One language transform per language, none for the package's own.
void refuseLanguageClashes(const std::vector<GivenTransform>& languageTransforms, const tstring& packagePath,
                           std::uint16_t packageLanguage) {
    std::map<std::uint16_t, const GivenTransform*> byLanguage;
    for (const GivenTransform& transform : languageTransforms) {
        const std::uint16_t language = transform.summary.resultLanguage;
        if (language == kBaseLanguage) {
            LD_THROW_PACK_FAILURE(kInputError, transform.file.path() << " makes a language-neutral package (Last Saved "
                                                                        "By); --language-transform takes a transform "
                                                                        "for one language");
        }
        if (language == packageLanguage) {
            LD_THROW_PACK_FAILURE(kInputError, transform.file.path() << " is a language transform for " << language
                                                                     << ", the language " << packagePath
                                                                     << " already has");
        }
        const auto [other, isNew] = byLanguage.emplace(language, &transform);
        if (!isNew) {
            LD_THROW_PACK_FAILURE(kInputError, other->second->file.path() << " and " << transform.file.path()
                                                                           << " are both language transforms for "
                                                                           << language);
        }
    }
}

struct GivenPatch {
    InputFile file;
    tstring patchCode;
};

GivenPatch readPatch(const tstring& given, const std::vector<customization::InstalledIdentity>& identities) {
    InputFile file = openGiven(given, L"--patch");
    expectKind(file, FileKind::Patch, L"--patch");
    tstring targets;
    tstring revision;
    readingCompound(file, [&] {
        const SummaryInformation summary = summaryOf(file, CompoundFile(file));
        targets = summary.asciiText(summary::kTemplate).value_or(L"");
        revision = summary.asciiText(summary::kRevision).value_or(L"");
    });
    file.rewind();
    const std::optional<tstring> patchCode = canonicalBracedProductCode(revision.substr(0, 38));
    if (!patchCode) {
        LD_THROW_PACK_FAILURE(kInputError, file.path() << " gives no patch code (its summary's Revision does not "
                                                          "start with a braced GUID)");
    }
    for (const customization::InstalledIdentity& identity : identities) {
        const tstring productCode = identity.properties.get(facts::kProductCode).value_or(L"");
        bool listed = false;
        for (const tstring& target : tstrings::split(targets, L";")) {
            listed = listed || tstrings::equals(target, productCode, tstrings::IgnoreCase);
        }
        if (!listed) {
            tstrings::MessageBuilder message;
            message << file.path() << " does not apply to the product: it lists the ProductCodes ["
                    << tstrings::printable(targets) << "], the product installs as " << productCode;
            if (identity.language != kBaseLanguage) {
                message << " in language " << identity.language;
            }
            LD_THROW_PACK_FAILURE(kInputError, message);
        }
    }
    return GivenPatch{std::move(file), *patchCode};
}

// Carried names lie at the root of the package's folder: none may be taken twice in any case,
// nor be where the package, the launcher's copy of it or the install script go, nor a folder
// that a file the package names lies in.
void refuseNameClashes(const std::vector<FileBesidePackage>& carried, const std::vector<FileBesidePackage>& beside,
                       const tstring& packagePath) {
    const tstring packageName = host::fileNameOf(packagePath);
    std::map<tstring, const FileBesidePackage*> byKey;
    tstring_array keys;
    for (const FileBesidePackage& file : beside) {
        byKey.emplace(host::caseKey(file.name), &file);
        keys.push_back(host::caseKey(file.name));
    }
    for (const FileBesidePackage& file : carried) {
        if (const tstring problem = customization::rootFileNameProblem(file.name); !problem.empty()) {
            LD_THROW_PACK_FAILURE(kInputError, file.askedBy << ": the name '" << tstrings::printable(file.name)
                                                            << "' cannot be carried: " << problem);
        }
        const tstring key = host::caseKey(file.name);
        for (const tstring& reserved : {packageName, tstring(payload::kInstallersCopyName),
                                        tstring(customization::kInstallScriptName)}) {
            if (key == host::caseKey(reserved)) {
                LD_THROW_PACK_FAILURE(kInputError, file.askedBy << ": the name '" << file.name << "' is taken by "
                                                                << (reserved == packageName ? L"the package itself"
                                                                                            : L"the launcher's own " + reserved));
            }
        }
        const auto [other, isNew] = byKey.emplace(key, &file);
        if (!isNew) {
            LD_THROW_PACK_FAILURE(kInputError, file.askedBy << " and " << other->second->askedBy << " name '"
                                                            << file.name << "' and '" << other->second->name
                                                            << "': carried beside the package, Windows cannot hold "
                                                               "both, as the names differ only in case");
        }
        keys.push_back(key);
    }
    if (const auto clash = payload::fileWhereFolderIs(keys)) {
        LD_THROW_PACK_FAILURE(kInputError, packagePath << " names files below a folder of the name of a carried file ("
                                                       << keys[clash->first] << ")");
    }
}

FileBesidePackage carriedFile(const InputFile& file, const wchar_t* option) {
    return FileBesidePackage{host::fileNameOf(file.path()), tstring(option) + L" " + file.path(), false};
}

facts::LauncherFacts baseIdentityOf(const PackageDescription& description) {
    facts::LauncherFacts identity;
    for (const wchar_t* name : kIdentityNames) {
        if (const std::optional<tstring> value = description.recorded.get(name)) {
            identity.set(name, *value);
        }
    }
    return identity;
}

// extract writes install.cmd beside the package of a launcher that records customizations: no
// file the package names may lie there under that name.
void refuseScriptNameBeside(const std::vector<FileBesidePackage>& beside, const tstring& packagePath) {
    for (const FileBesidePackage& file : beside) {
        if (host::caseKey(file.name) == host::caseKey(customization::kInstallScriptName)) {
            LD_THROW_PACK_FAILURE(kInputError, packagePath << ": " << file.askedBy << " names '" << file.name
                                                           << "', where extract writes "
                                                           << customization::kInstallScriptName);
        }
    }
}

}  // namespace

CarriedCustomization customizePackage(const PackOptions& options, InputFile& package, PackageDescription& description,
                                      const std::vector<FileBesidePackage>& beside) {
    CarriedCustomization carried;
    if (options.verboseLog || !options.transforms.empty() || !options.languageTransforms.empty() ||
        !options.patches.empty() || !options.properties.empty()) {
        refuseScriptNameBeside(beside, package.path());
    }
    carried.record.verboseLog = options.verboseLog;
    if (options.transforms.empty() && options.languageTransforms.empty() && options.patches.empty() &&
        options.properties.empty()) {
        if (options.verboseLog) {
            // The launcher names its logs for the product as it installs.
            carried.record.identities.push_back(customization::InstalledIdentity{kBaseLanguage, baseIdentityOf(description)});
        }
        return carried;
    }
    std::vector<GivenTransform> languageTransforms;
    for (const tstring& given : options.languageTransforms) {
        languageTransforms.push_back(readTransform(given, L"--language-transform"));
    }
    std::vector<GivenTransform> transforms;
    for (const tstring& given : options.transforms) {
        transforms.push_back(readTransform(given, L"--transform"));
    }

    const Identity base = packageIdentity(package, description);
    refuseLanguageClashes(languageTransforms, package.path(), base.language());
    // The launcher chooses the language when it runs: every transform must fit after each
    // language transform, and after none.
    std::vector<std::pair<std::uint16_t, Identity>> installed;
    for (std::size_t start = 0; start <= languageTransforms.size(); ++start) {
        Identity identity = base;
        const GivenTransform* language = start == 0 ? nullptr : &languageTransforms[start - 1];
        if (language != nullptr) {
            refuseUnfit(*language, package.path(), identity, nullptr);
            identity.apply(*language);
        }
        for (const GivenTransform& transform : transforms) {
            refuseUnfit(transform, package.path(), identity, language);
            identity.apply(transform);
        }
        identity.preset(options.properties);
        installed.emplace_back(language == nullptr ? kBaseLanguage : language->summary.resultLanguage, identity);
    }
    for (const auto& [language, identity] : installed) {
        const std::optional<tstring> code = canonicalBracedProductCode(identity.text(facts::kProductCode));
        if (!code) {
            LD_THROW_PACK_FAILURE(kInputError, "The transforms given for " << package.path() << " make its ProductCode '"
                                                   << tstrings::printable(identity.text(facts::kProductCode))
                                                   << "'" << (language == kBaseLanguage ? tstring() : L" in language " + std::to_wstring(language))
                                                   << ", which is no GUID in braces");
        }
        facts::LauncherFacts recorded = identity.recorded();
        recorded.set(facts::kProductCode, *code);
        carried.record.identities.push_back(customization::InstalledIdentity{language, recorded});
    }

    std::vector<GivenPatch> patches;
    for (const tstring& given : options.patches) {
        patches.push_back(readPatch(given, carried.record.identities));
    }

    for (GivenTransform& transform : languageTransforms) {
        carried.files.push_back(carriedFile(transform.file, L"--language-transform"));
        carried.record.transforms.push_back(
            customization::Transform{carried.files.back().name, transform.summary.resultLanguage});
        carried.opened.push_back(std::move(transform.file));
    }
    for (GivenTransform& transform : transforms) {
        carried.files.push_back(carriedFile(transform.file, L"--transform"));
        carried.record.transforms.push_back(customization::Transform{carried.files.back().name, kBaseLanguage});
        carried.opened.push_back(std::move(transform.file));
    }
    for (GivenPatch& patch : patches) {
        carried.files.push_back(carriedFile(patch.file, L"--patch"));
        carried.record.patches.push_back(customization::Patch{carried.files.back().name, patch.patchCode});
        carried.opened.push_back(std::move(patch.file));
    }
    refuseNameClashes(carried.files, beside, package.path());
    carried.record.properties = options.properties;

    // The launcher describes the product as it installs in the package's own language.
    const facts::LauncherFacts& baseIdentity = carried.record.identities.front().properties;
    for (const wchar_t* name : kIdentityNames) {
        if (const std::optional<tstring> value = baseIdentity.get(name)) {
            description.recorded.set(name, *value);
        } else {
            description.recorded.erase(name);
        }
    }
    description.productCode = *baseIdentity.get(facts::kProductCode);
    return carried;
}
