// Helpers the installer tests share.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "ErrorHandling.h"
#include "MsiUtils.h"

// The raw message of a located installer error and its code, from whatever `action` throws.
template <typename Action>
std::pair<std::string, UINT> installerFailure(Action action) {
    try {
        action();
    } catch (const LdError<msi::Error>& e) {
        return {e.rawMessage(), e.code()};
    }
    ADD_FAILURE() << "no msi::Error was thrown";
    return {"", 0};
}
