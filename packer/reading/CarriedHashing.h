// The hashing behind lodestar-pack --info: the ContentHash and SHA-256 of every carried file as
// the launcher's bytes go by in one read, front to back, and the SHA-256 of the whole launcher on
// a second thread while the first works on the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include "ContentHash.h"
#include "Sha256.h"

// Where a carried file's bytes lie in the launcher.
struct CarriedSpan {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// What a carried file hashes to.
struct FinishedItem {
    std::size_t item;  // its place in the spans given
    std::uint64_t contentHash;
    Sha256Digest sha256;
};

// Hashes the carried files as the launcher's bytes go by, front to back: each file from its first
// byte to its last, however the reads cut it.
class CarriedHashing {
public:
    explicit CarriedHashing(const std::vector<CarriedSpan>& spans);

    // The launcher's `size` bytes at `position`, which follow the ones fed before.
    void feed(std::uint64_t position, const std::uint8_t* bytes, std::size_t size);
    // Empty files that lie where the launcher ends start and end there.
    void finishEmptyAt(std::uint64_t end);
    // The files ended since the last call.
    std::vector<FinishedItem> takeFinished();
    // A file the bytes fed did not reach the end of, if there is one.
    std::optional<std::size_t> unfinished() const;

private:
    struct Span {
        std::size_t item;
        std::uint64_t begin;
        std::uint64_t end;
    };
    struct Running {
        Span span;
        ContentHash contentHash;
        Sha256 sha256;
    };

    // The next file in the launcher's order; its hashes are made only now, so that a launcher
    // with thousands of files holds few at a time.
    void start();
    void startThoseBefore(std::uint64_t end);
    void finishThoseBy(std::uint64_t end);

    std::vector<Span> waiting_;  // latest first
    std::vector<Running> running_;
    std::vector<FinishedItem> finished_;
};

// The SHA-256 of pieces that are each hashed on a thread of their own while the caller works on
// the same bytes, which must stay as they are until the next piece is given or finish() is called.
// (A thread per piece rather than std::async: the futures' once-only flag is a thread-local of
// GCC's library that clang's code for this target cannot reach.)
class BackgroundSha256 {
public:
    BackgroundSha256() = default;
    ~BackgroundSha256() { join(); }
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    void update(const std::uint8_t* bytes, std::size_t size);
    Sha256Digest finish();

private:
    void join();
    // Until the last piece is hashed; what failed there fails here.
    void wait();

    Sha256 hash_;
    std::exception_ptr failure_;
    std::thread worker_;
};
