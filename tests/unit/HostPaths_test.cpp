// Host paths on Linux (HostPathsPosix.cpp): absolute paths as the user's shell means them, and
// names from a package's tables found on disk without regard to case, as Windows would find
// them; two entries that differ only in case are refused rather than one picked. Windows finds
// such names itself, so the Windows build has no counterpart of these cases.
#include "HostPaths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"

namespace {

// Makes `relative` (with '/') below `root`: a directory when it ends in '/', else a file holding
// its own name.
void make(const tstring& root, const tstring& relative) {
    const std::filesystem::path path = fsPath(root) / fsPath(relative);
    if (relative.ends_with(L'/')) {
        std::filesystem::create_directories(path);
    } else {
        std::filesystem::create_directories(path.parent_path());
        writeFile(fromFsPath(path), utf8(relative));
    }
}

class CurrentDirectory {
public:
    explicit CurrentDirectory(const tstring& directory) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(fsPath(directory));
    }
    ~CurrentDirectory() { std::filesystem::current_path(saved_); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::filesystem::path saved_;
};

}  // namespace

TEST(HostPaths, AbsolutePathsAreTheShellsWithDotsResolved) {
    ScratchDirectory scratch;
    const CurrentDirectory here(scratch.path());
    const tstring cwd = fromFsPath(std::filesystem::current_path());
    const tstring parent = cwd.substr(0, cwd.find_last_of(L'/'));
    const std::vector<std::pair<tstring, tstring>> cases = {
        {L"/", L"/"},
        {L"/a/b", L"/a/b"},
        {L"//a///b/", L"/a/b"},
        {L"/a/./b/../c", L"/a/c"},
        {L"/../..", L"/"},
        {L"/a\\b", L"/a\\b"},  // a backslash is a letter of a Linux name
        {L"app.msi", cwd + L"/app.msi"},
        {L"./dist/../app.msi", cwd + L"/app.msi"},
        {L"dist/setup \u00e9.exe", cwd + L"/dist/setup \u00e9.exe"},
        {L"../x.msi", parent + L"/x.msi"},
        {L".", cwd},
        {L"", cwd},
    };
    for (const auto& [path, absolute] : cases) {
        EXPECT_EQ(host::absolutePath(path), absolute) << utf8(path);
    }
    const std::vector<std::pair<tstring, std::pair<tstring, tstring>>> splits = {
        {L"/a/b.msi", {L"/a", L"b.msi"}},
        {L"/b.msi", {L"/", L"b.msi"}},
        {L"b.msi", {L"", L"b.msi"}},
    };
    for (const auto& [path, parts] : splits) {
        EXPECT_EQ(host::parentOf(path), parts.first) << utf8(path);
        EXPECT_EQ(host::fileNameOf(path), parts.second) << utf8(path);
        EXPECT_EQ(host::join(parts.first, parts.second), path) << utf8(path);
    }
}

