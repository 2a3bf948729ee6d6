// Read access to installer databases: a package file or the database of a running installation
// session, opened read-only, queried through views whose rows are records. Every handle here has
// exactly one owner and is closed by it.
#pragma once

#include <cstdint>
#include <new>
#include <optional>

#include "MsiUtils.h"

namespace msi {

// One record: a row fetched from a view, a query's parameters, or a message for the session log.
// Owns its handle; a default-made record has none and counts as empty.
class DatabaseRecord {
public:
    DatabaseRecord() = default;
    // A new record with `fieldCount` fields (plus field 0, the record's format template).
    explicit DatabaseRecord(UINT fieldCount);
    // Takes over a record handle the service returned.
    static DatabaseRecord adopt(MSIHANDLE handle) noexcept;

    ~DatabaseRecord();
    DatabaseRecord(DatabaseRecord&& other) noexcept;
    DatabaseRecord& operator=(DatabaseRecord&& other) noexcept;
    DatabaseRecord(const DatabaseRecord&) = delete;
    DatabaseRecord& operator=(const DatabaseRecord&) = delete;

    bool empty() const noexcept { return handle_ == 0; }
    MSIHANDLE getHandle() const noexcept { return handle_; }

    DatabaseRecord& setString(UINT field, const tstring& value);
    DatabaseRecord& setInteger(UINT field, std::int32_t value);
    // The stream field takes the file's contents.
    DatabaseRecord& setStreamFromFile(UINT field, const tstring& path);

    UINT getFieldCount() const;
    std::int32_t getInteger(UINT field) const;
    tstring getString(UINT field) const;
    // Writes the stream field to `path` byte for byte; `path` changes only once the whole stream
    // has been read and written.
    void saveStreamToFile(UINT field, const tstring& path) const;

private:
    MSIHANDLE handle_ = 0;
};

// Opens the package file at `path` read-only; the caller owns the handle.
MSIHANDLE openDatabase(const tstring& path);

// An open installer database. Views refer to it, so it stays where it was made.
class Database {
public:
    // The cached package of an installed product ("LocalPackage").
    explicit Database(const Guid& productCode);
    explicit Database(const tstring& path);
    // Takes over a database handle the service opened already (a session's, say); getPath()
    // reports `path`.
    struct AdoptHandle {};
    Database(MSIHANDLE handle, const tstring& path, AdoptHandle);

    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    const tstring& getPath() const noexcept { return path_; }
    MSIHANDLE getHandle() const noexcept { return handle_; }

    // The value of `name` in the Property table; throws NoMoreItemsError when it is not there.
    tstring getProperty(const tstring& name) const;
    // As above, but any failure is logged and gives an empty string.
    tstring getProperty(const tstring& name, const std::nothrow_t&) const noexcept;

private:
    tstring path_;
    MSIHANDLE handle_;
};

// A query executed on a database; rows are fetched one by one. The database must outlive it.
class DatabaseView {
public:
    // `params` fills the query's '?' markers in order; an empty record when there are none.
    DatabaseView(const Database& database, const tstring& query, const DatabaseRecord& params = DatabaseRecord());
    ~DatabaseView();
    DatabaseView(const DatabaseView&) = delete;
    DatabaseView& operator=(const DatabaseView&) = delete;

    const tstring& getQuery() const noexcept { return query_; }

    // The next row, or an empty record when there are no more.
    DatabaseRecord tryFetch();
    // The next row; throws NoMoreItemsError when there are no more.
    DatabaseRecord fetch();
    void modify(MSIMODIFY mode, const DatabaseRecord& record);

private:
    tstring query_;
    [[maybe_unused]] const Database& database_;  // views are only valid while it lives
    MSIHANDLE handle_;
};

// The summary information of a database (title, author, the source files' layout and the like),
// read-only. The database must outlive it.
class SummaryInformation {
public:
    explicit SummaryInformation(const Database& database);
    ~SummaryInformation();
    SummaryInformation(const SummaryInformation&) = delete;
    SummaryInformation& operator=(const SummaryInformation&) = delete;

    // An integer property (PID_WORDCOUNT, say); empty when the database does not set it.
    std::optional<std::int32_t> getInteger(UINT property) const;

private:
    MSIHANDLE handle_;
};

// Closes a view and releases its handle; a view that will not close keeps its handle and the
// failure is only logged. Never throws.
void closeDatabaseView(MSIHANDLE handle) noexcept;

}  // namespace msi
