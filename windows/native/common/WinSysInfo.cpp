#include "WinSysInfo.h"

#include <shellapi.h>

#include <algorithm>
#include <vector>

#include "ErrorHandling.h"
#include "UniqueResource.h"
#include "WinDll.h"
#include "WinFileUtils.h"

namespace SysInfo {
namespace {

constexpr DWORD kInitialModulePathSize = MAX_PATH;
constexpr UINT kInitialSystemDirSize = MAX_PATH;
constexpr DWORD kInitialEnvValueSize = 10;

tstring textUpToZero(const std::vector<wchar_t>& buffer) {
    const auto end = std::find(buffer.begin(), buffer.end(), L'\0');
    return tstring(buffer.begin(), end);
}

// With `errorOccurred`, failures set it and give the empty string instead of throwing.
tstring getEnvVariableImpl(const tstring& name, bool* errorOccurred) {
    std::vector<wchar_t> buffer(kInitialEnvValueSize);
    SetLastError(ERROR_SUCCESS);
    const DWORD size = GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    DWORD error = GetLastError();
    if (error == ERROR_ENVVAR_NOT_FOUND) {
        if (errorOccurred) {
            *errorOccurred = true;
            return tstring();
        }
        LD_THROW_SYSTEM_ERROR(GetEnvironmentVariableW, error,
                              "GetEnvironmentVariable(" << name << ") failed. Variable not set");
    }

    if (size > buffer.size()) {
        // `size` now counts the terminating zero as well.
        buffer.resize(size);
        GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        error = GetLastError();
        if (error != ERROR_SUCCESS) {
            if (errorOccurred) {
                *errorOccurred = true;
                return tstring();
            }
            LD_THROW_SYSTEM_ERROR(GetEnvironmentVariableW, error, "GetEnvironmentVariable(" << name << ") failed");
        }
    }

    if (errorOccurred) {
        *errorOccurred = false;
    }
    return textUpToZero(buffer);
}

using SystemDirFunction = UINT(WINAPI*)(LPWSTR, UINT);

tstring getSystemDirImpl(SystemDirFunction function, const char* functionName) {
    std::vector<wchar_t> buffer(kInitialSystemDirSize);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const UINT length = function(buffer.data(), static_cast<UINT>(buffer.size()));
        LD_THROW_LAST_ERROR_IF(length == 0, function, functionName << " failed");
        if (length < buffer.size()) {
            return FileUtils::removeTrailingSeparators(textUpToZero(buffer));
        }
        buffer.resize(static_cast<size_t>(length) + 1);
    }
    LD_THROW(tstrings::MessageBuilder() << "Unexpected reply from " << functionName);
}

tstring getModulePath(HMODULE module) {
    std::vector<wchar_t> buffer(kInitialModulePathSize);
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    LD_THROW_LAST_ERROR_IF(length == 0, GetModuleFileNameW, "GetModuleFileName failed");
    return tstring(buffer.data(), length);
}

}  // namespace

namespace {

// The process's command line, the one place it is read.
const wchar_t* processCommandLine() {
    return GetCommandLineW();
}

}  // namespace

tstring_array getCommandArgs(ProgramNameMode mode) {
    int count = 0;
    const auto commandLineToArgv = LD_SYSTEM_FUNCTION(shell32, CommandLineToArgvW);
    const LocalMemory<LPWSTR*> argv(commandLineToArgv(processCommandLine(), &count));
    LD_THROW_LAST_ERROR_IF(!argv, commandLineToArgv, "CommandLineToArgvW failed");
    tstring_array result;
    for (int i = (mode == ExcludeProgramName ? 1 : 0); i < count; ++i) {
        result.push_back(argv.get()[i]);
    }
    return result;
}

tstring getCommandArgsText() {
    const tstring commandLine = processCommandLine();
    // The program name follows a rule of its own: no escapes; a quoted name ends at the next
    // quote, an unquoted one at the first blank.
    size_t nameEnd = 0;
    if (!commandLine.empty() && commandLine.front() == L'"') {
        const size_t closingQuote = commandLine.find(L'"', 1);
        nameEnd = closingQuote == tstring::npos ? commandLine.size() : closingQuote + 1;
    } else {
        nameEnd = std::min(commandLine.find_first_of(L" \t"), commandLine.size());
    }
    const size_t argsStart = commandLine.find_first_not_of(L" \t", nameEnd);
    return argsStart == tstring::npos ? tstring() : commandLine.substr(argsStart);
}

void setEnvVariable(const tstring& name, const tstring& value) {
    LD_THROW_LAST_ERROR_IF(!SetEnvironmentVariableW(name.c_str(), value.c_str()), SetEnvironmentVariableW,
                           "SetEnvironmentVariable(" << name << ", " << value << ") failed");
}

bool isEnvVariableSet(const tstring& name) {
    wchar_t buffer[1];
    SetLastError(ERROR_SUCCESS);
    GetEnvironmentVariableW(name.c_str(), buffer, 1);
    return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

tstring getEnvVariable(const tstring& name) {
    return getEnvVariableImpl(name, nullptr);
}

tstring getEnvVariable(const std::nothrow_t&, const tstring& name, const tstring& defaultValue) {
    bool errorOccurred = false;
    const tstring value = getEnvVariableImpl(name, &errorOccurred);
    return errorOccurred ? defaultValue : value;
}

tstring getSystemDirectory() {
    return getSystemDirImpl(GetSystemDirectoryW, "GetSystemDirectory");
}

tstring getWIPath() {
    return FileUtils::PathBuilder() << getSystemDirectory() << L"msiexec.exe";
}

HMODULE moduleContaining(const void* address) noexcept {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module)) {
        return nullptr;
    }
    return module;
}

HMODULE getCurrentModuleHandle() {
    const HMODULE module = moduleContaining(reinterpret_cast<const void*>(&getCurrentModuleHandle));
    LD_THROW_LAST_ERROR_IF(module == nullptr, GetModuleHandleExW, "GetModuleHandleExW failed");
    return module;
}

tstring getCurrentModulePath() {
    return getModulePath(getCurrentModuleHandle());
}

tstring getProcessModulePath() {
    return FileUtils::toAbsolutePath(getModulePath(nullptr));
}

}  // namespace SysInfo