TEST(HostPaths, TableNamesAreFoundWithoutRegardToCase) {
    ScratchDirectory scratch;
    const tstring root = scratch.path();
    for (const wchar_t* entry : {L"SAMPLE.CAB", L"Loose Source/Data/data.TXT", L"\u00c9t\u00e9/R\u00e9sum\u00e9.txt",
                                 L"\u0391\u03b8\u03ae\u03bd\u03b1/", L"exact.cab", L"EXACT.CAB"}) {
        make(root, entry);
    }
    // name as the package's table spells it, path found below the root
    const std::vector<std::pair<tstring, tstring>> cases = {
        {L"sample.cab", L"SAMPLE.CAB"},
        {L"SAMPLE.CAB", L"SAMPLE.CAB"},
        {L"Sample.Cab", L"SAMPLE.CAB"},
        {L"loose source\\DATA\\Data.txt", L"Loose Source/Data/data.TXT"},
        {L"LOOSE SOURCE/data\\DATA.TXT", L"Loose Source/Data/data.TXT"},
        // Beyond ASCII: é/É, Greek, where upper and lower case are other code points.
        {L"\u00e9t\u00e9\\r\u00e9sum\u00e9.TXT", L"\u00c9t\u00e9/R\u00e9sum\u00e9.txt"},
        {L"\u00c9T\u00c9\\R\u00c9SUM\u00c9.txt", L"\u00c9t\u00e9/R\u00e9sum\u00e9.txt"},
        {L"\u03b1\u03b8\u03ae\u03bd\u03b1", L"\u0391\u03b8\u03ae\u03bd\u03b1"},
        // Letters that only look alike are other names: e is not é, and the name is kept.
        {L"ete\\resume.txt", L"ete/resume.txt"},
        // The exact name wins over another that differs in case.
        {L"exact.cab", L"exact.cab"},
        {L"EXACT.CAB", L"EXACT.CAB"},
        // Missing components are kept as written, and so is all below them.
        {L"missing.cab", L"missing.cab"},
        {L"Loose Source\\Missing\\Data.TXT", L"Loose Source/Missing/Data.TXT"},
        {L"loose source\\data\\missing.TXT", L"Loose Source/Data/missing.TXT"},
    };
    for (const auto& [name, found] : cases) {
        EXPECT_EQ(host::findBelow(root, name), root + L"/" + found) << utf8(name);
    }
    EXPECT_EQ(host::joinRelative(root, L"a\\b/c.txt"), root + L"/a/b/c.txt");
}

TEST(HostPaths, NamesThatAreTwoFilesForWindowsAreRefused) {
    ScratchDirectory scratch;
    const tstring root = scratch.path();
    for (const wchar_t* entry :
         {L"Dir/a.cab", L"DIR/a.cab", L"Data/r\u00e9sum\u00e9.txt", L"Data/R\u00c9SUM\u00c9.TXT", L"Data/plain.txt"}) {
        make(root, entry);
    }
    // Both entries differ from the name asked for; an exact match would be taken (above).
    const std::vector<std::pair<tstring, tstring>> refusals = {
        {L"dir\\a.cab", L"'dir' in " + root + L" is more than one file for Windows, which does not tell case apart:"},
        {L"data\\R\u00e9sum\u00e9.TXT",
         L"'R\u00e9sum\u00e9.TXT' in " + root +
             L"/Data is more than one file for Windows, which does not tell case apart:"},
    };
    for (const auto& [name, start] : refusals) {
        const tstring& asked = name;  // a lambda captures no structured binding before clang 16
        const std::string message = rawMessageOf<LdError<host::AmbiguousName>>([&] { host::findBelow(root, asked); });
        EXPECT_TRUE(message.starts_with(utf8(start))) << message;
        // Both entries named, whichever order the directory lists them in.
        const bool dir = name.starts_with(L"dir");
        for (const tstring& entry : dir ? tstring_array{L"'Dir'", L"'DIR'"}
                                        : tstring_array{L"'r\u00e9sum\u00e9.txt'", L"'R\u00c9SUM\u00c9.TXT'"}) {
            EXPECT_NE(message.find(utf8(entry)), std::string::npos) << message;
        }
    }
    EXPECT_EQ(host::findBelow(root, L"DATA\\PLAIN.TXT"), root + L"/Data/plain.txt");
}

TEST(HostPaths, MadeDirectoriesAreReportedAndRemovable) {
    ScratchDirectory scratch;
    const tstring base = scratch / L"out";
    const tstring_array made = host::makeDirectories(base + L"/a/\u00e9");
    EXPECT_EQ(made, (tstring_array{base, base + L"/a", base + L"/a/\u00e9"}));
    EXPECT_TRUE(host::isDirectory(base + L"/a/\u00e9"));
    EXPECT_TRUE(host::makeDirectories(base + L"/a").empty());
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        host::removeEmptyDirectory(*it);
    }
    EXPECT_FALSE(host::exists(base));
}
