#include "WinFileUtils.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <thread>

#include "ErrorHandling.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace FileUtils;

namespace {

// The raw message and the located text of the error `action` raises.
struct Raised {
    std::string raw;
    std::string located;
};

Raised raisedBy(const std::function<void()>& action) {
    try {
        action();
    } catch (const LdError<SysError>& e) {
        return {e.rawMessage(), e.what()};
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not a located SysError: " << e.what();
        return {};
    }
    ADD_FAILURE() << "nothing was raised";
    return {};
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void makeReadOnly(const tstring& path) {
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY)) << GetLastError();
}

// The TRACE records about deletions, in the order they were logged.
std::vector<tstring> deletionRecords(const CapturingLogAppender& log) {
    std::vector<tstring> records;
    for (const LogEvent& event : log.events) {
        if (tstrings::startsWith(event.message, L"Deleted [")) {
            records.push_back(event.message);
        }
    }
    return records;
}

// root\a.txt, root\sub one\b.txt (read-only), root\sub one\deep Ω\c.txt, root\empty 東
struct Tree {
    explicit Tree(const tstring& base)
        : root(base),
          a(base + L"\\a.txt"),
          sub(base + L"\\sub one"),
          b(sub + L"\\b \u00e9.txt"),
          deep(sub + L"\\deep \u03a9"),
          c(deep + L"\\c \u6771.txt"),
          empty(root + L"\\empty \u6771") {
        fs::create_directories(fs::path(deep));
        fs::create_directories(fs::path(empty));
        for (const tstring& file : {a, b, c}) {
            writeFile(file, utf8(file));
        }
        makeReadOnly(b);
    }
    tstring root, a, sub, b, deep, c, empty;
};

}  // namespace

TEST(AttributeTests, TellFilesDirectoriesAndMissingPathsApart) {
    ScratchDirectory scratch;
    const tstring file = scratch / L"file \u00e9.txt";
    const tstring full = scratch / L"full";
    writeFile(file, "x");
    fs::create_directories(fs::path(full + L"\\inner"));

    EXPECT_TRUE(pathExists(file));
    EXPECT_FALSE(isDirectory(file));
    EXPECT_FALSE(isDirectoryNotEmpty(file));
    EXPECT_TRUE(isDirectory(scratch.path()));
    EXPECT_TRUE(isDirectoryNotEmpty(scratch.path()));
    EXPECT_FALSE(isDirectoryNotEmpty(full + L"\\inner"));
    EXPECT_FALSE(pathExists(scratch / L"missing"));
    EXPECT_FALSE(isDirectory(scratch / L"missing\\deeper"));
}

TEST(DirectoryCreation, MakesMissingParentsAndListsWhatItMade) {
    ScratchDirectory scratch;
    const tstring target = scratch.path() + L"/one \u00e9\\two \u03a9/three \u6771\\";
    tstring_array created;
    CapturingLogAppender log;
    createDirectory(target, &created);

    EXPECT_TRUE(fs::is_directory(fs::path(scratch / L"one \u00e9\\two \u03a9\\three \u6771")));
    const tstring base = scratch.path() + L"/one \u00e9";
    EXPECT_EQ(created, (tstring_array{base, base + L"\\two \u03a9", base + L"\\two \u03a9/three \u6771"}));
    EXPECT_TRUE(log.contains(LogLevel::TRACE, L"Created [" + base + L"\\] directory"));

    created.clear();
    EXPECT_NO_THROW(createDirectory(target, &created));
    EXPECT_TRUE(created.empty());
}

TEST(DirectoryCreation, APrefixThatIsAFileIsNamedInTheError) {
    ScratchDirectory scratch;
    const tstring file = scratch / L"plain \u00e9";
    writeFile(file, "x");
    const Raised e = raisedBy([&] { createDirectory(file + L"\\sub\\deeper"); });
    EXPECT_TRUE(e.raw.starts_with("CreateDirectory(" + utf8(file) + "\\) failed. System error [")) << e.raw;
    EXPECT_TRUE(contains(e.located, "FileUtils::`anonymous-namespace'::createDir(): ")) << e.located;
    EXPECT_FALSE(fs::exists(fs::path(file + L"\\sub")));
}

