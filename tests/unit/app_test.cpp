#include "app.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "ErrorHandling.h"
#include "WinApi.h"
#include "TestSupport.h"

namespace {

// Records what reaches the last-error appender, and the last error message at that moment.
class LastErrorProbe : public LogAppender {
public:
    void append(const LogEvent& event) override {
        events.push_back(event);
        messages.push_back(app::lastErrorMsg());
    }

    std::vector<LogEvent> events;
    std::vector<std::string> messages;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

const char* const kMessage = "Paket \xc2\xabmain.msi\xc2\xbb fehlt: \xe2\x9c\x93";  // UTF-8
bool payloadRan = false;

void returningPayload() {
    payloadRan = true;
    LOG_INFO("payload ran");
}

void throwLocatedError() {
    LOG_ERROR("recorded by the payload itself");
    LD_THROW(kMessage);
}

void throwSysError() {
    LD_THROW_SYSTEM_ERROR(DeleteFileW, ERROR_FILE_NOT_FOUND, "DeleteFile(C:\\x) failed");
}

void throwAnsiMessage() {
    LD_THROW(std::string("caf\xe9"));
}

void throwRuntimeError() {
    errno = EACCES;
    throw std::runtime_error("secret detail");
}

void throwInt() {
    throw 42;
}

void throwLogicError() {
    throw std::logic_error("not a runtime error");
}

class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousAppender_ = Logger::global().appender();
        SetEnvironmentVariableW(L"LODESTAR_DEBUG", nullptr);
        payloadRan = false;
    }
    void TearDown() override {
        Logger::global().setAppender(previousAppender_);
        SetEnvironmentVariableW(L"LODESTAR_DEBUG", nullptr);
    }

    // Whatever happened inside, afterwards no message is kept and the sink of step one is back.
    template <typename Sink>
    void expectCleanAfterwards() {
        EXPECT_EQ(app::lastErrorMsg(), "");
        EXPECT_NE(dynamic_cast<Sink*>(Logger::global().appender()), nullptr);
    }

private:
    LogAppender* previousAppender_ = nullptr;
};

}  // namespace

TEST(DebugSwitch, OnlyTheExactLowerCaseTrueTurnsItOn) {
    SetEnvironmentVariableW(L"LODESTAR_DEBUG", nullptr);
    EXPECT_FALSE(app::isDebugSwitchOn());
    for (const wchar_t* off : {L"", L"TRUE", L"True", L"true ", L" true", L"1", L"yes", L"truee"}) {
        SetEnvironmentVariableW(L"LODESTAR_DEBUG", off);
        EXPECT_FALSE(app::isDebugSwitchOn()) << tstrings::toUtf8(off);
    }
    SetEnvironmentVariableW(L"LODESTAR_DEBUG", L"true");
    EXPECT_TRUE(app::isDebugSwitchOn());
    SetEnvironmentVariableW(L"LODESTAR_DEBUG", nullptr);
}

TEST_F(LaunchTest, ReturningPayloadGivesZeroAndReportsNothing) {
    LastErrorProbe probe;
    StreamCapture err(stderr);
    EXPECT_EQ(app::launch(std::nothrow, returningPayload, &probe), 0);
    EXPECT_TRUE(payloadRan);
    EXPECT_TRUE(probe.events.empty());
    EXPECT_EQ(err.text(), "");
    expectCleanAfterwards<NopLogAppender>();
}

TEST_F(LaunchTest, LocatedErrorKeepsTheRawMessageAndLogsTheLocatedOnce) {
    LastErrorProbe probe;
    EXPECT_EQ(app::launch(std::nothrow, throwLocatedError, &probe), 1);

    ASSERT_EQ(probe.events.size(), 1u);  // the payload's own record never reaches it
    const LogEvent& record = probe.events[0];
    EXPECT_EQ(record.logLevel, L"ERROR");
    EXPECT_EQ(record.fileName, L"app.cpp");
    EXPECT_EQ(record.funcName, L"app::launch");
    const std::string message = tstrings::toUtf8(record.message);
    EXPECT_TRUE(std::regex_match(message, std::regex("Exception with message 'app_test\\.cpp\\([0-9]+\\) at "
                                                     "`anonymous-namespace'::throwLocatedError\\(\\): (.*)' caught")))
        << message;
    EXPECT_NE(message.find(kMessage), std::string::npos);
    EXPECT_EQ(probe.messages[0], kMessage);
    expectCleanAfterwards<NopLogAppender>();
}

