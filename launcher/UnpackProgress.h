// How far a launcher's unpacking has come, shared by the unpacking and the progress window's
// thread: the unpacking adds the bytes of every piece it writes or checks and stops where the
// window asked it to; the window reads the figures and asks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace launcher {

// Thrown out of the unpacking, between two pieces, once the user cancelled it.
struct UnpackCancelled {};

class UnpackProgress {
public:
    // `total`: the bytes to write and to check, each counted once for each.
    explicit UnpackProgress(std::uint64_t total) : total_(total) {}
    UnpackProgress(const UnpackProgress&) = delete;
    UnpackProgress& operator=(const UnpackProgress&) = delete;

    // The unpacking's side, after every piece: throws UnpackCancelled once a cancel was asked for.
    void pieceDone(std::size_t bytes);

    // The window's side.
    std::uint64_t done() const { return done_.load(std::memory_order_relaxed); }
    std::uint64_t total() const { return total_; }
    void requestCancel() { cancelRequested_.store(true, std::memory_order_relaxed); }
    bool cancelRequested() const { return cancelRequested_.load(std::memory_order_relaxed); }

private:
    const std::uint64_t total_;
    std::atomic<std::uint64_t> done_{0};
    std::atomic<bool> cancelRequested_{false};
};

}  // namespace launcher
