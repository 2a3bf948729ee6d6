#include "FileUtils.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <direct.h>
#endif

#include "ErrorHandling.h"
#include "TestSupport.h"
#ifdef _WIN32
#include "WinFileUtils.h"
#endif

using namespace FileUtils;

namespace {

struct Case {
    tstring input;
    tstring expected;
};

void expectEach(tstring (*operation)(const tstring&), const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(operation(c.input), c.expected) << "input: " << tstrings::toUtf8(c.input);
    }
}

}  // namespace

TEST(PathText, SeparatorsAreBackslashAndSlashOnly) {
    EXPECT_TRUE(isDirSeparator(L'\\'));
    EXPECT_TRUE(isDirSeparator(L'/'));
    EXPECT_FALSE(isDirSeparator(L':'));
    EXPECT_FALSE(isDirSeparator(L'\u00a5'));  // the yen sign some code pages show for a backslash
}

TEST(PathText, DirnameNeverEndsWithASeparator) {
    expectEach(dirname, {
                            {L"C:\\a\\b", L"C:\\a"},
                            {L"C:\\a", L"C:"},
                            {L"C:", L""},
                            {L"C:\\a\\b\\", L"C:\\a\\b"},
                            {L"a\\\\\\b", L"a"},
                            {L"name", L""},
                            {L"\\name", L""},
                            {L"\\\\\\name", L""},
                            {L"C:\\a\\.", L"C:"},
                            {L"C:/a/.", L"C:"},
                            {L"\\.", L""},
                            {L"C:/x y/" + kNonAsciiName + L"/f.msi", L"C:/x y/" + kNonAsciiName},
                            {L"", L""},
                        });
}

TEST(PathText, BasenameIsTheTextAfterTheLastSeparator) {
    expectEach(basename, {
                             {L"C:\\a\\b.txt", L"b.txt"},
                             {L"C:/a/" + kNonAsciiName, kNonAsciiName},
                             {L"C:\\a\\", L""},
                             {L"name", L"name"},
                             {L"", L""},
                         });
}

TEST(PathText, SuffixBelongsToTheLastComponentOnly) {
    expectEach(suffix, {
                           {L"a.b.c", L".c"},
                           {L"name.", L"."},
                           {L".profile", L".profile"},
                           {L"dir.x\\file", L""},
                           {L"dir.x/file", L""},
                           {L"C:\\my.dir\\file", L""},
                           {L"..", L""},
                           {L"a\\..", L""},
                           {L"a/..", L""},
                           {L"x..", L"."},
                           {L"README", L""},
                           {L"C:\\" + kNonAsciiName + L"\\\u6587\u4ef6.\u03c4\u03be\u03c4", L".\u03c4\u03be\u03c4"},
                           {L"", L""},
                       });
}

TEST(PathText, ReplaceSuffixSwapsOrAppends) {
    EXPECT_EQ(replaceSuffix(L"report.txt", L".log"), L"report.log");
    EXPECT_EQ(replaceSuffix(L"README", L".txt"), L"README.txt");
    EXPECT_EQ(replaceSuffix(L"C:\\d\\report.txt"), L"C:\\d\\report");
    EXPECT_EQ(replaceSuffix(L"C:\\my.dir\\file", L".x"), L"C:\\my.dir\\file.x");
    EXPECT_EQ(replaceSuffix(L"a\\..", L".x"), L"a\\...x");
}

// stripSuffix and the absolute paths are the Windows file utilities'.
#ifdef _WIN32
TEST(PathText, StripSuffixTreatsEveryLastDotAsTheSuffix) {
    expectEach(stripSuffix, {
                                {L"C:\\d\\report.txt", L"C:\\d\\report"},
                                {L"a.b.c", L"a.b"},
                                {L".profile", L""},
                                {L"a\\..", L"a\\."},
                                {L"C:\\my.dir\\file", L"C:\\my.dir\\file"},
                                {L"C:/my.dir/file", L"C:/my.dir/file"},
                                {L"README", L"README"},
                            });
}

