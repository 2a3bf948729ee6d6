#include "PackageDatabase.h"

#include "MsiDb.h"

namespace {
constexpr UINT kWordCount = 15;  // PID_WORDCOUNT
}  // namespace

struct PackageDatabase::Native {
    explicit Native(const tstring& path) : database(path) {}
    msi::Database database;
};

PackageDatabase::PackageDatabase(const tstring& path) : native_(std::make_unique<Native>(path)) {}

// An open InputFile can be neither renamed nor replaced: its path names the file itself.
PackageDatabase::PackageDatabase(const InputFile& file) : PackageDatabase(file.path()) {}

PackageDatabase::~PackageDatabase() = default;

std::optional<tstring> PackageDatabase::property(const tstring& name) const {
    try {
        return native_->database.getProperty(name);
    } catch (const msi::NoMoreItemsError&) {
        return std::nullopt;
    }
}

bool PackageDatabase::hasTable(const tstring& table) const {
    msi::DatabaseRecord name(1);
    name.setString(1, table);
    msi::DatabaseView view(native_->database, L"SELECT `Name` FROM `_Tables` WHERE `Name` = ?", name);
    return !view.tryFetch().empty();
}

std::vector<PackageDatabase::Row> PackageDatabase::select(const tstring& query) const {
    msi::DatabaseView view(native_->database, query);
    std::vector<Row> rows;
    for (msi::DatabaseRecord record = view.tryFetch(); !record.empty(); record = view.tryFetch()) {
        Row row;
        const UINT fields = record.getFieldCount();
        for (UINT field = 1; field <= fields; ++field) {
            row.push_back(record.getString(field));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::int32_t PackageDatabase::wordCount() const {
    return msi::SummaryInformation(native_->database).getInteger(kWordCount).value_or(0);
}
