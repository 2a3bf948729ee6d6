#include "MsiCA.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LodestarTestPackages.h"
#include "MsiTestSupport.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

const wchar_t* const kResultsKey = L"Software\\Lodestar Tests\\CA";

std::map<tstring, tstring> parsed(const tstring& text) {
    return msi::DeferredCA(0).parseArgs(text).parsedArgs();
}

LogEvent eventAt(std::uint32_t tid) {
    LogEvent event{};
    event.ts.wHour = 7;
    event.ts.wMinute = 5;
    event.ts.wSecond = 9;
    event.ts.wMilliseconds = 45;
    event.tid = tid;
    event.logLevel = L"INFO";
    event.fileName = L"ca_actions.cpp";
    event.lineNum = 42;
    event.funcName = L"readSession";
    event.message = L"Lodestar [bracketed] message";
    return event;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Without a session

TEST(MsiDeferredCA, ParsesNamedPiecesAndKeepsTheRestAfterTwoAsterisksWhole) {
    EXPECT_EQ(parsed(L"a=1*b=2**rest"), (std::map<tstring, tstring>{{L"a", L"1"}, {L"b", L"2"}, {L"", L"rest"}}));
    // Only the first '=' separates; values and names are not trimmed; later pieces win.
    EXPECT_EQ(parsed(L"url=a=b=c* x = y *url2=="),
              (std::map<tstring, tstring>{{L"url", L"a=b=c"}, {L" x ", L" y "}, {L"url2", L"="}}));
    EXPECT_EQ(parsed(L"a=1*a=2"), (std::map<tstring, tstring>{{L"a", L"2"}}));
    EXPECT_EQ(parsed(L"**x"), (std::map<tstring, tstring>{{L"", L"x"}}));
    EXPECT_EQ(parsed(L"a=**"), (std::map<tstring, tstring>{{L"a", L""}, {L"", L""}}));
    EXPECT_EQ(parsed(L"a=1**b=2**c"), (std::map<tstring, tstring>{{L"a", L"1"}, {L"", L"b=2**c"}}));
    EXPECT_TRUE(parsed(L"").empty());
}

TEST(MsiDeferredCA, NewArgumentsReplaceHeldOnesAndBadTextChangesNothing) {
    msi::DeferredCA ca(0);
    ca.parseArgs(L"a=1*b=2**first rest").parseArgs(L"b=3*c=4");
    EXPECT_EQ(ca.parsedArgs(),
              (std::map<tstring, tstring>{{L"a", L"1"}, {L"b", L"3"}, {L"c", L"4"}, {L"", L"first rest"}}));
    EXPECT_EQ(ca.getParsedArg(L"b"), L"3");
    EXPECT_EQ(ca.getParsedArg(L""), L"first rest");

    EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { ca.parseArgs(L"a=9*b"); }),
              "Missing expected '=' character in [b] string.");
    EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { ca.parseArgs(L"a=9*"); }),
              "Missing expected '=' character in [] string.");
    EXPECT_EQ(ca.getParsedArg(L"a"), L"1");
    EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { ca.getParsedArg(L"missing"); }),
              "Argument << 'missing' not found.");
}

TEST(MsiCAImpl, NormalizeDirPathEndsInOneBackslash) {
    EXPECT_EQ(msi::CAImpl::normalizeDirPath(L""), L"");
    EXPECT_EQ(msi::CAImpl::normalizeDirPath(L"C:/Program Files/App"), L"C:\\Program Files\\App\\");
    EXPECT_EQ(msi::CAImpl::normalizeDirPath(L"C:\\App\\\\//"), L"C:\\App\\");
    EXPECT_EQ(msi::CAImpl::normalizeDirPath(L"C:\\"), L"C:\\");
    EXPECT_EQ(msi::CAImpl::normalizeDirPath(L"relative"), L"relative\\");
}

