#include "Log.h"

#include <gtest/gtest.h>

#include <ctime>
#include <sstream>

#ifndef _WIN32
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "TestSupport.h"

namespace {

LogEvent fixedEvent() {
    LogEvent event{};
    event.ts.wYear = 2024;
    event.ts.wMonth = 3;
    event.ts.wDayOfWeek = 2;
    event.ts.wDay = 5;
    event.ts.wHour = 7;
    event.ts.wMinute = 8;
    event.ts.wSecond = 9;
    event.ts.wMilliseconds = 10;
    event.tid = 36;
    event.pid = 1234;
    event.processName = L"setup \u00e9.exe";
    event.logLevel = L"INFO";
    event.fileName = L"Executor.cpp";
    event.lineNum = 77;
    event.funcName = L"Executor::execAndWaitForExit";
    event.message = L"Exit code: 3010";
    return event;
}

}  // namespace

TEST(LogLevel, NamesAndUnknown) {
    EXPECT_STREQ(logLevelName(LogLevel::TRACE), L"TRACE");
    EXPECT_STREQ(logLevelName(LogLevel::INFO), L"INFO");
    EXPECT_STREQ(logLevelName(LogLevel::WARNING), L"WARNING");
    EXPECT_STREQ(logLevelName(LogLevel::ERROR), L"ERROR");
    EXPECT_STREQ(logLevelName(static_cast<LogLevel>(7)), L"UNKNOWN");
    EXPECT_STREQ(logLevelName(static_cast<LogLevel>(-1)), L"UNKNOWN");
}

TEST(StreamLogAppender, WritesTheTwoLineRecordByteForByte) {
    std::ostringstream out;
    StreamLogAppender(&out).append(fixedEvent());
    EXPECT_EQ(out.str(),
              "[2024/03/05 07:08:09.010, setup \xc3\xa9.exe (PID: 1234, TID: 36), Executor.cpp:77 "
              "(Executor::execAndWaitForExit)]\n\tINFO: Exit code: 3010\n");
}

TEST(StandardLogAppender, WritesTheOneLineRecordToStandardError) {
    LogEvent event = fixedEvent();
    event.logLevel = logLevelName(static_cast<LogLevel>(9));
    event.message = L"caf\u00e9";
    StreamCapture err(stderr);
    StandardLogAppender().append(event);
    EXPECT_EQ(err.text(), "[UNKNOWN] Executor.cpp:77: caf\xc3\xa9\n");
}

TEST(Logger, BuildsTheRecordFromTheSite) {
    CapturingLogAppender log;
    // The year by the C library's clock, around the call: a new year may begin in between.
    const auto localYear = [] {
        const std::time_t now = std::time(nullptr);
        return std::localtime(&now)->tm_year + 1900;
    };
    const int yearBefore = localYear();
    Logger::global().log(LogLevel::WARNING, L"C:\\src/dir\\Resources.cpp", 12, L"Resource::size", L"text");
    const int yearAfter = localYear();
    Logger::global().log(LogLevel::INFO, L"NoSeparator.cpp", -3, L"f", tstrings::MessageBuilder() << "n=" << 5);
    ASSERT_EQ(log.events.size(), 2u);
    const LogEvent& first = log.events[0];
    EXPECT_EQ(first.logLevel, L"WARNING");
    EXPECT_EQ(first.fileName, L"Resources.cpp");
    EXPECT_EQ(first.lineNum, 12);
    EXPECT_EQ(first.funcName, L"Resource::size");
    EXPECT_EQ(first.message, L"text");
    EXPECT_GE(first.ts.wYear, yearBefore);
    EXPECT_LE(first.ts.wYear, yearAfter);
#ifdef _WIN32
    EXPECT_EQ(first.pid, GetCurrentProcessId());
    EXPECT_EQ(first.tid, GetCurrentThreadId());
    EXPECT_STREQ(first.processName, L"Log_test.exe");
#else
    EXPECT_EQ(first.pid, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(first.tid, static_cast<std::uint32_t>(syscall(SYS_gettid)));
    EXPECT_STREQ(first.processName, L"Log_test");
#endif
    EXPECT_EQ(log.events[1].fileName, L"NoSeparator.cpp");
    EXPECT_EQ(log.events[1].message, L"n=5");
}

TEST(Logger, SiteMacroSkipsComposingWhenTheLevelIsDisabled) {
    CapturingLogAppender log;
    int composed = 0;
    auto count = [&composed] { return ++composed; };
    Logger::global().setMinLevel(LogLevel::WARNING);
    LOG_TRACE("skipped " << count());
    LOG_ERROR("kept " << count());
    Logger::global().setMinLevel(LogLevel::TRACE);
    EXPECT_EQ(composed, 1);
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].message, L"kept 1");
    EXPECT_EQ(log.events[0].funcName, L"Logger_SiteMacroSkipsComposingWhenTheLevelIsDisabled_Test::TestBody");
    EXPECT_EQ(log.events[0].fileName, L"Log_test.cpp");
}

