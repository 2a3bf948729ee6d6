#include "MsiLogSwitch.h"

#include <gtest/gtest.h>

#include <msi.h>

#include "TestSupport.h"

namespace {

constexpr DWORD kDefaultModes = INSTALLLOGMODE_INFO | INSTALLLOGMODE_WARNING | INSTALLLOGMODE_ERROR |
                                INSTALLLOGMODE_ACTIONSTART | INSTALLLOGMODE_ACTIONDATA | INSTALLLOGMODE_FATALEXIT |
                                INSTALLLOGMODE_OUTOFDISKSPACE;
constexpr DWORD kAllButVerbose =
    kDefaultModes | INSTALLLOGMODE_USER | INSTALLLOGMODE_COMMONDATA | INSTALLLOGMODE_PROPERTYDUMP;

}  // namespace

TEST(MsiLogSwitch, ReadsTheModesAndFileOfTheLastSwitchAsMsiexecDoes) {
    struct Case {
        tstring_array args;
        tstring path;  // empty: no switch found
        DWORD mode;
        DWORD attributes;
    };
    wchar_t currentDirectory[MAX_PATH] = {};
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, currentDirectory), 0u);
    const tstring cwd = currentDirectory;
    const std::vector<Case> cases = {
        {{}, L"", 0, 0},
        {{L"/qn", L"uninstall", L"l*v", L"C:\\x.log"}, L"", 0, 0},
        {{L"uninstall", L"/l*v", L"C:\\logs dir\\remove.log"},
         L"C:\\logs dir\\remove.log",
         kAllButVerbose | INSTALLLOGMODE_VERBOSE,
         0},
        {{L"/log", L"remove.log"}, cwd + L"\\remove.log", kAllButVerbose, 0},
        {{L"-Liwe", L"C:\\a.log"},
         L"C:\\a.log",
         INSTALLLOGMODE_INFO | INSTALLLOGMODE_WARNING | INSTALLLOGMODE_ERROR,
         0},
        {{L"/L", L"C:\\a.log"}, L"C:\\a.log", kDefaultModes, 0},
        {{L"/l+!", L"C:\\a.log"},
         L"C:\\a.log",
         kDefaultModes,
         INSTALLLOGATTRIBUTES_APPEND | INSTALLLOGATTRIBUTES_FLUSHEACHLINE},
        {{L"/L*VX", L"C:\\a.log"},
         L"C:\\a.log",
         kAllButVerbose | INSTALLLOGMODE_VERBOSE | INSTALLLOGMODE_EXTRADEBUG,
         0},
        {{L"/l*v", L"C:\\first.log", L"/qn", L"/lpu", L"C:\\second.log"},
         L"C:\\second.log",
         INSTALLLOGMODE_PROPERTYDUMP | INSTALLLOGMODE_USER,
         0},
    };
    for (const Case& c : cases) {
        const std::optional<msi::LogSwitch> found = msi::findLogSwitch(c.args);
        const std::string label = tstrings::toUtf8(c.args.empty() ? L"(none)" : c.args[0]);
        ASSERT_EQ(found.has_value(), !c.path.empty()) << label;
        if (found) {
            EXPECT_EQ(found->path, c.path) << label;
            EXPECT_EQ(found->mode, c.mode) << label;
            EXPECT_EQ(found->attributes, c.attributes) << label;
        }
    }
}

TEST(MsiLogSwitch, ASwitchWithoutAFileOrWithAnUnknownLetterIsAnError) {
    const auto error = [](const tstring_array& args) { return rawMessageOf([&] { msi::findLogSwitch(args); }); };
    EXPECT_EQ(error({L"uninstall", L"/l*v"}), "The logging switch /l*v needs a log file after it");
    EXPECT_EQ(error({L"/log", L""}), "The logging switch /log needs a log file after it");
    EXPECT_EQ(error({L"/lz", L"C:\\a.log"}), "Unknown logging mode 'z' in /lz");
    // Whether there is a switch at all is answered for every one of them, without an error: an
    // installation passes them on to msiexec, which answers them itself.
    for (const tstring_array& args : {tstring_array{L"uninstall", L"/l*v"}, tstring_array{L"/log", L""},
                                      tstring_array{L"/lz", L"C:\\a.log"}, tstring_array{L"-L*V"}}) {
        EXPECT_TRUE(msi::hasLogSwitch(args)) << utf8(args.front());
    }
    EXPECT_FALSE(msi::hasLogSwitch({L"/qn", L"LOG=/l*v", L"l*v"}));
}
