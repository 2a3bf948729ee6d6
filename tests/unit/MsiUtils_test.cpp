#include "MsiUtils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "LodestarTestPackages.h"
#include "MsiTestSupport.h"
#include "TestSupport.h"
#include "UniqueResource.h"
#include "WinSysInfo.h"

namespace {

namespace fs = std::filesystem;

const wchar_t* const kSampleKey = L"Software\\Lodestar Tests\\Sample";
const wchar_t* const kInstallerMutex = L"Global\\_MSIExecute";

INSTALLUILEVEL currentUiLevel() {
    return msi::service().MsiSetInternalUI(INSTALLUILEVEL_NOCHANGE, nullptr);
}

// A string value of the sample package's key in the 64-bit registry view, or "(missing)".
tstring sampleRegistryValue(const wchar_t* name) {
    return machineRegistryValue(kSampleKey, name);
}

// Removes the product through the service however the test ends, so that a failed assertion
// never leaves it installed for the next test.
class ProductRemoval {
public:
    explicit ProductRemoval(const wchar_t* productCode) : productCode_(productCode) { remove(); }
    ~ProductRemoval() { remove(); }

private:
    void remove() const {
        const msi::UILevelGuard silent(INSTALLUILEVEL_NONE);
        msi::service().MsiConfigureProductExW(productCode_, INSTALLLEVEL_MAXIMUM, INSTALLSTATE_ABSENT,
                                              L"REBOOT=ReallySuppress");
    }
    const wchar_t* productCode_;
};

struct Message {
    UINT type;
    UINT flags;
    tstring text;
};

class RecordingCallback : public msi::Callback {
public:
    void notify(UINT type, UINT flags, const tstring& message) override { messages.push_back({type, flags, message}); }

    bool received(UINT type, const tstring& text) const {
        for (const Message& message : messages) {
            if (message.type == type && message.text.find(text) != tstring::npos) {
                return true;
            }
        }
        return false;
    }

    std::vector<Message> messages;
};

class ThrowingCallback : public msi::Callback {
public:
    void notify(UINT, UINT, const tstring&) override { throw std::runtime_error("callback refuses the message"); }
};

msi::action<msi::uninstall> uninstallOf(const wchar_t* productCode) {
    msi::action<msi::uninstall> removal;
    removal.productCode = Guid(tstring(productCode));
    return removal;
}

msi::action<msi::install> installOf(const wchar_t* packagePath) {
    msi::action<msi::install> installation;
    installation.packagePath = packagePath;
    return installation;
}

tstring configureText(const wchar_t* productCode, int installState, const tstring& commandLine) {
    return L"MsiConfigureProductEx(" + tstring(productCode) + L", 65535, " + std::to_wstring(installState) + L", " +
           commandLine + L") ";
}

tstring installText(const wchar_t* packagePath, const tstring& commandLine) {
    return L"MsiInstallProduct(" + tstring(packagePath) + L", " + commandLine + L") ";
}

// The command line the service saw, read back from the failure text of removing a product that
// is not installed.
tstring commandLineSeenBy(const msi::action<msi::uninstall>& removal) {
    const msi::ActionStatus status = removal(std::nothrow);
    const std::string head = "MsiConfigureProductEx(" + utf8(testpackages::sample.productCode) + ", 65535, 2, ";
    const std::string tail = ") failed [1605]";
    EXPECT_EQ(status.code, 1605u);
    if (status.text.size() < head.size() + tail.size() || status.text.rfind(head, 0) != 0 ||
        status.text.compare(status.text.size() - tail.size(), tail.size(), tail) != 0) {
        ADD_FAILURE() << "unexpected status text: " << status.text;
        return L"";
    }
    return tstrings::fromUtf8(status.text.substr(head.size(), status.text.size() - head.size() - tail.size()));
}

}  // namespace

