#include "Resources.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ErrorHandling.h"
#include "TestSupport.h"
#include "WinSysInfo.h"

namespace {

const std::string kPayload("carried package bytes\0\1\2\377 end", 29);

HMODULE self() {
    return SysInfo::getCurrentModuleHandle();
}

}  // namespace

TEST(Resource, NamesMatchWithoutRegardToCase) {
    Resource msi(L"msi", RT_RCDATA, self());
    ASSERT_TRUE(msi.available());
    EXPECT_EQ(msi.size(), kPayload.size());
    const std::vector<std::uint8_t> copy = msi.binary();
    EXPECT_EQ(std::string(copy.begin(), copy.end()), kPayload);
    EXPECT_EQ(std::memcmp(msi.rawData(), kPayload.data(), kPayload.size()), 0);
    EXPECT_TRUE(Resource(L"Product_Code", RT_RCDATA, self()).available());
}

TEST(Resource, NumericNamesAndEmptyData) {
    Resource numbered(0x1234, RT_RCDATA, self());
    EXPECT_EQ(numbered.size(), 8u);
    Resource empty(L"EMPTY", RT_RCDATA, self());
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_TRUE(empty.binary().empty());
}

TEST(Resource, MissingResourceIsAbsentAndNamedInTheError) {
    Resource missing(0x4321 + 0x10000u * 7, RT_RCDATA, self());  // only the low 16 bits count
    EXPECT_FALSE(missing.available());
    const std::string message = rawMessageOf([&] { missing.size(); });
    EXPECT_TRUE(message.starts_with(
        "cannot find resource (name='#17185', type='#10'). System error [1814](system error 1814 ("))
        << message;

    Resource byText(L"nothing-here", L"CUSTOM", self());
    EXPECT_TRUE(rawMessageOf([&] {
                    byText.binary();
                }).starts_with("cannot find resource (name='nothing-here', type='CUSTOM')"));
    EXPECT_TRUE(rawMessageOf([] {
                    Resource(0x1234, MAKEINTRESOURCEW(11), self()).rawData();
                }).starts_with("cannot find resource (name='#4660', type='#11')"));
}

TEST(Resource, SaveToFileReplacesAnExistingFileAndLeavesNoStagingFile) {
    ScratchDirectory dir;
    const tstring target = dir / L"main \u00e9.msi";
    writeFile(target, "old content that is longer than the new one, to be sure it is replaced whole");
    Resource(L"msi", RT_RCDATA, self()).saveToFile(target);
    EXPECT_EQ(readFile(target), kPayload);
    EXPECT_EQ(listNames(dir.path()), std::vector<tstring>{L"main \u00e9.msi"});
}

TEST(Resource, FailedSaveLeavesTheOldFile) {
    ScratchDirectory dir;
    const tstring target = dir / L"main.msi";
    writeFile(target, "old");
    // A missing resource fails before anything is staged.
    EXPECT_THROW(Resource(L"absent", RT_RCDATA, self()).saveToFile(target), SysError);
    EXPECT_EQ(readFile(target), "old");
    EXPECT_EQ(listNames(dir.path()), std::vector<tstring>{L"main.msi"});
}

TEST(StringResource, EntriesOfBothBlocks) {
    EXPECT_EQ(StringResource(1, self()).string(), L"first block, entry one");
    EXPECT_EQ(StringResource(0, self()).string(), L"");
    EXPECT_EQ(StringResource(2, self()).string(), L"");
    EXPECT_EQ(StringResource(15, self()).string(), L"entry fifteen");
    EXPECT_EQ(StringResource(16, self()).string(), L"sixteen: block two, position zero");
    EXPECT_EQ(StringResource(31, self()).string(), L"last of block two");
}

TEST(StringResource, MissingBlockRaisesOrFallsBackAfterAReport) {
    const std::string message = rawMessageOf([] { StringResource(40, self()).string(); });
    EXPECT_TRUE(message.starts_with("cannot find resource (name='#40', type='#6')")) << message;

    CapturingLogAppender log;
    EXPECT_EQ(StringResource(40, self()).string(std::nothrow, L"fallback"), L"fallback");
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].logLevel, L"ERROR");
    EXPECT_EQ(log.events[0].funcName, L"StringResource::string");
    EXPECT_TRUE(log.events[0].message.starts_with(L"Exception with message 'Resources.cpp("));
    EXPECT_EQ(StringResource(15, self()).string(std::nothrow, L"fallback"), L"entry fifteen");
}
