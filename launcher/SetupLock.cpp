#include "SetupLock.h"

#include "ErrorHandling.h"
#include "Log.h"

namespace launcher {

std::optional<SetupLock> SetupLock::acquire(const Guid& productCode) {
    // Local\: the session's own namespace, which a user can create names in without privileges.
    const tstring name = L"Local\\Lodestar setup " + productCode.toString();
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex) {
        const DWORD error = GetLastError();
        // The mutex exists, made by a launcher of other rights (an elevated one) whose default
        // security lets this one not open it: that launcher is running.
        if (error == ERROR_ACCESS_DENIED) {
            return std::nullopt;
        }
        LD_THROW_SYSTEM_ERROR(CreateMutexW, error, "CreateMutex(" << name << ") failed");
    }
    const DWORD waited = WaitForSingleObject(mutex.get(), 0);
    switch (waited) {
        case WAIT_OBJECT_0:
            return SetupLock(std::move(mutex));
        case WAIT_ABANDONED:
            LOG_WARNING("An earlier setup of " << productCode.toString() << " ended without releasing " << name);
            return SetupLock(std::move(mutex));
        case WAIT_TIMEOUT:
            return std::nullopt;
        default: {
            const DWORD error = GetLastError();
            LD_THROW_SYSTEM_ERROR(WaitForSingleObject, error, "WaitForSingleObject(" << name << ") failed");
        }
    }
}

SetupLock::~SetupLock() {
    if (mutex_) {
        ReleaseMutex(mutex_.get());
    }
}

}  // namespace launcher