TEST_F(LaunchTest, SystemErrorShowsItsMessageWithTheSystemPartButWithoutLocation) {
    LastErrorProbe probe;
    EXPECT_EQ(app::launch(std::nothrow, throwSysError, &probe), 1);
    ASSERT_EQ(probe.messages.size(), 1u);
    EXPECT_EQ(probe.messages[0].rfind("DeleteFile(C:\\x) failed. System error [2](system error 2 (", 0), 0u)
        << probe.messages[0];
    EXPECT_EQ(probe.messages[0].find("app_test.cpp"), std::string::npos);
}

TEST_F(LaunchTest, RawMessageThatIsNotUtf8IsKeptByteByByte) {
    LastErrorProbe probe;
    EXPECT_EQ(app::launch(std::nothrow, throwAnsiMessage, &probe), 1);
    ASSERT_EQ(probe.messages.size(), 1u);
    EXPECT_EQ(probe.messages[0], "caf\xc3\xa9");
}

TEST_F(LaunchTest, PlainRuntimeErrorShowsTheRuntimeErrorTextAndLogsItsOwnMessage) {
    errno = EACCES;
    const std::string accessDenied = crtErrorText();
    ASSERT_FALSE(accessDenied.empty());

    LastErrorProbe probe;
    EXPECT_EQ(app::launch(std::nothrow, throwRuntimeError, &probe), 1);
    ASSERT_EQ(probe.events.size(), 1u);
    EXPECT_EQ(probe.messages[0], accessDenied);
    EXPECT_EQ(probe.events[0].message, L"Exception with message 'secret detail' caught");
    EXPECT_EQ(probe.events[0].funcName, L"app::launch");
    expectCleanAfterwards<NopLogAppender>();
}

TEST_F(LaunchTest, AnythingElseIsAnUnknownError) {
    for (const app::LauncherFunc payload : {throwInt, throwLogicError}) {
        LastErrorProbe probe;
        EXPECT_EQ(app::launch(std::nothrow, payload, &probe), 1);
        ASSERT_EQ(probe.events.size(), 1u);
        EXPECT_EQ(probe.messages[0], "Unknown error");
        EXPECT_EQ(probe.events[0].logLevel, L"ERROR");
        EXPECT_EQ(probe.events[0].message, L"Unknown exception caught");
        EXPECT_EQ(probe.events[0].funcName, L"app::launch");
        expectCleanAfterwards<NopLogAppender>();
    }
}

TEST_F(LaunchTest, WithoutAnAppenderTheMessageGoesToStandardErrorAsOneLine) {
    StreamCapture err(stderr);
    EXPECT_EQ(app::launch(std::nothrow, throwLocatedError, nullptr), 1);
    EXPECT_EQ(err.text(), std::string(kMessage) + "\n");
}

TEST_F(LaunchTest, DebugSwitchSendsEveryRecordToStandardErrorInOneLine) {
    SetEnvironmentVariableW(L"LODESTAR_DEBUG", L"true");
    const std::regex entering("\\[TRACE\\] app\\.cpp:([0-9]+): Entering app::launch");
    const std::regex exiting("\\[TRACE\\] app\\.cpp:0: Exiting app::launch \\(entered at app\\.cpp:([0-9]+)\\)");
    {
        StreamCapture err(stderr);
        EXPECT_EQ(app::launch(std::nothrow, returningPayload, nullptr), 0);
        const std::vector<std::string> records = lines(err.text());
        ASSERT_EQ(records.size(), 3u) << err.text();
        EXPECT_TRUE(std::regex_match(records[0], entering)) << records[0];
        EXPECT_TRUE(std::regex_match(records[1], std::regex("\\[INFO\\] app_test\\.cpp:[0-9]+: payload ran")))
            << records[1];
        EXPECT_TRUE(std::regex_match(records[2], exiting)) << records[2];
        expectCleanAfterwards<StandardLogAppender>();
    }
    {
        // The located record first, then the short message for the user, as the frame logs them.
        StreamCapture err(stderr);
        EXPECT_EQ(app::launch(std::nothrow, throwLocatedError, nullptr), 1);
        const std::vector<std::string> records = lines(err.text());
        ASSERT_EQ(records.size(), 5u) << err.text();
        EXPECT_TRUE(std::regex_match(records[0], entering)) << records[0];
        EXPECT_TRUE(std::regex_match(records[1], std::regex("\\[ERROR\\] app_test\\.cpp:[0-9]+: recorded by the "
                                                            "payload itself")))
            << records[1];
        EXPECT_TRUE(std::regex_match(records[2], std::regex("\\[ERROR\\] app\\.cpp:[0-9]+: Exception with message "
                                                            "'app_test\\.cpp\\([0-9]+\\) at .*' caught")))
            << records[2];
        EXPECT_EQ(records[3], kMessage);
        EXPECT_TRUE(std::regex_match(records[4], exiting)) << records[4];
        expectCleanAfterwards<StandardLogAppender>();
    }
}
