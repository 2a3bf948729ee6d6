// Temporary files and directories, and the staged file writer.
#include <gtest/gtest.h>

#include <regex>

#include "ArgvQuoting.h"
#include "ErrorHandling.h"
#include "TestSupport.h"
#include "WinFileUtils.h"
#include "WinSysInfo.h"

namespace fs = std::filesystem;
using namespace FileUtils;

namespace {

bool isDigits(const tstring& text) {
    return !text.empty() && text.find_first_not_of(L"0123456789") == tstring::npos;
}

// The number in prefix + number + suffix.
DWORD numberIn(const tstring& name, const tstring& prefix, const tstring& suffix) {
    const tstring digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    EXPECT_TRUE(isDigits(digits)) << utf8(name);
    return static_cast<DWORD>(std::stoul(digits));
}

// Reserves the names prefix + n + suffix for n in [first, first + count) as directories.
void takeNames(const tstring& directory, const tstring& prefix, const tstring& suffix, DWORD first, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        fs::create_directory(fs::path(directory + L"\\" + prefix + std::to_wstring(first + i) + suffix));
    }
}

const tstring kPrefix = L"p \u00e9.";
const tstring kSuffix = L".\u6771";

}  // namespace

TEST(TempNames, TheLaunchersWorkingDirectoryIsDigitsThenTmp) {
    ScratchDirectory scratch;
    const tstring dir = createTempDirectory(L"", L".tmp", scratch.path());
    EXPECT_EQ(dirname(dir), scratch.path());
    const tstring name = basename(dir);
    EXPECT_TRUE(tstrings::endsWith(name, L".tmp")) << utf8(name);
    EXPECT_TRUE(isDigits(name.substr(0, name.size() - 4))) << utf8(name);
    EXPECT_TRUE(fs::is_directory(fs::path(dir)));
    EXPECT_TRUE(fs::is_empty(fs::path(dir)));
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{name});

    const tstring file = createTempFile(L"", L".tmp", scratch.path());
    EXPECT_TRUE(std::regex_match(utf8(basename(file)), std::regex("[1-9][0-9]*\\.tmp|0\\.tmp")));
    EXPECT_TRUE(fs::is_regular_file(fs::path(file)));
    EXPECT_EQ(fs::file_size(fs::path(file)), 0u);
}

TEST(TempNames, PrefixesAndSuffixesMayHoldDotsSpacesAndAnyScript) {
    ScratchDirectory scratch;
    const tstring file = createTempFile(kPrefix, kSuffix, scratch.path());
    const tstring name = basename(file);
    EXPECT_TRUE(tstrings::startsWith(name, kPrefix) && tstrings::endsWith(name, kSuffix)) << utf8(name);
    numberIn(name, kPrefix, kSuffix);
    EXPECT_TRUE(fs::is_regular_file(fs::path(file)));
}

TEST(TempNames, ForbiddenCharactersAreRejectedBeforeAnythingIsCreated) {
    ScratchDirectory scratch;
    tstring forbidden;
    for (wchar_t c = 0; c < 0x20; ++c) {
        forbidden.push_back(c);
    }
    forbidden += L"<>:\"|?*/\\";
    ASSERT_EQ(forbidden.size(), 41u);

    for (const wchar_t c : forbidden) {
        const tstring bad = tstring(L"ab") + c + L"c";
        // A NUL shows as \0: an error message is read as a C string, which the NUL would end.
        const std::string shown = c == L'\0' ? std::string("ab\\0c") : utf8(bad);
        const auto expected = [&](const char* label) { return label + shown; };
        EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { createTempFile(bad, L".tmp", scratch.path()); }),
                  expected("Illegal characters in prefix="))
            << static_cast<int>(c);
        EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { createTempFile(L"ok", bad, scratch.path()); }),
                  expected("Illegal characters in suffix="))
            << static_cast<int>(c);
        EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { createTempDirectory(bad, L".tmp", scratch.path()); }),
                  expected("Illegal characters in prefix="))
            << static_cast<int>(c);
    }
    // The prefix is checked first.
    EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { createTempFile(L"a/b", L"c\\d", scratch.path()); }),
              "Illegal characters in prefix=a/b");
    EXPECT_TRUE(listNames(scratch.path()).empty());
}

