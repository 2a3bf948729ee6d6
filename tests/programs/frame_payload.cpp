// A GUI program built like the launcher: its entry point runs a payload through the launch frame
// and returns the process-wide exit code (-1 until the payload stores one). The first argument
// chooses the payload:
//   return CODE       logs an INFO record, stores CODE and returns
//   lderror TEXT      throws a located error whose message is TEXT
//   runtime TEXT      sets errno to ENOENT and throws a plain std::runtime_error(TEXT)
//   unknown           throws an int
//   debugbreak KEY    shows the debug break prompt for LODESTAR_TEST_BREAK and KEY, stores 0
#include <cerrno>
#include <cwchar>
#include <new>
#include <stdexcept>

#include "ErrorHandling.h"
#include "Log.h"
#include "WinApi.h"
#include "WinApp.h"
#include "WinSysInfo.h"

namespace {

int exitCode = -1;

tstring argument(size_t index) {
    const tstring_array args = SysInfo::getCommandArgs(SysInfo::ExcludeProgramName);
    return index < args.size() ? args[index] : tstring();
}

void payload() {
    const tstring mode = argument(0);
    const tstring value = argument(1);
    if (mode == L"return") {
        LOG_INFO("payload returns " << value);
        exitCode = static_cast<int>(std::wcstol(value.c_str(), nullptr, 10));
    } else if (mode == L"lderror") {
        LD_THROW(tstrings::toUtf8(value));
    } else if (mode == L"runtime") {
        errno = ENOENT;
        throw std::runtime_error(tstrings::toUtf8(value));
    } else if (mode == L"unknown") {
        throw 42;
    } else if (mode == L"debugbreak") {
        showDebugBreakPrompt(LD_SOURCE_LOCATION, L"LODESTAR_TEST_BREAK", value);
        exitCode = 0;
    } else {
        LD_THROW(tstrings::MessageBuilder() << "unknown payload mode '" << mode << "'");
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    app::wlaunch(std::nothrow, payload);
    return exitCode;
}
