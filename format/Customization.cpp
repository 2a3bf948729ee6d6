#include "Customization.h"

#include <algorithm>
#include <cwctype>

#include "ErrorHandling.h"
#include "LittleEndian.h"
#include "PayloadIndex.h"
#include "SealedRecord.h"

namespace customization {
namespace {

constexpr SealedRecordFormat kFormat = {
    0x5A43504C,  // "LPCZ"
    kCustomizationVersion,
    "the launcher's customizations are cut short",
    "the launcher's customizations do not match their own hash",
    "the launcher's customizations do not start with their signature",
    "the launcher's customizations have format version",
};

enum Kind : std::uint16_t { kTransform = 1, kPatch = 2, kProperty = 3, kIdentity = 4, kLog = 5 };

class EntryWriter {
public:
    EntryWriter(std::vector<std::uint8_t>& bytes, Kind kind) : bytes_(bytes) {
        LittleEndianWriter(bytes_).put16(kind).put32(0);
        start_ = bytes_.size();
    }
    ~EntryWriter() = default;

    EntryWriter& put16(std::uint16_t value) {
        LittleEndianWriter(bytes_).put16(value);
        return *this;
    }
    EntryWriter& shortText(const tstring& text) { return text16(text, 0xFFFF); }
    EntryWriter& longText(const tstring& text) { return text16(text, 0xFFFFFFFFull); }
    void finish() {
        const std::size_t length = bytes_.size() - start_;
        if (length > 0xFFFFFFFFull) {
            LD_THROW("a customization is too long to be recorded");
        }
        LittleEndianWriter(bytes_, start_ - 4).put32(static_cast<std::uint32_t>(length));
    }

private:
    EntryWriter& text16(const tstring& text, std::uint64_t most) {
        const std::u16string units = tstrings::toUtf16(text);
        if (units.size() > most) {
            LD_THROW(tstrings::MessageBuilder() << "[" << text.substr(0, 40) << "...] is too long to be recorded");
        }
        LittleEndianWriter out(bytes_);
        if (most == 0xFFFF) {
            out.put16(static_cast<std::uint16_t>(units.size()));
        } else {
            out.put32(static_cast<std::uint32_t>(units.size()));
        }
        out.putUnits(units);
        return *this;
    }

    std::vector<std::uint8_t>& bytes_;
    std::size_t start_ = 0;
};

using Reader = LittleEndianReader<CustomizationError>;

void requireText(const tstring& text, const char* what) {
    if (text.empty()) {
        LD_THROW(CustomizationError((tstrings::MessageBuilder() << "the launcher's customizations record a "
                                                                << what << " without a name")
                                        .str()));
    }
}

void readEntry(Reader& in, Kind kind, Customization& into) {
    switch (kind) {
        case kTransform: {
            Transform transform;
            transform.language = in.get16();
            transform.name = in.getText(in.get16());
            requireText(transform.name, "transform");
            into.transforms.push_back(std::move(transform));
            return;
        }
        case kPatch: {
            Patch patch;
            patch.name = in.getText(in.get16());
            patch.patchCode = in.getText(in.get16());
            requireText(patch.name, "patch");
            into.patches.push_back(std::move(patch));
            return;
        }
        case kProperty: {
            Property property;
            property.name = in.getText(in.get16());
            property.value = in.getText(in.get32());
            requireText(property.name, "property");
            into.properties.push_back(std::move(property));
            return;
        }
        case kIdentity: {
            const std::uint16_t language = in.get16();
            const tstring name = in.getText(in.get16());
            const tstring value = in.getText(in.get32());
            requireText(name, "property of an installed identity");
            if (into.identities.empty() || into.identities.back().language != language) {
                if (into.identityFor(language) != nullptr) {
                    LD_THROW(CustomizationError("the launcher's customizations give one language's identity in two places"));
                }
                into.identities.push_back(InstalledIdentity{language, {}});
            }
            into.identities.back().properties.set(name, value);
            return;
        }
        case kLog:
            into.verboseLog = true;
            return;
    }
}

bool isBracedGuid(const tstring& text) {
    if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') {
        return false;
    }
    for (std::size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? text[i] != L'-' : !std::iswxdigit(static_cast<wint_t>(text[i]))) {
            return false;
        }
    }
    return true;
}

tstring asciiUpper(tstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return text;
}

