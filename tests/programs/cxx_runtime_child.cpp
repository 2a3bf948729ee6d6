// Linked with the launcher's own exception state and static guards, it runs what those must keep
// true with several threads at once, and prints one line per check that failed, then "checked N,
// failed M". Exit code 0 only when none failed.
#include "WinApi.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kThreads = 8;
std::atomic<int> checked{0};
std::atomic<int> failed{0};

void check(bool ok, const char* what, int thread) {
    ++checked;
    if (!ok) {
        ++failed;
        std::printf("FAILED (thread %d): %s\n", thread, what);
    }
}

// A static that takes a while to make, so that every thread asks for it while one makes it.
std::atomic<int> slowMade{0};
struct Slow {
    int value;
    Slow() : value(42) {
        Sleep(100);
        ++slowMade;
    }
};
int slowValue() {
    static Slow slow;
    return slow.value;
}

// A static whose first two makings throw, slowly enough that other threads wait for them: each
// failure must wake them, and the next caller tries again.
std::atomic<int> flakyTries{0};
int flakyValue() {
    static const int value = [] {
        if (++flakyTries <= 2) {
            Sleep(50);
            throw std::runtime_error("not yet");
        }
        return 7;
    }();
    return value;
}
std::atomic<int> pastFlaky{0};

// A static made while another is being made, on the same thread.
int innerValue() {
    static const int value = 5;
    return value;
}
int outerValue() {
    static const int value = innerValue() * 2 + slowValue() * 0;
    return value;
}

// Counts uncaught exceptions while the stack unwinds.
struct UnwindWitness {
    int* seen;
    ~UnwindWitness() { *seen = std::uncaught_exceptions(); }
};

HANDLE start = nullptr;

DWORD WINAPI threadMain(void* parameter) {
    const int id = static_cast<int>(reinterpret_cast<std::intptr_t>(parameter));
    WaitForSingleObject(start, INFINITE);

    check(slowValue() == 42, "a slow static has its value", id);
    try {
        check(flakyValue() == 7, "a static made after two failures has its value", id);
    } catch (const std::runtime_error& e) {
        check(std::string(e.what()) == "not yet", "a failed making throws its own exception", id);
    }
    ++pastFlaky;
    // Nothing else is made before every thread got past it: a waiter that the failures did not wake
    // would otherwise be woken by another static's making, and the fault would go unseen.
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (pastFlaky < kThreads && GetTickCount64() < deadline) {
        Sleep(1);
    }
    check(pastFlaky == kThreads, "every thread got past a static whose making failed", id);
    check(outerValue() == 10, "a static made inside another's making", id);

    // Each thread's exceptions are its own: a thread holding a caught exception while the
    // others throw and catch keeps its own.
    const std::string mine = "thread " + std::to_string(id);
    try {
        throw std::runtime_error(mine);
    } catch (const std::exception&) {
        const std::exception_ptr held = std::current_exception();
        for (int round = 0; round < 200; ++round) {
            int unwinding = -1;
            try {
                UnwindWitness witness{&unwinding};
                throw round;
            } catch (int caught) {
                check(caught == round, "an int thrown is the int caught", id);
            }
            check(unwinding == 1, "one exception uncaught while its stack unwinds", id);
            if (round % 50 == 0) {
                Sleep(1);
            }
        }
        check(std::uncaught_exceptions() == 0, "no exception uncaught inside a handler", id);
        check(std::current_exception() == held, "the caught exception is still this thread's", id);
        try {
            std::rethrow_exception(held);
        } catch (const std::runtime_error& again) {
            check(again.what() == mine, "the exception rethrown is this thread's", id);
        }
    }
    check(std::current_exception() == nullptr, "no exception current after its handler", id);
    return 0;
}

}  // namespace

int wmain() {
    start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (start == nullptr) {
        std::printf("CreateEventW failed with %lu\n", GetLastError());
        return 2;
    }
    std::vector<HANDLE> threads;
    for (int i = 0; i < kThreads; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, threadMain, reinterpret_cast<void*>(static_cast<std::intptr_t>(i)), 0,
                                     nullptr);
        if (thread == nullptr) {
            std::printf("CreateThread failed with %lu\n", GetLastError());
            return 2;
        }
        threads.push_back(thread);
    }
    SetEvent(start);
    // A thread left waiting for a static that will never be made would hang the test: it fails.
    if (WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 30000) != WAIT_OBJECT_0) {
        std::printf("FAILED: threads still running after 30 s (%d of %d got past the failing static)\n",
                    pastFlaky.load(), kThreads);
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    for (HANDLE thread : threads) {
        CloseHandle(thread);
    }
    CloseHandle(start);

    check(slowMade == 1, "the slow static was made once", -1);
    check(flakyTries == 3, "the failing static was tried until it was made, and no more", -1);
    std::printf("checked %d, failed %d\n", checked.load(), failed.load());
    return failed == 0 ? 0 : 1;
}
