// Helpers the installer tests share.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "ErrorHandling.h"
#include "MsiUtils.h"

// A string value under HKLM\`key` in the 64-bit registry view, where the x64 test packages
// write what they saw, or "(missing)".
inline tstring machineRegistryValue(const wchar_t* key, const wchar_t* name) {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer);
    const LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, buffer, &size);
    return status == ERROR_SUCCESS ? tstring(buffer) : L"(missing)";
}

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