[[noreturn]] void refuseRecord(const tstrings::MessageBuilder& reason) {
    LD_THROW(CustomizationError((tstrings::MessageBuilder() << "the launcher's customizations " << reason.tstr()).str()));
}

// What a packer never records, refused before the launcher composes a command line from it: a
// record someone else made is as untrusted as any other part of a setup.
void checkRecord(const Customization& customization) {
    std::vector<tstring> names;
    const auto checkName = [&](const tstring& name) {
        if (const tstring problem = rootFileNameProblem(name); !problem.empty()) {
            refuseRecord(tstrings::MessageBuilder() << "name a file [" << tstrings::printable(name)
                                                    << "] that cannot be carried: " << problem);
        }
        const tstring key = asciiUpper(name);
        if (std::find(names.begin(), names.end(), key) != names.end()) {
            refuseRecord(tstrings::MessageBuilder() << "name [" << tstrings::printable(name) << "] twice");
        }
        names.push_back(key);
    };
    std::vector<std::uint16_t> languages;
    for (const Transform& transform : customization.transforms) {
        checkName(transform.name);
        if (transform.language != kBaseLanguage) {
            if (std::find(languages.begin(), languages.end(), transform.language) != languages.end()) {
                refuseRecord(tstrings::MessageBuilder() << "carry two transforms for language " << transform.language);
            }
            languages.push_back(transform.language);
        }
    }
    for (const Patch& patch : customization.patches) {
        checkName(patch.name);
        if (!isBracedGuid(patch.patchCode)) {
            refuseRecord(tstrings::MessageBuilder() << "give a patch code that is no GUID in braces");
        }
    }
    std::vector<tstring> properties;
    for (const Property& property : customization.properties) {
        if (!presetPropertyProblem(property.name).empty() || !presetValueProblem(property.value).empty() ||
            std::find(properties.begin(), properties.end(), property.name) != properties.end()) {
            refuseRecord(tstrings::MessageBuilder() << "preset a property that cannot be preset: ["
                                                    << tstrings::printable(property.name) << "]");
        }
        properties.push_back(property.name);
    }
    for (const InstalledIdentity& identity : customization.identities) {
        const std::optional<tstring> code = identity.properties.get(facts::kProductCode);
        if (code && !isBracedGuid(*code)) {
            refuseRecord(tstrings::MessageBuilder() << "give a ProductCode that is no GUID in braces");
        }
    }
}

bool knownKind(std::uint16_t kind) {
    return kind >= kTransform && kind <= kLog;
}

tstring joined(const tstring_array& parts, const wchar_t* separator) {
    tstring text;
    for (const tstring& part : parts) {
        text += (text.empty() ? L"" : separator) + part;
    }
    return text;
}

tstring escaped(const tstring& text, Escape escape) {
    return escape != nullptr ? escape(text) : text;
}

tstring_array presetProperties(const Customization& customization, Escape escape = nullptr) {
    tstring_array arguments;
    for (const Property& property : customization.properties) {
        arguments.push_back(quotedProperty(property.name, escaped(property.value, escape)));
    }
    return arguments;
}

// cmd reads '%' in a batch file as the start of a variable: doubled, it is one '%'. Inside the
// quotes every property value and path is written in, no other character is special.
tstring forCmd(const tstring& text) {
    return tstrings::replace(text, L"%", L"%%");
}

constexpr std::uint16_t primaryLanguage(std::uint16_t language) {
    return static_cast<std::uint16_t>(language & 0x3FF);
}

}  // namespace