TEST(Copying, CreatesTheParentAndHonoursFailIfExists) {
    ScratchDirectory scratch;
    const tstring from = scratch / L"from \u00e9.bin";
    const tstring to = scratch / L"new dir \u03a9\\to \u6771.bin";
    writeFile(from, "payload");
    CapturingLogAppender log;

    copyFile(from, to, true);
    EXPECT_EQ(readFile(to), "payload");
    EXPECT_TRUE(log.contains(LogLevel::TRACE, L"Copied [" + from + L"] file to [" + to + L"]"));

    writeFile(from, "second");
    const Raised e = raisedBy([&] { copyFile(from, to, true); });
    EXPECT_TRUE(e.raw.starts_with("CopyFile(" + utf8(from) + ", " + utf8(to) + ", 1) failed. System error [80]"))
        << e.raw;
    EXPECT_TRUE(contains(e.located, "FileUtils::copyFile(): ")) << e.located;
    EXPECT_EQ(readFile(to), "payload");

    copyFile(from, to, false);
    EXPECT_EQ(readFile(to), "second");
}

TEST(Moving, ReplacesOrRefusesAndMovesDirectories) {
    ScratchDirectory scratch;
    const tstring from = scratch / L"from \u00e9.bin";
    const tstring to = scratch / L"new dir \u03a9\\to \u6771.bin";
    writeFile(from, "first");
    writeFile(scratch / L"other", "other");
    CapturingLogAppender log;

    moveFile(from, to, false);  // creates the parent
    EXPECT_EQ(readFile(to), "first");
    EXPECT_FALSE(fs::exists(fs::path(from)));
    EXPECT_TRUE(log.contains(LogLevel::TRACE, L"Moved '" + from + L"' file to '" + to + L"'"));

    writeFile(from, "second");
    const Raised e = raisedBy([&] { moveFile(from, to, true); });
    EXPECT_TRUE(e.raw.starts_with("MoveFileEx(" + utf8(from) + ", " + utf8(to) + ", 2) failed. System error ["))
        << e.raw;
    EXPECT_TRUE(contains(e.located, "FileUtils::`anonymous-namespace'::moveFileImpl(): ")) << e.located;
    EXPECT_EQ(readFile(to), "first");

    moveFile(from, to, false);
    EXPECT_EQ(readFile(to), "second");

    const tstring folder = scratch / L"new dir \u03a9";
    const tstring moved = scratch / L"moved \u6771";
    moveFile(folder, moved, true);
    EXPECT_EQ(readFile(moved + L"\\to \u6771.bin"), "second");
    EXPECT_TRUE(log.contains(LogLevel::TRACE, L"Moved '" + folder + L"' folder to '" + moved + L"'"));
}

TEST(FileDeletion, WhatIsGoneCountsAsDeleted) {
    ScratchDirectory scratch;
    EXPECT_TRUE(deleteFile(scratch / L"missing", std::nothrow));
    EXPECT_TRUE(deleteFile(scratch / L"missing dir\\missing", std::nothrow));
    EXPECT_NO_THROW(deleteFile(scratch / L"missing"));
    EXPECT_NO_THROW(deleteFile(scratch / L"missing dir\\missing"));
    EXPECT_TRUE(deleteDirectory(scratch / L"missing", std::nothrow));
    EXPECT_NO_THROW(deleteDirectory(scratch / L"missing dir\\missing"));
}

TEST(FileDeletion, ReadOnlyFilesAreMadeWritableFirst) {
    ScratchDirectory scratch;
    const tstring file = scratch / L"read only \u00e9.txt";
    const tstring other = scratch / L"read only 2.txt";
    writeFile(file, "x");
    writeFile(other, "x");
    makeReadOnly(file);
    makeReadOnly(other);
    CapturingLogAppender log;

    EXPECT_TRUE(deleteFile(file, std::nothrow));
    EXPECT_FALSE(fs::exists(fs::path(file)));
    EXPECT_TRUE(log.contains(LogLevel::TRACE, L"Discarded R/O attribute from [" + file + L"] file"));
    EXPECT_TRUE(log.contains(LogLevel::TRACE, L"Deleted [" + file + L"] file"));

    EXPECT_NO_THROW(deleteFile(other));
    EXPECT_FALSE(fs::exists(fs::path(other)));
}

