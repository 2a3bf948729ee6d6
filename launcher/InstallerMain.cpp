#include "InstallerMain.h"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "CarriedPayload.h"
#include "CarriedProduct.h"
#include "DefaultLog.h"
#include "SetupLock.h"
#include "UnpackProgress.h"
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
#include "ProgressWindow.h"
#include "Resources.h"
#include "WinFileUtils.h"
#include "WinApp.h"
#include "WinSysInfo.h"

namespace launcher {
namespace {

// Written only by the flow; -1 (0xFFFFFFFF to the parent) means the launcher itself failed.
int processExitCode = -1;

constexpr int kSilentUiLevel = 2;  // INSTALLUILEVEL_NONE

// The user's arguments with the log a launcher packed with --log adds when they ask for none.
std::optional<tstring> defaultLog(const CarriedProduct& product, const tstring_array& arguments) {
    // Whatever the user's own switch is worth, msiexec (or the removal below) answers it.
    if (!product.customization().verboseLog || msi::hasLogSwitch(arguments)) {
        return std::nullopt;
    }
    return defaultLogPath(product.name());
}

void uninstallCarriedProduct(const tstring_array& args) {
    const CarriedProduct product;
    // Deployment tools ask for a log of a removal as they do of an installation.
    std::optional<msi::LogSwitch> log = msi::findLogSwitch(args);
    if (const std::optional<tstring> path = defaultLog(product, args)) {
        log = msi::findLogSwitch({L"/l*v", *path});
    }
    const msi::UILevelGuard silentUi(kSilentUiLevel);
    msi::action<msi::uninstall> removal;
    removal.productCode = product.installedProductCode();
    if (log) {
        removal.logFile = log->path;
        removal.logMode = log->mode;
        removal.logAttributes = log->attributes;
    }
    const msi::ActionStatus status = removal(std::nothrow);
    processExitCode = static_cast<int>(status.code);
}

tstring joinedText(const tstring_array& parts) {
    tstring text;
    for (const tstring& part : parts) {
        if (!part.empty()) {
            text += (text.empty() ? L"" : L" ") + part;
        }
    }
    return text;
}

// What msiexec is given after the package for an installation: the carried customizations as
// Windows Installer reads them (the language transform for the user's interface language first),
// the default log, then the user's text, so that a property or TRANSFORMS= the user types wins.
tstring installText(const CarriedProduct& product, const tstring& workDir, const tstring& logSwitch,
                    const tstring& userText) {
    const tstring folderPrefix = workDir.empty() || workDir.back() == L'\\' ? workDir : workDir + L"\\";
    return joinedText({customization::installArguments(product.customization(), product.language(), folderPrefix),
                       logSwitch, userText});
}

// A repair gives the carried properties again, then REINSTALL, then the user's text. Windows
// Installer keeps the transforms and patches of the installed product in its cache and applies
// them to a maintenance installation itself.
tstring repairText(const CarriedProduct& product, const tstring& logSwitch, const tstring& userText) {
    return joinedText({customization::propertyArguments(product.customization()), L"REINSTALL=ALL REINSTALLMODE=vomus",
                       logSwitch, userText});
}

// Writes every carried file, checked, the package to `packagePath` and the rest below
// `directories` under their names relative to it, as its tables ask, and adds the handles that
// keep them from writers until the installer is done to `locks`. Where a user interface was asked
// for, a window shows the progress of a long unpacking, and closes before this returns.
void unpackCarriedFiles(const CarriedPayload& payload, const tstring& packagePath, CarriedDirectories& directories,
                        std::vector<UniqueHandle>& locks, const tstring& title, UserInterface ui) {
    UnpackProgress progress(2 * payload.totalSize());  // written, then checked
    std::optional<ProgressWindow> window;
    if (ui != UserInterface::None) {
        window.emplace(progress, title, ui == UserInterface::Full);
    }
    const FileUtils::PieceDone pieceDone = [&progress](std::size_t bytes) { progress.pieceDone(bytes); };
    locks.push_back(payload.writeChecked(payload.package(), packagePath, pieceDone));
    for (const CarriedFile& file : payload.besideThePackage()) {
        locks.push_back(payload.writeChecked(file, directories.prepare(file.name), pieceDone));
    }
    // A Cancel clicked after the last piece, while the window was closing, counts too: the user
    // saw it accepted.
    window.reset();
    if (progress.cancelRequested()) {
        throw UnpackCancelled{};
    }
}

// Extracts what the launcher carries into a new working directory and runs msiexec /i on the
// package with the text `composeText` makes of the working directory: the user's own arguments
// go exactly as they were typed, since msiexec parses them by rules of its own, which no
// splitting and re-quoting here could reproduce. A user who cancels the unpacking gets 1602, the
// installer's own code for a cancelled setup, and nothing stays behind.
template <typename ComposeText>
void installCarriedPackage(const CarriedProduct& product, UserInterface ui, ComposeText composeText) {
    // The user's temporary directory or nowhere: never the current directory.
    const tstring workDir = FileUtils::createTempDirectory(L"", L".tmp", FileUtils::requireTempDirectory());
    FileUtils::DeferredDeleter cleanup;
    cleanup.appendRecursiveDirectory(workDir);
    // Until the installer has ended nobody can rename the directory away and put a link in its
    // place for the cleanup to follow. Released before the cleanup runs.
    const FileUtils::DirectoryLock workDirLock(workDir);

    // What msiexec reads is what was packed: every file checked, and kept from writers until it is
    // done.
    const CarriedPayload payload(SysInfo::getCurrentModuleHandle());
    const tstring packagePath = FileUtils::PathBuilder() << workDir << payload::kInstallersCopyName;
    // The directories made for the files beside the package stay held as the files do.
    CarriedDirectories directories(workDir, CarriedDirectories::Existing::Refused);
    std::vector<UniqueHandle> locks;
    try {
        unpackCarriedFiles(payload, packagePath, directories, locks, tstrings::printable(product.name()), ui);
    } catch (const UnpackCancelled&) {
        LOG_INFO("The user cancelled the unpacking");
        processExitCode = ERROR_INSTALL_USEREXIT;
        return;
    }

    Executor installer(SysInfo::getWIPath());
    installer.arg(L"/i").arg(packagePath);
    installer.argsText(composeText(workDir));
    processExitCode = installer.execAndWaitForExit();
}

// Runs `install` (which unpacks and runs the installer) holding the product's setup lock; a second
// launcher of the product that starts meanwhile exits with 1618, the code deployment tools retry
// on, and says so where a user interface was asked for.
template <typename Install>
void oneSetupAtATime(const CarriedProduct& product, const Guid& productCode, const tstring_array& arguments,
                     Install install) {
    const std::optional<SetupLock> lock = SetupLock::acquire(productCode);
    if (!lock) {
        LOG_WARNING("Another setup of " << productCode.toString() << " holds its lock");
        if (requestedUserInterface(arguments) != UserInterface::None) {
            app::showWarning(L"Another installation of " + tstrings::printable(product.name()) + L" is already running.");
        }
        processExitCode = ERROR_INSTALL_ALREADY_RUNNING;
        return;
    }
    install();
}

// Reinstalls the carried product's files and settings from the carried package, the user's own
// options last so that theirs win. Windows Installer needs the product's source for it, which an
// installation from a working directory no longer has.
void repairCarriedProduct(const tstring_array& arguments, const tstring& argsText) {
    const CarriedProduct product;
    const Guid productCode = product.installedProductCode();
    if (!msi::isProductInstalled(productCode)) {
        LOG_ERROR("Repair of " << productCode.toString() << ": the product is not installed");
        processExitCode = ERROR_UNKNOWN_PRODUCT;
        return;
    }
    const std::optional<tstring> log = defaultLog(product, arguments);
    const tstring logSwitch = log ? L"/l*v \"" + *log + L"\"" : tstring();
    oneSetupAtATime(product, productCode, arguments, [&] {
        installCarriedPackage(product, requestedUserInterface(arguments),
                              [&](const tstring&) { return repairText(product, logSwitch, argsText); });
    });
}

void installCarriedProduct(const tstring_array& arguments, const tstring& argsText) {
    const CarriedProduct product;
    const std::optional<tstring> log = defaultLog(product, arguments);
    const tstring logSwitch = log ? L"/l*v \"" + *log + L"\"" : tstring();
    oneSetupAtATime(product, product.productCode(), arguments, [&] {
        installCarriedPackage(product, requestedUserInterface(arguments), [&](const tstring& workDir) {
            return installText(product, workDir, logSwitch, argsText);
        });
    });
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
    const CarriedProduct product;
    const customization::Customization& carried = product.customization();
    const std::optional<std::string> script =
        carried.empty() ? std::nullopt : std::optional<std::string>(customization::installScript(carried, packageFileName));
    payload.extractTo(FileUtils::toAbsolutePath(operands.front()), packageFileName, script);
    processExitCode = 0;
}

// What the setup applies beyond the package, for its help: a paragraph for each, or none.
tstring carriedText(const customization::Customization& carried) {
    tstrings::MessageBuilder text;
    if (carried.verboseLog) {
        text << "This setup writes a verbose log of every install, repair and removal into your temporary folder, "
                "named for the product, unless your options ask for a log of their own (/l*v FILE).\n\n";
    }
    if (!carried.changesInstallation()) {
        return text.tstr();
    }
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
        carriedText(CarriedProduct().customization()) + self +
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
        L"While a large setup unpacks, a window shows how far it has come, unless /q, /qn or /quiet asks for no "
        L"interface; its Cancel ends the setup with 1602 before anything is installed (/passive and /qb! show it "
        L"without Cancel).\n\n"
        L"One setup of a product runs at a time: started again while it unpacks or installs, it ends with "
        L"1618 (another installation running) and writes nothing.\n\n"
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
            repairCarriedProduct(command.arguments, command.installerText);
            return;
        case LauncherAction::Help:
            showUsage();
            return;
        case LauncherAction::Install:
            installCarriedProduct(command.arguments, command.installerText);
            return;
    }
}

}  // namespace launcher
