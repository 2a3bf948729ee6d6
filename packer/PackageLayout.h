// The files a package needs beside it, found in its tables as Windows Installer finds them: the
// external cabinets its Media table names, and the uncompressed source files its File table
// places in the folder tree that the Directory table's source names describe (short or long
// names, as the summary Word Count says). Portable: it reads the tables through PackageDatabase.
#pragma once

#include <stdexcept>
#include <vector>

#include "ErrorHandling.h"
#include "PackageDatabase.h"
#include "tstrings.h"

struct FileBesidePackage {
    tstring name;     // relative to the package's folder, components separated by '\'
    tstring askedBy;  // the table row that names it, for messages
    bool cabinet = false;
};

// A package whose tables name files that cannot be laid out beside it: the message names the
// package and the table row.
class PackageLayoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
#define LD_THROW_LAYOUT_ERROR(message) LD_THROW(PackageLayoutError((tstrings::MessageBuilder() << message).str()))

// Every file the package needs beside it, each once, in table order (cabinets first). Throws
// PackageLayoutError (located) naming the table row for a name that cannot lie below the package's
// folder, for two names that differ only in case, for a name that clashes with `packageFileName`
// or with the launcher's own copy of the package, and for tables that contradict themselves.
std::vector<FileBesidePackage> filesBesidePackage(const PackageDatabase& package, const tstring& packageFileName);