TEST(MsiService, BindsEveryOrdinalOfTheSystemDirectoryLibraryToTheFunctionOfThatName) {
    const msi::ServiceFunctions& service = msi::service();
    HMODULE module = nullptr;
    ASSERT_TRUE(
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(service.MsiCloseHandle), &module));
    wchar_t path[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(module, path, MAX_PATH), 0u);
    EXPECT_EQ(tstrings::toLower(path), tstrings::toLower(SysInfo::getSystemDirectory() + L"\\msi.dll"));

#define EXPECT_BOUND_TO_NAMED_EXPORT(ordinal, name)                                                          \
    EXPECT_EQ(reinterpret_cast<void*>(service.name), reinterpret_cast<void*>(GetProcAddress(module, #name))) \
        << #name << " is not ordinal " << ordinal;
    LD_MSI_SERVICE_FUNCTIONS(EXPECT_BOUND_TO_NAMED_EXPORT)
#undef EXPECT_BOUND_TO_NAMED_EXPORT
}

TEST(MsiError, MessageCarriesTheCodeAndTheInstallersDescription) {
    const msi::Error error("MsiGetProductInfo({X}, VersionString) failed", 1605);
    EXPECT_EQ(error.code(), 1605u);
    const std::string message = error.what();
    const std::string head = "MsiGetProductInfo({X}, VersionString) failed. MSI error [1605](";
    ASSERT_EQ(message.rfind(head, 0), 0u) << message;
    if (runningUnderWine()) {
        // Wine's msimsg.dll carries no string table.
        EXPECT_EQ(message, head + "No description)");
    } else {
        EXPECT_GT(message.size(), head.size() + 1);
        EXPECT_EQ(message.find("No description"), std::string::npos) << message;
    }

    // The separator follows the message's own punctuation.
    const msi::Error fromBuilder(tstrings::MessageBuilder() << "Query " << 7 << ":", 1627);
    EXPECT_EQ(fromBuilder.code(), 1627u);
    EXPECT_EQ(std::string(fromBuilder.what()).rfind("Query 7: MSI error [1627](", 0), 0u) << fromBuilder.what();
}

TEST(MsiError, NoMoreItemsIsAnInstallerErrorWithCode259CaughtPlainOrLocated) {
    try {
        LD_THROW(msi::NoMoreItemsError(tstrings::MessageBuilder() << "No more items in [" << L"SELECT 1" << "]"));
    } catch (const LdError<msi::NoMoreItemsError>& e) {
        EXPECT_EQ(e.code(), 259u);
        EXPECT_EQ(std::string(e.rawMessage()).rfind("No more items in [SELECT 1]. MSI error [259](", 0), 0u)
            << e.rawMessage();
    }
    try {
        LD_THROW(msi::NoMoreItemsError("No more items"));
    } catch (const msi::Error& e) {
        EXPECT_EQ(e.code(), 259u);
    }
}

TEST(MsiActionStatus, SucceedsOnlyForSuccessAndTheTwoRestartCodes) {
    for (const UINT code : {0u, 1641u, 3010u}) {
        EXPECT_TRUE((msi::ActionStatus{"", code}.isSuccess())) << code;
    }
    for (const UINT code : {1u, 1602u, 1603u, 1605u, 1359u, 3011u}) {
        EXPECT_FALSE((msi::ActionStatus{"", code}.isSuccess())) << code;
    }
}

TEST(MsiActionStatus, ThrowItRaisesALocatedInstallerErrorFromTextAndCode) {
    const msi::ActionStatus status{"MsiInstallProduct(x.msi, ) failed [1620]", 1620};
    try {
        status.throwIt();
        FAIL() << "returned";
    } catch (const LdError<msi::Error>& e) {
        EXPECT_EQ(e.code(), 1620u);
        EXPECT_EQ(std::string(e.rawMessage()).rfind(status.text + ". MSI error [1620](", 0), 0u) << e.rawMessage();
        EXPECT_NE(std::string(e.what()).find(") at msi::ActionStatus::throwIt(): MsiInstallProduct(x.msi"),
                  std::string::npos)
            << e.what();
    }
}

TEST(MsiHandles, CloseIgnoresZeroAndOnlyLogsAFailure) {
    CapturingLogAppender log;
    msi::closeMSIHANDLE(0);
    const MSIHANDLE record = msi::service().MsiCreateRecord(1);
    ASSERT_NE(record, 0u);
    msi::closeMSIHANDLE(record);
    EXPECT_TRUE(log.events.empty());

    msi::closeMSIHANDLE(record);  // already closed
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].logLevel, L"WARNING");
    EXPECT_EQ(log.events[0].message, L"MsiCloseHandle(" + std::to_wstring(record) + L") failed with error=6");
    EXPECT_EQ(log.events[0].funcName, L"msi::closeMSIHANDLE");
}

