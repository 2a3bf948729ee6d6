#include "CarriedHashing.h"

#include <algorithm>
#include <utility>

CarriedHashing::CarriedHashing(const std::vector<CarriedSpan>& spans) {
    for (std::size_t i = 0; i < spans.size(); ++i) {
        waiting_.push_back(Span{i, spans[i].offset, spans[i].offset + spans[i].size});
    }
    // The next to start is taken from the back.
    std::stable_sort(waiting_.begin(), waiting_.end(), [](const Span& a, const Span& b) { return a.begin > b.begin; });
}

void CarriedHashing::feed(std::uint64_t position, const std::uint8_t* bytes, std::size_t size) {
    const std::uint64_t end = position + size;
    startThoseBefore(end);
    for (Running& item : running_) {
        const std::uint64_t from = std::max(item.span.begin, position);
        const std::uint64_t to = std::min(item.span.end, end);
        if (from < to) {
            item.contentHash.update(bytes + (from - position), static_cast<std::size_t>(to - from));
            item.sha256.update(bytes + (from - position), static_cast<std::size_t>(to - from));
        }
    }
    finishThoseBy(end);
}

void CarriedHashing::finishEmptyAt(std::uint64_t end) {
    while (!waiting_.empty() && waiting_.back().begin == end && waiting_.back().end == end) {
        start();
    }
    finishThoseBy(end);
}

std::vector<FinishedItem> CarriedHashing::takeFinished() {
    return std::exchange(finished_, {});
}

std::optional<std::size_t> CarriedHashing::unfinished() const {
    if (!running_.empty()) {
        return running_.front().span.item;
    }
    return waiting_.empty() ? std::nullopt : std::optional<std::size_t>(waiting_.back().item);
}

void CarriedHashing::start() {
    running_.push_back(Running{waiting_.back(), ContentHash(), Sha256()});
    waiting_.pop_back();
}

void CarriedHashing::startThoseBefore(std::uint64_t end) {
    while (!waiting_.empty() && waiting_.back().begin < end) {
        start();
    }
}

// One pass that keeps the running files in order: a launcher may start and end tens of thousands
// of (empty) files in one piece, and erasing each from the middle would take a time that grows
// with their square.
void CarriedHashing::finishThoseBy(std::uint64_t end) {
    auto kept = running_.begin();
    for (auto item = running_.begin(); item != running_.end(); ++item) {
        if (item->span.end > end) {
            if (kept != item) {
                *kept = std::move(*item);
            }
            ++kept;
            continue;
        }
        finished_.push_back(FinishedItem{item->span.item, item->contentHash.digest(), item->sha256.finish()});
    }
    running_.erase(kept, running_.end());
}

void BackgroundSha256::update(const std::uint8_t* bytes, std::size_t size) {
    wait();
    worker_ = std::thread([this, bytes, size] {
        try {
            hash_.update(bytes, size);
        } catch (...) {
            failure_ = std::current_exception();
        }
    });
}

Sha256Digest BackgroundSha256::finish() {
    wait();
    return hash_.finish();
}

void BackgroundSha256::join() {
    if (worker_.joinable()) {
        worker_.join();
    }
}

void BackgroundSha256::wait() {
    join();
    if (failure_) {
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}
