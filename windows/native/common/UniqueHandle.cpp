#include "UniqueHandle.h"

#include "ErrorHandling.h"
#include "Log.h"

void UniqueHandle::reset(HANDLE handle) noexcept {
    if (handle == handle_) {
        return;
    }
    if (valid()) {
        // Closing happens on the way out of failures too; the failure's last error must survive.
        const DWORD savedError = GetLastError();
        if (!CloseHandle(handle_)) {
            const DWORD error = GetLastError();
            try {
                LOG_WARNING("CloseHandle(" << handle_ << ") failed: " << describeSystemError(error, nullptr));
            } catch (...) {
            }
        }
        SetLastError(savedError);
    }
    handle_ = handle;
}
