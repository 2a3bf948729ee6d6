// Host paths on Linux (HostPathsPosix.cpp, and the library's LinuxFileUtils.cpp under it):
// absolute paths as the user's shell means them, made directories as they were made, and
// names from a package's tables found on disk without regard to case, as Windows would find
// them (FilesBelow, InputFilePosix.cpp); two entries that differ only in case are refused rather
// than one picked, and no link below the package's folder is followed unless asked. Windows finds
// such names itself, so the Windows build has no counterpart of these cases.
#include "HostPaths.h"
#include "InputFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "FileUtils.h"
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
                                 L"\u0391\u03b8\u03ae\u03bd\u03b1"}) {
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
    };
    FilesBelow below(root, false);
    for (const auto& [name, found] : cases) {
        EXPECT_EQ(below.open(name).path(), root + L"/" + found) << utf8(name);
    }
    // Missing components are kept as written, and so is all below them.
    const std::vector<std::pair<tstring, tstring>> missing = {
        {L"missing.cab", L"missing.cab"},
        // Letters that only look alike are other names: e is not é.
        {L"ete\\resume.txt", L"ete/resume.txt"},
        {L"Loose Source\\Missing\\Data.TXT", L"Loose Source/Missing/Data.TXT"},
        {L"loose source\\data\\missing.TXT", L"Loose Source/Data/missing.TXT"},
    };
    for (const auto& [name, path] : missing) {
        try {
            below.open(name);
            ADD_FAILURE() << utf8(name) << " was found";
        } catch (const InputFileError& e) {
            EXPECT_TRUE(e.missing()) << e.what();
            EXPECT_EQ(e.path(), root + L"/" + path);
        }
    }
    EXPECT_EQ(host::joinRelative(root, L"a\\b/c.txt"), root + L"/a/b/c.txt");
}

TEST(HostPaths, NamesThatAreTwoFilesForWindowsAreRefused) {
    ScratchDirectory scratch;
    const tstring root = scratch.path();
    for (const wchar_t* entry : {L"Dir/a.cab", L"DIR/a.cab", L"Data/r\u00e9sum\u00e9.txt", L"Data/R\u00c9SUM\u00c9.TXT",
                                 L"Data/plain.txt", L"exact.cab", L"EXACT.CAB"}) {
        make(root, entry);
    }
    // Ambiguous whether or not one of the entries is spelled as asked: Windows would take either.
    const std::vector<std::pair<tstring, tstring>> refusals = {
        {L"dir\\a.cab", L"'dir' in " + root},
        {L"Dir\\a.cab", L"'Dir' in " + root},
        {L"data\\R\u00e9sum\u00e9.TXT", L"'R\u00e9sum\u00e9.TXT' in " + root + L"/Data"},
        {L"exact.cab", L"'exact.cab' in " + root},
    };
    FilesBelow below(root, false);
    for (const auto& [name, start] : refusals) {
        const tstring& asked = name;  // a lambda captures no structured binding before clang 16
        const std::string message = rawMessageOf<LdError<host::AmbiguousName>>([&] { below.open(asked); });
        EXPECT_EQ(message.substr(0, message.find(':')),
                  utf8(start) + " is more than one file for Windows, which does not tell case apart");
        // Both entries named, whichever order the directory lists them in.
        const tstring_array both = name.starts_with(L"data")
                                       ? tstring_array{L"'r\u00e9sum\u00e9.txt'", L"'R\u00c9SUM\u00c9.TXT'"}
                                   : name.starts_with(L"exact") ? tstring_array{L"'exact.cab'", L"'EXACT.CAB'"}
                                                                : tstring_array{L"'Dir'", L"'DIR'"};
        for (const tstring& entry : both) {
            EXPECT_NE(message.find(utf8(entry)), std::string::npos) << message;
        }
    }
    EXPECT_EQ(below.open(L"DATA\\PLAIN.TXT").path(), root + L"/Data/plain.txt");
}

// Below the package's folder no link is followed, to a file or a folder, absolute or relative,
// on the way or at the end; the folder itself may be a link. --follow-links follows them.
TEST(HostPaths, LinksBelowThePackagesFolderAreNotFollowed) {
    ScratchDirectory scratch;
    const tstring root = scratch / L"package";
    make(root, L"real/file.txt");
    make(scratch.path(), L"outside/secret.txt");
    namespace fs = std::filesystem;
    fs::create_symlink(fsPath(scratch / L"outside/secret.txt"), fsPath(root + L"/absolute.txt"));
    fs::create_symlink("real/file.txt", fsPath(root + L"/relative.txt"));
    fs::create_directory_symlink(fsPath(scratch / L"outside"), fsPath(root + L"/folder"));
    fs::create_directory_symlink("real", fsPath(root + L"/near"));
    fs::create_directory_symlink(fsPath(root), fsPath(scratch / L"through"));
    // name asked for, the link met on the way
    const std::vector<std::pair<tstring, tstring>> links = {
        {L"absolute.txt", L"absolute.txt"},
        {L"Relative.TXT", L"relative.txt"},
        {L"folder\\secret.txt", L"folder"},
        {L"NEAR\\file.txt", L"near"},
    };
    FilesBelow strict(root, false);
    FilesBelow following(root, true);
    for (const auto& [name, link] : links) {
        try {
            strict.open(name);
            ADD_FAILURE() << utf8(name) << " was opened through a link";
        } catch (const InputFileError& e) {
            EXPECT_TRUE(e.link()) << e.what();
            EXPECT_EQ(std::string(dynamic_cast<const LdErrorBase&>(e).rawMessage()),
                      utf8(root + L"/" + link + L" is a link"));
        }
        EXPECT_GT(following.open(name).size(), 0u) << utf8(name);
    }
    EXPECT_EQ(FilesBelow(scratch / L"through", false).open(L"real\\file.txt").size(), 13u);
}

TEST(HostPaths, MadeDirectoriesAreReportedAndRemovable) {
    ScratchDirectory scratch;
    const tstring base = scratch / L"out";
    tstring_array made;
    FileUtils::createDirectory(base + L"/a/\u00e9", &made);
    EXPECT_EQ(made, (tstring_array{base, base + L"/a", base + L"/a/\u00e9"}));
    EXPECT_TRUE(host::isDirectory(base + L"/a/\u00e9"));
    tstring_array again;
    FileUtils::createDirectory(base + L"/a", &again);
    EXPECT_TRUE(again.empty());
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        host::removeEmptyDirectory(*it);
    }
    EXPECT_FALSE(host::exists(base));
}
