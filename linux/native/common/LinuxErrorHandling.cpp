// The system-bound half of the error model in the native Linux build: error numbers described by
// the C library.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ErrorHandling.h"

namespace {

tstring errorText(unsigned long code) {
    char buffer[256] = {};
    // The GNU strerror_r returns the text, which may or may not be in the buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof(buffer));
    return tstrings::fromUtf8(text != nullptr ? std::string(text) : std::string());
}

}  // namespace

SysError::SysError(const tstrings::MessageBuilder& message, const void* failedApi, unsigned long code,
                   const char* label)
    : std::runtime_error(makeMessage(message.str(), label, failedApi, code)) {}

// Linux has no message tables in modules: every code is described by the C library.
std::string makeMessage(const std::string& message, const char* label, const void*, unsigned long code) {
    tstrings::MessageBuilder part;
    part << (label != nullptr ? label : "Some error") << " [" << code << "](" << describeSystemError(code, nullptr)
         << ")";
    return joinMessages(message, part.str());
}

tstring describeSystemError(unsigned long code, void* module) {
    return (tstrings::MessageBuilder() << "system error " << code << " (" << lookupMessageText(code, module) << ")")
        .tstr();
}

tstring lookupMessageText(unsigned long code, void*) {
    const tstring text = errorText(code);
    return text.empty() ? tstring(L"No description available") : text;
}

tstring describeComError(long hr) {
    return tstrings::formatPrintf(L"COM error 0x%08X (%s)", static_cast<unsigned>(hr), L"No description available");
}

std::string crtErrorText() {
    return tstrings::toUtf8(errorText(static_cast<unsigned long>(errno)));
}

// No box to hold a thread in: the prompt goes to standard error, and the caller goes on.
void showDebugBreakPrompt(const SourceLocation& location, const tstring& variableName, const tstring& key) {
    const tstring text = ld::detail::debugBreakPromptText(location, variableName, key);
    if (text.empty()) {
        return;
    }
    const std::string line = tstrings::toUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}