TEST(MsiCAImpl, EmptyValueIsRefusedBeforeTheServiceIsCalled) {
    // Handle 0 is no session: any call that reaches the service fails with ERROR_INVALID_HANDLE.
    const msi::CAImpl noSession(0);
    EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { noSession.setProperty(L"NAME", L""); }),
              "Attempt to assign empty value to 'NAME' MSI property");

    const auto [setMessage, setCode] = installerFailure([&] { noSession.setProperty(L"NAME", L"v"); });
    EXPECT_EQ(setCode, 6u);
    EXPECT_TRUE(setMessage.starts_with("MsiSetProperty(NAME, v) failed. MSI error [6](")) << setMessage;
    const auto [removeMessage, removeCode] = installerFailure([&] { noSession.removeProperty(L"NAME"); });
    EXPECT_EQ(removeCode, 6u);
    EXPECT_TRUE(removeMessage.starts_with("MsiSetProperty(NAME, NULL) failed. MSI error [6](")) << removeMessage;
    const auto [getMessage, getCode] = installerFailure([&] { noSession.getProperty(L"NAME"); });
    EXPECT_EQ(getCode, 6u);
    EXPECT_TRUE(getMessage.starts_with("MsiGetProperty(0, NAME) failed. MSI error [6](")) << getMessage;
    EXPECT_EQ(msi::getProperty(0, L"NAME", std::nothrow), L"");
    const auto [actionMessage, actionCode] = installerFailure([] { msi::CAFacade(0).doAction(L"CostFinalize"); });
    EXPECT_NE(actionCode, 0u);
    EXPECT_TRUE(actionMessage.starts_with("MsiDoAction(CostFinalize) failed. MSI error [")) << actionMessage;
    const auto [databaseMessage, databaseCode] = installerFailure([&] { msi::sessionDatabase(noSession); });
    EXPECT_EQ(databaseCode, 1627u);
    EXPECT_TRUE(databaseMessage.starts_with("MsiGetActiveDatabase() failed. MSI error [1627](")) << databaseMessage;
    EXPECT_EQ(noSession.getModes(), L"0000000000000000000");
}

TEST(MsiLogAppender, BuildsTheSessionLogLineAndItsRecord) {
    const msi::MsiLogAppender appender(0);
    const LogEvent event = eventAt(GetCurrentThreadId());
    const tstring line = L"[07:05:09.045 ca_actions.cpp:42 (readSession)] INFO: Lodestar [bracketed] message";
    EXPECT_EQ(appender.formatLine(event), line);

    const msi::DatabaseRecord record = appender.makeRecord(event);
    EXPECT_EQ(record.getFieldCount(), 1u);
    EXPECT_EQ(record.getString(0), L"Vela [1]");
    EXPECT_EQ(record.getString(1), line);
}

TEST(MsiLogAppender, MarksRecordsOfOtherThreadsWithTheirId) {
    const LogEvent event = eventAt(GetCurrentThreadId());
    std::unique_ptr<msi::MsiLogAppender> appender;
    std::thread([&] { appender = std::make_unique<msi::MsiLogAppender>(0); }).join();
    EXPECT_EQ(appender->formatLine(event),
              L"[07:05:09.045 (TID: " + std::to_wstring(event.tid) +
                  L") ca_actions.cpp:42 (readSession)] INFO: Lodestar [bracketed] message");
}

TEST(MsiLogTrigger, TeesIntoTheSessionLogWhileItLivesAndRestoresTheAppender) {
    const CapturingLogAppender capture;
    {
        const MsiLogTrigger trigger(0);
        EXPECT_NE(Logger::global().appender(), &capture);
        // No session here: the session log drops the record, the previous appender still gets it.
        LOG_INFO("through the trigger");
    }
    EXPECT_EQ(Logger::global().appender(), &capture);
    EXPECT_TRUE(capture.contains(LogLevel::INFO, L"through the trigger"));
}

// ---------------------------------------------------------------------------------------------
// Inside a real installation