TEST(MsiInstallationWait, NoInstallerMutexMeansNoInstallationAndNothingLogged) {
    CapturingLogAppender log;
    EXPECT_TRUE(msi::waitForInstallationCompletion(0));
    EXPECT_TRUE(msi::waitForInstallationCompletion(5000));
    EXPECT_TRUE(log.events.empty());
}

namespace {

// Stands in for a running installation: holds the installer's mutex from another thread.
class InstallationInProgress {
public:
    InstallationInProgress() {
        holder_ = std::thread([this] {
            mutex_ = CreateMutexW(nullptr, TRUE, kInstallerMutex);
            SetEvent(held_);
            WaitForSingleObject(finish_, INFINITE);
            if (release_) {
                ReleaseMutex(mutex_);
            }
        });
        WaitForSingleObject(held_, INFINITE);
    }
    ~InstallationInProgress() {
        end(true);
        CloseHandle(mutex_);
        CloseHandle(held_);
        CloseHandle(finish_);
    }

    // The mutex stays, so that the waits after the end find it; without the release it is abandoned.
    void end(bool release) {
        if (holder_.joinable()) {
            release_ = release;
            SetEvent(finish_);
            holder_.join();
        }
    }

private:
    HANDLE held_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE finish_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE mutex_ = nullptr;
    bool release_ = true;
    std::thread holder_;
};

// Whether another thread could take the installer's mutex at once.
bool installerMutexIsFree() {
    DWORD result = WAIT_FAILED;
    std::thread([&result] {
        HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kInstallerMutex);
        result = WaitForSingleObject(mutex, 0);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }).join();
    return result == WAIT_OBJECT_0;
}

}  // namespace

TEST(MsiInstallationWait, TimesOutWhileAnInstallationRunsAndGivesTheMutexBackAfterwards) {
    InstallationInProgress installation;
    {
        CapturingLogAppender log;
        EXPECT_FALSE(msi::waitForInstallationCompletion(0));
        EXPECT_TRUE(log.events.empty());
        EXPECT_FALSE(msi::waitForInstallationCompletion(20));
        ASSERT_EQ(log.events.size(), 1u);
        EXPECT_EQ(log.events[0].logLevel, L"INFO");
        EXPECT_EQ(log.events[0].message, L"finish waiting for mutex: 258");
    }

    installation.end(true);
    CapturingLogAppender log;
    EXPECT_TRUE(msi::waitForInstallationCompletion(INFINITE));
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].message, L"finish waiting for mutex: 0");
    // Had the wait kept the mutex, every later installation would wait for this thread to end.
    EXPECT_TRUE(installerMutexIsFree());
}

TEST(MsiInstallationWait, AnInstallationThatDiedCountsAsCompleted) {
    InstallationInProgress installation;
    installation.end(false);
    CapturingLogAppender log;
    EXPECT_TRUE(msi::waitForInstallationCompletion(INFINITE));
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].message, L"finish waiting for mutex: 128");  // WAIT_ABANDONED
    EXPECT_TRUE(installerMutexIsFree());
}

