#include "MsiUtils.h"

#include <algorithm>
#include <vector>

#include "FileUtils.h"
#include "Resources.h"
#include "UniqueResource.h"
#include "WinDll.h"
#include "WinSysInfo.h"

namespace msi {
namespace {

constexpr const wchar_t* kInstallerMutexName = L"Global\\_MSIExecute";
constexpr const wchar_t* kNoDescription = L"No description";
constexpr DWORD kAllMessages = 0xFFFFFFFF;
constexpr UINT kMessageKindMask = 0xFF000000;
constexpr UINT kMessageFlagsMask = 0x00FFFFFF;

tstring systemLibraryPath(const tstring& fileName) {
    return FileUtils::PathBuilder() << SysInfo::getSystemDirectory() << fileName;
}

// Runs a restoring call from a destructor: whatever it throws is logged, never passed on.
template <typename Restore>
void restoreQuietly(const SourceLocation& location, Restore restore) noexcept {
    try {
        restore();
    } catch (const std::runtime_error& e) {
        logCaughtException(location, e);
    } catch (...) {
        logCaughtUnknown(location);
    }
}

// msi.dll from the system directory, with the libraries it imports from there too (the launcher
// runs from download folders, where anyone may have planted an msi.dll), and its bound functions.
class BoundService {
public:
    BoundService() : library_(L"msi.dll", Dll::FromSystemDir()) {
#define LD_MSI_BIND_SERVICE_FUNCTION(ordinal, name) bind(functions_.name, ordinal);
        LD_MSI_SERVICE_FUNCTIONS(LD_MSI_BIND_SERVICE_FUNCTION)
#undef LD_MSI_BIND_SERVICE_FUNCTION
    }

    const ServiceFunctions& functions() const {
        return functions_;
    }

private:
    template <typename Function>
    void bind(Function& function, WORD ordinal) const {
        // Through the generic function pointer type, which converts to any other without a warning.
        function = reinterpret_cast<Function>(
            reinterpret_cast<void (*)()>(library_.getFunction(MAKEINTRESOURCEA(ordinal), true)));
    }

