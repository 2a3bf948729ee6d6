// The Windows Installer layer: the installer service bound by ordinal from the system
// directory's msi.dll, installer actions (uninstall, configure, install) run with their service
// settings applied for exactly the duration of the call, and the installer error classes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "ErrorHandling.h"
#include "Guid.h"
#include "Log.h"
#include "WinApi.h"
#include "tstrings.h"

#include <msi.h>
#include <msiquery.h>

namespace msi {

// ---------------------------------------------------------------------------------------------
// The installer service

// Every service function the library calls, with its export ordinal; one more function is one
// more line here. Binding by ordinal keeps the import table free of msi.dll (the library loads
// it by full path) and works on every Windows version, whose msi.dll keeps these ordinals fixed.
#define LD_MSI_SERVICE_FUNCTIONS(X) \
    X(8, MsiCloseHandle)            \
    X(17, MsiCreateRecord)          \
    X(32, MsiDatabaseOpenViewW)     \
    X(34, MsiDoActionW)             \
    X(49, MsiGetActiveDatabase)     \
    X(64, MsiGetMode)               \
    X(70, MsiGetProductInfoW)       \
    X(78, MsiGetSummaryInformationW) \
    X(74, MsiGetPropertyW)          \
    X(88, MsiInstallProductW)       \
    X(92, MsiOpenDatabaseW)         \
    X(103, MsiProcessMessage)       \
    X(115, MsiRecordGetFieldCount)  \
    X(116, MsiRecordGetInteger)     \
    X(118, MsiRecordGetStringW)     \
    X(120, MsiRecordReadStream)     \
    X(121, MsiRecordSetInteger)     \
    X(123, MsiRecordSetStreamW)     \
    X(125, MsiRecordSetStringW)     \
    X(137, MsiSetExternalUIW)       \
    X(141, MsiSetInternalUI)        \
    X(145, MsiSetPropertyW)         \
    X(150, MsiSummaryInfoGetPropertyW) \
    X(158, MsiViewClose)            \
    X(159, MsiViewExecute)          \
    X(160, MsiViewFetch)            \
    X(163, MsiViewModify)           \
    X(169, MsiEnableLogW)           \
    X(190, MsiConfigureProductExW)

// The bound functions, named and typed as the Windows SDK declares them.
struct ServiceFunctions {
#define LD_MSI_DECLARE_SERVICE_FUNCTION(ordinal, name) decltype(&::name) name = nullptr;
    LD_MSI_SERVICE_FUNCTIONS(LD_MSI_DECLARE_SERVICE_FUNCTION)
#undef LD_MSI_DECLARE_SERVICE_FUNCTION
};

// The service, loaded from the system directory and bound on first use; it stays bound for the
// life of the process. Throws when msi.dll cannot be loaded or lacks one of the functions.
const ServiceFunctions& service();

// ---------------------------------------------------------------------------------------------
// Errors

// A failed installer call: the message is followed by the installer's own description of the
// code (from msimsg.dll), and the code is kept. Thrown as LdError<Error> (LD_THROW).
class Error : public std::runtime_error {
public:
    Error(const std::string& message, UINT code);
    Error(const tstrings::MessageBuilder& message, UINT code);

    UINT code() const noexcept { return code_; }

private:
    UINT code_;
};

// A query that ran out of rows (ERROR_NO_MORE_ITEMS, 259).
class NoMoreItemsError : public Error {
public:
    explicit NoMoreItemsError(const std::string& message);
    explicit NoMoreItemsError(const tstrings::MessageBuilder& message);
};

// Closes an installer handle; 0 is ignored, a failure is only logged. Never throws.
void closeMSIHANDLE(MSIHANDLE handle) noexcept;

// Waits up to `timeout` ms for a running installation (the installer's "Global\_MSIExecute"
// mutex) to end. True when none runs (any more), false when the wait timed out; a wait that
// fails is an error.
bool waitForInstallationCompletion(DWORD timeout);
namespace detail {
// The wait itself, on a handle of the installer's mutex. Tests give it a handle the wait
// cannot use, a failure Windows gives no other way to provoke.
bool waitForInstallerMutex(HANDLE mutex, DWORD timeout);
}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Service settings, each restored when its guard ends; guards nest.

class UILevelGuard {
public:
    explicit UILevelGuard(int uiLevel);
    ~UILevelGuard();
    UILevelGuard(const UILevelGuard&) = delete;
    UILevelGuard& operator=(const UILevelGuard&) = delete;

private:
    INSTALLUILEVEL previousLevel_;
};

// A service log written to `path`, verbose and overwritten unless `mode` (INSTALLLOGMODE_ bits)
// and `attributes` (INSTALLLOGATTRIBUTES_ bits, e.g. append) say otherwise; an empty path switches
// logging off. Logging is off again when the guard ends.
class LogFileGuard {
public:
    explicit LogFileGuard(const tstring& path, DWORD mode = INSTALLLOGMODE_VERBOSE, DWORD attributes = 0);
    ~LogFileGuard();
    LogFileGuard(const LogFileGuard&) = delete;
    LogFileGuard& operator=(const LogFileGuard&) = delete;
};

// Receives the service's messages while an action runs.
class Callback {
public:
    virtual ~Callback() = default;
    // `type` is the message kind (the top 8 bits of the service's message word, e.g.
    // INSTALLMESSAGE_INFO), `flags` the low 24 bits.
    virtual void notify(UINT type, UINT flags, const tstring& message) = 0;
};

// ---------------------------------------------------------------------------------------------
// Actions

struct ActionStatus {
    std::string text;  // UTF-8; empty on success, the failed call and its code otherwise
    UINT code = 0;

