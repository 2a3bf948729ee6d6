// What lodestar-pack reads of a package in the native Linux build: msitools' libmsi (GLib).
#include <libmsi.h>

#include <memory>

#include <unistd.h>

#include "ErrorHandling.h"
#include "InputFileNative.h"
#include "Log.h"
#include "PackageDatabase.h"
#include "Posix.h"

namespace {

// Every libmsi object is a GObject with one owner here.
struct GObjectRelease {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GOwned = std::unique_ptr<T, GObjectRelease>;

// A libmsi call's error, owned until its message is taken.
class CallError {
public:
    CallError() = default;
    CallError(const CallError&) = delete;
    CallError& operator=(const CallError&) = delete;
    ~CallError() {
        if (error_ != nullptr) {
            g_error_free(error_);
        }
    }

    GError** receive() { return &error_; }
    bool failed() const { return error_ != nullptr; }
    std::string message() const { return error_ != nullptr && error_->message != nullptr ? error_->message : ""; }

private:
    GError* error_ = nullptr;
};

[[noreturn]] void refuse(const tstrings::MessageBuilder& call, const CallError& error) {
    LD_THROW(tstrings::MessageBuilder() << call << " failed: " << error.message());
}

tstring fieldText(const LibmsiRecord* record, guint field) {
    if (libmsi_record_is_null(record, field)) {
        return tstring();
    }
    gchar* text = libmsi_record_get_string(record, field);
    const tstring value = text != nullptr ? tstrings::fromUtf8(text) : tstring();
    g_free(text);
    return value;
}

// libmsi reports through GLib's logging what it makes of odd tables ("table not found", "Couldn't
// find id for Property"), often for files the packer then refuses with a message of its own. GLib
// would print it on the user's terminal; it goes into the packer's trace (LODESTAR_DEBUG) instead.
void traceLibraryMessage(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
    tstring text = tstrings::fromUtf8(message != nullptr ? message : "");
    while (!text.empty() && text.back() == L'\n') {
        text.pop_back();  // the record is a line of its own
    }
    LOG_TRACE((domain != nullptr ? domain : "GLib") << ": " << tstrings::printable(text));
}

GLogWriterOutput traceStructuredLibraryMessage(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
    const gchar* domain = nullptr;
    const gchar* message = nullptr;
    for (gsize i = 0; i < count; ++i) {
        if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0 && fields[i].length < 0) {
            domain = static_cast<const gchar*>(fields[i].value);
        } else if (g_strcmp0(fields[i].key, "MESSAGE") == 0 && fields[i].length < 0) {
            message = static_cast<const gchar*>(fields[i].value);
        }
    }
    traceLibraryMessage(domain, level, message, nullptr);
    return G_LOG_WRITER_HANDLED;
}

// Once per process, before libmsi is first called: GLib takes a writer only once.
void routeLibraryLogging() {
    static const bool routed = [] {
        g_log_set_default_handler(traceLibraryMessage, nullptr);
        g_log_set_writer_func(traceStructuredLibraryMessage, nullptr, nullptr);
        return true;
    }();
    (void)routed;
}

}  // namespace

struct PackageDatabase::Native {
    GOwned<LibmsiDatabase> database;
};

namespace {

GOwned<LibmsiDatabase> openReadOnly(const tstring& openedAs, const tstring& path) {
    routeLibraryLogging();
    CallError error;
    GOwned<LibmsiDatabase> database(
        libmsi_database_new(posix::narrow(openedAs).c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, error.receive()));
    if (!database) {
        refuse(tstrings::MessageBuilder() << "libmsi_database_new(" << path << ", read-only)", error);
    }
    return database;
}

}  // namespace

PackageDatabase::PackageDatabase(const tstring& path) : native_(std::make_unique<Native>()) {
    native_->database = openReadOnly(path, path);
}

// libmsi opens by path: through the packer's own descriptor, the package it reads is the one the
// packer carries, even if somebody renames another file into the package's place meanwhile. Without
// /proc, only the file's own path is left.
PackageDatabase::PackageDatabase(const InputFile& file) : native_(std::make_unique<Native>()) {
    const std::string descriptorPath = posix::descriptorPath(file.native().fd.get());
    const bool reachable = ::access(descriptorPath.c_str(), R_OK) == 0;
    native_->database = openReadOnly(reachable ? tstrings::fromUtf8(descriptorPath) : file.path(), file.path());
}

PackageDatabase::~PackageDatabase() = default;

std::vector<PackageDatabase::Row> PackageDatabase::select(const tstring& query) const {
    CallError error;
    const GOwned<LibmsiQuery> view(
        libmsi_query_new(native_->database.get(), posix::narrow(query).c_str(), error.receive()));
    if (!view || !libmsi_query_execute(view.get(), nullptr, error.receive())) {
        refuse(tstrings::MessageBuilder() << "The query " << query, error);
    }
    std::vector<Row> rows;
    for (;;) {
        CallError fetchError;
        const GOwned<LibmsiRecord> record(libmsi_query_fetch(view.get(), fetchError.receive()));
        if (!record) {
            // The end of the rows comes without an error; a fetch that fails part-way must not
            // pass for the end, or a table would lose its last rows.
            if (fetchError.failed()) {
                refuse(tstrings::MessageBuilder() << "Reading the rows of " << query, fetchError);
            }
            break;
        }
        Row row;
        const guint fields = libmsi_record_get_field_count(record.get());
        for (guint field = 1; field <= fields; ++field) {
            row.push_back(fieldText(record.get(), field));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::optional<tstring> PackageDatabase::property(const tstring& name) const {
    const std::vector<Row> rows = select(L"SELECT `Value` FROM `Property` WHERE `Property` = '" + name + L"'");
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows.front().at(0);
}

bool PackageDatabase::hasTable(const tstring& table) const {
    return !select(L"SELECT `Name` FROM `_Tables` WHERE `Name` = '" + table + L"'").empty();
}

std::int32_t PackageDatabase::wordCount() const {
    CallError error;
    const GOwned<LibmsiSummaryInfo> summary(libmsi_summary_info_new(native_->database.get(), 0, error.receive()));
    if (!summary) {
        refuse(tstrings::MessageBuilder() << "libmsi_summary_info_new", error);
    }
    CallError typeError;
    const LibmsiPropertyType type =
        libmsi_summary_info_get_property_type(summary.get(), LIBMSI_PROPERTY_SOURCE, typeError.receive());
    if (typeError.failed()) {
        refuse(tstrings::MessageBuilder() << "libmsi_summary_info_get_property_type(Word Count)", typeError);
    }
    if (type == LIBMSI_PROPERTY_TYPE_EMPTY) {
        return 0;
    }
    if (type != LIBMSI_PROPERTY_TYPE_INT) {
        LD_THROW(tstrings::MessageBuilder()
                 << "The summary's Word Count is no integer (type " << static_cast<int>(type) << ")");
    }
    CallError valueError;
    return libmsi_summary_info_get_int(summary.get(), LIBMSI_PROPERTY_SOURCE, valueError.receive());
}