    Dll library_;
    ServiceFunctions functions_;
};

// The installer's description of `code` from its message library; Wine's copy has no string
// table, so there (and for codes it does not describe) the text is "No description".
tstring describeInstallerCode(UINT code, HMODULE messages) {
    try {
        return StringResource(code, messages).string();
    } catch (const std::exception&) {
        return kNoDescription;
    }
}

std::string makeMessage(const std::string& message, UINT code) {
    tstrings::MessageBuilder detail;
    detail << "MSI error [" << code << "]";

    const tstring path = systemLibraryPath(L"msimsg.dll");
    const ModuleHandle messages(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    LD_THROW_LAST_ERROR_IF(!messages, LoadLibraryExW, "LoadLibraryExW(" << path << ") failed");
    detail << "(" << describeInstallerCode(code, messages.get()) << ")";
    return joinMessages(tstrings::escapeNul(message), detail.str());
}

// What the service hands every message to while a callback is set.
// No exception may unwind into the service's own frames, not even one raised while reporting.
int WINAPI forwardMessage(LPVOID context, UINT messageWord, LPCWSTR message) noexcept {
    if (context == nullptr) {
        return 0;
    }
    const UINT kind = messageWord & kMessageKindMask;
    const UINT flags = messageWord & kMessageFlagsMask;
    if (message == nullptr) {
        return 0;
    }
    try {
        try {
            static_cast<Callback*>(context)->notify(kind, flags, message);
        }
        LD_CATCH_AND_LOG(std::runtime_error)
    } catch (...) {
        // The report itself failed (out of memory, a failing appender): the message is dropped.
    }
    // 0 lets the service go on with its own handling of the message.
    return 0;
}

class CallbackTrigger {
public:
    explicit CallbackTrigger(Callback& callback) {
        service().MsiSetExternalUIW(forwardMessage, kAllMessages, &callback);
    }
    ~CallbackTrigger() {
        restoreQuietly(LD_SOURCE_LOCATION, [] { service().MsiSetExternalUIW(nullptr, 0, nullptr); });
    }
    CallbackTrigger(const CallbackTrigger&) = delete;
    CallbackTrigger& operator=(const CallbackTrigger&) = delete;
};

// Members are destroyed in reverse order: the callback goes first, the UI level comes back last.
class StateImpl : public ActionData::State {
public:
    explicit StateImpl(const ActionData& request)
        : uiLevel_(request.uiLevel),
          logFile_(request.logFile, request.logMode, request.logAttributes),
          callback_(request.callback != nullptr ? std::make_unique<CallbackTrigger>(*request.callback) : nullptr) {}

private:
    UILevelGuard uiLevel_;
    LogFileGuard logFile_;
    std::unique_ptr<CallbackTrigger> callback_;
};

bool isAsciiLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}
bool isAsciiDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// The installer's identifier rule: a letter or '_', then letters, digits, '_' and '.'.
void checkPropertyName(const tstring& name) {
    bool valid = !name.empty() && (isAsciiLetter(name.front()) || name.front() == L'_');
    for (const wchar_t c : name) {
        valid = valid && (isAsciiLetter(c) || isAsciiDigit(c) || c == L'_' || c == L'.');
    }
    if (!valid) {
        LD_THROW(tstrings::MessageBuilder() << "Invalid installer property name '" << name << "'");
    }
}

// Inner double quotes are doubled; the empty value and a value with blanks or double quotes are
// enclosed in double quotes. The installer reads a doubled quote as one only inside a quoted
// value: left bare, it opens a quoted run that swallows the properties after it.
tstring quotePropertyValue(const tstring& value) {
    const tstring escaped = tstrings::replace(value, L"\"", L"\"\"");
    if (escaped.empty()) {
        return L"\"\"";
    }
    if (escaped.find_first_of(L" \t\"") != tstring::npos) {
        return L"\"" + escaped + L"\"";
    }
    return escaped;
}

ActionStatus handleMsiStatus(const tstring& operation, UINT code) {
    ActionStatus status;
    status.code = code;
    tstrings::MessageBuilder text(operation);
    if (status.isSuccess()) {
        text << "succeeded";
        if (code != ERROR_SUCCESS) {
            text << " [" << code << "]";
        }
        LOG_INFO(text);
    } else {
        text << "failed [" << code << "]";
        status.text = text.str();
    }
    return status;
}

ActionStatus configureProduct(const Guid& productCode, INSTALLSTATE installState, const tstring& commandLine) {
    const tstring product = productCode.toString();
    const UINT code =
        service().MsiConfigureProductExW(product.c_str(), INSTALLLEVEL_MAXIMUM, installState, commandLine.c_str());
    return handleMsiStatus(
        (tstrings::MessageBuilder() << "MsiConfigureProductEx(" << product << ", " << INSTALLLEVEL_MAXIMUM << ", "
                                    << installState << ", " << commandLine << ") ")
            .tstr(),
        code);
}

// Reads a string through a service function that fills a caller's buffer: the buffer doubles
// (20, 40, 80 ... units) until the value and its terminator fit. The size the service reports
// with ERROR_MORE_DATA is not trusted, as the value may grow between calls.
constexpr DWORD kInitialValueBuffer = 20;

inline const wchar_t* serviceArgument(const tstring& text) {
    return text.c_str();
}
template <typename T>
T serviceArgument(T value) {
    return value;
}

template <typename Function, typename First, typename Second>
tstring readServiceString(Function function, const char* functionName, const First& first, const Second& second) {
    std::vector<wchar_t> buffer(kInitialValueBuffer);
    DWORD size = static_cast<DWORD>(buffer.size());
    UINT result = function(serviceArgument(first), serviceArgument(second), buffer.data(), &size);
    while (result == ERROR_MORE_DATA) {
        buffer.resize(buffer.size() * 2);
        size = static_cast<DWORD>(buffer.size());
        result = function(serviceArgument(first), serviceArgument(second), buffer.data(), &size);
    }
    LD_THROW_IF_ERROR_CODE(result, Error, functionName << "(" << first << ", " << second << ") failed");
    // Never past the buffer, whatever count the service wrote back.
    return tstring(buffer.data(), std::min<std::size_t>(size, buffer.size()));
}

}  // namespace

const ServiceFunctions& service() {
    // Never destroyed: pointers handed out must not dangle while static objects of other modules
    // shut down, and a custom-action DLL must not free libraries from its unload path.
    static const BoundService* const bound = new BoundService();
    return bound->functions();
}

Error::Error(const std::string& message, UINT code) : std::runtime_error(makeMessage(message, code)), code_(code) {}

Error::Error(const tstrings::MessageBuilder& message, UINT code) : Error(message.str(), code) {}

NoMoreItemsError::NoMoreItemsError(const std::string& message) : Error(message, ERROR_NO_MORE_ITEMS) {}

NoMoreItemsError::NoMoreItemsError(const tstrings::MessageBuilder& message) : Error(message, ERROR_NO_MORE_ITEMS) {}

void closeMSIHANDLE(MSIHANDLE handle) noexcept {
    if (handle == 0) {
        return;
    }
    try {
        const UINT result = service().MsiCloseHandle(handle);
        if (result != ERROR_SUCCESS) {
            LOG_WARNING("MsiCloseHandle(" << handle << ") failed with error=" << result);
        }
    }
    LD_CATCH_AND_LOG(std::runtime_error)
}

bool waitForInstallationCompletion(DWORD timeout) {
    const UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kInstallerMutexName));
    if (!mutex) {
        return true;
    }
    return detail::waitForInstallerMutex(mutex.get(), timeout);
}

