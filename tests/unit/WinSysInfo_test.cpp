#include "WinSysInfo.h"

#include <gtest/gtest.h>

#include "ErrorHandling.h"
#include "TestSupport.h"
#include "WinFileUtils.h"

namespace fs = std::filesystem;

namespace {

const tstring kVariable = L"LODESTAR_FILES_TEST_VARIABLE";

void unsetVariable(const tstring& name) {
    SetEnvironmentVariableW(name.c_str(), nullptr);
}

// Runs files_child from a directory whose name has spaces, accents, Greek and CJK.
class ChildProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(fs::path(scratch / L"bin dir"));
        fs::copy_file(besideTestProgram(L"files_child.exe"), child);
    }

    // The child's report for `rawCommandLine`, or a failure text.
    tstring run(const tstring& mode, const tstring& program, const tstring& rawCommandLine) {
        const ScopedEnv childMode(L"FILES_CHILD_MODE", mode);
        std::error_code ignored;
        fs::remove(fs::path(report), ignored);
        const ChildResult result = runChild(program, rawCommandLine);
        if (!result.started) {
            return L"not started, error " + std::to_wstring(result.startError);
        }
        if (result.exitCode != 0) {
            return L"exit code " + std::to_wstring(result.exitCode);
        }
        return readUtf16File(report);
    }

    ScratchDirectory scratch;
    const tstring child = scratch / L"bin dir\\files_child.exe";
    const tstring report = scratch / L"report.txt";
    const ScopedEnv childOutput{L"FILES_CHILD_OUTPUT", report};
};

tstring formatList(const tstring_array& items) {
    tstring text = L"[";
    for (const tstring& item : items) {
        text += L"<" + item + L">";
    }
    return text + L"]\n";
}

}  // namespace

TEST_F(ChildProcessTest, CommandArgsAreThePlatformsSplittingOfTheRawCommandLine) {
    struct Case {
        tstring tail;  // after the quoted program path
        tstring_array expected;
    };
    const std::vector<Case> cases = {
        {L"", {}},
        {L"   ", {}},
        {L" \"two words\" plain", {L"two words", L"plain"}},
        {L" \"\" x \"\"", {L"", L"x", L""}},
        {L" a\tb", {L"a", L"b"}},
        {L" a\\b c\\\\", {L"a\\b", L"c\\\\"}},          // backslashes before no quote stay
        {L" a\\\\\\\"b", {L"a\\\"b"}},                  // 3 backslashes + quote: one backslash, a quote
        {L" a\\\\\\\\\"b c\"", {L"a\\\\b c"}},          // 4 backslashes + quote: two backslashes, quoting
        {L" \"C:\\dir\\\" next", {L"C:\\dir\" next"}},  // the backslash escapes the closing quote
        {L" /i \"C:\\Users\\" + kNonAsciiName + L"\\main.msi\" REBOOT=ReallySuppress",
         {L"/i", L"C:\\Users\\" + kNonAsciiName + L"\\main.msi", L"REBOOT=ReallySuppress"}},
    };
    for (const Case& c : cases) {
        tstring_array withProgram = {child};
        withProgram.insert(withProgram.end(), c.expected.begin(), c.expected.end());
        // The arguments' text is the tail itself, only the blanks after the program name gone.
        const tstring text = c.tail.substr(std::min(c.tail.find_first_not_of(L" \t"), c.tail.size()));
        EXPECT_EQ(run(L"args", child, L"\"" + child + L"\"" + c.tail),
                  formatList(withProgram) + formatList(c.expected) + L"<" + text + L">\n")
            << "command line tail: " << tstrings::toUtf8(c.tail);
    }
}

TEST_F(ChildProcessTest, ProgramNameIsTakenUpToTheFirstBlankWhenUnquoted) {
    // The program token follows its own rule: no escapes, ends at the first blank.
    const tstring shortName = L"files_child.exe";
    EXPECT_EQ(run(L"args", child, shortName + L"\t x\\\"y"),
              formatList({shortName, L"x\"y"}) + formatList({L"x\"y"}) + L"<x\\\"y>\n");
    // A quoted name ends at its closing quote, blank or not.
    const tstring quotedName = run(L"args", child, L"\"" + child + L"\"x \"y\"");
    EXPECT_EQ(quotedName.substr(quotedName.rfind(L'<')), L"<x \"y\">\n");
}

