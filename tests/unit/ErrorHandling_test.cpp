#include "ErrorHandling.h"

#include <gtest/gtest.h>

#include <cerrno>
#ifndef _WIN32
#include <fcntl.h>
#endif
#include <regex>

#include "TestSupport.h"
#ifdef _WIN32
#include "WinApi.h"
#endif

namespace Demo {
struct Widget {
    const char* name() const { return LD_FUNCTION_NAME; }
    static const wchar_t* wideName() { return LD_FUNCTION_NAME_W; }
};
template <typename T>
const char* pick(T) {
    return LD_FUNCTION_NAME;
}
namespace {
const char* helper(int, const char*) {
    return LD_FUNCTION_NAME;
}
}  // namespace
const char* callHelper() {
    return helper(0, nullptr);
}

struct Operators {
    const char* operator()(int) const { return LD_FUNCTION_NAME; }
    const char* operator<<(int) { return LD_FUNCTION_NAME; }
    const char* operator<(const Operators&) const { return LD_FUNCTION_NAME; }
    operator const char*() const { return LD_FUNCTION_NAME; }
};
template <typename T>
struct Holder {
    const char* operator()() const { return LD_FUNCTION_NAME; }
};

const char* returnedFunctionName = nullptr;
int (*returnsFunctionPointer(const char*))(int) {
    returnedFunctionName = LD_FUNCTION_NAME;
    return nullptr;
}
}  // namespace Demo

namespace {
const char* topLevelHelper() {
    return LD_FUNCTION_NAME;
}

const std::string kThisFile = "ErrorHandling_test.cpp";
}  // namespace

TEST(SourceLocation, FunctionNamesAreQualifiedWithoutSignature) {
    EXPECT_STREQ(Demo::Widget().name(), "Demo::Widget::name");
    EXPECT_STREQ(Demo::Widget::wideName(), L"Demo::Widget::wideName");
    EXPECT_STREQ(Demo::pick(1), "Demo::pick");
    EXPECT_STREQ(Demo::callHelper(), "Demo::`anonymous-namespace'::helper");
    EXPECT_STREQ(topLevelHelper(), "`anonymous-namespace'::topLevelHelper");
    Demo::Operators operators;
    EXPECT_STREQ(operators(1), "Demo::Operators::operator()");
    EXPECT_STREQ(operators << 1, "Demo::Operators::operator<<");
    EXPECT_STREQ(operators < operators, "Demo::Operators::operator<");
    // Each compiler writes a conversion's type and a template's arguments its own way.
#ifdef __clang__
    EXPECT_STREQ(static_cast<const char*>(operators), "Demo::Operators::operator const char *");
    EXPECT_STREQ(Demo::Holder<int>()(), "Demo::Holder<int>::operator()");
#else
    EXPECT_STREQ(static_cast<const char*>(operators), "Demo::Operators::operator const char*");
    EXPECT_STREQ(Demo::Holder<int>()(), "Demo::Holder<T>::operator()");
#endif
    Demo::returnsFunctionPointer("");
    EXPECT_STREQ(Demo::returnedFunctionName, "Demo::returnsFunctionPointer");
}

TEST(SourceLocation, CapturesFileAndLineOfTheSite) {
    const int line = __LINE__ + 1;
    const SourceLocation location = LD_SOURCE_LOCATION;
    EXPECT_EQ(location.line, line);
    EXPECT_TRUE(std::string(location.file).ends_with(kThisFile));
    EXPECT_STREQ(location.func, "SourceLocation_CapturesFileAndLineOfTheSite_Test::TestBody");
}

TEST(LdError, RawMessageIsTheConstructionTextAndWhatIsLocated) {
    const int line = __LINE__ + 2;
    try {
        LD_THROW("CoCreateGuid() failed");
    } catch (const LdErrorBase& e) {
        EXPECT_STREQ(e.rawMessage(), "CoCreateGuid() failed");
        const std::runtime_error& standard = dynamic_cast<const std::runtime_error&>(e);
        EXPECT_EQ(standard.what(), kThisFile + "(" + std::to_string(line) +
                                       ") at LdError_RawMessageIsTheConstructionTextAndWhatIsLocated_Test::TestBody(): "
                                       "CoCreateGuid() failed");
        return;
    }
    FAIL() << "not caught as LdErrorBase";
}

TEST(LdError, LocatedFileNameTakesTheLastSeparatorOfEither) {
    const std::runtime_error inner("boom");
    EXPECT_EQ(formatLocatedMessage(inner, SourceLocation("C:\\src/dir\\File.cpp", "f", 7)), "File.cpp(7) at f(): boom");
    EXPECT_EQ(formatLocatedMessage(inner, SourceLocation("/src\\dir/File.cpp", "f", 7)), "File.cpp(7) at f(): boom");
    EXPECT_EQ(formatLocatedMessage(inner, SourceLocation("File.cpp", "f", -1)), "File.cpp(-1) at f(): boom");
}

