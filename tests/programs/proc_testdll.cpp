// A library for the DLL tests: one known export. Copies of it are also planted under system
// library names beside a program, to prove they are never loaded.
#include "WinApi.h"

extern "C" __declspec(dllexport) int procTestDllValue() {
    return 42;
}