TEST_F(ChildProcessTest, ModulePathsNameTheExecutableWhereverItLives) {
    EXPECT_EQ(run(L"modules", child, L"files_child"), child + L"\n" + child + L"\n");
}

TEST(CommandArgs, ThisProcessListsItsProgramFirstUnlessExcluded) {
    const tstring_array all = SysInfo::getCommandArgs(SysInfo::IncludeProgramName);
    const tstring_array rest = SysInfo::getCommandArgs(SysInfo::ExcludeProgramName);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(tstring_array(all.begin() + 1, all.end()), rest);
    // Only the value 1 excludes.
    EXPECT_EQ(SysInfo::getCommandArgs(static_cast<SysInfo::ProgramNameMode>(7)), all);
}

TEST(Environment, ValuesOfEveryLengthReadBackWhole) {
    for (const size_t length : std::initializer_list<size_t>{0, 1, 9, 10, 11, 4000, 32766}) {
        tstring value;
        for (size_t i = 0; i < length; ++i) {
            value += kNonAsciiName[i % kNonAsciiName.size()];
        }
        SysInfo::setEnvVariable(kVariable, value);
        EXPECT_TRUE(SysInfo::isEnvVariableSet(kVariable)) << length;
        EXPECT_EQ(SysInfo::getEnvVariable(kVariable), value) << length;
        EXPECT_EQ(SysInfo::getEnvVariable(std::nothrow, kVariable, L"default"), value) << length;
    }
    unsetVariable(kVariable);
}

TEST(Environment, UnsetVariableIsReportedOrDefaulted) {
    unsetVariable(kVariable);
    EXPECT_FALSE(SysInfo::isEnvVariableSet(kVariable));
    EXPECT_EQ(SysInfo::getEnvVariable(std::nothrow, kVariable, L"fallback \u6771"), L"fallback \u6771");
    try {
        SysInfo::getEnvVariable(kVariable);
        FAIL() << "an unset variable was read";
    } catch (const LdError<SysError>& e) {
        EXPECT_TRUE(std::string(e.rawMessage())
                        .starts_with("GetEnvironmentVariable(" + tstrings::toUtf8(kVariable) +
                                     ") failed. Variable not set. System error [203]"))
            << e.rawMessage();
        EXPECT_NE(std::string(e.what()).find("SysInfo::`anonymous-namespace'::getEnvVariableImpl(): "),
                  std::string::npos)
            << e.what();
    }
}

TEST(Environment, SetEnvVariableNamesTheCallOnFailure) {
    try {
        SysInfo::setEnvVariable(L"A=B", L"v\u00e9");
        FAIL() << "a name with '=' was accepted";
    } catch (const LdError<SysError>& e) {
        EXPECT_TRUE(
            std::string(e.rawMessage()).starts_with("SetEnvironmentVariable(A=B, v\xc3\xa9) failed. System error ["))
            << e.rawMessage();
        EXPECT_NE(std::string(e.what()).find("SysInfo::setEnvVariable(): "), std::string::npos) << e.what();
    }
    EXPECT_FALSE(SysInfo::isEnvVariableSet(L"A=B"));
}

TEST(SystemPaths, SystemDirectoryAndInstallerProgram) {
    const tstring systemDirectory = SysInfo::getSystemDirectory();
    ASSERT_FALSE(systemDirectory.empty());
    EXPECT_FALSE(FileUtils::isDirSeparator(systemDirectory.back()));
    EXPECT_TRUE(fs::is_directory(fs::path(systemDirectory)));
    EXPECT_TRUE(tstrings::endsWith(systemDirectory, L"\\system32", tstrings::IgnoreCase));

    const tstring installer = SysInfo::getWIPath();
    EXPECT_EQ(installer, systemDirectory + L"\\msiexec.exe");
    EXPECT_TRUE(fs::is_regular_file(fs::path(installer)));
}

TEST(ModulePaths, TheExecutableHoldsTheLibrary) {
    EXPECT_EQ(SysInfo::getCurrentModuleHandle(), GetModuleHandleW(nullptr));
    EXPECT_EQ(SysInfo::getCurrentModulePath(), modulePath());
    EXPECT_EQ(SysInfo::getProcessModulePath(), modulePath());
}
