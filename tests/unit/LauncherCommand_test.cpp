// The launcher's command line, read once: split as CommandLineToArgvW splits it (under Wine the
// table is also held against the real call), and the action with its operands and the text that
// goes to msiexec as typed.
#include "LauncherCommand.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#ifdef _WIN32
#include <shellapi.h>  // after TestSupport.h, which brings windows.h
#endif

using launcher::LauncherAction;

namespace {

struct SplitCase {
    tstring text;
    tstring_array arguments;
};

const std::vector<SplitCase>& splitCases() {
    static const std::vector<SplitCase> cases = {
        {L"", {}},
        {L"/qn", {L"/qn"}},
        {L"a  b\t\tc", {L"a", L"b", L"c"}},
        {L"PROP=\"a b\" /qn", {L"PROP=a b", L"/qn"}},
        {L"\"a b\"c d", {L"a bc", L"d"}},
        {L"\"\" x", {L"", L"x"}},
        {L"a\\\\b c\\d", {L"a\\\\b", L"c\\d"}},        // backslashes before no quote stay
        {L"a\\\"b", {L"a\"b"}},                        // 1 backslash: a literal quote
        {L"a\\\\\"b c\"", {L"a\\b c"}},                // 2n: n, and the quote opens
        {L"a\\\\\\\"b", {L"a\\\"b"}},                  // 2n+1: n and a literal quote
        {L"\"C:\\Dir\\\\\" x", {L"C:\\Dir\\", L"x"}},  // a path ending in a backslash
        {L"\"a\"\"b\" c", {L"a\"b c"}},                // "" inside quotes: a literal quote, and the quoted part ends
        {L"\"a\"\"\"b\" c", {L"a\"b", L"c"}},
        {L"\"a\tb\"\t\"c\"", {L"a\tb", L"c"}},
        {L"x\"y z\"w", {L"xy zw"}},
        {L"\"\"\"", {L"\""}},
        {L"\u00e9\u6771 \"\u4eac x\"", {L"\u00e9\u6771", L"\u4eac x"}},
    };
    return cases;
}

}  // namespace

TEST(LauncherCommand, SplitsAsTheSystemDoes) {
    for (const SplitCase& c : splitCases()) {
        EXPECT_EQ(launcher::splitCommandArguments(c.text), c.arguments) << utf8(c.text);
#ifdef _WIN32
        // The system's own splitter, given a program name first.
        const tstring commandLine = L"setup.exe " + c.text;
        int count = 0;
        LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &count);
        ASSERT_NE(argv, nullptr);
        const tstring_array system(argv + 1, argv + count);
        LocalFree(argv);
        EXPECT_EQ(launcher::splitCommandArguments(c.text), system) << "as CommandLineToArgvW: " << utf8(c.text);
#endif
    }
}

TEST(LauncherCommand, FindsTheActionItsOperandsAndTheInstallersText) {
    struct Case {
        tstring text;
        LauncherAction action;
        tstring_array operands;
        tstring installerText;
    };
    const std::vector<Case> cases = {
        {L"", LauncherAction::Install, {}, L""},
        {L"/qn  PROP=\"a b\"", LauncherAction::Install, {}, L"/qn  PROP=\"a b\""},
        {L"uninstall", LauncherAction::Uninstall, {}, L""},
        {L"/qn REBOOT=ReallySuppress uninstall", LauncherAction::Uninstall, {}, L""},
        {L"extract uninstall", LauncherAction::Uninstall, {}, L""},
        {L"repair /qn uninstall", LauncherAction::Uninstall, {}, L""},
        {L"\"uninstall\"", LauncherAction::Uninstall, {}, L""},  // the whole argument, once split
        {L"Uninstall /qn", LauncherAction::Install, {}, L"Uninstall /qn"},
        {L"/uninstall", LauncherAction::Install, {}, L"/uninstall"},
        {L"PROP=uninstall", LauncherAction::Install, {}, L"PROP=uninstall"},
        {L"extract \"C:\\Out Dir\"", LauncherAction::Extract, {L"C:\\Out Dir"}, L""},
        {L"extract", LauncherAction::Extract, {}, L""},
        {L"extract a b", LauncherAction::Extract, {L"a", L"b"}, L""},
        {L"extracted x", LauncherAction::Install, {}, L"extracted x"},
        {L"\"extract\" x", LauncherAction::Install, {}, L"\"extract\" x"},  // a verb is typed bare
        {L"repair", LauncherAction::Repair, {}, L""},
        {L"repair \t/qn  PROP=\"a b\" ", LauncherAction::Repair, {L"/qn", L"PROP=a b"}, L"/qn  PROP=\"a b\""},
        {L"/?", LauncherAction::Help, {}, L""},
        {L"-?", LauncherAction::Help, {}, L""},
        {L"/help x", LauncherAction::Help, {L"x"}, L""},
        {L"--help", LauncherAction::Help, {}, L""},
        {L"/qn repair", LauncherAction::Install, {}, L"/qn repair"},
    };
    for (const Case& c : cases) {
        const launcher::LauncherCommand command = launcher::parseLauncherCommand(c.text);
        EXPECT_EQ(command.action, c.action) << utf8(c.text);
        EXPECT_EQ(command.operands, c.operands) << utf8(c.text);
        EXPECT_EQ(command.installerText, c.installerText) << utf8(c.text);
        EXPECT_EQ(command.arguments, launcher::splitCommandArguments(c.text)) << utf8(c.text);
    }
}

TEST(LauncherCommand, ReadsTheUserInterfaceAskedForFromOptionsOnly) {
    using launcher::UserInterface;
    const std::vector<std::pair<tstring, UserInterface>> cases = {
        {L"", UserInterface::Full},
        {L"/qb /qr /qf PROP=1", UserInterface::Full},
        {L"DIR=/qn", UserInterface::Full},              // a property's value is no option
        {L"\"NOTE=x /quiet\"", UserInterface::Full},
        {L"/qn", UserInterface::None},
        {L"-QN", UserInterface::None},
        {L"/qn+ /l*v x.log", UserInterface::None},
        {L"/Quiet", UserInterface::None},
        {L"/q", UserInterface::None},
        {L"/passive", UserInterface::WithoutCancel},
        {L"/qb!", UserInterface::WithoutCancel},
        {L"-QB-!", UserInterface::WithoutCancel},
        {L"/qb+!", UserInterface::WithoutCancel},
        {L"/passive /qn", UserInterface::None},
        {L"/qb-", UserInterface::Full},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(launcher::requestedUserInterface(launcher::splitCommandArguments(text)), expected) << utf8(text);
    }
}