TEST(FileDeletion, ADirectoryOrAnOpenFileIsNotDeleted) {
    ScratchDirectory scratch;
    const Raised e = raisedBy([&] { deleteFile(scratch.path()); });
    EXPECT_TRUE(e.raw.starts_with("DeleteFile(" + utf8(scratch.path()) + ") failed. System error [")) << e.raw;
    EXPECT_TRUE(contains(e.located, "FileUtils::deleteFile(): ")) << e.located;

    const tstring busy = scratch / L"busy \u6771";
    writeFile(busy, "x");
    const HANDLE open = CreateFileW(busy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(deleteFile(busy, std::nothrow));
    CloseHandle(open);
    EXPECT_TRUE(fs::exists(fs::path(busy)));
}

TEST(DirectoryDeletion, OnlyAnEmptyDirectoryIsRemoved) {
    ScratchDirectory scratch;
    const tstring full = scratch / L"full \u00e9";
    fs::create_directories(fs::path(full));
    writeFile(full + L"\\f", "x");
    EXPECT_FALSE(deleteDirectory(full, std::nothrow));
    const Raised e = raisedBy([&] { deleteDirectory(full); });
    EXPECT_TRUE(e.raw.starts_with("RemoveDirectory(" + utf8(full) + ") failed. System error [145]")) << e.raw;
    EXPECT_TRUE(contains(e.located, "FileUtils::deleteDirectory(): ")) << e.located;

    fs::remove(fs::path(full + L"\\f"));
    CapturingLogAppender log;
    EXPECT_NO_THROW(deleteDirectory(full));
    EXPECT_FALSE(fs::exists(fs::path(full)));
    EXPECT_TRUE(log.contains(LogLevel::TRACE, L"Deleted [" + full + L"] directory"));
}

TEST(IterateDirectory, DeliversEntriesAndStopsWhenAsked) {
    ScratchDirectory scratch;
    const Tree tree(scratch / L"tree");

    struct Recorder : DirectoryCallback {
        bool onFile(const tstring& path) override {
            files.push_back(path);
            return keepGoing;
        }
        bool onDirectory(const tstring& path) override {
            dirs.push_back(path);
            return keepGoing;
        }
        tstring_array files, dirs;
        bool keepGoing = true;
    };

    Recorder all;
    iterateDirectory(tree.root, all);
    EXPECT_EQ(all.files, tstring_array{tree.a});
    std::sort(all.dirs.begin(), all.dirs.end());
    EXPECT_EQ(all.dirs, (tstring_array{tree.empty, tree.sub}));

    Recorder first;
    first.keepGoing = false;
    iterateDirectory(tree.root, first);
    EXPECT_EQ(first.files.size() + first.dirs.size(), 1u);

    Recorder none;
    iterateDirectory(tree.empty, none);
    EXPECT_TRUE(none.files.empty() && none.dirs.empty());

    const tstring missing = scratch / L"missing \u03a9";
    const Raised e = raisedBy([&] { iterateDirectory(missing, none); });
    EXPECT_TRUE(e.raw.starts_with("FindFirstFile(" + utf8(missing) + ") failed. System error [3]")) << e.raw;
    EXPECT_TRUE(contains(e.located, "FileUtils::iterateDirectory(): ")) << e.located;
}

TEST(DirectoryIterator, ListsEachDirectoryBeforeItsContents) {
    ScratchDirectory scratch;
    const Tree tree(scratch / L"tree");

    tstring_array items = {L"kept"};
    DirectoryIterator(tree.root).findItems(items);
    ASSERT_EQ(items.size(), 7u);
    EXPECT_EQ(items.front(), L"kept");
    const auto at = [&](const tstring& path) { return std::find(items.begin(), items.end(), path) - items.begin(); };
    for (const tstring& path : {tree.a, tree.sub, tree.b, tree.deep, tree.c, tree.empty}) {
        EXPECT_LT(at(path), static_cast<long long>(items.size())) << utf8(path);
    }
    EXPECT_LT(at(tree.sub), at(tree.b));
    EXPECT_LT(at(tree.sub), at(tree.deep));
    EXPECT_LT(at(tree.deep), at(tree.c));
    // The subdirectory's contents follow it directly.
    EXPECT_EQ(at(tree.deep) + 1, at(tree.c));

    tstring_array files;
    DirectoryIterator(tree.root).withDirs(false).findItems(files);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (tstring_array{tree.a, tree.b, tree.c}));

    tstring_array dirs;
    DirectoryIterator(tree.root).withFiles(false).findItems(dirs);
    std::sort(dirs.begin(), dirs.end());
    EXPECT_EQ(dirs, (tstring_array{tree.empty, tree.sub, tree.deep}));

    tstring_array top;
    DirectoryIterator(tree.root).recurse(false).findItems(top);
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (tstring_array{tree.a, tree.empty, tree.sub}));

    tstring_array unchanged = {L"x"};
    DirectoryIterator(tree.a).findItems(unchanged);
    DirectoryIterator(scratch / L"missing").findItems(unchanged);
    EXPECT_EQ(unchanged, tstring_array{L"x"});
}