TEST(TempNames, NoPlaceToCreateMeansOneHundredAttemptsAndAPlainError) {
    ScratchDirectory scratch;
    const tstring missing = scratch / L"missing \u03a9";
    try {
        createTempFile(kPrefix, kSuffix, missing);
        FAIL() << "a file was created in a missing directory";
    } catch (const LdError<std::runtime_error>& e) {
        EXPECT_EQ(std::string(e.rawMessage()),
                  "createTempFile(" + utf8(kPrefix) + ", " + utf8(kSuffix) + ", " + utf8(missing) + ") failed");
        EXPECT_NE(std::string(e.what()).find("FileUtils::createTempFile(): "), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(fs::path(missing)));
}

TEST(TempNames, TakenNamesAreSkippedOneNumberAtATimeForAHundredAttempts) {
    ScratchDirectory scratch;
    const tstring dir = scratch.path();
    takeNames(dir, kPrefix, kSuffix, 5000, 99);
    const auto name = [&](int number) { return dir + L"\\" + kPrefix + std::to_wstring(number) + kSuffix; };
    // 5000 to 5098 are taken: the hundredth attempt gets 5099.
    EXPECT_EQ(detail::createFirstFreeFile(dir, kPrefix, kSuffix, 5000), name(5099));
    // 5000 to 5099 are taken: all 100 attempts fail and 5100 is not tried.
    EXPECT_EQ(detail::createFirstFreeFile(dir, kPrefix, kSuffix, 5000), L"");
    EXPECT_FALSE(fs::exists(fs::path(name(5100))));
    EXPECT_EQ(detail::createFirstFreeFile(dir, kPrefix, kSuffix, 5001), name(5100));
    EXPECT_EQ(listNames(dir).size(), 101u);
}

TEST(TempNames, NumbersWrapAroundAfterTheLargest32BitValue) {
    ScratchDirectory scratch;
    const tstring dir = scratch.path();
    takeNames(dir, L"", L".tmp", 4294967294u, 2);
    EXPECT_EQ(detail::createFirstFreeFile(dir, L"", L".tmp", 4294967294u), dir + L"\\0.tmp");
    EXPECT_EQ(detail::createFirstFreeFile(dir, L"", L".tmp", 4294967295u), dir + L"\\1.tmp");
}

TEST(TempNames, AnEmptyDirectoryMeansTheCurrentOne) {
    ScratchDirectory scratch;
    wchar_t saved[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(scratch.path().c_str()));
    const tstring name = createTempFile(L"bare ", L".tmp", L"");
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(dirname(name), L"");
    EXPECT_TRUE(fs::is_regular_file(fs::path(scratch / name)));
}

TEST(TempDirectory, ANameTakenBeforeTheDirectoryIsCreatedIsPassedOver) {
    ScratchDirectory scratch;
    // Someone plants a directory under the reserved name right after the reservation file is
    // deleted: the log record of that deletion is the moment.
    class Planter : public LogAppender {
    public:
        Planter() : previous_(Logger::global().setAppender(this)) {}
        ~Planter() override { Logger::global().setAppender(previous_); }
        void append(const LogEvent& event) override {
            events.push_back(event);
            const tstring deleted = L"Deleted [";
            if (planted.empty() && tstrings::startsWith(event.message, deleted)) {
                planted = event.message.substr(deleted.size(), event.message.size() - deleted.size() - 6);
                fs::create_directory(fs::path(planted));
                std::ofstream(fs::path(planted + L"\\main.msi")) << "not ours";
            }
        }
        tstring planted;
        std::vector<LogEvent> events;

    private:
        LogAppender* previous_;
    };

    Planter planter;
    const tstring dir = createTempDirectory(L"", L".tmp", scratch.path());
    ASSERT_FALSE(planter.planted.empty());
    EXPECT_NE(normalizePath(dir), normalizePath(planter.planted));
    EXPECT_TRUE(fs::is_directory(fs::path(dir)));
    EXPECT_TRUE(fs::is_empty(fs::path(dir)));
    EXPECT_EQ(readFile(planter.planted + L"\\main.msi"), "not ours");
    bool warned = false;
    for (const LogEvent& event : planter.events) {
        warned = warned || (event.logLevel == L"WARNING" && event.message.find(planter.planted) != tstring::npos);
    }
    EXPECT_TRUE(warned);
}

TEST(TempDirectory, NamesTakenAheadFromTheTickCountBlockNobody) {
    // Another process takes the names of the next few seconds, as it could when the numbers
    // started at the tick count, and plants a package in the first of them.
    ScratchDirectory scratch;
    const DWORD first = GetTickCount();
    takeNames(scratch.path(), L"", L".tmp", first, 3000);
    writeFile(scratch / (std::to_wstring(first) + L".tmp\\main.msi"), "planted");
    for (int i = 0; i < 3; ++i) {
        const tstring dir = createTempDirectory(L"", L".tmp", scratch.path());
        EXPECT_GE(numberIn(basename(dir), L"", L".tmp") - first, 3000u);
        EXPECT_TRUE(fs::is_empty(fs::path(dir)));
    }
}

TEST(UniqueFile, TheWantedPathOrASiblingWithANumber) {
    ScratchDirectory scratch;
    const tstring wanted = scratch / L"report \u00e9.txt";
    EXPECT_EQ(createUniqueFile(wanted), wanted);
    EXPECT_TRUE(fs::is_regular_file(fs::path(wanted)));

    const tstring sibling = createUniqueFile(wanted);
    EXPECT_EQ(dirname(sibling), scratch.path());
    numberIn(basename(sibling), L"report \u00e9", L".txt");
    EXPECT_TRUE(fs::is_regular_file(fs::path(sibling)));

    const tstring plain = scratch / L"README";
    createUniqueFile(plain);
    numberIn(basename(createUniqueFile(plain)), L"README", L"");
}

TEST(TempDirectoryOfTheSystem, FollowsTheEnvironmentWithoutTrailingSeparators) {
    const tstring system = getTempDirectory();
    ASSERT_FALSE(system.empty());
    EXPECT_FALSE(isDirSeparator(system.back()));
    EXPECT_TRUE(fs::is_directory(fs::path(system)));

    ScratchDirectory scratch;
    const bool tmpWasSet = SysInfo::isEnvVariableSet(L"TMP");
    const tstring savedTmp = SysInfo::getEnvVariable(std::nothrow, L"TMP", L"");
    const tstring chosen = scratch / (kNonAsciiName + L" temp");
    SysInfo::setEnvVariable(L"TMP", chosen + L"\\\\");
    EXPECT_EQ(getTempDirectory(), chosen);

    // With its trailing backslash the answer needs 261 units: one more than the first buffer.
    tstring longest = chosen + L"\\";
    while (longest.size() < MAX_PATH) {
        longest += L"x";
    }
    SysInfo::setEnvVariable(L"TMP", longest);
    if (runningUnderWine()) {
        // Wine refuses a temporary directory of MAX_PATH units or more (error 206): the failure
        // gives the empty string, or an error that says so.
        EXPECT_EQ(getTempDirectory(), L"");
        EXPECT_TRUE(rawMessageOf<LdError<SysError>>([] { requireTempDirectory(); })
                        .starts_with("GetTempPath() failed: TMP and TEMP name no usable temporary directory. System "
                                     "error [206]"));
    } else {
        EXPECT_EQ(getTempDirectory(), longest);
        EXPECT_EQ(requireTempDirectory(), longest);
    }

    if (tmpWasSet) {
        SysInfo::setEnvVariable(L"TMP", savedTmp);
    } else {
        SetEnvironmentVariableW(L"TMP", nullptr);
    }
}

TEST(StagedFileWriter, ReplacesAnExistingDestinationWhole) {
    ScratchDirectory scratch;
    const tstring destination = scratch / L"main \u6771.msi";
    writeFile(destination, std::string(100000, 'o'));

    StagedFileWriter writer(destination);
    const std::string data = "new package";
    writer.write(data.data(), 4).write(data.data() + 4, data.size() - 4);
    EXPECT_EQ(readFile(destination), std::string(100000, 'o'));  // untouched until finalize()
    ASSERT_EQ(listNames(scratch.path()).size(), 2u);
    writer.finalize();
    EXPECT_EQ(readFile(destination), "new package");
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"main \u6771.msi"});
}

