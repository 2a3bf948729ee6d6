#include "InstallerMain.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "Executor.h"
#include "FileUtils.h"
#include "Guid.h"
#include "MsiUtils.h"
#include "Resources.h"
#include "WinFileUtils.h"
#include "WinSysInfo.h"

namespace launcher {
namespace {

// Written only by the flow; -1 (0xFFFFFFFF to the parent) means the launcher itself failed.
int processExitCode = -1;

constexpr const wchar_t* kUninstallSwitch = L"uninstall";
constexpr const wchar_t* kPackageResource = L"msi";
constexpr const wchar_t* kProductCodeResource = L"product_code";
constexpr const wchar_t* kPackageFileName = L"main.msi";
constexpr int kSilentUiLevel = 2;  // INSTALLUILEVEL_NONE

bool asksForUninstall(const tstring_array& args) {
    return std::find(args.begin(), args.end(), tstring(kUninstallSwitch)) != args.end();
}

Guid carriedProductCode() {
    const std::vector<std::uint8_t> bytes =
        Resource(kProductCodeResource, RT_RCDATA, SysInfo::getCurrentModuleHandle()).binary();
    // Exactly the resource's bytes: the text carries no terminator.
    return Guid(std::string(bytes.begin(), bytes.end()));
}

void uninstallCarriedProduct() {
    const Guid productCode = carriedProductCode();
    const msi::UILevelGuard silentUi(kSilentUiLevel);
    msi::action<msi::uninstall> removal;
    removal.productCode = productCode;
    const msi::ActionStatus status = removal(std::nothrow);
    processExitCode = static_cast<int>(status.code);
}

void installCarriedPackage() {
    const tstring workDir = FileUtils::createTempDirectory(L"", L".tmp", FileUtils::getTempDirectory());
    FileUtils::DeferredDeleter cleanup;
    cleanup.appendRecursiveDirectory(workDir);

    const tstring packagePath = FileUtils::PathBuilder() << workDir << kPackageFileName;
    Resource(kPackageResource, RT_RCDATA, SysInfo::getCurrentModuleHandle()).saveToFile(packagePath);

    Executor installer(SysInfo::getWIPath());
    installer.arg(L"/i").arg(packagePath);
    for (const tstring& arg : SysInfo::getCommandArgs(SysInfo::ExcludeProgramName)) {
        installer.arg(arg);
    }
    processExitCode = installer.execAndWaitForExit();
}

}  // namespace

int exitCode() { return processExitCode; }

void installerMain() {
    const tstring_array args = SysInfo::getCommandArgs(SysInfo::ExcludeProgramName);
    if (asksForUninstall(args)) {
        uninstallCarriedProduct();
    } else {
        installCarriedPackage();
    }
}

}  // namespace launcher