TEST(MsiInstallationWait, AWaitThatFailsIsAnErrorNotTheEndOfAnInstallation) {
    // Nothing makes a wait on the installer's own mutex fail; a handle of a mutex opened without
    // the right to wait on it does (error 5), through the seam that takes the handle.
    const wchar_t* const name = L"Local\\lodestar-unwaitable-mutex";
    const UniqueHandle mutex(CreateMutexW(nullptr, FALSE, name));
    const UniqueHandle unwaitable(OpenMutexW(MUTEX_MODIFY_STATE, FALSE, name));
    ASSERT_TRUE(mutex && unwaitable);
    EXPECT_TRUE(rawMessageOf<LdError<SysError>>([&] {
                    msi::detail::waitForInstallerMutex(unwaitable.get(), 0);
                }).starts_with("WaitForSingleObject(Global\\_MSIExecute) failed. System error [5]"));
}

TEST(MsiGuards, RestoreTheSettingsTheyReplacedInReverseOrder) {
    const INSTALLUILEVEL original = currentUiLevel();
    {
        const msi::UILevelGuard outer(INSTALLUILEVEL_BASIC);
        EXPECT_EQ(currentUiLevel(), INSTALLUILEVEL_BASIC);
        {
            const msi::UILevelGuard inner(INSTALLUILEVEL_NONE);
            EXPECT_EQ(currentUiLevel(), INSTALLUILEVEL_NONE);
        }
        EXPECT_EQ(currentUiLevel(), INSTALLUILEVEL_BASIC);
    }
    EXPECT_EQ(currentUiLevel(), original);
}

TEST(MsiAction, UninstallByDefaultSendsOnlyTheRebootSuppressionAndFailsForAnAbsentProduct) {
    ProductRemoval absent(testpackages::sample.productCode);
    CapturingLogAppender log;
    const msi::ActionStatus status = uninstallOf(testpackages::sample.productCode)(std::nothrow);
    const tstring expected =
        configureText(testpackages::sample.productCode, 2, L"REBOOT=ReallySuppress") + L"failed [1605]";
    EXPECT_EQ(status.code, 1605u);
    EXPECT_FALSE(status.isSuccess());
    EXPECT_EQ(status.text, utf8(expected));
    EXPECT_TRUE(log.contains(LogLevel::ERROR, expected));
}

TEST(MsiAction, ComposesTheCommandLineFromTrimmedArgumentsAndQuotedProperties) {
    ProductRemoval absent(testpackages::sample.productCode);
    CapturingLogAppender log;
    msi::action<msi::uninstall> removal = uninstallOf(testpackages::sample.productCode);
    removal.rawCmdLineArgs = L" \tALPHA=1  ";
    removal.props[L"EMPTY"] = L"";
    removal.props[L"SPACED"] = L"a b";
    removal.props[L"TABBED"] = L"a\tb";
    removal.props[L"QUOTED"] = L"say \"hi\" now";
    removal.props[L"INNER"] = L"a\"b";
    removal.props[L"PATH"] = L"C:\\Program Files\\x\\";
    removal.props[L"_low"] = L"1";
    removal.props[L"a.b"] = L"2";
    EXPECT_EQ(commandLineSeenBy(removal),
              L"ALPHA=1 EMPTY=\"\" INNER=\"a\"\"b\" PATH=\"C:\\Program Files\\x\\\" QUOTED=\"say \"\"hi\"\" now\" "
              L"REBOOT=ReallySuppress SPACED=\"a b\" TABBED=\"a\tb\" _low=1 a.b=2");

    removal.props.clear();
    EXPECT_EQ(commandLineSeenBy(removal), L"ALPHA=1");
    removal.rawCmdLineArgs = L"   ";
    EXPECT_EQ(commandLineSeenBy(removal), L"");
    removal.props[L"ONLY"] = L"x";
    EXPECT_EQ(commandLineSeenBy(removal), L"ONLY=x");
}