TEST(BatchDeletion, DeleteFilesKeepsSubdirectoriesAndTheirContents) {
    ScratchDirectory scratch;
    const Tree tree(scratch / L"tree");
    deleteFiles(tree.root);
    EXPECT_FALSE(fs::exists(fs::path(tree.a)));
    EXPECT_TRUE(fs::exists(fs::path(tree.b)));
    EXPECT_TRUE(fs::exists(fs::path(tree.c)));
    EXPECT_TRUE(fs::exists(fs::path(tree.empty)));

    EXPECT_TRUE(deleteFiles(tree.sub, std::nothrow));
    EXPECT_FALSE(fs::exists(fs::path(tree.b)));  // read-only
    EXPECT_TRUE(fs::exists(fs::path(tree.c)));
}

TEST(BatchDeletion, DeleteDirectoryRecursiveRemovesTreesOfAnyDepth) {
    ScratchDirectory scratch;
    const Tree first(scratch / L"first");
    CapturingLogAppender log;
    deleteDirectoryRecursive(first.root);
    EXPECT_FALSE(fs::exists(fs::path(first.root)));
    // Files go before the directories that hold them.
    const std::vector<tstring> records = deletionRecords(log);
    const auto at = [&](const tstring& record) {
        return std::find(records.begin(), records.end(), record) - records.begin();
    };
    EXPECT_LT(at(L"Deleted [" + first.c + L"] file"), at(L"Deleted [" + first.deep + L"] directory"));
    EXPECT_LT(at(L"Deleted [" + first.deep + L"] directory"), at(L"Deleted [" + first.sub + L"] directory"));
    EXPECT_EQ(at(L"Deleted [" + first.root + L"] directory"), static_cast<long long>(records.size()) - 1);

    const Tree second(scratch / L"second");
    EXPECT_TRUE(deleteDirectoryRecursive(second.root, std::nothrow));
    EXPECT_FALSE(fs::exists(fs::path(second.root)));

    EXPECT_NO_THROW(deleteDirectoryRecursive(second.root));
    EXPECT_TRUE(deleteDirectoryRecursive(second.root, std::nothrow));
}

TEST(BatchDeletion, NoThrowFormsDeleteWhatTheyCanAndReportTheRest) {
    ScratchDirectory scratch;
    const Tree tree(scratch / L"tree");
    const HANDLE open = CreateFileW(tree.c.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);

    EXPECT_FALSE(deleteDirectoryRecursive(tree.root, std::nothrow));
    CloseHandle(open);
    EXPECT_TRUE(fs::exists(fs::path(tree.c)));
    for (const tstring& gone : {tree.a, tree.b, tree.empty}) {
        EXPECT_FALSE(fs::exists(fs::path(gone))) << utf8(gone);
    }

    const Raised e = raisedBy([&] { deleteDirectoryRecursive(tree.c); });
    EXPECT_TRUE(e.raw.starts_with("FindFirstFile(" + utf8(tree.c) + ") failed")) << e.raw;
    EXPECT_FALSE(deleteFiles(tree.c, std::nothrow));
    EXPECT_FALSE(deleteDirectoryRecursive(tree.c, std::nothrow));
    const Raised files = raisedBy([&] { deleteFiles(tree.c); });
    EXPECT_TRUE(files.raw.starts_with("FindFirstFile(" + utf8(tree.c) + ") failed")) << files.raw;
    EXPECT_TRUE(fs::exists(fs::path(tree.c)));
}

TEST(DeferredDeleter, DeletesByKindThenByOrderOfAdditionAndOnlyOnce) {
    ScratchDirectory scratch;
    const Tree tree(scratch / L"tree");
    const tstring file = scratch / L"single \u00e9.txt";
    const tstring empty = scratch / L"empty \u03a9";
    const tstring secondFile = scratch / L"second.txt";
    writeFile(file, "x");
    writeFile(secondFile, "x");
    fs::create_directories(fs::path(empty));

    CapturingLogAppender log;
    DeferredDeleter deleter;
    deleter.appendEmptyDirectory(empty).appendRecursiveDirectory(tree.root).appendFile(file).appendFile(secondFile);
    deleter.execute();

    const std::vector<tstring> records = deletionRecords(log);
    ASSERT_GE(records.size(), 4u);
    EXPECT_EQ(records[0], L"Deleted [" + file + L"] file");
    EXPECT_EQ(records[1], L"Deleted [" + secondFile + L"] file");
    EXPECT_EQ(records[records.size() - 2], L"Deleted [" + tree.root + L"] directory");
    EXPECT_EQ(records.back(), L"Deleted [" + empty + L"] directory");
    EXPECT_TRUE(listNames(scratch.path()).empty());

    // Executed entries are forgotten: what is made again afterwards stays.
    writeFile(file, "again");
    deleter.execute();
    EXPECT_TRUE(fs::exists(fs::path(file)));
}