    // 0, 1641 (restart started) and 3010 (restart required).
    bool isSuccess() const noexcept;
    [[noreturn]] void throwIt() const;
};

// The request common to every action.
class ActionData {
public:
    // The service settings of a running action; destroying it restores them in reverse order.
    class State {
    public:
        virtual ~State() = default;
    };

    std::map<tstring, tstring> props;  // passed as NAME=value, in key order
    tstring rawCmdLineArgs;            // placed before the properties
    std::int32_t uiLevel = INSTALLUILEVEL_NONE;
    Callback* callback = nullptr;            // not owned
    tstring logFile;                         // empty: no log
    DWORD logMode = INSTALLLOGMODE_VERBOSE;  // what the log records (INSTALLLOGMODE_ bits)
    DWORD logAttributes = 0;                 // INSTALLLOGATTRIBUTES_ bits: append, flush each line

    // Applies the UI level, log file and callback; they last as long as the returned state.
    std::unique_ptr<State> applySettings() const;

    // The trimmed raw arguments, then " NAME=value" for each property with the value quoted
    // the way the installer's command-line parser reads it back. Throws on a property name that
    // is not an installer identifier, since a blank or '=' in it would forge other properties.
    tstring commandLine() const;
};

// Removes the product.
struct uninstall {
    Guid productCode;
    static ActionStatus run(const uninstall& target, const tstring& commandLine);
};

// Installs the product's features locally.
struct configureLocal {
    Guid productCode;
    static ActionStatus run(const configureLocal& target, const tstring& commandLine);
};

// Installs the package file.
struct install {
    tstring packagePath;
    static ActionStatus run(const install& target, const tstring& commandLine);
};

// An installer action: the request, then the action type's target. Reboots are suppressed by
// default, since every action runs silently unless asked otherwise and a silent installation
// would otherwise restart the machine on its own.
template <class ActionType>
class action : public ActionData, public ActionType {
public:
    action() { props[L"REBOOT"] = L"ReallySuppress"; }

    // The service's answer, failure included (logged at ERROR); other errors are thrown.
    ActionStatus operator()() const {
        const std::unique_ptr<State> state = applySettings();
        ActionStatus status = ActionType::run(*this, commandLine());
        if (!status.isSuccess()) {
            LOG_ERROR(tstrings::fromUtf8(status.text));
        }
        return status;
    }

    // As above, but any error is logged and becomes code 1359 (ERROR_INTERNAL_ERROR).
    ActionStatus operator()(const std::nothrow_t&) const noexcept {
        try {
            return (*this)();
        }
        LD_CATCH_AND_LOG(std::runtime_error)
        return ActionStatus{"Unknown error", ERROR_INTERNAL_ERROR};
    }
};

// ---------------------------------------------------------------------------------------------
// Product and package queries

// A property of an installed product, e.g. "VersionString" or "LocalPackage".
tstring getProductInfo(const Guid& productCode, const tstring& name);
// As above, but any failure gives an empty string.
tstring getProductInfo(const Guid& productCode, const tstring& name, const std::nothrow_t&) noexcept;

// A property of the running installation session `session`.
tstring getProperty(MSIHANDLE session, const tstring& name);
// As above, but any failure gives an empty string.
tstring getProperty(MSIHANDLE session, const tstring& name, const std::nothrow_t&) noexcept;

// The text of field `field` of a record.
tstring getRecordString(MSIHANDLE record, UINT field);

// Whether the service knows the product; a failure other than "unknown product" or "unknown
// property" counts as installed, since something about the product is then registered.
bool isProductInstalled(const Guid& productCode);

}  // namespace msi
