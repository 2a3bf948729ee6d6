// What lodestar-pack reads of a Windows Installer package: properties, rows of its tables and
// its summary information, read-only. Behind it is the platform's installer library
// (PackageDatabaseWin.cpp: msi.dll through the library's installer layer).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "InputFile.h"
#include "tstrings.h"

class PackageDatabase {
public:
    // A row of a query: each field as text (integers in decimal, a null field empty).
    using Row = std::vector<tstring>;

    // Throws a located error when `path` cannot be opened as an installer database.
    explicit PackageDatabase(const tstring& path);
    // The package `file` is, whatever its path names by now; messages name the file's path.
    explicit PackageDatabase(const InputFile& file);
    ~PackageDatabase();
    PackageDatabase(const PackageDatabase&) = delete;
    PackageDatabase& operator=(const PackageDatabase&) = delete;

    // The value of `name` in the Property table; empty when the table has no such row.
    std::optional<tstring> property(const tstring& name) const;
    bool hasTable(const tstring& table) const;
    // The rows of a SELECT query.
    std::vector<Row> select(const tstring& query) const;
    // The summary information's Word Count (the source files' layout); 0 when it is not set.
    std::int32_t wordCount() const;

private:
    struct Native;
    std::unique_ptr<Native> native_;
};
