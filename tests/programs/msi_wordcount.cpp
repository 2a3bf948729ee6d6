// Sets the summary information's Word Count (PID 15) of a package, which wixl cannot: bit 0 says
// the source files have short names, bit 1 that they are compressed (in cabinets). The change goes
// through the installer's own summary-information functions, as a package author's tool would.
//   msi_wordcount PACKAGE VALUE
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: msi_wordcount PACKAGE VALUE\n");
        return 2;
    }
    const int value = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
    MSIHANDLE database = 0;
    UINT result = MsiOpenDatabaseW(argv[1], MSIDBOPEN_TRANSACT, &database);
    MSIHANDLE summary = 0;
    if (result == ERROR_SUCCESS) {
        result = MsiGetSummaryInformationW(database, nullptr, 1, &summary);
    }
    if (result == ERROR_SUCCESS) {
        result = MsiSummaryInfoSetPropertyW(summary, 15 /* PID_WORDCOUNT */, VT_I4, value, nullptr, nullptr);
    }
    if (result == ERROR_SUCCESS) {
        result = MsiSummaryInfoPersist(summary);
    }
    if (result == ERROR_SUCCESS) {
        result = MsiDatabaseCommit(database);
    }
    if (summary != 0) {
        MsiCloseHandle(summary);
    }
    if (database != 0) {
        MsiCloseHandle(database);
    }
    if (result != ERROR_SUCCESS) {
        std::fwprintf(stderr, L"msi_wordcount: setting the Word Count of %ls failed with %u\n", argv[1], result);
        return 1;
    }
    return 0;
}
