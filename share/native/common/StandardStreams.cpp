// What the diagnostics offer for the standard library's streams, kept apart from the rest: a
// program that never uses these (the launcher) links none of the streams' locale machinery, which
// would otherwise be most of its size.
#include <ostream>
#include <string>

#include "Log.h"
#include "tstrings.h"

namespace {

void writeToStandardStream(void* stream, const std::string& line) {
    auto& out = *static_cast<std::ostream*>(stream);
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out << std::endl;
}

}  // namespace

StreamLogAppender::StreamLogAppender(std::ostream* out) : writeLine_(writeToStandardStream), out_(out) {}

namespace tstrings {

std::ostream& operator<<(std::ostream& out, const MessageBuilder& message) {
    const std::string text = message.str();
    return out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace tstrings