TEST(MsiAction, RefusesAPropertyNameThatWouldForgeOtherPropertiesAndRestoresTheSettings) {
    const msi::UILevelGuard outer(INSTALLUILEVEL_BASIC);
    for (const tstring name : {L"A B", L"A=B", L"", L"1ST", L"NAME\"", L"A\tB"}) {
        CapturingLogAppender log;
        msi::action<msi::uninstall> removal = uninstallOf(testpackages::sample.productCode);
        removal.props[name] = L"x";
        const msi::ActionStatus status = removal(std::nothrow);
        EXPECT_EQ(status.code, 1359u);
        EXPECT_EQ(status.text, "Unknown error");
        ASSERT_EQ(log.events.size(), 1u);
        EXPECT_EQ(log.events[0].logLevel, L"ERROR");
        EXPECT_EQ(log.events[0].message.rfind(L"Exception with message '", 0), 0u);
        EXPECT_TRUE(log.contains(LogLevel::ERROR, L"Invalid installer property name '" + name + L"'' caught"));
        EXPECT_EQ(currentUiLevel(), INSTALLUILEVEL_BASIC);
        EXPECT_THROW(removal(), LdError<std::runtime_error>);
    }
}

TEST(MsiAction, InstallsConfiguresAndRemovesARealPackage) {
    ProductRemoval cleanup(testpackages::sample.productCode);
    const ScratchDirectory scratch;
    const tstring installDir = scratch / L"install dir";  // the installer makes it
    const tstring logFile = scratch / L"install log.txt";
    const msi::UILevelGuard outer(INSTALLUILEVEL_BASIC);
    CapturingLogAppender log;

    RecordingCallback callback;
    msi::action<msi::install> installation = installOf(testpackages::sample.path);
    installation.props[L"GREETING"] = L"a\"b";
    installation.props[L"DATAPATH"] = L"C:\\data dir\\\"x\" y";
    installation.props[L"INSTALLDIR"] = installDir + L"\\";
    installation.callback = &callback;
    installation.logFile = logFile;
    const tstring commandLine = installation.commandLine();

    const msi::ActionStatus installed = installation(std::nothrow);
    EXPECT_EQ(installed.code, 0u);
    EXPECT_EQ(installed.text, "");
    EXPECT_TRUE(log.contains(LogLevel::INFO, installText(testpackages::sample.path, commandLine) + L"succeeded"));
    EXPECT_FALSE(log.contains(LogLevel::INFO, L"succeeded ["));
    EXPECT_EQ(currentUiLevel(), INSTALLUILEVEL_BASIC);

    // Every value reached the package exactly.
    EXPECT_EQ(readFile(installDir + L"\\payload.txt"), "Lodestar test payload\r\n");
    EXPECT_EQ(sampleRegistryValue(L"Greeting"), L"a\"b");
    EXPECT_EQ(sampleRegistryValue(L"DataPath"), L"C:\\data dir\\\"x\" y");
    EXPECT_EQ(sampleRegistryValue(L"InstallDir"), installDir + L"\\");

    // The callback saw the service's messages, kind and flags split.
    EXPECT_TRUE(callback.received(INSTALLMESSAGE_ACTIONSTART, L"InstallFiles"));
    for (const Message& message : callback.messages) {
        EXPECT_EQ(message.type & 0x00FFFFFF, 0u);
        EXPECT_EQ(message.flags & 0xFF000000, 0u);
    }
    const std::uintmax_t loggedSize = fs::file_size(fs::path(logFile));
    EXPECT_GT(loggedSize, 0u);

    // Neither the callback nor the log outlived the action: the service's next run, started
    // directly, reaches neither.
    const size_t messagesSeen = callback.messages.size();
    {
        const msi::UILevelGuard silent(INSTALLUILEVEL_NONE);
        EXPECT_EQ(msi::service().MsiConfigureProductExW(testpackages::sample.productCode, INSTALLLEVEL_MAXIMUM,
                                                        INSTALLSTATE_ABSENT, L""),
                  0u);
    }
    EXPECT_EQ(callback.messages.size(), messagesSeen);
    EXPECT_EQ(fs::file_size(fs::path(logFile)), loggedSize);
    EXPECT_FALSE(fs::exists(fs::path(installDir + L"\\payload.txt")));

    // Installed again: reconfigured, then removed by actions.
    msi::action<msi::install> reinstallation = installOf(testpackages::sample.path);
    reinstallation.props[L"INSTALLDIR"] = installDir + L"\\";
    ASSERT_EQ(reinstallation(std::nothrow).code, 0u);
    msi::action<msi::configureLocal> configuration;
    configuration.productCode = Guid(tstring(testpackages::sample.productCode));
    EXPECT_EQ(configuration(std::nothrow).code, 0u);
    EXPECT_TRUE(log.contains(
        LogLevel::INFO, configureText(testpackages::sample.productCode, 3, L"REBOOT=ReallySuppress") + L"succeeded"));
    EXPECT_EQ(sampleRegistryValue(L"Greeting"), L"hello");

    const msi::ActionStatus removed = uninstallOf(testpackages::sample.productCode)(std::nothrow);
    EXPECT_EQ(removed.code, 0u);
    EXPECT_FALSE(fs::exists(fs::path(installDir + L"\\payload.txt")));
    EXPECT_EQ(sampleRegistryValue(L"Greeting"), L"(missing)");
    EXPECT_EQ(uninstallOf(testpackages::sample.productCode)(std::nothrow).code, 1605u);
    EXPECT_EQ(currentUiLevel(), INSTALLUILEVEL_BASIC);
}

