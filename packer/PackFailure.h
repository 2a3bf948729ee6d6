// How lodestar-pack fails: every failure is a located error (LD_THROW) that carries the exit code
// it ends the program with. The class of a failure follows from what could not be used (the
// command line, an input, the output), not from the call that failed: library errors are given
// their class where the packer calls the library.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "ErrorHandling.h"
#include "tstrings.h"

// lodestar-pack's exit codes.
enum PackExitCode : int { kPacked = 0, kUsageError = 1, kInputError = 2, kOutputError = 3 };

// A failure of the packer, with the exit code it ends with.
class PackFailure : public std::runtime_error {
public:
    PackFailure(PackExitCode exitCode, const std::string& message) : std::runtime_error(message), exitCode_(exitCode) {}
    PackFailure(PackExitCode exitCode, const tstrings::MessageBuilder& message) : PackFailure(exitCode, message.str()) {}
    PackExitCode exitCode() const noexcept { return exitCode_; }

private:
    PackExitCode exitCode_;
};

// Raises the PackFailure of class `exitCode`; `message` is a MessageBuilder insertion chain:
//     LD_THROW_PACK_FAILURE(kInputError, "There is no package at " << path);
#define LD_THROW_PACK_FAILURE(exitCode, message) LD_THROW(PackFailure((exitCode), tstrings::MessageBuilder() << message))

// Runs `step` and returns what it returns. A located error that escapes it (the library's, say)
// is raised again as the PackFailure of class `exitCode` whose message `explain(error)` makes;
// a PackFailure passes unchanged.
//     const auto icon = classifyFailure(kInputError, [&] { return readIconFile(path); },
//                                       [](const LdErrorBase& e) { return tstrings::MessageBuilder() << rawMessageOf(e); });
template <typename Step, typename Explain>
decltype(auto) classifyFailure(PackExitCode exitCode, Step&& step, Explain&& explain) {
    try {
        return std::forward<Step>(step)();
    } catch (const PackFailure&) {
        throw;
    } catch (const LdErrorBase& error) {
        LD_THROW(PackFailure(exitCode, tstrings::MessageBuilder() << explain(error)));
    }
}

// The raw message of a located error, for messages that quote it: as a string it is decoded as
// UTF-8 when inserted into a MessageBuilder (a char pointer would be widened byte by byte).
inline std::string rawMessageOf(const LdErrorBase& error) {
    return error.rawMessage();
}
