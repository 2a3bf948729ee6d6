#include "MsiDb.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "LodestarTestPackages.h"
#include "MsiTestSupport.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

const tstring kExact20 = L"twenty characters!!!";
const tstring kLong100 =
    L"one hundred characters one hundred characters one hundred characters one hundred characters one hend";
const wchar_t* const kStreamQuery = L"SELECT `Data` FROM `_Streams` WHERE `Name` = ?";

tstring long300() {
    tstring value;
    for (int i = 0; i < 297; ++i) {
        value += static_cast<wchar_t>(L'a' + i % 26);
    }
    return value + L"END";
}

// The stream contents the build wrote beside the package (castreams/exact.bin, castreams/plus1.bin).
tstring streamSource(const wchar_t* fileName) {
    return (fs::path(testpackages::cadb_streams.path).parent_path() / L"castreams" / fileName).wstring();
}

class MsiDatabaseTest : public testing::Test {
protected:
    msi::Database database{tstring(testpackages::cadb_streams.path)};
};

}  // namespace

TEST_F(MsiDatabaseTest, ReadsPropertyValuesOfEveryLengthFromThePropertyTable) {
    EXPECT_EQ(database.getPath(), testpackages::cadb_streams.path);
    EXPECT_NE(database.getHandle(), 0u);
    EXPECT_EQ(database.getProperty(L"SHORT"), L"v");
    EXPECT_EQ(database.getProperty(L"EXACT20"), kExact20);
    EXPECT_EQ(database.getProperty(L"LONG100"), kLong100);
    EXPECT_EQ(database.getProperty(L"LONG300"), long300());
    EXPECT_EQ(database.getProperty(L"ProductCode"), testpackages::cadb_streams.productCode);
    EXPECT_EQ(database.getProperty(L"ProductVersion", std::nothrow), L"3.4.5");
}

TEST_F(MsiDatabaseTest, MissingPropertyThrowsNoMoreItemsNamingTheQueryOrLogsAndGivesEmpty) {
    try {
        database.getProperty(L"MISSING");
        FAIL() << "no error";
    } catch (const LdError<msi::NoMoreItemsError>& e) {
        EXPECT_EQ(e.code(), 259u);
        EXPECT_TRUE(std::string(e.rawMessage())
                        .starts_with("No more items in [SELECT Value FROM Property WHERE Property = 'MISSING'] query. "
                                     "MSI error [259]("))
            << e.rawMessage();
        EXPECT_NE(std::string(e.what()).find("MsiDb.cpp"), std::string::npos) << e.what();
    }

    const CapturingLogAppender log;
    EXPECT_EQ(database.getProperty(L"MISSING", std::nothrow), L"");
    EXPECT_TRUE(
        log.contains(LogLevel::ERROR, L"No more items in [SELECT Value FROM Property WHERE Property = 'MISSING']"));
}

TEST_F(MsiDatabaseTest, ViewsTakeParametersAndRunOutOfRows) {
    msi::DatabaseRecord params(1);
    params.setString(1, L"LONG100");
    msi::DatabaseView view(database, L"SELECT `Property`, `Value` FROM `Property` WHERE `Property` = ?", params);
    EXPECT_EQ(view.getQuery(), L"SELECT `Property`, `Value` FROM `Property` WHERE `Property` = ?");

    const msi::DatabaseRecord row = view.fetch();
    EXPECT_EQ(row.getFieldCount(), 2u);
    EXPECT_EQ(row.getString(1), L"LONG100");
    EXPECT_EQ(row.getString(2), kLong100);
    EXPECT_TRUE(view.tryFetch().empty());

    // A query that yields no row at all.
    params.setString(1, L"NO_SUCH_PROPERTY");
    msi::DatabaseView none(database, L"SELECT `Property`, `Value` FROM `Property` WHERE `Property` = ?", params);
    try {
        none.fetch();
        FAIL() << "no error";
    } catch (const LdError<msi::NoMoreItemsError>& e) {
        EXPECT_TRUE(std::string(e.rawMessage())
                        .starts_with("No more items in [SELECT `Property`, `Value` FROM `Property` WHERE `Property` = "
                                     "?] query. MSI error [259]("))
            << e.rawMessage();
    }

    // Every row, one by one.
    std::set<tstring> names;
    msi::DatabaseView all(database, L"SELECT `Property` FROM `Property`");
    for (msi::DatabaseRecord record = all.tryFetch(); !record.empty(); record = all.tryFetch()) {
        names.insert(record.getString(1));
    }
    for (const wchar_t* name : {L"SHORT", L"EXACT20", L"LONG100", L"LONG300", L"ProductCode"}) {
        EXPECT_EQ(names.count(name), 1u) << tstrings::toUtf8(name);
    }
}

