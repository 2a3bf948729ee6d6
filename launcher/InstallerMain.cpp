#include "InstallerMain.h"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "CarriedPayload.h"
#include "Customization.h"
#include "Executor.h"
#include "FileUtils.h"
#include "Guid.h"
#include "LauncherCommand.h"
#include "LauncherResources.h"
#include "Log.h"
#include "MsiLogSwitch.h"
#include "MsiUtils.h"
#include "PayloadIndex.h"
#include "Resources.h"
#include "WinFileUtils.h"
#include "WinApp.h"
#include "WinSysInfo.h"

namespace launcher {
namespace {

// Written only by the flow; -1 (0xFFFFFFFF to the parent) means the launcher itself failed.
int processExitCode = -1;

constexpr int kSilentUiLevel = 2;  // INSTALLUILEVEL_NONE

Guid carriedProductCode() {
    const std::vector<std::uint8_t> bytes =
        Resource(resources::kProductCodeLookupName, MAKEINTRESOURCEW(resources::kCarriedType),
                 SysInfo::getCurrentModuleHandle())
            .binary();
    // Exactly the resource's bytes: the text carries no terminator.
    return Guid(std::string(bytes.begin(), bytes.end()));
}

// How the package was customized when it was packed; an empty record for a launcher without.
customization::Customization carriedCustomization() {
    const Resource resource(resources::kCustomizationLookupName, MAKEINTRESOURCEW(resources::kCarriedType),
                            SysInfo::getCurrentModuleHandle());
    std::uint32_t size = 0;
    const void* data = resource.getPtr(size, std::nothrow);
    if (data == nullptr) {
        return customization::Customization{};
    }
    try {
        return customization::parseCustomization(data, size);
    } catch (const customization::CustomizationError& e) {
        LOG_ERROR(tstrings::fromUtf8(e.what()));
        refuseDamagedSetup(L"its customizations");
    }
}

// The product this setup installed: the carried ProductCode, or the one a language transform
// gives the product, whichever Windows Installer knows. The carried one when none is installed.
Guid installedProductCode(const customization::Customization& carried) {
    const Guid productCode = carriedProductCode();
    if (msi::isProductInstalled(productCode)) {
        return productCode;
    }
    for (const customization::InstalledIdentity& identity : carried.identities) {
        const std::optional<tstring> code = identity.properties.get(facts::kProductCode);
        std::optional<Guid> parsed;
        try {
            parsed = code ? std::optional<Guid>(Guid(*code)) : std::nullopt;
        } catch (const std::exception&) {
            refuseDamagedSetup(L"its customizations");
        }
        if (parsed && msi::isProductInstalled(*parsed)) {
            return *parsed;
        }
    }
    return productCode;
}

void uninstallCarriedProduct(const tstring_array& args) {
    const Guid productCode = installedProductCode(carriedCustomization());
    // Deployment tools ask for a log of a removal as they do of an installation.
    const std::optional<msi::LogSwitch> log = msi::findLogSwitch(args);
    const msi::UILevelGuard silentUi(kSilentUiLevel);
    msi::action<msi::uninstall> removal;
    removal.productCode = productCode;
    if (log) {
        removal.logFile = log->path;
        removal.logMode = log->mode;
        removal.logAttributes = log->attributes;
    }
    const msi::ActionStatus status = removal(std::nothrow);
    processExitCode = static_cast<int>(status.code);
}

// What msiexec is given after the package for an installation: the carried customizations as
// Windows Installer reads them (the language transform for the user's interface language first),
// then the user's text, so that a property or TRANSFORMS= the user types wins.
tstring installText(const customization::Customization& carried, const tstring& workDir, const tstring& userText) {
    const std::uint16_t language = customization::chooseLanguage(carried, GetUserDefaultUILanguage());
    const tstring folderPrefix = workDir.empty() || workDir.back() == L'\\' ? workDir : workDir + L"\\";
    const tstring customized = customization::installArguments(carried, language, folderPrefix);
    LOG_TRACE("User interface language " << GetUserDefaultUILanguage() << "; language transform for "
                                          << (language == customization::kBaseLanguage ? tstring(L"none")
                                                                                        : std::to_wstring(language)));
    return customized.empty() ? userText : userText.empty() ? customized : customized + L" " + userText;
}

// A repair gives the carried properties again, then REINSTALL, then the user's text. Windows
// Installer keeps the transforms and patches of the installed product in its cache and applies
// them to a maintenance installation itself.
tstring repairText(const customization::Customization& carried, const tstring& userText) {
    tstring text = customization::propertyArguments(carried);
    text += (text.empty() ? L"" : L" ") + tstring(L"REINSTALL=ALL REINSTALLMODE=vomus");
    return userText.empty() ? text : text + L" " + userText;
}

// Extracts what the launcher carries into a new working directory and runs msiexec /i on the
// package with the text `composeText` makes of the working directory: the user's own arguments
// go exactly as they were typed, since msiexec parses them by rules of its own, which no
// splitting and re-quoting here could reproduce.
template <typename ComposeText>
void installCarriedPackage(ComposeText composeText) {
    // The user's temporary directory or nowhere: never the current directory.
    const tstring workDir = FileUtils::createTempDirectory(L"", L".tmp", FileUtils::requireTempDirectory());
    FileUtils::DeferredDeleter cleanup;
    cleanup.appendRecursiveDirectory(workDir);
    // Until the installer has ended nobody can rename the directory away and put a link in its
    // place for the cleanup to follow. Released before the cleanup runs.
    const FileUtils::DirectoryLock workDirLock(workDir);

    // What msiexec reads is what was packed: every file checked, and kept from writers until it is
    // done. The files beside the package keep their names relative to it, as its tables ask.
    const CarriedPayload payload(SysInfo::getCurrentModuleHandle());
    const tstring packagePath = FileUtils::PathBuilder() << workDir << payload::kInstallersCopyName;
    std::vector<UniqueHandle> locks;
    locks.push_back(payload.writeChecked(payload.package(), packagePath));
    CarriedDirectories directories(workDir, CarriedDirectories::Existing::Refused);
    for (const CarriedFile& file : payload.besideThePackage()) {
        locks.push_back(payload.writeChecked(file, directories.prepare(file.name)));
    }

    Executor installer(SysInfo::getWIPath());
    installer.arg(L"/i").arg(packagePath);
    installer.argsText(composeText(workDir));
    processExitCode = installer.execAndWaitForExit();
}

// Reinstalls the carried product's files and settings from the carried package, the user's own
// options last so that theirs win. Windows Installer needs the product's source for it, which an
// installation from a working directory no longer has.
void repairCarriedProduct(const tstring& argsText) {
    const customization::Customization carried = carriedCustomization();
    const Guid productCode = installedProductCode(carried);
    if (!msi::isProductInstalled(productCode)) {
        LOG_ERROR("Repair of " << productCode.toString() << ": the product is not installed");
        processExitCode = ERROR_UNKNOWN_PRODUCT;
        return;
    }
    installCarriedPackage([&](const tstring&) { return repairText(carried, argsText); });
}

void installCarriedProduct(const tstring& argsText) {
    const customization::Customization carried = carriedCustomization();
    installCarriedPackage([&](const tstring& workDir) { return installText(carried, workDir, argsText); });
}

tstring launcherFileName() {
    return FileUtils::basename(SysInfo::getProcessModulePath());
}

void extractCarriedPayload(const tstring_array& operands) {
    if (operands.size() != 1) {
        LD_THROW(tstrings::MessageBuilder() << "Usage: " << launcherFileName()
                                            << " extract DIR\nwrites the package and the files it needs beside it "
                                               "into DIR, without installing anything.");
    }
    const CarriedPayload payload(SysInfo::getCurrentModuleHandle());
    // A launcher packed before indexes does not know its package's name: it goes by the launcher's.
    const tstring packageFileName =
        payload.indexed() ? payload.package().name : FileUtils::stripSuffix(launcherFileName()) + L".msi";
    const customization::Customization carried = carriedCustomization();
    const std::optional<std::string> script =
        carried.empty() ? std::nullopt : std::optional<std::string>(customization::installScript(carried, packageFileName));
    payload.extractTo(FileUtils::toAbsolutePath(operands.front()), packageFileName, script);
    processExitCode = 0;
}

// What the setup applies beyond the package, for its help: one paragraph, or none.
tstring carriedText(const customization::Customization& carried) {
    if (carried.empty()) {
        return tstring();
    }
    tstrings::MessageBuilder text;
    text << "This setup installs the package with what it carries:";
    for (const customization::Transform& transform : carried.transforms) {
        text << " the transform " << tstrings::printable(transform.name);
        if (transform.language != customization::kBaseLanguage) {
            text << " (for user-interface language " << transform.language << ")";
        }
        text << ";";
    }
    for (const customization::Patch& patch : carried.patches) {
        text << " the patch " << tstrings::printable(patch.name) << ";";
    }
    for (const customization::Property& property : carried.properties) {
        text << " " << tstrings::printable(customization::quotedProperty(property.name, property.value)) << ";";
    }
    text << " what you type comes after them and wins. extract also writes install.cmd [LANGID] [options], "
            "which installs the same way from that folder.\n\n";
    return text.tstr();
}

void showUsage() {
    const tstring self = launcherFileName();
    // One line for each paragraph: the box wraps them to its own width.
    app::showInformation(
        L"Installs the package this setup carries through Windows Installer (msiexec).\n\n" +
        carriedText(carriedCustomization()) + self +
        L" [options] [PROPERTY=value ...]\n"
        L"Installs. Options and properties go to msiexec as typed: /qn (no interface), /passive (progress "
        L"only), /l*v FILE (a verbose log), PROP=value.\n\n" +
        self +
        L" uninstall [/l*v FILE]\n"
        L"Removes the product silently, without restarting.\n\n" +
        self +
        L" repair [options]\n"
        L"Reinstalls the product's files and settings from this setup (REINSTALL=ALL REINSTALLMODE=vomus; "
        L"your options come last).\n\n" +
        self +
        L" extract DIR\n"
        L"Writes the package and its files into DIR; installs nothing.\n\n" +
        self +
        L" /?\n"
        L"Shows this text.\n\n"
        L"Exit codes: -1 when this setup itself fails, otherwise the installer's own: 0 success, 1602 "
        L"cancelled, 1603 failed, 1605 not installed, 1618 another installation running, 3010 restart "
        L"required, 1641 restart started.");
    processExitCode = 0;
}

}  // namespace

int exitCode() {
    return processExitCode;
}

void installerMain() {
    // Read and split once; an ordinary installation loads no shell32 for it.
    const LauncherCommand command = parseLauncherCommand(SysInfo::getCommandArgsText());
    switch (command.action) {
        case LauncherAction::Uninstall:
            uninstallCarriedProduct(command.arguments);
            return;
        case LauncherAction::Extract:
            extractCarriedPayload(command.operands);
            return;
        case LauncherAction::Repair:
            repairCarriedProduct(command.installerText);
            return;
        case LauncherAction::Help:
            showUsage();
            return;
        case LauncherAction::Install:
            installCarriedProduct(command.installerText);
            return;
    }
}

}  // namespace launcher
