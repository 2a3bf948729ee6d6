// One setup of a product at a time in a session: a launcher holds a mutex named for the
// ProductCode it installs while it unpacks and its installer runs, so that a second launcher of
// the same product, double-clicked while the first still unpacks, neither unpacks a second copy
// nor races the first into Windows Installer's own lock.
#pragma once

#include <optional>

#include "Guid.h"
#include "UniqueResource.h"

namespace launcher {

class SetupLock {
public:
    // The lock of `productCode` in this session, held; none when another launcher holds it. A lock
    // whose holder ended without releasing it (a launcher that was killed) is taken over.
    static std::optional<SetupLock> acquire(const Guid& productCode);

    SetupLock(SetupLock&&) noexcept = default;
    SetupLock& operator=(SetupLock&&) noexcept = default;
    ~SetupLock();

private:
    explicit SetupLock(UniqueHandle mutex) : mutex_(std::move(mutex)) {}
    UniqueHandle mutex_;
};

}  // namespace launcher
