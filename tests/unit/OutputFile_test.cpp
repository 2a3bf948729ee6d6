// The launcher's output file: invisible at its destination until published, read back through
// itself, put in place with or without replacing what is there, and gone without a trace when it
// is not published. On Linux both ways the file is made: unnamed (O_TMPFILE), and named (where the
// file system refuses unnamed files; LODESTAR_PACK_NAMED_OUTPUT takes that path on any file
// system). The native build runs these once more as on vfat (a shim preloaded: no unnamed files,
// no hard links), where a named file is published by a rename that refuses to replace. On Windows
// the file has a name from the start and a delete disposition until publish.
#include "OutputFile.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <optional>
#include <regex>

#include "FileUtils.h"
#include "TestSupport.h"

namespace {

enum class Kind { Unnamed, Named, DeleteDisposition };

std::string nameOf(Kind kind) {
    return kind == Kind::Unnamed ? "unnamed" : kind == Kind::Named ? "named" : "delete disposition";
}

std::vector<Kind> kinds() {
#ifdef _WIN32
    return {Kind::DeleteDisposition};
#else
    return {Kind::Unnamed, Kind::Named};
#endif
}

// Takes the named path for the scope, or makes sure it is not taken.
class OutputKind {
public:
    explicit OutputKind(Kind kind) {
#ifndef _WIN32
        if (kind == Kind::Named) {
            ::setenv("LODESTAR_PACK_NAMED_OUTPUT", "1", 1);
        } else {
            ::unsetenv("LODESTAR_PACK_NAMED_OUTPUT");
        }
#else
        (void)kind;
#endif
    }
    ~OutputKind() {
#ifndef _WIN32
        ::unsetenv("LODESTAR_PACK_NAMED_OUTPUT");
#endif
    }
    OutputKind(const OutputKind&) = delete;
    OutputKind& operator=(const OutputKind&) = delete;
};

// Whether this directory's file system keeps unnamed files: asked of the system, not of the code
// under test.
bool unnamedFilesKept(const tstring& directory) {
#ifdef _WIN32
    (void)directory;
    return false;
#else
    const int fd = ::openat(AT_FDCWD, utf8(directory).c_str(), O_TMPFILE | O_RDWR, 0600);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
#endif
}

// What the directory shows while a file is written and not published: nothing for an unnamed
// file, one staged name of the packer's own otherwise.
void expectNothingButStaging(Kind kind, const tstring& directory, const std::vector<tstring>& before) {
    std::vector<tstring> names = listNames(directory);
    std::vector<tstring> staged;
    std::erase_if(names, [&](const tstring& name) {
        const bool old = std::find(before.begin(), before.end(), name) != before.end();
        if (!old) {
            staged.push_back(name);
        }
        return !old;
    });
    if (kind == Kind::Unnamed) {
        EXPECT_TRUE(staged.empty()) << utf8(staged.front());
        return;
    }
    ASSERT_EQ(staged.size(), 1u);
    const std::wregex pattern(kind == Kind::Named ? L"\\.lodestar-pack-[0-9]+\\.partial"
                                                  : L"lodestar-pack-[0-9]+\\.partial");
    EXPECT_TRUE(std::regex_match(staged.front(), pattern)) << utf8(staged.front());
}

std::string bytes(std::size_t size, int seed) {
    std::string text(size, '\0');
    std::iota(text.begin(), text.end(), static_cast<char>(seed));
    return text;
}

std::string readBack(const OutputFile& file, std::uint64_t offset, std::size_t size) {
    std::string text(size, '\0');
    text.resize(file.readAt(offset, text.data(), size));
    return text;
}

}  // namespace

class OutputFileTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (GetParam() == Kind::Unnamed && !unnamedFilesKept(scratch.path())) {
            GTEST_SKIP() << "the file system of " << utf8(scratch.path()) << " keeps no unnamed files";
        }
    }
    // The folder the files go to, held as the packer holds it.
    const OutputFolder& folder() {
        if (!folder_) {
            tstring_array made;
            folder_.emplace(scratch.path(), made);
        }
        return *folder_;
    }

    ScratchDirectory scratch;
    OutputKind kind{GetParam()};
    std::optional<OutputFolder> folder_;
};

TEST_P(OutputFileTest, IsInvisibleUntilPublishedAndReadsBackThroughItself) {
    const tstring destination = scratch / L"setup \u00e9.exe";
    const std::string head = bytes(100000, 1);
    {
        OutputFile file(folder(), L"setup \u00e9.exe", false);
        file.write(head.data(), head.size());
        file.write("tail", 4);
        file.writeAt(10, "ABC", 3);
        file.writeAt(200000, "far", 3);  // a hole before it reads as zeros
        EXPECT_EQ(file.size(), 200003u);
        expectNothingButStaging(GetParam(), scratch.path(), {});

        std::string expected = head.substr(0, 10) + "ABC" + head.substr(13) + "tail";
        EXPECT_EQ(readBack(file, 0, 100004), expected);
        EXPECT_EQ(readBack(file, 99998, 10), expected.substr(99998) + std::string(4, '\0'));
        EXPECT_EQ(readBack(file, 200001, 100), "ar") << "fewer bytes only at the end";
        EXPECT_EQ(readBack(file, 300000, 10), "");
        OutputFile::Reader reader(file);
        EXPECT_EQ(reader.path(), destination);
        reader.seek(10);
        char read[3] = {};
        EXPECT_EQ(reader.read(read, 3), 3u);
        EXPECT_EQ(std::string(read, 3), "ABC");

        file.publish();
        EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"setup \u00e9.exe"});
    }
    const std::string written = readFile(destination);
    ASSERT_EQ(written.size(), 200003u);
    EXPECT_EQ(written.substr(0, 13), head.substr(0, 10) + "ABC");
    EXPECT_EQ(written.substr(200000), "far");
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"setup \u00e9.exe"});
}

