// The floor of any launcher: starts the system's msiexec /i on a package already on disk and
// waits for it, nothing else.
//   startmsiexec PACKAGE [ARGUMENTS...]    exits with msiexec's exit code
#include "BenchTools.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
    // Everything after this program's own name goes on: the package, then the arguments.
    return bench::runMsiexecInstall(arguments);
}