// Written in many small calls, heard of in pieces of 8 MiB and the rest: every byte lands in order,
// and a progress bar or a cancel is not asked about after every call.
TEST(StagedFileWriter, WritesInSmallCallsAndReportsPiecesOfEightMebibytes) {
    ScratchDirectory scratch;
    const tstring destination = scratch / L"pieces.msi";
    std::string data(2 * 8 * 1024 * 1024 + 300000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 + i / 4096);
    }
    std::vector<std::size_t> pieces;
    StagedFileWriter writer(destination);
    writer.write(data.data(), data.size(), [&](std::size_t bytes) { pieces.push_back(bytes); });
    writer.finalize();
    EXPECT_EQ(pieces, (std::vector<std::size_t>{8 * 1024 * 1024, 8 * 1024 * 1024, 300000}));
    EXPECT_TRUE(readFile(destination) == data);
}

TEST(StagedFileWriter, AWriterDestroyedWithoutFinalizeLeavesNothing) {
    ScratchDirectory scratch;
    const tstring destination = scratch / L"main \u6771.msi";
    writeFile(destination, "old");
    {
        StagedFileWriter writer(destination);
        writer.write("partial", 7);
        const std::vector<tstring> names = listNames(scratch.path());
        ASSERT_EQ(names.size(), 2u);
        const tstring temp = names[0] == L"main \u6771.msi" ? names[1] : names[0];
        numberIn(temp, L"rvn", L".tmp");
    }
    EXPECT_EQ(readFile(destination), "old");
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"main \u6771.msi"});

    { StagedFileWriter unused(scratch / L"never.msi"); }
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"main \u6771.msi"});
}

