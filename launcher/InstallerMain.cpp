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
#include "Log.h"
#include "MsiLogSwitch.h"
#include "MsiUtils.h"
#include "Resources.h"
#include "WinFileUtils.h"
#include "WinApp.h"
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
    const tstring packagePath = FileUtils::PathBuilder() << workDir << kPackageFileName;
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

void extractCarriedPayload(const tstring_array& args) {
    if (args.size() != 2) {
        LD_THROW(tstrings::MessageBuilder() << "Usage: " << launcherFileName()
                                            << " extract DIR\nwrites the package and the files it needs beside it "
                                               "into DIR, without installing anything.");
    }
    const CarriedPayload payload(SysInfo::getCurrentModuleHandle());
    // A launcher packed before indexes does not know its package's name: it goes by the launcher's.
    const tstring packageFileName =
        payload.indexed() ? payload.package().name : FileUtils::stripSuffix(launcherFileName()) + L".msi";
    payload.extractTo(FileUtils::toAbsolutePath(args[1]), packageFileName);
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

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// The verb the arguments' text starts with, as typed, followed by a blank or nothing. Only such a
// command line is split: an ordinary installation loads no shell32.
std::optional<tstring> leadingVerb(const tstring& argsText) {
    std::size_t start = 0;
    while (start < argsText.size() && isBlank(argsText[start])) {
        ++start;
    }
    for (const wchar_t* verb : {L"extract", L"repair", L"/?", L"-?", L"/help", L"--help"}) {
        const tstring word(verb);
        const std::size_t end = start + word.size();
        if (argsText.compare(start, word.size(), word) == 0 && (end == argsText.size() || isBlank(argsText[end]))) {
            return word;
        }
    }
    return std::nullopt;
}

// What follows the leading verb, as typed.
tstring textAfterVerb(const tstring& argsText, const tstring& verb) {
    const std::size_t verbStart = argsText.find(verb);
    return tstrings::trim(argsText.substr(verbStart + verb.size()));
}

}  // namespace

int exitCode() {
    return processExitCode;
}

void installerMain() {
    const tstring argsText = SysInfo::getCommandArgsText();
    const std::optional<tstring> verb = leadingVerb(argsText);
    if (!verb && !mayAskForUninstall(argsText)) {
        installCarriedPackage({}, argsText);
        return;
    }
    const tstring_array args = SysInfo::getCommandArgs(SysInfo::ExcludeProgramName);
    if (asksForUninstall(args)) {
        uninstallCarriedProduct(args);
    } else if (verb && args.front() == *verb) {
        if (*verb == L"extract") {
            extractCarriedPayload(args);
        } else if (*verb == L"repair") {
            repairCarriedProduct(textAfterVerb(argsText, *verb));
        } else {
            showUsage();
        }
    } else {
        installCarriedPackage({}, argsText);
    }
}

}  // namespace launcher
