// The process-wide logger: records with time, ids, process name and site, handed to one
// exchangeable appender that decides whether and where they are written. Bound to the system:
// the time, thread and process ids come from stampLogEvent (windows/native/common/WinLog.cpp:
// kernel32; linux/native/common/LinuxLog.cpp), the process name from
// SysInfo::getCurrentModulePath (SysInfo.h); the std::ostream form of StreamLogAppender is
// defined in StandardStreams.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <string>

#include "SourceLocation.h"
#include "tstrings.h"

#ifdef _WIN32
#include "WinApi.h"
// The system's date-time record.
using LogTime = SYSTEMTIME;
#else
// The fields of the Windows date-time record, named as Windows names them.
struct LogTime {
    std::uint16_t wYear;
    std::uint16_t wMonth;
    std::uint16_t wDayOfWeek;
    std::uint16_t wDay;
    std::uint16_t wHour;
    std::uint16_t wMinute;
    std::uint16_t wSecond;
    std::uint16_t wMilliseconds;
};
#endif

enum class LogLevel : int { TRACE = 0, INFO = 1, WARNING = 2, ERROR = 3 };

// "TRACE", "INFO", "WARNING", "ERROR"; any other value is "UNKNOWN".
const wchar_t* logLevelName(LogLevel level);

struct LogEvent {
    LogTime ts;
    std::uint32_t tid;
    std::uint32_t pid;
    const wchar_t* processName;
    tstring logLevel;
    tstring fileName;
    std::int32_t lineNum;
    tstring funcName;
    tstring message;
};

// Fills the record's local time, thread id and process id; the platform's.
void stampLogEvent(LogEvent& event);

class LogAppender {
public:
    virtual ~LogAppender() = default;
    virtual void append(const LogEvent& event) = 0;
};

class NopLogAppender : public LogAppender {
public:
    void append(const LogEvent&) override {}
};

// The full two-line record to a narrow stream (not owned): a standard library stream, or a C
// runtime stream such as stdout. A program that only ever uses the second kind (the launcher)
// links none of the first kind's machinery.
class StreamLogAppender : public LogAppender {
public:
    explicit StreamLogAppender(std::ostream* out);
    explicit StreamLogAppender(std::FILE* out);
    void append(const LogEvent& event) override;

private:
    using WriteLine = void (*)(void* stream, const std::string& line);

    WriteLine writeLine_;
    void* out_;
};

// Forwards to both members in order, skipping a null one (neither is owned).
class TeeLogAppender : public LogAppender {
public:
    TeeLogAppender(LogAppender* first, LogAppender* second) : first_(first), second_(second) {}
    void append(const LogEvent& event) override;

private:
    LogAppender* first_;
    LogAppender* second_;
};

// The short one-line record to standard error, for the debug switch.
class StandardLogAppender : public LogAppender {
public:
    void append(const LogEvent& event) override;
};

class Logger {
public:
    constexpr explicit Logger(LogAppender* appender = nullptr, LogLevel minLevel = LogLevel::TRACE)
        : minLevel_(minLevel), appender_(appender) {}

    // The process-wide logger; installs the standard-output appender whenever none is set.
    static Logger& global();

    bool enabled(LogLevel level) const { return static_cast<int>(level) >= static_cast<int>(minLevel_); }
    void setMinLevel(LogLevel level) { minLevel_ = level; }

    // Builds the record and hands it to the current appender; callers test enabled() first.
    void log(LogLevel level, const wchar_t* file, int line, const wchar_t* func, const tstring& message) const;
    void log(LogLevel level, const wchar_t* file, int line, const wchar_t* func,
             const tstrings::MessageBuilder& message) const {
        log(level, file, line, func, message.tstr());
    }

    LogAppender* setAppender(LogAppender* appender);
    LogAppender* appender() const { return appender_; }

private:
    LogLevel minLevel_;
    LogAppender* appender_;
};

// Stacks one more appender over the current one for the life of the scope.
class WithExtraLogAppender {
public:
    explicit WithExtraLogAppender(LogAppender& extra);
    virtual ~WithExtraLogAppender();
    WithExtraLogAppender(const WithExtraLogAppender&) = delete;
    WithExtraLogAppender& operator=(const WithExtraLogAppender&) = delete;

private:
    LogAppender* previous_;
    TeeLogAppender tee_;
};

// Writes "Entering <message>" now and "Exiting <message> (entered at file:line)" at scope end.
class ScopeTracer {
public:
    ScopeTracer(Logger& logger, LogLevel level, const tstring& file, int line, const tstring& func,
                const tstring& message);
    ~ScopeTracer();
    ScopeTracer(const ScopeTracer&) = delete;
    ScopeTracer& operator=(const ScopeTracer&) = delete;

private:
    Logger& logger_;
    LogLevel level_;
    tstring file_;
    int line_;
    tstring func_;
    tstring message_;
    bool entered_;
};

// The logging site: the message is composed only when its level is enabled.
#define LD_LOG(level, message)                                                                                      \
    do {                                                                                                            \
        Logger& ldLogger_ = Logger::global();                                                                       \
        if (ldLogger_.enabled(level)) {                                                                             \
            ldLogger_.log((level), LD_FILE_W, __LINE__, LD_FUNCTION_NAME_W, tstrings::MessageBuilder() << message); \
        }                                                                                                           \
    } while (false)

#define LOG_TRACE(message) LD_LOG(LogLevel::TRACE, message)
#define LOG_INFO(message) LD_LOG(LogLevel::INFO, message)
#define LOG_WARNING(message) LD_LOG(LogLevel::WARNING, message)
#define LOG_ERROR(message) LD_LOG(LogLevel::ERROR, message)

#define LD_CONCAT_IMPL(a, b) a##b
#define LD_CONCAT(a, b) LD_CONCAT_IMPL(a, b)

// Traces the rest of the enclosing scope at TRACE.
#define LD_TRACE_SCOPE(message)                                                                             \
    ScopeTracer LD_CONCAT(ldScopeTracer_, __LINE__)(Logger::global(), LogLevel::TRACE, LD_FILE_W, __LINE__, \
                                                    LD_FUNCTION_NAME_W, (message))
