#include "app.h"

#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>

#include "ErrorHandling.h"
#include "SysInfo.h"

namespace {

// Points at the message string of the running app::launch while it reports a failure.
const std::string* lastErrorMsgPtr = nullptr;

class LastErrorLogAppender : public LogAppender {
public:
    // The record carries the located message, which is for the log; the user gets the short one.
    void append(const LogEvent&) override {
        const std::string message = app::lastErrorMsg() + "\n";
        std::fwrite(message.data(), 1, message.size(), stderr);
        std::fflush(stderr);
    }
};

// The frame's appenders are never destroyed: the logger keeps pointing at one of them after
// app::launch returns, and a record logged while static objects are torn down must still find it.
template <typename Appender>
Appender& immortal() {
    alignas(Appender) static unsigned char storage[sizeof(Appender)];
    static Appender* const appender = new (storage) Appender();
    return *appender;
}

class ResetLastErrorMsgAtEndOfScope {
public:
    ResetLastErrorMsgAtEndOfScope() = default;
    ResetLastErrorMsgAtEndOfScope(const ResetLastErrorMsgAtEndOfScope&) = delete;
    ResetLastErrorMsgAtEndOfScope& operator=(const ResetLastErrorMsgAtEndOfScope&) = delete;

    ~ResetLastErrorMsgAtEndOfScope() {
        try {
            lastErrorMsgPtr = nullptr;
        }
        LD_CATCH_AND_LOG(std::runtime_error)
    }
};

// Puts the last-error appender on the logger when the guarded block ends, so that the one record
// a failure handler logs reaches it, while nothing the payload logged ever did.
class SetLoggerAtEndOfScope {
public:
    SetLoggerAtEndOfScope(std::unique_ptr<WithExtraLogAppender>& holder, LogAppender& lastErrorLogAppender)
        : holder_(holder), lastErrorLogAppender_(lastErrorLogAppender) {}
    SetLoggerAtEndOfScope(const SetLoggerAtEndOfScope&) = delete;
    SetLoggerAtEndOfScope& operator=(const SetLoggerAtEndOfScope&) = delete;

    ~SetLoggerAtEndOfScope() {
        try {
            holder_ = std::make_unique<WithExtraLogAppender>(lastErrorLogAppender_);
        }
        LD_CATCH_AND_LOG(std::runtime_error)
    }

private:
    std::unique_ptr<WithExtraLogAppender>& holder_;
    LogAppender& lastErrorLogAppender_;
};

}  // namespace

namespace app {

bool isDebugSwitchOn() {
    return SysInfo::getEnvVariable(std::nothrow, L"LODESTAR_DEBUG", L"") == L"true";
}

std::string lastErrorMsg() {
    return lastErrorMsgPtr != nullptr ? *lastErrorMsgPtr : std::string();
}

LogAppender& defaultLastErrorLogAppender() {
    return immortal<LastErrorLogAppender>();
}

// The function-try-block is the last line of defence: a failure while reporting a failure (no
// memory left to compose the record) still must not reach the entry point.
int launch(const std::nothrow_t&, LauncherFunc payload, LogAppender* lastErrorLogAppender) try {
    Logger::global().setAppender(isDebugSwitchOn() ? static_cast<LogAppender*>(&immortal<StandardLogAppender>())
                                                   : static_cast<LogAppender*>(&immortal<NopLogAppender>()));
    LD_TRACE_SCOPE(L"app::launch");
    if (lastErrorLogAppender == nullptr) {
        lastErrorLogAppender = &immortal<LastErrorLogAppender>();
    }

    std::unique_ptr<WithExtraLogAppender> withLastErrorLogAppender;
    std::string lastErrorMessage;
    const ResetLastErrorMsgAtEndOfScope resetLastErrorMsg;
    try {
        const SetLoggerAtEndOfScope setLogger(withLastErrorLogAppender, *lastErrorLogAppender);
        payload();
        return 0;
    } catch (const LdErrorBase& e) {
        // Raw messages are UTF-8 by convention; one that is not (ANSI text from elsewhere) is
        // kept byte by byte, so that the user is never shown an empty box for a real message.
        lastErrorMessage = tstrings::toUtf8(tstrings::fromUtf8OrBytes(e.rawMessage()));
        lastErrorMsgPtr = &lastErrorMessage;
        // Logged as the runtime error it also is, so that the record carries the located message.
        try {
            throw;
        }
        LD_CATCH_AND_LOG(std::runtime_error)
    } catch (const std::runtime_error& e) {
        lastErrorMessage = crtErrorText();
        lastErrorMsgPtr = &lastErrorMessage;
        logCaughtException(LD_SOURCE_LOCATION, e);
    } catch (...) {
        lastErrorMessage = "Unknown error";
        lastErrorMsgPtr = &lastErrorMessage;
        logCaughtUnknown(LD_SOURCE_LOCATION);
    }
    return 1;
} catch (...) {
    return 1;
}

}  // namespace app
