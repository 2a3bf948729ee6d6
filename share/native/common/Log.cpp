#include "Log.h"

#include <exception>
#include <cstdio>
#include <new>

#include "SysInfo.h"

namespace {

constinit Logger globalLogger(nullptr, LogLevel::TRACE);

// The default appender lives here so that obtaining the logger never allocates.
alignas(StreamLogAppender) unsigned char defaultAppenderStorage[sizeof(StreamLogAppender)];

constexpr size_t kProcessNameCapacity = 260;
wchar_t processName[kProcessNameCapacity] = L"Unknown";

enum class NameState { NotStarted, InProgress, Done };
NameState processNameState = NameState::NotStarted;

void copyProcessName(const tstring& modulePath) {
    const tstring name = fileNamePart(modulePath.c_str());
    const size_t length = std::min(name.size(), kProcessNameCapacity - 1);
    name.copy(processName, length);
    processName[length] = L'\0';
}

void fillProcessName() {
    switch (processNameState) {
        case NameState::Done:
            return;
        case NameState::InProgress:
            // A record logged while the name is being found: it gets no name rather than a loop.
            processName[0] = L'\0';
            return;
        case NameState::NotStarted:
            break;
    }
    processNameState = NameState::InProgress;
    try {
        copyProcessName(SysInfo::getCurrentModulePath());
    } catch (...) {
        // The records keep "Unknown": naming the process is not worth failing a log call for.
    }
    processNameState = NameState::Done;
}

}  // namespace

const wchar_t* logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::TRACE:
            return L"TRACE";
        case LogLevel::INFO:
            return L"INFO";
        case LogLevel::WARNING:
            return L"WARNING";
        case LogLevel::ERROR:
            return L"ERROR";
    }
    return L"UNKNOWN";
}

Logger& Logger::global() {
    if (globalLogger.appender_ == nullptr) {
        globalLogger.appender_ = new (defaultAppenderStorage) StreamLogAppender(stdout);
    }
    fillProcessName();
    return globalLogger;
}

void Logger::log(LogLevel level, const wchar_t* file, int line, const wchar_t* func, const tstring& message) const {
    LogEvent event{};
    stampLogEvent(event);
    event.processName = processName;
    event.logLevel = logLevelName(level);
    event.fileName = fileNamePart(file != nullptr ? file : L"");
    event.lineNum = line;
    event.funcName = func != nullptr ? func : L"";
    event.message = message;
    if (appender_ != nullptr) {
        appender_->append(event);
    }
}

LogAppender* Logger::setAppender(LogAppender* appender) {
    LogAppender* previous = appender_;
    appender_ = appender;
    return previous;
}

namespace {

// Writes the line and a line feed, then flushes, as the standard end-of-line manipulator does.
void writeToRuntimeStream(void* stream, const std::string& line) {
    auto* out = static_cast<std::FILE*>(stream);
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

}  // namespace

StreamLogAppender::StreamLogAppender(std::FILE* out) : writeLine_(writeToRuntimeStream), out_(out) {}

void StreamLogAppender::append(const LogEvent& event) {
    const tstring prefix =
        tstrings::formatPrintf(L"%04u/%02u/%02u %02u:%02u:%02u.%03u, %s (PID: %u, TID: %u), ", event.ts.wYear,
                               event.ts.wMonth, event.ts.wDay, event.ts.wHour, event.ts.wMinute, event.ts.wSecond,
                               event.ts.wMilliseconds, event.processName, event.pid, event.tid);
    tstrings::MessageBuilder record;
    record << "[" << prefix << event.fileName << ":" << event.lineNum << " (" << event.funcName << ")"
           << "]"
           << "\n\t" << event.logLevel << ": " << event.message;
    writeLine_(out_, record.str());
}

void TeeLogAppender::append(const LogEvent& event) {
    if (first_ != nullptr) {
        first_->append(event);
    }
    if (second_ != nullptr) {
        second_->append(event);
    }
}

void StandardLogAppender::append(const LogEvent& event) {
    writeToRuntimeStream(stderr, tstrings::toUtf8(L"[" + event.logLevel + L"] " + event.fileName + L":" +
                                                  tstrings::detail::decimal(static_cast<long long>(event.lineNum)) +
                                                  L": " + event.message));
}

WithExtraLogAppender::WithExtraLogAppender(LogAppender& extra)
    : previous_(Logger::global().appender()), tee_(previous_, &extra) {
    Logger::global().setAppender(&tee_);
}

WithExtraLogAppender::~WithExtraLogAppender() {
    Logger::global().setAppender(previous_);
}

ScopeTracer::ScopeTracer(Logger& logger, LogLevel level, const tstring& file, int line, const tstring& func,
                         const tstring& message)
    : logger_(logger),
      level_(level),
      file_(file),
      line_(line),
      func_(func),
      message_(message),
      entered_(logger.enabled(level)) {
    if (entered_) {
        logger_.log(level_, file_.c_str(), line_, func_.c_str(), L"Entering " + message_);
    }
}

ScopeTracer::~ScopeTracer() {
    if (!entered_) {
        return;
    }
    try {
        logger_.log(level_, file_.c_str(), 0, func_.c_str(),
                    tstrings::MessageBuilder() << "Exiting " << message_ << " (entered at "
                                               << fileNamePart(file_.c_str()) << ":" << line_ << ")");
    } catch (...) {
        // A destructor must not throw; a lost trace record is the lesser harm.
    }
}