TEST_F(MsiDatabaseTest, FailedOpenQueryAndModifyNameTheCall) {
    const auto [openMessage, openCode] = installerFailure([] { msi::Database(tstring(L"C:\\no\\such\\package.msi")); });
    EXPECT_NE(openCode, 0u);
    EXPECT_TRUE(
        openMessage.starts_with("MsiOpenDatabase(C:\\no\\such\\package.msi, MSIDBOPEN_READONLY) failed. "
                                "MSI error [" +
                                std::to_string(openCode) + "]("))
        << openMessage;

    const auto [queryMessage, queryCode] =
        installerFailure([this] { msi::DatabaseView(database, L"SELECT `Nothing` FROM `NoSuchTable`"); });
    EXPECT_NE(queryCode, 0u);
    EXPECT_TRUE(
        queryMessage.starts_with("MsiDatabaseOpenView(SELECT `Nothing` FROM `NoSuchTable`) failed. MSI error ["))
        << queryMessage;

    // The database is open read-only. Windows refuses a new row; Wine keeps it in memory and only
    // never writes it, so there a change the service cannot make at all shows the message.
    msi::DatabaseView view(database, L"SELECT `Property`, `Value` FROM `Property`");
    msi::DatabaseRecord row(2);
    row.setString(1, L"ADDED").setString(2, L"by the test");
    const MSIMODIFY refusedMode = runningUnderWine() ? MSIMODIFY_UPDATE : MSIMODIFY_INSERT;
    const auto [modifyMessage, modifyCode] = installerFailure([&] { view.modify(refusedMode, row); });
    EXPECT_NE(modifyCode, 0u);
    EXPECT_TRUE(modifyMessage.starts_with("MsiViewModify(mode=" + std::to_string(refusedMode) +
                                          ") failed. MSI error [" + std::to_string(modifyCode) + "]("))
        << modifyMessage;
    if (runningUnderWine()) {
        view.modify(MSIMODIFY_INSERT, row);
    }
    // The package file never changes.
    const msi::Database reopened{tstring(testpackages::cadb_streams.path)};
    EXPECT_EQ(reopened.getProperty(L"ADDED", std::nothrow), L"");
}

TEST_F(MsiDatabaseTest, SavesStreamsOfOneReadAndOneByteMoreByteForByte) {
    const ScratchDirectory scratch;
    for (const auto& [name, source] : {std::pair{L"exact", L"exact.bin"}, std::pair{L"plusone", L"plus1.bin"}}) {
        const std::string expected = readFile(streamSource(source));
        ASSERT_EQ(expected.size(), tstring(name) == L"exact" ? 1048576u : 1048577u);

        msi::DatabaseRecord params(1);
        params.setString(1, name);
        msi::DatabaseView view(database, kStreamQuery, params);
        const msi::DatabaseRecord row = view.fetch();
        const tstring saved = scratch / (tstring(name) + L".bin");
        writeFile(saved, "older and shorter");
        row.saveStreamToFile(1, saved);
        EXPECT_TRUE(readFile(saved) == expected) << tstrings::toUtf8(name);
    }
    // Only the saved files: no staging file is left behind.
    EXPECT_EQ(listNames(scratch.path()), (std::vector<tstring>{L"exact.bin", L"plusone.bin"}));
}

