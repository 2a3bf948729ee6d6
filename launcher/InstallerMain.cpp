#include "InstallerMain.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "CarriedPayload.h"
#include "Executor.h"
#include "FileUtils.h"
#include "Guid.h"
#include "LauncherResources.h"
#include "MsiLogSwitch.h"
#include "MsiUtils.h"
#include "Resources.h"
#include "WinFileUtils.h"
#include "WinSysInfo.h"

namespace launcher {
namespace {

// Written only by the flow; -1 (0xFFFFFFFF to the parent) means the launcher itself failed.
int processExitCode = -1;

constexpr const wchar_t* kUninstallSwitch = L"uninstall";
constexpr const wchar_t* kPackageFileName = L"main.msi";
constexpr int kSilentUiLevel = 2;  // INSTALLUILEVEL_NONE

bool asksForUninstall(const tstring_array& args) {
    return std::find(args.begin(), args.end(), tstring(kUninstallSwitch)) != args.end();
}

// Whether an argument could be "uninstall": its letters would stand together in the arguments'
// text once the quotes the splitting removes are gone. Most runs install, and they then need not
// split the command line at all: the system's splitter lives in shell32, whose load (with user32
// and gdi32) is the largest part of a launcher's start-up.
bool mayAskForUninstall(const tstring& argsText) {
    tstring unquoted;
    std::remove_copy(argsText.begin(), argsText.end(), std::back_inserter(unquoted), L'"');
    return unquoted.find(kUninstallSwitch) != tstring::npos;
}

Guid carriedProductCode() {
    const std::vector<std::uint8_t> bytes =
        Resource(resources::kProductCodeLookupName, MAKEINTRESOURCEW(resources::kCarriedType),
                 SysInfo::getCurrentModuleHandle()).binary();
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

void installCarriedPackage(const tstring& argsText) {
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
    const tstring packagePath = FileUtils::PathBuilder() << workDir << kPackageFileName;
    std::vector<UniqueHandle> locks;
    locks.push_back(payload.writeChecked(payload.package(), packagePath));
    CarriedDirectories directories(workDir);
    for (const CarriedFile& file : payload.besideThePackage()) {
        locks.push_back(payload.writeChecked(file, directories.prepare(file.name)));
    }

    // The arguments go on exactly as they were typed: msiexec parses them by rules of its own,
    // which no splitting and re-quoting here could reproduce.
    Executor installer(SysInfo::getWIPath());
    installer.arg(L"/i").arg(packagePath).argsText(argsText);
    processExitCode = installer.execAndWaitForExit();
}

}  // namespace

int exitCode() {
    return processExitCode;
}

void installerMain() {
    const tstring argsText = SysInfo::getCommandArgsText();
    if (!mayAskForUninstall(argsText)) {
        installCarriedPackage(argsText);
        return;
    }
    const tstring_array args = SysInfo::getCommandArgs(SysInfo::ExcludeProgramName);
    if (asksForUninstall(args)) {
        uninstallCarriedProduct(args);
    } else {
        installCarriedPackage(argsText);
    }
}

}  // namespace launcher