TEST(StagedFileWriter, ADestinationInAMissingDirectoryFailsAtConstruction) {
    ScratchDirectory scratch;
    const tstring missing = scratch / L"missing \u03a9";
    EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { StagedFileWriter writer(missing + L"\\main.msi"); }),
              "createTempFile(rvn, .tmp, " + utf8(missing) + ") failed");
    EXPECT_TRUE(listNames(scratch.path()).empty());
}

TEST(StagedFileWriter, AFailedMoveLeavesTheDestinationAndNoTemporaryFile) {
    ScratchDirectory scratch;
    const tstring destination = scratch / L"main.msi";
    writeFile(destination, "old");
    {
        StagedFileWriter writer(destination);
        writer.write("new", 3);
        // The destination is held open without delete sharing: it cannot be replaced.
        const HANDLE busy =
            CreateFileW(destination.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(busy, INVALID_HANDLE_VALUE);
        EXPECT_THROW(writer.finalize(), LdError<SysError>);
        CloseHandle(busy);
        // Trying again once the destination is free must not publish a file whose first
        // finalize() failed half-way.
        EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { writer.finalize(); }),
                  "[" + utf8(destination) + "] was already finalized once");
    }
    EXPECT_EQ(readFile(destination), "old");
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"main.msi"});
}

