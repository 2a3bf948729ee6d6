#include "MsiDb.h"

#include <utility>
#include <vector>

#include "WinFileUtils.h"

#include <wtypes.h>

namespace msi {
namespace {

constexpr std::size_t kStreamChunk = 1024 * 1024;
constexpr UINT kNoInteger = 0x80000000;

MSIHANDLE createRecord(UINT fieldCount) {
    const MSIHANDLE handle = service().MsiCreateRecord(fieldCount);
    if (handle == 0) {
        LD_THROW(
            Error(tstrings::MessageBuilder() << "MsiCreateRecord(" << fieldCount << ") failed", ERROR_FUNCTION_FAILED));
    }
    return handle;
}

MSIHANDLE openView(const Database& database, const tstring& query, const DatabaseRecord& params) {
    MSIHANDLE handle = 0;
    LD_THROW_IF_ERROR_CODE(service().MsiDatabaseOpenViewW(database.getHandle(), query.c_str(), &handle), Error,
                           "MsiDatabaseOpenView(" << query << ") failed");
    // A view that cannot run is closed before its error is raised: nobody else owns it yet.
    const UINT executed = service().MsiViewExecute(handle, params.getHandle());
    if (executed != ERROR_SUCCESS) {
        closeMSIHANDLE(handle);
    }
    LD_THROW_IF_ERROR_CODE(executed, Error, "MsiViewExecute(" << query << ") failed");
    return handle;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DatabaseRecord

DatabaseRecord::DatabaseRecord(UINT fieldCount) : handle_(createRecord(fieldCount)) {}

DatabaseRecord DatabaseRecord::adopt(MSIHANDLE handle) noexcept {
    DatabaseRecord record;
    record.handle_ = handle;
    return record;
}

DatabaseRecord::~DatabaseRecord() {
    closeMSIHANDLE(handle_);
}

DatabaseRecord::DatabaseRecord(DatabaseRecord&& other) noexcept : handle_(std::exchange(other.handle_, 0)) {}

DatabaseRecord& DatabaseRecord::operator=(DatabaseRecord&& other) noexcept {
    if (this != &other) {
        closeMSIHANDLE(handle_);
        handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
}

DatabaseRecord& DatabaseRecord::setString(UINT field, const tstring& value) {
    LD_THROW_IF_ERROR_CODE(service().MsiRecordSetStringW(handle_, field, value.c_str()), Error,
                           "MsiRecordSetString(" << field << ", " << value << ") failed");
    return *this;
}

DatabaseRecord& DatabaseRecord::setInteger(UINT field, std::int32_t value) {
    LD_THROW_IF_ERROR_CODE(service().MsiRecordSetInteger(handle_, field, value), Error,
                           "MsiRecordSetInteger(" << field << ", " << value << ") failed");
    return *this;
}

DatabaseRecord& DatabaseRecord::setStreamFromFile(UINT field, const tstring& path) {
    LD_THROW_IF_ERROR_CODE(service().MsiRecordSetStreamW(handle_, field, path.c_str()), Error,
                           "MsiRecordSetStream(" << field << ", " << path << ") failed");
    return *this;
}

UINT DatabaseRecord::getFieldCount() const {
    // The service answers an invalid handle with (UINT)-1.
    const auto count = static_cast<std::int32_t>(service().MsiRecordGetFieldCount(handle_));
    if (count <= 0) {
        LD_THROW(Error("MsiRecordGetFieldCount() failed", ERROR_FUNCTION_FAILED));
    }
    return static_cast<UINT>(count);
}

std::int32_t DatabaseRecord::getInteger(UINT field) const {
    const int value = service().MsiRecordGetInteger(handle_, field);
    if (static_cast<UINT>(value) == kNoInteger) {
        LD_THROW(
            Error(tstrings::MessageBuilder() << "MsiRecordGetInteger(" << field << ") failed", ERROR_FUNCTION_FAILED));
    }
    return value;
}

tstring DatabaseRecord::getString(UINT field) const {
    return getRecordString(handle_, field);
}

void DatabaseRecord::saveStreamToFile(UINT field, const tstring& path) const {
    FileUtils::StagedFileWriter writer(path);
    std::vector<char> buffer(kStreamChunk);
    DWORD size = 0;
    do {
        size = static_cast<DWORD>(buffer.size());
        LD_THROW_IF_ERROR_CODE(service().MsiRecordReadStream(handle_, field, buffer.data(), &size), Error,
                               "MsiRecordReadStream() failed");
        writer.write(buffer.data(), size);
    } while (size == buffer.size());
    writer.finalize();
}

// ---------------------------------------------------------------------------------------------
// Database

MSIHANDLE openDatabase(const tstring& path) {
    MSIHANDLE handle = 0;
    LD_THROW_IF_ERROR_CODE(service().MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, &handle), Error,
                           "MsiOpenDatabase(" << path << ", MSIDBOPEN_READONLY) failed");
    return handle;
}

Database::Database(const Guid& productCode) : Database(getProductInfo(productCode, L"LocalPackage")) {}

Database::Database(const tstring& path) : path_(path), handle_(openDatabase(path)) {}

Database::Database(MSIHANDLE handle, const tstring& path, AdoptHandle) : path_(path), handle_(handle) {}

Database::~Database() {
    closeMSIHANDLE(handle_);
}

tstring Database::getProperty(const tstring& name) const {
    // The name goes into the query as it is: callers pass property names, never outside input.
    const tstring query = L"SELECT Value FROM Property WHERE Property = '" + name + L"'";
    DatabaseView view(*this, query);
    const DatabaseRecord record = view.fetch();
    if (record.getFieldCount() != 1) {
        LD_THROW(Error(tstrings::MessageBuilder()
                           << "record.getFieldCount(" << path_ << ", " << query << ") returned unexpected value",
                       ERROR_SUCCESS));
    }
    return record.getString(1);
}

tstring Database::getProperty(const tstring& name, const std::nothrow_t&) const noexcept {
    try {
        return getProperty(name);
    }
    LD_CATCH_AND_LOG(std::runtime_error)
    return tstring();
}

// ---------------------------------------------------------------------------------------------
// DatabaseView

DatabaseView::DatabaseView(const Database& database, const tstring& query, const DatabaseRecord& params)
    : query_(query), database_(database), handle_(openView(database, query, params)) {}

DatabaseView::~DatabaseView() {
    closeMSIHANDLE(handle_);
}

DatabaseRecord DatabaseView::tryFetch() {
    MSIHANDLE record = 0;
    const UINT result = service().MsiViewFetch(handle_, &record);
    if (result == ERROR_NO_MORE_ITEMS) {
        return DatabaseRecord();
    }
    LD_THROW_IF_ERROR_CODE(result, Error, "MsiViewFetch(" << query_ << ") failed");
    return DatabaseRecord::adopt(record);
}

DatabaseRecord DatabaseView::fetch() {
    DatabaseRecord record = tryFetch();
    if (record.empty()) {
        LD_THROW(NoMoreItemsError(tstrings::MessageBuilder() << "No more items in [" << query_ << "] query"));
    }
    return record;
}

void DatabaseView::modify(MSIMODIFY mode, const DatabaseRecord& record) {
    LD_THROW_IF_ERROR_CODE(service().MsiViewModify(handle_, mode, record.getHandle()), Error,
                           "MsiViewModify(mode=" << mode << ") failed");
}

// ---------------------------------------------------------------------------------------------
// SummaryInformation

namespace {

MSIHANDLE openSummaryInformation(const Database& database) {
    MSIHANDLE handle = 0;
    LD_THROW_IF_ERROR_CODE(service().MsiGetSummaryInformationW(database.getHandle(), nullptr, 0, &handle), Error,
                           "MsiGetSummaryInformation(" << database.getPath() << ") failed");
    return handle;
}

}  // namespace

SummaryInformation::SummaryInformation(const Database& database) : handle_(openSummaryInformation(database)) {}

SummaryInformation::~SummaryInformation() {
    closeMSIHANDLE(handle_);
}

std::optional<std::int32_t> SummaryInformation::getInteger(UINT property) const {
    UINT type = VT_EMPTY;
    INT value = 0;
    FILETIME time{};
    DWORD textSize = 0;
    LD_THROW_IF_ERROR_CODE(
        service().MsiSummaryInfoGetPropertyW(handle_, property, &type, &value, &time, nullptr, &textSize), Error,
        "MsiSummaryInfoGetProperty(" << property << ") failed");
    if (type == VT_EMPTY) {
        return std::nullopt;
    }
    if (type != VT_I4 && type != VT_I2) {
        LD_THROW(Error(tstrings::MessageBuilder() << "MsiSummaryInfoGetProperty(" << property
                                                  << ") is no integer (type " << type << ")",
                       ERROR_DATATYPE_MISMATCH));
    }
    return value;
}

void closeDatabaseView(MSIHANDLE handle) noexcept {
    if (handle == 0) {
        return;
    }
    try {
        const UINT result = service().MsiViewClose(handle);
        if (result != ERROR_SUCCESS) {
            LOG_WARNING("MsiViewClose(" << handle << ") failed with error=" << result);
            return;
        }
        closeMSIHANDLE(handle);
    }
    LD_CATCH_AND_LOG(std::runtime_error)
}

}  // namespace msi
