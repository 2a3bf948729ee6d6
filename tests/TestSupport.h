// Small helpers the unit tests share.
#pragma once

#include <exception>
#include <ostream>
#include <sstream>
#include <string>

#include "ErrorHandling.h"

// Swaps a standard stream's buffer for the life of the scope.
class StreamCapture {
public:
    explicit StreamCapture(std::ostream& stream) : stream_(stream), saved_(stream.rdbuf(captured_.rdbuf())) {}
    ~StreamCapture() { stream_.rdbuf(saved_); }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string text() const { return captured_.str(); }

private:
    std::ostream& stream_;
    std::ostringstream captured_;
    std::streambuf* saved_;
};

// The raw message of the located error of type E that `action` throws; any other outcome comes
// back as a text that no expected message equals.
template <typename E = LdErrorBase, typename Action>
std::string rawMessageOf(Action&& action) {
    try {
        action();
    } catch (const E& e) {
        return e.rawMessage();
    } catch (const std::exception& e) {
        return std::string("unexpected error: ") + e.what();
    }
    return "(nothing thrown)";
}
