// lodestar-pack.exe: turns a Windows Installer package into a launcher executable that carries it.
// The stub and the launcher's manifest are its own resources (lodestar-pack.rc.in).
#include "PackerMain.h"
#include "Resources.h"
#include "WinSysInfo.h"

int wmain() {
    try {
        const HMODULE self = SysInfo::getCurrentModuleHandle();
        const Resource stub(L"LODESTAR_STUB", RT_RCDATA, self);
        const Resource manifest(L"LODESTAR_MANIFEST", RT_RCDATA, self);
        const std::vector<std::uint8_t> manifestBytes = manifest.binary();
        const LauncherParts parts{stub.rawData(), stub.size(), std::string(manifestBytes.begin(), manifestBytes.end())};
        return runPacker(SysInfo::getCommandArgs(SysInfo::ExcludeProgramName), parts);
    } catch (...) {
        // Only a lodestar-pack.exe built without its resources gets here.
        return kOutputError;
    }
}