#endif

TEST(PathText, CombinePathWritesOneBackslashBetweenParts) {
    EXPECT_EQ(combinePath(L"C:\\dir\\", L"file"), L"C:\\dir\\file");
    EXPECT_EQ(combinePath(L"C:\\dir", L"\\file"), L"C:\\dir\\file");
    EXPECT_EQ(combinePath(L"C:/dir//", L"/file"), L"C:/dir\\file");
    EXPECT_EQ(combinePath(L"C:\\dir", L"\\\\file"), L"C:\\dir\\\\file");
    EXPECT_EQ(combinePath(L"", L"file"), L"file");
    EXPECT_EQ(combinePath(L"", L"\\file"), L"\\file");
    EXPECT_EQ(combinePath(L"C:\\dir\\", L""), L"C:\\dir\\");
    EXPECT_EQ(combinePath(L"\\\\\\", L"a"), L"\\a");
    EXPECT_EQ(combinePath(L"C:\\Users\\" + kNonAsciiName, L"My Files"), L"C:\\Users\\" + kNonAsciiName + L"\\My Files");
}

TEST(PathText, RemoveTrailingSeparatorsStripsTheWholeRun) {
    expectEach(removeTrailingSeparators, {
                                             {L"C:\\dir\\\\/", L"C:\\dir"},
                                             {L"C:\\", L"C:"},
                                             {L"\\\\\\", L""},
                                             {L"/", L""},
                                             {L"C:\\dir", L"C:\\dir"},
                                             {L"", L""},
                                         });
}

TEST(PathText, NormalizePathLowersAsciiAndUsesBackslashes) {
    EXPECT_EQ(normalizePath(L"C:/Temp/A"), L"c:\\temp\\a");
    // Only A-Z change: other scripts keep their case.
    EXPECT_EQ(normalizePath(L"C:/\u00c9T\u00c9/\u0391"), L"c:\\\u00c9t\u00c9\\\u0391");
}

TEST(PathBuilder, JoinsEveryComponentWithCombinePath) {
    const tstring package = PathBuilder() << L"C:\\Temp\\123.tmp" << L"main.msi";
    EXPECT_EQ(package, L"C:\\Temp\\123.tmp\\main.msi");

    EXPECT_EQ(tstring(PathBuilder()), L"");
    EXPECT_EQ(tstring(PathBuilder() << L"\\lead"), L"\\lead");  // the first component is taken unchanged
    EXPECT_EQ((PathBuilder() << L"C:\\" << L"\\a\\" << L"" << L"b").str(), L"C:\\a\\b");
}

#ifdef _WIN32
TEST(AbsolutePath, EmptyPathIsTheCurrentDirectory) {
    wchar_t* current = _wgetcwd(nullptr, 0);
    ASSERT_NE(current, nullptr);
    const tstring expected(current);
    free(current);
    EXPECT_EQ(toAbsolutePath(L""), expected);
    EXPECT_EQ(toAbsolutePath(L"some name"), combinePath(expected, L"some name"));
}

TEST(AbsolutePath, ResolvesDotsWithoutTouchingTheFileSystem) {
    EXPECT_EQ(toAbsolutePath(L"C:\\no such dir\\x\\..\\.\\" + kNonAsciiName + L".msi"),
              L"C:\\no such dir\\" + kNonAsciiName + L".msi");
    EXPECT_EQ(toAbsolutePath(L"C:/a/b/../c"), L"C:\\a\\c");
}

TEST(AbsolutePath, PathsLongerThanMaxPathComeBackWhole) {
    tstring deep = L"C:\\";
    while (deep.size() <= 600) {
        deep += kNonAsciiName + L"\\";
    }
    deep += L"main.msi";
    EXPECT_EQ(toAbsolutePath(deep), deep);
    EXPECT_EQ(toAbsolutePath(deep + L"\\..\\x"), deep.substr(0, deep.size() - 8) + L"x");
}
#endif
