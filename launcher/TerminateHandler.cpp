// What ends the launcher when an exception has nowhere to go (one thrown through a noexcept
// function or a destructor): the launcher itself failed, so the process ends with -1, the code
// that says so, at once. The launch frame catches everything else before it gets here.
//
// libstdc++'s default handler does the same after naming the exception's type, for which it
// links its demangler and the C runtime's printf: about 70 KB of every launcher, for a message
// that a GUI program's users never see. Defining the handler it installs by default keeps the
// linker from taking the library's own.
#include "WinApi.h"

#if defined(__GLIBCXX__)
namespace __gnu_cxx {
[[noreturn]] void __verbose_terminate_handler() {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
    __builtin_trap();  // TerminateProcess of the process itself does not return
}
}  // namespace __gnu_cxx
#endif