TEST(MsiAction, ReportsAFailingPackageWhateverTheCallbackThrows) {
    ProductRemoval cleanup(testpackages::failing.productCode);
    CapturingLogAppender log;
    ThrowingCallback callback;
    msi::action<msi::install> installation = installOf(testpackages::failing.path);
    installation.callback = &callback;

    const msi::ActionStatus status = installation(std::nothrow);
    const tstring expected = installText(testpackages::failing.path, L"REBOOT=ReallySuppress") + L"failed [1603]";
    EXPECT_EQ(status.code, 1603u);
    EXPECT_EQ(status.text, utf8(expected));
    EXPECT_TRUE(log.contains(LogLevel::ERROR, expected));
    EXPECT_TRUE(log.contains(LogLevel::ERROR, L"Exception with message 'callback refuses the message' caught"));
    bool reportedAtTheAdapter = false;
    for (const LogEvent& event : log.events) {
        reportedAtTheAdapter = reportedAtTheAdapter || event.funcName == L"msi::`anonymous-namespace'::forwardMessage";
    }
    EXPECT_TRUE(reportedAtTheAdapter);
    EXPECT_EQ(uninstallOf(testpackages::failing.productCode)(std::nothrow).code, 1605u);  // rolled back
}

TEST(MsiAction, PassesOnTheRestartRequiredCodeAsSuccess) {
    ProductRemoval cleanup(testpackages::reboot.productCode);
    CapturingLogAppender log;
    const msi::ActionStatus installed = installOf(testpackages::reboot.path)(std::nothrow);
    EXPECT_EQ(installed.code, 3010u);
    EXPECT_TRUE(installed.isSuccess());
    EXPECT_EQ(installed.text, "");
    EXPECT_TRUE(log.contains(LogLevel::INFO,
                             installText(testpackages::reboot.path, L"REBOOT=ReallySuppress") + L"succeeded [3010]"));

    const msi::ActionStatus removed = uninstallOf(testpackages::reboot.productCode)(std::nothrow);
    EXPECT_EQ(removed.code, 3010u);
    EXPECT_EQ(removed.text, "");
    EXPECT_TRUE(log.contains(
        LogLevel::INFO,
        configureText(testpackages::reboot.productCode, 2, L"REBOOT=ReallySuppress") + L"succeeded [3010]"));
    for (const LogEvent& event : log.events) {
        EXPECT_NE(event.logLevel, L"ERROR") << utf8(event.message);
    }
}
