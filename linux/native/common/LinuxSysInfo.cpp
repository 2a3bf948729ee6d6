// The process's environment and paths in the native Linux build.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "ErrorHandling.h"
#include "SysInfo.h"

namespace SysInfo {

void setEnvVariable(const tstring& name, const tstring& value) {
    LD_THROW_LAST_ERROR_IF(::setenv(tstrings::toUtf8(name).c_str(), tstrings::toUtf8(value).c_str(), 1) != 0, ::setenv,
                           "SetEnvironmentVariable(" << name << ", " << value << ") failed");
}

bool isEnvVariableSet(const tstring& name) {
    return std::getenv(tstrings::toUtf8(name).c_str()) != nullptr;
}

tstring getEnvVariable(const tstring& name) {
    const char* value = std::getenv(tstrings::toUtf8(name).c_str());
    if (value == nullptr) {
        LD_THROW_SYSTEM_ERROR(::getenv, ENOENT, "GetEnvironmentVariable(" << name << ") failed. Variable not set");
    }
    return tstrings::fromUtf8(value);
}

tstring getEnvVariable(const std::nothrow_t&, const tstring& name, const tstring& defaultValue) {
    const char* value = std::getenv(tstrings::toUtf8(name).c_str());
    return value != nullptr ? tstrings::fromUtf8(value) : defaultValue;
}

// The library is linked into the executable: its module is the process's.
tstring getCurrentModulePath() {
    return getProcessModulePath();
}

tstring getProcessModulePath() {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        LD_THROW_LAST_ERROR_IF(length < 0, ::readlink, "readlink(/proc/self/exe) failed");
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return tstrings::fromUtf8(std::string(buffer.data(), static_cast<std::size_t>(length)));
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace SysInfo
