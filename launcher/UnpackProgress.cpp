#include "UnpackProgress.h"

#ifdef LODESTAR_TEST_SLOW_UNPACK
#include <string>

#include "WinApi.h"
#endif

namespace launcher {

#ifdef LODESTAR_TEST_SLOW_UNPACK
namespace {
// Only launchers that tests build for the purpose: every piece takes LODESTAR_TEST_PIECE_MS
// longer, so that the tests see the progress window of a small package on a fast disk, as a
// user sees it while gigabytes unpack. The launchers lodestar-pack makes have no such wait.
void waitAsASlowDiskWould() {
    static const DWORD delayMs = [] {
        wchar_t text[16] = {};
        const DWORD length = GetEnvironmentVariableW(L"LODESTAR_TEST_PIECE_MS", text, 16);
        return length > 0 && length < 16 ? static_cast<DWORD>(std::stoul(text)) : DWORD{0};
    }();
    Sleep(delayMs);
}
}  // namespace
#endif

void UnpackProgress::pieceDone(std::size_t bytes) {
#ifdef LODESTAR_TEST_SLOW_UNPACK
    waitAsASlowDiskWould();
#endif
    done_.fetch_add(bytes, std::memory_order_relaxed);
    if (cancelRequested_.load(std::memory_order_relaxed)) {
        throw UnpackCancelled{};
    }
}

}  // namespace launcher