tstring presetPropertyProblem(const tstring& name) {
    if (name.empty()) {
        return L"a property needs a name";
    }
    const auto publicCharacter = [](wchar_t c) {
        return (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_' || c == L'.';
    };
    if (!std::all_of(name.begin(), name.end(), publicCharacter) || (name.front() >= L'0' && name.front() <= L'9')) {
        return L"only a public property can be preset: upper-case letters, digits, '_' and '.', not starting with a digit";
    }
    for (const wchar_t* own : {L"TRANSFORMS", L"TRANSFORMSSECURE", L"PATCH"}) {
        if (name == own) {
            return tstring(L"the launcher sets it from the carried ") + (name == L"PATCH" ? L"patches (--patch)" : L"transforms (--transform, --language-transform)");
        }
    }
    for (const wchar_t* own : {L"REINSTALL", L"REINSTALLMODE"}) {
        if (name == own) {
            return L"the launcher's repair sets it";
        }
    }
    return tstring();
}

tstring presetValueProblem(const tstring& value) {
    const auto control = [](wchar_t c) { return c < 0x20 || c == 0x7F; };
    if (std::any_of(value.begin(), value.end(), control)) {
        return L"a value cannot hold NUL, a line break or another control character";
    }
    return tstring();
}

tstring rootFileNameProblem(const tstring& name) {
    if (tstring problem = payload::carriedNameProblem(name); !problem.empty()) {
        return problem;
    }
    if (name.find_first_of(L"\\/") != tstring::npos) {
        return L"it is not one file name";
    }
    if (name.find(L';') != tstring::npos) {
        return L"it holds ';', which separates the names msiexec is given";
    }
    if (asciiUpper(name) == asciiUpper(kInstallScriptName)) {
        return tstring(L"it is the name of the script extract writes, ") + kInstallScriptName;
    }
    return tstring();
}

std::vector<std::uint16_t> Customization::languages() const {
    std::vector<std::uint16_t> found;
    for (const Transform& transform : transforms) {
        if (transform.language != kBaseLanguage) {
            found.push_back(transform.language);
        }
    }
    return found;
}

const InstalledIdentity* Customization::identityFor(std::uint16_t language) const {
    for (const InstalledIdentity& identity : identities) {
        if (identity.language == language) {
            return &identity;
        }
    }
    return nullptr;
}

std::vector<std::uint8_t> serializeCustomization(const Customization& customization) {
    std::size_t count = customization.transforms.size() + customization.patches.size() + customization.properties.size();
    for (const InstalledIdentity& identity : customization.identities) {
        count += identity.properties.all().size();
    }
    if (customization.verboseLog) {
        ++count;
    }
    std::vector<std::uint8_t> bytes;
    writeSealedHeader(bytes, kFormat, kCustomizationVersion, static_cast<std::uint32_t>(count));
    for (const Transform& transform : customization.transforms) {
        EntryWriter(bytes, kTransform).put16(transform.language).shortText(transform.name).finish();
    }
    for (const Patch& patch : customization.patches) {
        EntryWriter(bytes, kPatch).shortText(patch.name).shortText(patch.patchCode).finish();
    }
    for (const Property& property : customization.properties) {
        EntryWriter(bytes, kProperty).shortText(property.name).longText(property.value).finish();
    }
    for (const InstalledIdentity& identity : customization.identities) {
        for (const facts::Fact& fact : identity.properties.all()) {
            EntryWriter(bytes, kIdentity).put16(identity.language).shortText(fact.name).longText(fact.value).finish();
        }
    }
    if (customization.verboseLog) {
        EntryWriter(bytes, kLog).finish();
    }
    appendSeal(bytes);
    return bytes;
}

Customization parseCustomization(const void* data, std::size_t size) {
    auto record = openSealedRecord<CustomizationError>(data, size, kFormat);
    Reader& in = record.items;
    Customization customization;
    for (std::uint32_t i = 0; i < record.count; ++i) {
        const std::uint16_t kind = in.get16();
        const std::uint32_t length = in.get32();
        const std::size_t start = in.position();
        if (!knownKind(kind)) {
            in.skip(length);
            continue;
        }
        readEntry(in, static_cast<Kind>(kind), customization);
        if (in.position() - start != length) {
            LD_THROW(CustomizationError("an entry of the launcher's customizations is not as long as it says"));
        }
    }
    if (!in.atEnd()) {
        LD_THROW(CustomizationError("the launcher's customizations hold more than their count says"));
    }
    checkRecord(customization);
    return customization;
}

tstring quotedProperty(const tstring& name, const tstring& value) {
    tstring quoted = name + L"=\"";
    for (const wchar_t c : value) {
        quoted += c;
        if (c == L'"') {
            quoted += L'"';
        }
    }
    return quoted + L"\"";
}

std::uint16_t chooseLanguage(const Customization& customization, std::uint16_t userLanguage) {
    const std::vector<std::uint16_t> carried = customization.languages();
    for (const std::uint16_t language : carried) {
        if (language == userLanguage) {
            return language;
        }
    }
    for (const std::uint16_t language : carried) {
        if (primaryLanguage(language) == primaryLanguage(userLanguage)) {
            return language;
        }
    }
    return kBaseLanguage;
}

tstring installArguments(const Customization& customization, std::uint16_t language, const tstring& folderPrefix,
                         Escape escape) {
    tstring_array transforms;
    for (const Transform& transform : customization.transforms) {
        if (language != kBaseLanguage && transform.language == language) {
            transforms.insert(transforms.begin(), escaped(transform.name, escape));
        } else if (transform.language == kBaseLanguage) {
            transforms.push_back(escaped(transform.name, escape));
        }
    }
    tstring_array arguments;
    if (!transforms.empty()) {
        arguments.push_back(L"TRANSFORMSSECURE=1");
        arguments.push_back(quotedProperty(L"TRANSFORMS", joined(transforms, L";")));
    }
    tstring_array patches;
    for (const Patch& patch : customization.patches) {
        patches.push_back(folderPrefix + escaped(patch.name, escape));
    }
    if (!patches.empty()) {
        arguments.push_back(quotedProperty(L"PATCH", joined(patches, L";")));
    }
    const tstring_array properties = presetProperties(customization, escape);
    arguments.insert(arguments.end(), properties.begin(), properties.end());
    return joined(arguments, L" ");
}

tstring propertyArguments(const Customization& customization) {
    return joined(presetProperties(customization), L" ");
}

std::string installScript(const Customization& customization, const tstring& packageFileName) {
    // The system's msiexec by its full path: cmd would run one lying in this folder first. Called
    // directly, not through start, which quotes the arguments again: cmd waits for it in a script
    // and sets ERRORLEVEL to its exit code.
    const tstring msiexec = L"\"%SystemRoot%\\System32\\msiexec.exe\" /i \"%~dp0" + forCmd(packageFileName) + L"\"";
    const auto command = [&](std::uint16_t language, const wchar_t* options) {
        const tstring customized = installArguments(customization, language, L"%~dp0", forCmd);
        return msiexec + (customized.empty() ? L"" : L" " + customized) + L" " + options;
    };
    const std::vector<std::uint16_t> languages = customization.languages();
    const tstring baseCommand = command(kBaseLanguage, L"%*");
    // cmd reads a script in the console's code page: text beyond ASCII is read as UTF-8 only
    // under code page 65001 (Windows 10 and later), which the script sets for as long as it runs.
    tstring everyCommand = baseCommand + forCmd(packageFileName);
    for (const std::uint16_t language : languages) {
        everyCommand += command(language, L"");
    }
    const bool beyondAscii =
        std::any_of(everyCommand.begin(), everyCommand.end(), [](wchar_t c) { return c > 0x7F; });
    tstrings::MessageBuilder script;
    script << "@echo off\r\n"
           << "rem Installs " << forCmd(packageFileName) << " from this folder as its setup does.\r\n"
           << "rem install.cmd [LANGID] [msiexec options...]\r\n";
    for (const std::uint16_t language : languages) {
        script << "rem LANGID " << language << ": its language transform applies first.\r\n";
    }
    script << "setlocal EnableExtensions DisableDelayedExpansion\r\n";
    if (beyondAscii) {
        script << "for /f \"tokens=2 delims=:.\" %%c in ('chcp') do set \"LODESTAR_CODEPAGE=%%c\"\r\n"
               << "chcp 65001 >nul\r\n";
    }
    script << "pushd \"%~dp0\"\r\n";
    for (const std::uint16_t language : languages) {
        // In brackets, not quotes: a first option with quotes inside (DIR="C:\a b") stays one word.
        script << "if [%1]==[" << language << "] goto language_" << language << "\r\n";
    }
    script << baseCommand << "\r\n"
           << "goto done\r\n";
    for (const std::uint16_t language : languages) {
        // %* keeps every argument as typed; the language, its first word, is taken off it.
        script << ":language_" << language << "\r\n"
               << "set \"LODESTAR_OPTIONS=%*\"\r\n"
               << "call set \"LODESTAR_OPTIONS=%%LODESTAR_OPTIONS:*%1=%%\"\r\n"
               << command(language, L"%LODESTAR_OPTIONS%") << "\r\n"
               << "goto done\r\n";
    }
    script << ":done\r\n"
           << "set \"LODESTAR_EXIT=%ERRORLEVEL%\"\r\n"
           << "popd\r\n";
    if (beyondAscii) {
        script << "chcp %LODESTAR_CODEPAGE% >nul\r\n";
    }
    script << "exit /b %LODESTAR_EXIT%\r\n";
    return script.str();
}

}  // namespace customization