TEST(LdError, CopiesKeepBothMessages) {
    const auto original = makeLocatedError(std::string("copied"), SourceLocation("a.cpp", "g", 3));
    const auto copy = original;
    EXPECT_STREQ(copy.what(), "a.cpp(3) at g(): copied");
    EXPECT_STREQ(copy.rawMessage(), "copied");
}

TEST(LdError, MessageBuilderMessagesAreUtf8) {
    const auto error = makeLocatedError(tstrings::MessageBuilder() << L"Caf\u00e9 " << 1, SourceLocation("a", "f", 1));
    EXPECT_STREQ(error.rawMessage(), "Caf\xc3\xa9 1");
}

TEST(LdError, AMessageHoldingANulKeepsItsWholeText) {
    const auto error = makeLocatedError(std::string("before\0after", 12), SourceLocation("a", "f", 1));
    EXPECT_STREQ(error.rawMessage(), "before\\0after");
    EXPECT_STREQ(error.what(), "a(1) at f(): before\\0after");
}

#ifdef _WIN32
TEST(SysError, FailedLibraryLoadCarriesCode126AndTheSystemDescription) {
    const wchar_t* path = L"no-such-library-0d1b.dll";
    try {
        if (LoadLibraryW(path) == nullptr) {
            const DWORD error = GetLastError();
            LD_THROW_SYSTEM_ERROR(LoadLibraryW, error, "LoadLibraryW(" << path << ") failed");
        }
        FAIL() << "the library loaded";
    } catch (const SysError& e) {
        const LdErrorBase& located = dynamic_cast<const LdErrorBase&>(e);
        const std::string expected =
            "LoadLibraryW(no-such-library-0d1b.dll) failed. System error [126](system error 126 (" +
            tstrings::toUtf8(lookupMessageText(126, nullptr)) + "))";
        EXPECT_EQ(located.rawMessage(), expected);
        EXPECT_NE(lookupMessageText(126, nullptr), L"No description available");
        EXPECT_TRUE(std::string(e.what()).starts_with(kThisFile + "("));
    }
}

#endif

TEST(SysError, IsCatchableAsEveryBase) {
    auto raise = [] { LD_THROW(SysError(tstrings::MessageBuilder() << "x", nullptr, 5, "System error")); };
    EXPECT_THROW(raise(), LdErrorBase);
    EXPECT_THROW(raise(), SysError);
    EXPECT_THROW(raise(), std::runtime_error);
    EXPECT_THROW(raise(), std::exception);
}

#ifdef _WIN32
TEST(SysError, NullApiTakesTheSystemTableAndNullLabelReadsSomeError) {
    const std::string withApi = makeMessage("Open failed", "System error", nullptr, 2);
    EXPECT_EQ(withApi, "Open failed. System error [2](system error 2 (" +
                           tstrings::toUtf8(lookupMessageText(2, nullptr)) + "))");
    EXPECT_TRUE(makeMessage("m:", nullptr, nullptr, 2).starts_with("m: Some error [2](system error 2 ("));
}

TEST(SysError, ApiOutsideAnyModuleDropsTheDescriptionAndWarns) {
    CapturingLogAppender log;
    int onTheStack = 0;
    const std::string text = makeMessage("Call failed", "System error", &onTheStack, 5);
    EXPECT_EQ(text, "Call failed. System error [5]");
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].logLevel, L"WARNING");
    EXPECT_EQ(log.events[0].message,
              (tstrings::MessageBuilder()
               << "GetModuleHandleEx() failed for " << static_cast<const void*>(&onTheStack) << " address.")
                  .tstr());
}

TEST(SysError, ApiInsideAModuleWithoutMessagesFallsBackToTheSystemTable) {
    const std::string text = makeMessage("Call failed", "System error", apiAddress(&CreateFileW), 5);
    EXPECT_EQ(text, "Call failed. System error [5](system error 5 (" + tstrings::toUtf8(lookupMessageText(5, nullptr)) +
                        "))");
}

TEST(MessageText, UnknownCodeHasNoDescription) {
    EXPECT_EQ(lookupMessageText(0x2FFFFFFF, nullptr), L"No description available");
    EXPECT_EQ(describeSystemError(0x2FFFFFFF, nullptr), L"system error 805306367 (No description available)");
    EXPECT_EQ(lookupMessageText(0x2FFFFFFF, GetModuleHandleW(L"kernel32.dll")), L"No description available");
}

// This test program carries a message table of its own (ErrorHandling_test.rc).
constexpr unsigned long kOwnBlankMessage = 0x20000001;  // " .. .\r\n"
constexpr unsigned long kOwnTextMessage = 0x20000002;   // "Lodestar test text.\r\n"

TEST(MessageText, ModuleTableFirstThenTheSystemTable) {
    void* self = GetModuleHandleW(nullptr);
    EXPECT_EQ(lookupMessageText(kOwnTextMessage, self), L"Lodestar test text");
    EXPECT_EQ(lookupMessageText(ERROR_ACCESS_DENIED, self), lookupMessageText(ERROR_ACCESS_DENIED, nullptr));
    EXPECT_EQ(lookupMessageText(kOwnTextMessage, nullptr), L"No description available");
}

