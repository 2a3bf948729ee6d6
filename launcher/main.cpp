// Entry point of the launcher executable.
#include <new>

#include "InstallerMain.h"
#include "WinApi.h"
#include "WinApp.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Launchers run from download folders where anyone can drop a DLL beside them: nothing is
    // ever loaded from the application directory, only from the system directory.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    app::wlaunch(std::nothrow, launcher::installerMain);
    return launcher::exitCode();
}
