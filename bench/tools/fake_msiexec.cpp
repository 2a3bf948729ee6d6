// A stand-in for the system's msiexec.exe in the benchmark's own Wine prefix: a GUI program that
// exits 0 at once, so that what is timed is the getting of the package to it.
#include "WinApi.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