namespace {

// A string value under the results key (64-bit view), or "(missing)".
tstring resultValue(const wchar_t* name) {
    return machineRegistryValue(kResultsKey, name);
}

std::vector<std::string> logLines(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

Guid caProduct() {
    return Guid(tstring(testpackages::ca.productCode));
}

msi::ActionStatus removeCaProduct() {
    msi::action<msi::uninstall> removal;
    removal.productCode = caProduct();
    return removal(std::nothrow);
}

// Installs the "ca" package once for all tests below (the last one removes it again, so they run
// in the order written), with a verbose installer log, and removes
// it at the end (and before, should an earlier run have left it behind).
class MsiCAInstallation : public testing::Test {
protected:
    static void SetUpTestSuite() {
        removeCaProduct();
        logPath_ = new fs::path(fs::temp_directory_path() / L"lodestar_ca_install.log");
        fs::remove(*logPath_);
        msi::action<msi::install> installation;
        installation.packagePath = testpackages::ca.path;
        installation.logFile = logPath_->wstring();
        installStatus_ = installation(std::nothrow);
        lines_ = new std::vector<std::string>(logLines(*logPath_));
    }

    static void TearDownTestSuite() {
        removeCaProduct();
        std::error_code ignored;
        fs::remove(*logPath_, ignored);
        delete logPath_;
        delete lines_;
    }

    // A record the custom action logged: Windows keeps its bracketed head ("Vela [hh:mm:ss.mmm
    // file:line (function)] LEVEL: message"); Wine's installer formats the head away as if it
    // named a property, which leaves "Vela " followed by " LEVEL: message".
    static bool loggedBySession(const std::string& levelAndMessage) {
        for (const std::string& line : *lines_) {
            const bool found = runningUnderWine()
                                   ? line == "Vela  " + levelAndMessage
                                   : line.starts_with("Vela [") && line.size() > levelAndMessage.size() &&
                                         line.compare(line.size() - levelAndMessage.size() - 2, std::string::npos,
                                                      "] " + levelAndMessage) == 0;
            if (found) {
                return true;
            }
        }
        return false;
    }

    static bool logMentions(const std::string& text) {
        return std::any_of(lines_->begin(), lines_->end(),
                           [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }

    static fs::path* logPath_;
    static std::vector<std::string>* lines_;
    static msi::ActionStatus installStatus_;
};

fs::path* MsiCAInstallation::logPath_ = nullptr;
std::vector<std::string>* MsiCAInstallation::lines_ = nullptr;
msi::ActionStatus MsiCAInstallation::installStatus_;

}  // namespace

TEST_F(MsiCAInstallation, ImmediateActionReadsSetsAndRemovesProperties) {
    ASSERT_EQ(installStatus_.code, 0u) << installStatus_.text;
    const std::string productCode = tstrings::toUtf8(testpackages::ca.productCode);
    EXPECT_TRUE(loggedBySession("INFO: Lodestar CA product code " + productCode.substr(1, 36)));
    EXPECT_EQ(resultValue(L"ProductCode"), testpackages::ca.productCode);

    EXPECT_TRUE(loggedBySession("TRACE: Setting MSI property 'CA_SET' to 'set = by the action'"));
    EXPECT_EQ(resultValue(L"Set"), L"set = by the action");
    EXPECT_EQ(resultValue(L"Kept"), L"original");
    EXPECT_EQ(resultValue(L"Filled"), L"filled");

    EXPECT_TRUE(loggedBySession("TRACE: Removing MSI property 'CA_REMOVED'"));
    EXPECT_TRUE(loggedBySession("INFO: Lodestar CA removed property now reads ''"));
    EXPECT_EQ(resultValue(L"Removed"), L"removed:");

    // Refused before the service saw it: an empty value would have removed the property.
    EXPECT_TRUE(
        loggedBySession("INFO: Lodestar CA refused: Attempt to assign empty value to 'CA_PRESET' MSI property"));
    EXPECT_EQ(resultValue(L"Preset"), L"preset");

    // 112 characters: read through buffers of 20, 40, 80 and 160 units.
    EXPECT_EQ(resultValue(L"LongLength"), L"112");
    EXPECT_EQ(resultValue(L"LongCopy"),
              L"0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopqrstu"
              L"vwxyz-end");
}

TEST_F(MsiCAInstallation, ImmediateActionRunsActionsReadsModesAndTheSessionDatabase) {
    ASSERT_EQ(installStatus_.code, 0u) << installStatus_.text;
    EXPECT_TRUE(loggedBySession("INFO: Lodestar CA doAction set CA_DOACTION to 'done'"));
    EXPECT_EQ(resultValue(L"DoAction"), L"done");
    // ERROR_FUNCTION_NOT_CALLED: the package has no such action.
    EXPECT_TRUE(loggedBySession("INFO: Lodestar CA unknown action failed with code 1626"));
    EXPECT_EQ(resultValue(L"DoActionFailure"), L"1626");

    // An immediate action: not scheduled (mode 16), not in rollback (17) or commit (18).
    const tstring modes = resultValue(L"Modes");
    ASSERT_EQ(modes.size(), 19u) << tstrings::toUtf8(modes);
    EXPECT_EQ(modes.substr(16, 3), L"000");
    EXPECT_TRUE(loggedBySession("INFO: Lodestar CA modes " + tstrings::toUtf8(modes)));

    EXPECT_TRUE(
        loggedBySession("INFO: Lodestar CA database *CA* still holds CA_REMOVED = 'present before the action'"));
    EXPECT_EQ(resultValue(L"DbRemoved"), L"present before the action");
    EXPECT_EQ(resultValue(L"DeferredData"), L"a=1*b=2=3*c=**rest = with * and **");
    EXPECT_TRUE(loggedBySession("INFO: Lodestar CA message from another thread"));
}

TEST_F(MsiCAInstallation, DeferredActionParsesItsCustomActionDataAndLogsThroughTheTrigger) {
    ASSERT_EQ(installStatus_.code, 0u) << installStatus_.text;
    EXPECT_TRUE(loggedBySession("INFO: Lodestar deferred argument 'a' is '1'"));
    EXPECT_TRUE(loggedBySession("INFO: Lodestar deferred argument 'b' is '2=3'"));
    EXPECT_TRUE(loggedBySession("INFO: Lodestar deferred argument 'c' is ''"));
    EXPECT_TRUE(loggedBySession("INFO: Lodestar deferred argument '' is 'rest = with * and **'"));
    // Deferred: scheduled (mode 16) is on.
    bool scheduled = false;
    for (const std::string& line : *lines_) {
        const std::string head =
            runningUnderWine() ? "Vela  INFO: Lodestar deferred modes " : "] INFO: Lodestar deferred modes ";
        const std::size_t at = line.find(head);
        if (at != std::string::npos && line.size() == at + head.size() + 19) {
            scheduled = line[at + head.size() + 16] == '1';
        }
    }
    EXPECT_TRUE(scheduled);
    EXPECT_FALSE(logMentions("empty value was accepted"));
    EXPECT_FALSE(logMentions("unknown action succeeded"));
    EXPECT_FALSE(std::any_of(lines_->begin(), lines_->end(), [](const std::string& line) {
        return line.starts_with("Vela") && line.find(" ERROR: ") != std::string::npos;
    }));
}

TEST_F(MsiCAInstallation, ProductInformationOfTheInstalledProductThenUnknownOnceRemoved) {
    ASSERT_EQ(installStatus_.code, 0u) << installStatus_.text;
    EXPECT_TRUE(msi::isProductInstalled(caProduct()));
    EXPECT_EQ(msi::getProductInfo(caProduct(), L"VersionString"), L"2.3.4");
    // 35 characters: buffers of 20 and 40 units.
    EXPECT_EQ(msi::getProductInfo(caProduct(), L"InstalledProductName"), L"Lodestar Custom Action Test Product");

    const tstring localPackage = msi::getProductInfo(caProduct(), L"LocalPackage");
    ASSERT_GT(localPackage.size(), 20u);
    EXPECT_TRUE(fs::exists(localPackage));
    {
        const msi::Database cached(caProduct());
        EXPECT_EQ(cached.getPath(), localPackage);
        EXPECT_EQ(cached.getProperty(L"ProductCode"), testpackages::ca.productCode);
        EXPECT_EQ(cached.getProperty(L"CA_KEPT"), L"original");
    }

    const auto [unknownMessage, unknownCode] =
        installerFailure([] { msi::getProductInfo(caProduct(), L"NoSuchInfo"); });
    EXPECT_NE(unknownCode, 0u);
    EXPECT_TRUE(unknownMessage.starts_with("MsiGetProductInfo(" + tstrings::toUtf8(testpackages::ca.productCode) +
                                           ", NoSuchInfo) failed. MSI error ["))
        << unknownMessage;

    ASSERT_EQ(removeCaProduct().code, 0u);
    const auto [message, code] = installerFailure([] { msi::getProductInfo(caProduct(), L"VersionString"); });
    EXPECT_EQ(code, 1605u);
    EXPECT_TRUE(message.starts_with("MsiGetProductInfo(" + tstrings::toUtf8(testpackages::ca.productCode) +
                                    ", VersionString) failed. MSI error [1605]("))
        << message;
    EXPECT_EQ(msi::getProductInfo(caProduct(), L"VersionString", std::nothrow), L"");
    EXPECT_FALSE(msi::isProductInstalled(caProduct()));
    EXPECT_EQ(installerFailure([] { msi::Database database(caProduct()); }).second, 1605u);
    EXPECT_EQ(resultValue(L"Set"), L"(missing)");
}