// Without being asked to, it never replaces a file, not even one that appeared after it was
// started: what lies at the name is somebody else's.
TEST_P(OutputFileTest, ReplacesOnlyWhenAsked) {
    const tstring destination = scratch / L"setup.exe";
    {
        OutputFile file(folder(), L"setup.exe", false);
        writeFile(destination, "the old launcher");
        file.write("new", 3);
        expectNothingButStaging(GetParam(), scratch.path(), {L"setup.exe"});
        const std::string refusal = rawMessageOf([&] { file.publish(); });
        EXPECT_NE(refusal, "(nothing thrown)");
        EXPECT_EQ(readFile(destination), "the old launcher");
    }
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"setup.exe"}) << "the refused file is gone";
    {
        OutputFile file(folder(), L"setup.exe", true);
        file.write("new", 3);
        file.publish();
    }
    EXPECT_EQ(readFile(destination), "new");
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"setup.exe"});
}

// Reading a large file back starts its fsync in the background on Linux; what is written after
// that is published too, and a file read back and dropped leaves nothing.
TEST_P(OutputFileTest, ALargeFileWrittenToAfterItsReadBackIsPublishedWhole) {
    const std::string content = bytes(32 << 20, 5);
    {
        OutputFile dropped(folder(), L"dropped.exe", false);
        dropped.write(content.data(), content.size());
        EXPECT_EQ(readBack(dropped, 0, 4), content.substr(0, 4));
    }
    EXPECT_TRUE(listNames(scratch.path()).empty());
    {
        OutputFile file(folder(), L"setup.exe", false);
        file.write(content.data(), content.size());
        EXPECT_EQ(readBack(file, 0, 4), content.substr(0, 4));
        file.writeAt(0, "late", 4);
        file.write("tail", 4);
        file.publish();
    }
    const std::string written = readFile(scratch / L"setup.exe");
    ASSERT_EQ(written.size(), content.size() + 4);
    EXPECT_EQ(written.substr(0, 4), "late");
    EXPECT_EQ(written.substr(content.size()), "tail");
}

TEST_P(OutputFileTest, AnUnpublishedFileLeavesNothing) {
    // Destroyed after writing, after a refused replacement of a folder, and without a byte.
    {
        OutputFile file(folder(), L"setup.exe", false);
        const std::string content = bytes(1 << 20, 7);
        file.write(content.data(), content.size());
    }
    EXPECT_TRUE(listNames(scratch.path()).empty());
    std::filesystem::create_directories(fsPath(scratch / L"folder") / "inside");
    {
        OutputFile file(folder(), L"folder", true);
        file.write("x", 1);
        EXPECT_NE(rawMessageOf([&] { file.publish(); }), "(nothing thrown)");
    }
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"folder"});
    EXPECT_EQ(listNames(scratch / L"folder"), std::vector<tstring>{L"inside"});
    { OutputFile file(folder(), L"setup.exe", false); }
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"folder"});
}

// Folders are made as they are asked for, each reported once, and a link or a file where a
// folder should be is refused, never gone through.
TEST_P(OutputFileTest, FoldersAreMadeAndNeverReachedThroughALink) {
    tstring_array made;
    const OutputFolder out(scratch / L"out/a", made);
    EXPECT_EQ(made, (tstring_array{scratch / L"out", scratch / L"out/a"}));
    const OutputFolder child = out.child(L"\u00e9", made);
    EXPECT_EQ(made.back(), out.pathOf(L"\u00e9"));
    out.child(L"\u00e9", made);
    EXPECT_EQ(made.size(), 3u) << "an existing folder serves and is not reported";
    {
        OutputFile file(child, L"x.txt", false);
        file.write("x", 1);
        file.publish();
    }
    EXPECT_EQ(readFile(out.pathOf(L"\u00e9") + L"/x.txt"), "x");
    EXPECT_EQ(out.entry(L"\u00e9"), OutputFolder::Entry::Folder);
    EXPECT_EQ(child.entry(L"x.txt"), OutputFolder::Entry::File);
    EXPECT_EQ(child.entry(L"missing"), OutputFolder::Entry::None);
    EXPECT_NE(rawMessageOf([&] { child.child(L"x.txt", made); }), "(nothing thrown)");
#ifndef _WIN32
    std::filesystem::create_directory_symlink(fsPath(scratch.path()), fsPath(out.pathOf(L"link")));
    EXPECT_EQ(out.entry(L"link"), OutputFolder::Entry::Link);
    EXPECT_EQ(rawMessageOf([&] { out.child(L"link", made); }),
              utf8(FileUtils::linkBelowTargetRefusal(out.pathOf(L"link"))));
    // The folder as given resolves as usual, even through a link.
    const OutputFolder throughLink(out.pathOf(L"link"), made);
    EXPECT_EQ(throughLink.entry(L"out"), OutputFolder::Entry::Folder);
#endif
}

INSTANTIATE_TEST_SUITE_P(Kinds, OutputFileTest, ::testing::ValuesIn(kinds()),
                         [](const ::testing::TestParamInfo<Kind>& kind) {
                             std::string name = nameOf(kind.param);
                             std::erase(name, ' ');
                             return name;
                         });