namespace {

// Whether another process of the same user can read, write, rename or delete `path` (a child:
// share modes bind other processes, and Wine enforces them only between Windows processes). A
// renamed path is renamed back.
bool othersCan(const tstring& intrusion, const tstring& path) {
    const ScopedEnv mode(L"FILES_CHILD_MODE", L"intrude");
    const ChildResult result =
        runChild(besideTestProgram(L"files_child.exe"), L"files_child " + intrusion + L" " + quoteForArgv(path));
    EXPECT_TRUE(result.started && result.exitCode <= 1) << "files_child exit code " << result.exitCode;
    return result.started && result.exitCode == 0;
}

}  // namespace

TEST(StagedFileWriter, OthersMayReadTheTemporaryFileButNotChangeRenameOrDeleteIt) {
    ScratchDirectory scratch;
    const tstring destination = scratch / L"main.msi";
    StagedFileWriter writer(destination);
    writer.write("package", 7);
    const tstring temp = scratch / listNames(scratch.path()).at(0);
    EXPECT_TRUE(othersCan(L"read", temp));
    EXPECT_FALSE(othersCan(L"write", temp));
    EXPECT_FALSE(othersCan(L"rename", temp));
    EXPECT_FALSE(othersCan(L"delete", temp));
    writer.finalize();
    EXPECT_EQ(readFile(destination), "package");
}

TEST(LockFileContent, HoldsTheFileUnchangedOrNamesTheChange) {
    ScratchDirectory scratch;
    const tstring path = scratch / L"main \u6771.msi";
    const std::string content(200000, 'p');
    writeFile(path, content);
    {
        const UniqueHandle lock = lockFileContent(path, content.data(), content.size());
        EXPECT_TRUE(lock.valid());
        EXPECT_TRUE(othersCan(L"read", path));
        EXPECT_FALSE(othersCan(L"write", path));
        EXPECT_FALSE(othersCan(L"rename", path));
        EXPECT_FALSE(othersCan(L"delete", path));
    }
    EXPECT_TRUE(othersCan(L"write", path));  // free again once the lock is gone

    const std::string changed = "[" + utf8(path) + "] was changed by another program after it was written";
    std::string sameSize = content;
    sameSize[123456] = 'q';
    EXPECT_EQ(
        rawMessageOf<LdError<std::runtime_error>>([&] { lockFileContent(path, sameSize.data(), sameSize.size()); }),
        changed);
    EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { lockFileContent(path, content.data(), 199999); }),
              changed);
    writeFile(path, "");
    EXPECT_TRUE(lockFileContent(path, "", 0).valid());
    EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { lockFileContent(path, "x", 1); }), changed);
}

TEST(DirectoryLock, KeepsOthersFromRenamingOrDeletingTheDirectoryButNotFromItsFiles) {
    ScratchDirectory scratch;
    const tstring dir = scratch / L"work \u03a9.tmp";
    fs::create_directory(fs::path(dir));
    {
        const DirectoryLock lock(dir);
        EXPECT_EQ(lock.path(), dir);
        EXPECT_FALSE(othersCan(L"rename", dir));
        EXPECT_FALSE(othersCan(L"rmdir", dir));
        writeFile(dir + L"\\inside.txt", "x");
        EXPECT_TRUE(othersCan(L"delete", dir + L"\\inside.txt"));
    }
    EXPECT_TRUE(othersCan(L"rename", dir));
    EXPECT_TRUE(othersCan(L"rmdir", dir));

    const tstring file = scratch / L"file.txt";
    writeFile(file, "x");
    EXPECT_EQ(rawMessageOf<LdError<std::runtime_error>>([&] { DirectoryLock lock(file); }),
              "[" + utf8(file) + "] is not a directory, not the directory it should be");
    EXPECT_TRUE(rawMessageOf<LdError<SysError>>([&] {
                    DirectoryLock lock(scratch / L"missing");
                }).starts_with("CreateFile(" + utf8(scratch / L"missing") + ") failed"));
}
