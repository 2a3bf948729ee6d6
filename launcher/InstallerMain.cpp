#include "InstallerMain.h"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "CarriedPayload.h"
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

void uninstallCarriedProduct(const tstring_array& args) {
    const Guid productCode = carriedProductCode();
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

// Extracts what the launcher carries into a new working directory and runs msiexec /i on the
// package with `options` and then the user's own arguments, exactly as they were typed: msiexec
// parses them by rules of its own, which no splitting and re-quoting here could reproduce.
void installCarriedPackage(const tstring_array& options, const tstring& argsText) {
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
    for (const tstring& option : options) {
        installer.arg(option);
    }
    installer.argsText(argsText);
    processExitCode = installer.execAndWaitForExit();
}

// Reinstalls the carried product's files and settings from the carried package, the user's own
// options last so that theirs win. Windows Installer needs the product's source for it, which an
// installation from a working directory no longer has.
void repairCarriedProduct(const tstring& argsText) {
    const Guid productCode = carriedProductCode();
    if (!msi::isProductInstalled(productCode)) {
        LOG_ERROR("Repair of " << productCode.toString() << ": the product is not installed");
        processExitCode = ERROR_UNKNOWN_PRODUCT;
        return;
    }
    installCarriedPackage({L"REINSTALL=ALL", L"REINSTALLMODE=vomus"}, argsText);
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
    payload.extractTo(FileUtils::toAbsolutePath(operands.front()), packageFileName);
    processExitCode = 0;
}

void showUsage() {
    const tstring self = launcherFileName();
    // One line for each paragraph: the box wraps them to its own width.
    app::showInformation(
        L"Installs the package this setup carries through Windows Installer (msiexec).\n\n" + self +
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
            installCarriedPackage({}, command.installerText);
            return;
    }
}

}  // namespace launcher
