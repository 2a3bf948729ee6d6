#include "ErrorHandling.h"

#include <cctype>
#include <cstring>

#include "Log.h"
#include "SysInfo.h"

namespace {

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

void logCaught(const SourceLocation& location, const tstring& message) {
    Logger::global().log(LogLevel::ERROR, tstrings::fromUtf8(std::string(fileNamePart(location.file))).c_str(),
                         location.line, tstrings::fromUtf8(std::string(location.func)).c_str(), message);
}

}  // namespace

std::string formatLocatedMessage(const std::exception& error, const SourceLocation& location) {
    return std::string(fileNamePart(location.file)) + "(" + std::to_string(location.line) + ") at " + location.func +
           "(): " + error.what();
}

LdError<std::runtime_error> makeLocatedError(const std::string& message, const SourceLocation& location) {
    return LdError<std::runtime_error>(std::runtime_error(tstrings::escapeNul(message)), location);
}

LdError<std::runtime_error> makeLocatedError(const char* message, const SourceLocation& location) {
    return makeLocatedError(std::string(message != nullptr ? message : ""), location);
}

LdError<std::runtime_error> makeLocatedError(const tstrings::MessageBuilder& message, const SourceLocation& location) {
    return makeLocatedError(message.str(), location);
}

LdError<std::runtime_error> makeLocatedError(const tstring& message, const SourceLocation& location) {
    return makeLocatedError(tstrings::toUtf8(message), location);
}

std::string joinMessages(const std::string& first, const std::string& second) {
    size_t firstEnd = first.size();
    while (firstEnd > 0 && isBlank(first[firstEnd - 1])) {
        --firstEnd;
    }
    size_t secondBegin = 0;
    size_t secondEnd = second.size();
    while (secondBegin < secondEnd && isBlank(second[secondBegin])) {
        ++secondBegin;
    }
    while (secondEnd > secondBegin && isBlank(second[secondEnd - 1])) {
        --secondEnd;
    }

    std::string joined = first.substr(0, firstEnd);
    // A separator only between two parts that both have something to say.
    if (firstEnd > 0 && secondEnd > secondBegin) {
        const char last = first[firstEnd - 1];
        const bool punctuated = last != '\0' && std::strchr(";.,:!?", last) != nullptr;
        joined += punctuated ? " " : ". ";
    }
    joined.append(second, secondBegin, secondEnd - secondBegin);
    return joined;
}

void logCaughtException(const SourceLocation& location, const std::exception& error) {
    tstrings::MessageBuilder message;
    message << "Exception with message '" << tstrings::fromUtf8OrBytes(error.what()) << "' caught";
    logCaught(location, message.tstr());
}

void logCaughtUnknown(const SourceLocation& location) {
    logCaught(location, L"Unknown exception caught");
}

namespace ld::detail {

tstring debugBreakPromptText(const SourceLocation& location, const tstring& variableName, const tstring& key) {
    if (!SysInfo::isEnvVariableSet(variableName)) {
        return tstring();
    }
    const tstring value = SysInfo::getEnvVariable(std::nothrow, variableName, tstring());
    if (value != L"*" && value.find(key) == tstring::npos) {
        return tstring();
    }
    const std::string reason =
        (tstrings::MessageBuilder() << "debug break. Reason: environment variable " << variableName << " is set.")
            .str();
    return tstrings::fromUtf8(formatLocatedMessage(std::runtime_error(reason), location));
}

}  // namespace ld::detail