TEST(DeferredDeleter, RunsOnDestructionAlsoWhileAnExceptionUnwinds) {
    ScratchDirectory scratch;
    const Tree tree(scratch / L"tree");
    try {
        DeferredDeleter deleter;
        deleter.appendRecursiveDirectory(tree.root);
        throw std::runtime_error("installer failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(fs::exists(fs::path(tree.root)));
}

TEST(DeferredDeleter, WaitsBrieflyForAFileAnotherHolderReleases) {
    ScratchDirectory scratch;
    const Tree tree(scratch / L"tree");
    // Held without delete sharing, as a neighbour still copying holds it, and released a moment later.
    UniqueHandle held(CreateFileW(tree.c.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    std::thread release([&] {
        Sleep(300);
        held.reset();
    });
    DeferredDeleter deleter;
    deleter.appendRecursiveDirectory(tree.root).execute();
    release.join();
    EXPECT_FALSE(fs::exists(fs::path(tree.root)));
}

TEST(DeferredDeleter, CancelKeepsEverything) {
    ScratchDirectory scratch;
    const Tree tree(scratch / L"tree");
    {
        DeferredDeleter deleter;
        deleter.appendRecursiveDirectory(tree.root).appendFile(tree.a);
        deleter.cancel();
    }
    EXPECT_TRUE(fs::exists(fs::path(tree.a)));
    EXPECT_TRUE(fs::exists(fs::path(tree.c)));
}

TEST(DeferredDeleter, EachKindDeletesOnlyWhatItNames) {
    ScratchDirectory scratch;
    const Tree tree(scratch / L"tree");
    {
        DeferredDeleter deleter;
        deleter.appendAllFiles(tree.sub);          // b, not deep\c
        deleter.appendRecursiveDirectory(tree.a);  // a file: nothing
        deleter.appendAllFiles(tree.a);            // a file: nothing
        deleter.appendEmptyDirectory(tree.deep);   // not empty: fails, the rest goes on
        deleter.appendEmptyDirectory(tree.empty);
    }
    EXPECT_FALSE(fs::exists(fs::path(tree.b)));
    EXPECT_TRUE(fs::exists(fs::path(tree.c)));
    EXPECT_TRUE(fs::exists(fs::path(tree.a)));
    EXPECT_TRUE(fs::exists(fs::path(tree.deep)));
    EXPECT_FALSE(fs::exists(fs::path(tree.empty)));
}

TEST(DeferredDeleter, EmptyDirectoriesAreRemovedUpToButNotIncludingTheBase) {
    ScratchDirectory scratch;
    const tstring base = scratch / L"Base \u00c9";
    const tstring relative = L"One\\Two \u03a9/Three \u6771";
    fs::create_directories(fs::path(base + L"\\" + relative));
    CapturingLogAppender log;
    {
        DeferredDeleter deleter;
        deleter.appendEmptyDirectories(base + L"\\", relative);
    }
    EXPECT_TRUE(fs::is_directory(fs::path(base)));
    EXPECT_TRUE(listNames(base).empty());
    // Entries are compared and deleted in their normalised form.
    const tstring normalised = normalizePath(base);
    EXPECT_EQ(deletionRecords(log), (std::vector<tstring>{
                                        L"Deleted [" + normalised + L"\\one\\two \u03a9\\three \u6771] directory",
                                        L"Deleted [" + normalised + L"\\one\\two \u03a9] directory",
                                        L"Deleted [" + normalised + L"\\one] directory",
                                    }));
}

TEST(DeferredDeleter, EmptyDirectoriesRejectARelativePathThatLeavesTheBase) {
    ScratchDirectory scratch;
    const tstring base = scratch / L"base";
    const tstring outside = scratch / L"outside";
    fs::create_directories(fs::path(base));
    fs::create_directories(fs::path(outside));
    DeferredDeleter deleter;
    for (const tstring relative : {L"..\\outside", L"a\\..\\..\\outside", L".", L"C:\\x", L"a/./b"}) {
        try {
            deleter.appendEmptyDirectories(base, relative);
            ADD_FAILURE() << "accepted " << utf8(relative);
        } catch (const LdError<std::runtime_error>& e) {
            EXPECT_EQ(std::string(e.rawMessage()), "appendEmptyDirectories(" + utf8(base) + ", " + utf8(relative) +
                                                       ") needs a relative path made of names only");
        }
    }
    deleter.execute();
    EXPECT_TRUE(fs::is_directory(fs::path(outside)));
}
