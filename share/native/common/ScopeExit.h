// One-off clean-up at the end of a scope, on every way out, unless cancelled:
//
//     busy = true;
//     const auto notBusy = ld::scopeExit([] { busy = false; });
//
//     auto endChild = ld::scopeExit([&] { terminate(child); });
//     ...                      // anything here that throws ends the child
//     endChild.release();      // handed on: nothing to undo
//
// A clean-up that throws is logged and goes no further: destructors never throw.
#pragma once

#include <exception>
#include <stdexcept>
#include <utility>

#include "ErrorHandling.h"

namespace ld {

template <typename Action>
class ScopeExit {
public:
    explicit ScopeExit(Action action) : action_(std::move(action)) {}
    ~ScopeExit() {
        if (!active_) {
            return;
        }
        try {
            action_();
        }
        LD_CATCH_AND_LOG(std::exception)
    }

    ScopeExit(ScopeExit&& other) noexcept : action_(std::move(other.action_)), active_(std::exchange(other.active_, false)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ScopeExit& operator=(ScopeExit&&) = delete;

    // The scope ends without the clean-up.
    void release() noexcept { active_ = false; }

private:
    Action action_;
    bool active_ = true;
};

template <typename Action>
[[nodiscard]] ScopeExit<Action> scopeExit(Action action) {
    return ScopeExit<Action>(std::move(action));
}

}  // namespace ld