namespace detail {

bool waitForInstallerMutex(HANDLE mutex, DWORD timeout) {
    const DWORD result = WaitForSingleObject(mutex, timeout);
    // Not knowing is not the same as "no installation runs".
    LD_THROW_LAST_ERROR_IF(result == WAIT_FAILED, WaitForSingleObject,
                           "WaitForSingleObject(" << kInstallerMutexName << ") failed");
    if (timeout != 0) {
        LOG_INFO("finish waiting for mutex: " << result);
    }
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        // The wait made this thread the mutex's owner. Closing the handle does not give that up,
        // so without the release every later installation would wait until this thread ends.
        if (!ReleaseMutex(mutex)) {
            const DWORD error = GetLastError();
            LOG_WARNING("ReleaseMutex(" << kInstallerMutexName << ") failed with error=" << error);
        }
    }
    return result != WAIT_TIMEOUT;
}

}  // namespace detail

UILevelGuard::UILevelGuard(int uiLevel)
    : previousLevel_(service().MsiSetInternalUI(static_cast<INSTALLUILEVEL>(uiLevel), nullptr)) {}

UILevelGuard::~UILevelGuard() {
    restoreQuietly(LD_SOURCE_LOCATION, [this] { service().MsiSetInternalUI(previousLevel_, nullptr); });
}

LogFileGuard::LogFileGuard(const tstring& path, DWORD mode, DWORD attributes) {
    if (path.empty()) {
        service().MsiEnableLogW(0, nullptr, 0);
    } else {
        service().MsiEnableLogW(mode, path.c_str(), attributes);
    }
}

LogFileGuard::~LogFileGuard() {
    restoreQuietly(LD_SOURCE_LOCATION, [] { service().MsiEnableLogW(0, nullptr, 0); });
}

bool ActionStatus::isSuccess() const noexcept {
    return code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_INITIATED || code == ERROR_SUCCESS_REBOOT_REQUIRED;
}

void ActionStatus::throwIt() const {
    LD_THROW(Error(text, code));
}

std::unique_ptr<ActionData::State> ActionData::applySettings() const {
    return std::make_unique<StateImpl>(*this);
}

tstring ActionData::commandLine() const {
    tstring args = tstrings::trim(rawCmdLineArgs, L" \t");
    tstring properties;
    for (const auto& [name, value] : props) {
        checkPropertyName(name);
        properties += L" " + name + L"=" + quotePropertyValue(value);
    }
    properties = tstrings::trim(properties, L" \t");
    if (!args.empty() && !properties.empty()) {
        args += L' ';
    }
    return args + properties;
}

ActionStatus uninstall::run(const uninstall& target, const tstring& commandLine) {
    return configureProduct(target.productCode, INSTALLSTATE_ABSENT, commandLine);
}

ActionStatus configureLocal::run(const configureLocal& target, const tstring& commandLine) {
    return configureProduct(target.productCode, INSTALLSTATE_LOCAL, commandLine);
}

ActionStatus install::run(const install& target, const tstring& commandLine) {
    const UINT code = service().MsiInstallProductW(target.packagePath.c_str(), commandLine.c_str());
    return handleMsiStatus(
        (tstrings::MessageBuilder() << "MsiInstallProduct(" << target.packagePath << ", " << commandLine << ") ")
            .tstr(),
        code);
}

tstring getProductInfo(const Guid& productCode, const tstring& name) {
    return readServiceString(service().MsiGetProductInfoW, "MsiGetProductInfo", productCode.toString(), name);
}

tstring getProductInfo(const Guid& productCode, const tstring& name, const std::nothrow_t&) noexcept {
    try {
        return getProductInfo(productCode, name);
    } catch (...) {
        return tstring();
    }
}

tstring getProperty(MSIHANDLE session, const tstring& name) {
    return readServiceString(service().MsiGetPropertyW, "MsiGetProperty", session, name);
}

tstring getProperty(MSIHANDLE session, const tstring& name, const std::nothrow_t&) noexcept {
    try {
        return getProperty(session, name);
    } catch (...) {
        return tstring();
    }
}

tstring getRecordString(MSIHANDLE record, UINT field) {
    return readServiceString(service().MsiRecordGetStringW, "MsiRecordGetString", record, field);
}

bool isProductInstalled(const Guid& productCode) {
    try {
        getProductInfo(productCode, L"VersionString");
        return true;
    } catch (const Error& e) {
        return e.code() != ERROR_UNKNOWN_PRODUCT && e.code() != ERROR_UNKNOWN_PROPERTY;
    }
}

}  // namespace msi