TEST(Logger, DefaultAppenderWritesFullRecordsToStandardOutput) {
    LogAppender* saved = Logger::global().setAppender(nullptr);
    StreamCapture out(stdout);
    Logger::global().log(LogLevel::INFO, L"a.cpp", 1, L"f", L"to stdout");
    EXPECT_NE(Logger::global().appender(), nullptr);
    Logger::global().setAppender(saved);
#ifdef _WIN32
    EXPECT_NE(out.text().find(", Log_test.exe (PID: "), std::string::npos) << out.text();
#else
    EXPECT_NE(out.text().find(", Log_test (PID: "), std::string::npos) << out.text();
#endif
    EXPECT_NE(out.text().find("a.cpp:1 (f)]\n\tINFO: to stdout\n"), std::string::npos) << out.text();
}

TEST(Logger, SetAppenderReturnsThePreviousOne) {
    Logger logger;
    NopLogAppender a;
    NopLogAppender b;
    EXPECT_EQ(logger.setAppender(&a), nullptr);
    EXPECT_EQ(logger.setAppender(&b), &a);
    EXPECT_EQ(logger.appender(), &b);
    EXPECT_TRUE(logger.enabled(LogLevel::TRACE));
    logger.setMinLevel(LogLevel::ERROR);
    EXPECT_FALSE(logger.enabled(LogLevel::WARNING));
    EXPECT_TRUE(logger.enabled(LogLevel::ERROR));
}

TEST(TeeLogAppender, ForwardsToBothSkippingNull) {
    CapturingLogAppender second;
    Logger::global().setAppender(nullptr);
    TeeLogAppender(nullptr, &second).append(fixedEvent());
    TeeLogAppender(&second, nullptr).append(fixedEvent());
    TeeLogAppender(&second, &second).append(fixedEvent());
    EXPECT_EQ(second.events.size(), 4u);
}

TEST(WithExtraLogAppender, StacksAndRestoresEvenTheSameAppender) {
    CapturingLogAppender base;
    {
        CapturingLogAppender extra;  // now current itself
        {
            WithExtraLogAppender with(extra);
            LOG_INFO("both");
        }
        EXPECT_EQ(Logger::global().appender(), &extra);
        EXPECT_EQ(extra.events.size(), 2u);  // as the remembered and as the extra member
    }
    {
        WithExtraLogAppender with(base);
        EXPECT_NE(Logger::global().appender(), &base);
    }
    EXPECT_EQ(Logger::global().appender(), &base);
}

TEST(ScopeTracer, EnteringAndExitingRecords) {
    CapturingLogAppender log;
    {
        ScopeTracer tracer(Logger::global(), LogLevel::TRACE, L"C:\\src\\app.cpp", 31, L"app::launch", L"app::launch");
        EXPECT_EQ(log.events.size(), 1u);
    }
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[0].message, L"Entering app::launch");
    EXPECT_EQ(log.events[0].lineNum, 31);
    EXPECT_EQ(log.events[1].message, L"Exiting app::launch (entered at app.cpp:31)");
    EXPECT_EQ(log.events[1].lineNum, 0);
    EXPECT_EQ(log.events[1].fileName, L"app.cpp");
    EXPECT_EQ(log.events[1].funcName, L"app::launch");

    std::ostringstream out;
    StreamLogAppender(&out).append(log.events[1]);
    EXPECT_NE(out.str().find(", app.cpp:0 (app::launch)]\n\tTRACE: Exiting app::launch (entered at app.cpp:31)\n"),
              std::string::npos);
}

TEST(ScopeTracer, DisabledAtConstructionWritesNeitherRecord) {
    CapturingLogAppender log;
    Logger logger(&log, LogLevel::INFO);
    {
        ScopeTracer tracer(logger, LogLevel::TRACE, L"a.cpp", 1, L"f", L"quiet");
        logger.setMinLevel(LogLevel::TRACE);  // the exit does not test again
    }
    EXPECT_TRUE(log.events.empty());
}

TEST(ScopeTracer, MacroTracesTheEnclosingScope) {
    CapturingLogAppender log;
    int line = 0;
    {
        line = __LINE__ + 1;
        LD_TRACE_SCOPE(L"work");
    }
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[1].message, L"Exiting work (entered at Log_test.cpp:" + std::to_wstring(line) + L")");
    EXPECT_EQ(log.events[1].funcName, L"ScopeTracer_MacroTracesTheEnclosingScope_Test::TestBody");
}
