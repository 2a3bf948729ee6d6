#include "WinApp.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "ErrorHandling.h"
#include "WinApi.h"
#include "TestSupport.h"

namespace {

void returningPayload() {}

void failingPayload() {
    LD_THROW("Keine Verbindung \xe2\x9c\x97");
}

}  // namespace

// Wine, like Windows, makes only the interactive station WinSta0 visible: a station of our own is
// the real thing a service or a deployment agent in session 0 runs on.
TEST(VisibleWindowStation, OnlyTheInteractiveStationIsVisible) {
    EXPECT_TRUE(app::isVisibleWindowStation(GetProcessWindowStation()));

    const std::wstring name = L"lodestar-test-" + std::to_wstring(GetCurrentProcessId());
    HWINSTA hidden = CreateWindowStationW(name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
    ASSERT_NE(hidden, nullptr) << GetLastError();
    EXPECT_FALSE(app::isVisibleWindowStation(hidden));
    EXPECT_FALSE(app::canShowErrorBox(hidden, 1));
    CloseWindowStation(hidden);
}

// Wine runs every process in session 1, so session 0 can only be handed in.
TEST(VisibleWindowStation, NoBoxInTheServicesSession) {
    EXPECT_TRUE(app::canShowErrorBox(GetProcessWindowStation(), 1));
    EXPECT_FALSE(app::canShowErrorBox(GetProcessWindowStation(), 0));
}

TEST(VisibleWindowStation, UnknownVisibilityKeepsTheBox) {
    EXPECT_TRUE(app::isVisibleWindowStation(nullptr));
}

// Without an X display Wine's MessageBoxW returns at once, so the frame can run in this process;
// the boxes themselves are tested through real processes and windows (frame_window.sh).
TEST(WLaunch, ReturnsZeroOrOneAndWritesTheMessageForTheUser) {
    wchar_t display[2] = {};
    if (GetEnvironmentVariableW(L"DISPLAY", display, 2) > 0) {
        GTEST_SKIP() << "a display is set: the error box would wait for a user";
    }
    SetEnvironmentVariableW(L"LODESTAR_DEBUG", nullptr);  // a console would take over the test's streams
    LogAppender* previous = Logger::global().appender();
    {
        StreamCapture err(stderr);
        EXPECT_EQ(app::wlaunch(std::nothrow, returningPayload), 0);
        EXPECT_EQ(err.text(), "");
    }
    {
        StreamCapture err(stderr);
        EXPECT_EQ(app::wlaunch(std::nothrow, failingPayload), 1);
        EXPECT_EQ(err.text(), "Keine Verbindung \xe2\x9c\x97\n");
        EXPECT_EQ(app::lastErrorMsg(), "");
    }
    Logger::global().setAppender(previous);
}
