#include "UniqueResource.h"

#include "ErrorHandling.h"
#include "Log.h"

namespace ld::detail {

void reportFailedRelease(const char* release, const void* value, unsigned long error) noexcept {
    try {
        LOG_WARNING(release << "(" << value << ") failed: " << describeSystemError(error, nullptr));
    } catch (...) {
        // Reported from destructors: a lost warning is the lesser harm.
    }
}

}  // namespace ld::detail