TEST_F(MsiDatabaseTest, FailedStreamSaveLeavesTheOldFileAndNoStagingFile) {
    const ScratchDirectory scratch;
    const tstring target = scratch / L"target.bin";
    writeFile(target, "old contents");

    msi::DatabaseView view(database, L"SELECT `Value` FROM `Property` WHERE `Property` = 'SHORT'");
    const msi::DatabaseRecord row = view.fetch();
    // A string field has no stream to read.
    const auto [message, code] = installerFailure([&] { row.saveStreamToFile(1, target); });
    EXPECT_NE(code, 0u);
    EXPECT_TRUE(message.starts_with("MsiRecordReadStream() failed. MSI error [" + std::to_string(code) + "]("))
        << message;
    EXPECT_EQ(readFile(target), "old contents");
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"target.bin"});
}

TEST(MsiDatabaseRecord, SettersAndGettersRoundTripThroughTheService) {
    const ScratchDirectory scratch;
    msi::DatabaseRecord record(3);
    EXPECT_FALSE(record.empty());
    EXPECT_EQ(record.getFieldCount(), 3u);
    record.setString(1, long300()).setInteger(2, -7);
    EXPECT_EQ(record.getString(1), long300());
    EXPECT_EQ(record.getInteger(2), -7);
    EXPECT_EQ(record.getString(2), L"-7");
    EXPECT_EQ(record.getString(3), L"");

    const auto [integerMessage, integerCode] = installerFailure([&] { record.getInteger(1); });
    EXPECT_EQ(integerCode, 1627u);
    EXPECT_TRUE(integerMessage.starts_with("MsiRecordGetInteger(1) failed. MSI error [1627](")) << integerMessage;

    const tstring source = streamSource(L"plus1.bin");
    record.setStreamFromFile(3, source);
    const tstring copy = scratch / L"copy.bin";
    record.saveStreamToFile(3, copy);
    EXPECT_TRUE(readFile(copy) == readFile(source));

    const tstring missing = scratch / L"missing.bin";
    const auto [streamMessage, streamCode] = installerFailure([&] { record.setStreamFromFile(3, missing); });
    EXPECT_NE(streamCode, 0u);
    EXPECT_TRUE(
        streamMessage.starts_with("MsiRecordSetStream(3, " + tstrings::toUtf8(missing) + ") failed. MSI error ["))
        << streamMessage;

    // Ownership moves; the moved-from record is empty.
    msi::DatabaseRecord moved(std::move(record));
    EXPECT_TRUE(record.empty());
    EXPECT_EQ(moved.getInteger(2), -7);
}

TEST(MsiDatabaseRecord, RecordsWithoutFieldsReportTheirFieldCountAsAFailure) {
    const msi::DatabaseRecord noFields(0u);
    const msi::DatabaseRecord noHandle;
    for (const msi::DatabaseRecord* record : {&noFields, &noHandle}) {
        const auto [message, code] = installerFailure([&] { record->getFieldCount(); });
        EXPECT_EQ(code, 1627u);
        EXPECT_TRUE(message.starts_with("MsiRecordGetFieldCount() failed. MSI error [1627](")) << message;
    }
    EXPECT_TRUE(msi::DatabaseRecord().empty());
    EXPECT_EQ(msi::DatabaseRecord().getHandle(), 0u);
}

TEST(MsiDatabaseView, CloseDatabaseViewClosesAnOpenViewAndOnlyLogsAFailure) {
    const msi::Database database{tstring(testpackages::cadb_streams.path)};
    MSIHANDLE view = 0;
    ASSERT_EQ(msi::service().MsiDatabaseOpenViewW(database.getHandle(), L"SELECT `Value` FROM `Property`", &view), 0u);
    ASSERT_EQ(msi::service().MsiViewExecute(view, 0), 0u);

    const CapturingLogAppender log;
    msi::closeDatabaseView(view);
    msi::closeDatabaseView(0);
    EXPECT_TRUE(log.events.empty());
    // The handle is gone: closing it again fails in MsiViewClose and is only logged.
    msi::closeDatabaseView(view);
    EXPECT_TRUE(log.contains(LogLevel::WARNING, L"MsiViewClose(" + std::to_wstring(view) + L") failed with error=6"));
}