TEST(MessageText, ADescriptionOfBlanksAndPeriodsKeepsItsFirstCharacter) {
    EXPECT_EQ(lookupMessageText(kOwnBlankMessage, GetModuleHandleW(nullptr)), L" ");
}

TEST(SysError, DescriptionComesFromTheModuleOfTheFailedFunction) {
    EXPECT_EQ(makeMessage("Call failed", "System error", apiAddress(&topLevelHelper), kOwnTextMessage),
              "Call failed. System error [536870914](system error 536870914 (Lodestar test text))");
}

TEST(MessageText, SystemDescriptionsLoseTrailingPeriodAndLineBreaks) {
    const tstring text = lookupMessageText(ERROR_ACCESS_DENIED, nullptr);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), L'.');
    EXPECT_GT(text.back(), L' ');
    EXPECT_EQ(text.find_first_of(L"\r\n\t"), tstring::npos);
}

TEST(MessageText, ComErrorsShowTheWholeHresultAndTheWin32Description) {
    EXPECT_EQ(describeComError(static_cast<long>(0x80070005)),
              L"COM error 0x80070005 (" + lookupMessageText(5, nullptr) + L")");
    EXPECT_EQ(describeComError(static_cast<long>(0x80004005)),
              L"COM error 0x80004005 (" + lookupMessageText(0x80004005, nullptr) + L")");
    EXPECT_NE(lookupMessageText(0x80004005, nullptr), lookupMessageText(0x4005, nullptr));
}

#else
// Linux describes error numbers with the C library's texts; there are no message tables.
TEST(SysError, FailedCallCarriesErrnoAndTheCLibrarysDescription) {
    try {
        LD_THROW_LAST_ERROR_IF((errno = ENOENT) != 0, ::open, "open(no such file) failed");
        FAIL() << "nothing thrown";
    } catch (const SysError& e) {
        EXPECT_STREQ(dynamic_cast<const LdErrorBase&>(e).rawMessage(),
                     "open(no such file) failed. System error [2](system error 2 (No such file or directory))");
    }
    EXPECT_EQ(lookupMessageText(0x2FFFFFFF, nullptr).substr(0, 13), L"Unknown error");
    EXPECT_TRUE(makeMessage("m:", nullptr, nullptr, 2).starts_with("m: Some error [2](system error 2 ("));
}
#endif

TEST(JoinMessages, PunctuationAndWhiteSpaceRules) {
    struct Case {
        const char* first;
        const char* second;
        const char* joined;
    } cases[] = {
        {"Open failed", "System error", "Open failed. System error"},
        {"Reason:", "System error", "Reason: System error"},
        {"Done;", " x ", "Done; x"},
        {"Stop.", "x", "Stop. x"},
        {"a,", "x", "a, x"},
        {"Why?", "x", "Why? x"},
        {"Wow!", "x", "Wow! x"},
        {"  lead  \t\n", "   ", "  lead"},
        {"", "  second  ", "second"},
        {" \t ", "  second  ", "second"},
        {"Reason:   ", "  next", "Reason: next"},
        {"", "", ""},
        {"first", "", "first"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(joinMessages(c.first, c.second), c.joined) << "[" << c.first << "] + [" << c.second << "]";
    }
}

TEST(Reporters, LogCaughtExceptionAndUnknownAtError) {
    CapturingLogAppender log;
    logCaughtException(SourceLocation("C:\\src\\app.cpp", "app::launch", 42),
                       std::runtime_error("C:\\Users\\J\xc3\xa9r\xc3\xb4me: denied"));
    logCaughtUnknown(SourceLocation("/src/app.cpp", "app::launch", 43));
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[0].logLevel, L"ERROR");
    EXPECT_EQ(log.events[0].fileName, L"app.cpp");
    EXPECT_EQ(log.events[0].funcName, L"app::launch");
    EXPECT_EQ(log.events[0].lineNum, 42);
    EXPECT_EQ(log.events[0].message, L"Exception with message 'C:\\Users\\J\u00e9r\u00f4me: denied' caught");
    EXPECT_EQ(log.events[1].message, L"Unknown exception caught");
    EXPECT_EQ(log.events[1].lineNum, 43);
}

TEST(Reporters, LogEvenWhenErrorIsDisabled) {
    CapturingLogAppender log;
    Logger::global().setMinLevel(static_cast<LogLevel>(4));
    logCaughtUnknown(SourceLocation("a.cpp", "f", 1));
    Logger::global().setMinLevel(LogLevel::TRACE);
    EXPECT_EQ(log.events.size(), 1u);
}

TEST(CrtErrorText, DescribesErrno) {
    errno = ENOENT;
    EXPECT_EQ(crtErrorText(), "No such file or directory");
}
