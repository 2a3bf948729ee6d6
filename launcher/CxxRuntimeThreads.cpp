// The two places where the C++ runtime needs threads: each thread's exception state, and the
// guards of function-local statics. libstdc++ as MinGW-w64 builds it does both through winpthread
// (the exception state through the compiler's emulated thread-local storage, which uses
// pthread_once and pthread keys; the guards through a pthread mutex and condition variable), and
// so brings about 26 KB of pthread emulation into every launcher, which starts only one thread of
// its own. Defining the functions here, on the system's own fiber-local storage, one-time
// initialization, slim reader/writer lock and condition variable (all there since Windows Vista),
// keeps the linker from taking libstdc++'s eh_globals.o and guard.o, and winpthread's threads,
// conditions and read/write locks with them.
//
// Both keep the runtime's contract: exceptions in flight are per thread, and a static is
// initialized once, by one thread, while others wait for it; an initializer that throws leaves it
// for the next caller to try again, and independent statics never wait for each other.
//
// Nothing here can report a failure: it runs while an exception is being thrown or a static is
// being made. A system call failing here (memory for a thread's 16 bytes, a storage slot) ends the
// process with -1, the launcher's code for its own failure, as its terminate handler does.
#include "WinApi.h"

#if defined(__GLIBCXX__)
#include <atomic>
#include <cstdint>
#include <cxxabi.h>

namespace __cxxabiv1 {
// The layout libsupc++ reads (unwind-cxx.h), as the Itanium C++ ABI gives it: the stack of
// caught exceptions and the count of uncaught ones.
struct __cxa_eh_globals {
    void* caughtExceptions;
    unsigned int uncaughtExceptions;
};
}  // namespace __cxxabiv1

namespace {

[[noreturn]] void endProcess() noexcept {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
    __builtin_trap();  // TerminateProcess of the process itself does not return
}

// --- each thread's exception state ---

constinit INIT_ONCE exceptionSlotOnce = INIT_ONCE_STATIC_INIT;
constinit DWORD exceptionSlot = FLS_OUT_OF_INDEXES;

void WINAPI freeExceptionState(void* state) {
    HeapFree(GetProcessHeap(), 0, state);
}

BOOL CALLBACK allocateExceptionSlot(INIT_ONCE*, void*, void**) {
    // Fiber-local rather than thread-local storage for its callback: a thread's state is freed
    // when the thread ends.
    exceptionSlot = FlsAlloc(freeExceptionState);
    return exceptionSlot != FLS_OUT_OF_INDEXES;
}

// --- the guards of function-local statics ---
//
// The guard is 64 bits. Compiled code reads only its first byte, which says that the static is
// made. The rest is the runtime's: the second byte says that a thread is making it, and bytes 4 to
// 7 name that thread, so that a static whose initializer needs itself ends the process instead of
// waiting forever.
struct GuardState {
    std::uint8_t made;
    std::uint8_t inProgress;
    std::uint8_t unused[2];
    DWORD maker;
};
static_assert(sizeof(GuardState) == sizeof(__cxxabiv1::__guard));

// One lock for every guard, held only while a guard's state is read or changed, never while an
// initializer runs.
constinit SRWLOCK guardLock = SRWLOCK_INIT;
constinit CONDITION_VARIABLE guardFinished = CONDITION_VARIABLE_INIT;

GuardState* stateOf(__cxxabiv1::__guard* guard) {
    return reinterpret_cast<GuardState*>(guard);
}

// Every access to the first byte is atomic: compiled code reads it without the lock.
bool isMade(GuardState* state, std::memory_order order = std::memory_order_acquire) {
    return std::atomic_ref<std::uint8_t>(state->made).load(order) != 0;
}

void finishGuard(__cxxabiv1::__guard* guard, bool made) {
    GuardState* state = stateOf(guard);
    AcquireSRWLockExclusive(&guardLock);
    state->inProgress = 0;
    state->maker = 0;
    if (made) {
        std::atomic_ref<std::uint8_t>(state->made).store(1, std::memory_order_release);
    }
    ReleaseSRWLockExclusive(&guardLock);
    WakeAllConditionVariable(&guardFinished);
}

}  // namespace

namespace __cxxabiv1 {

namespace {
__cxa_eh_globals* exceptionStateOfThisThread() noexcept {
    if (!InitOnceExecuteOnce(&exceptionSlotOnce, allocateExceptionSlot, nullptr, nullptr)) {
        endProcess();
    }
    if (void* state = FlsGetValue(exceptionSlot)) {
        return static_cast<__cxa_eh_globals*>(state);
    }
    void* state = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(__cxa_eh_globals));
    if (state == nullptr || !FlsSetValue(exceptionSlot, state)) {
        endProcess();
    }
    return static_cast<__cxa_eh_globals*>(state);
}
}  // namespace

// Called on every throw and catch: the thread's last error is kept, since FlsGetValue may reset it
// and a handler may still read the error of the call that failed.
extern "C" __cxa_eh_globals* __cxa_get_globals() noexcept {
    const DWORD lastError = GetLastError();
    __cxa_eh_globals* state = exceptionStateOfThisThread();
    SetLastError(lastError);
    return state;
}

extern "C" __cxa_eh_globals* __cxa_get_globals_fast() noexcept {
    return __cxa_get_globals();
}

extern "C" int __cxa_guard_acquire(__guard* guard) {
    GuardState* state = stateOf(guard);
    if (isMade(state)) {
        return 0;
    }
    const DWORD self = GetCurrentThreadId();
    AcquireSRWLockExclusive(&guardLock);
    while (state->inProgress != 0 && !isMade(state, std::memory_order_relaxed)) {
        if (state->maker == self) {
            endProcess();  // the static's initializer needs the static itself
        }
        if (!SleepConditionVariableSRW(&guardFinished, &guardLock, INFINITE, 0)) {
            endProcess();
        }
    }
    const bool toMake = !isMade(state, std::memory_order_relaxed);
    if (toMake) {
        state->inProgress = 1;
        state->maker = self;
    }
    ReleaseSRWLockExclusive(&guardLock);
    return toMake ? 1 : 0;
}

extern "C" void __cxa_guard_release(__guard* guard) noexcept {
    finishGuard(guard, true);
}

extern "C" void __cxa_guard_abort(__guard* guard) noexcept {
    finishGuard(guard, false);
}

}  // namespace __cxxabiv1
#endif
