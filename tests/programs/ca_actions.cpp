// Custom actions for the "ca" test package: each one drives the custom-action support inside a
// real installation and leaves its results in the session log and in properties the package
// writes to the registry, where the test reads them.
#include <stdexcept>
#include <string>
#include <thread>

#include "MsiCA.h"

namespace {

// What a failing custom action tells the installer.
constexpr UINT kActionFailed = ERROR_INSTALL_FAILURE;

// Runs one custom action with the library's log sent into the session log; a failure is logged
// there and fails the installation, so the test sees it.
template <typename Body>
UINT runCustomAction(MSIHANDLE session, Body body) noexcept {
    try {
        const MsiLogTrigger sessionLog(session);
        try {
            body(session);
            return ERROR_SUCCESS;
        } catch (const std::runtime_error& e) {
            logCaughtException(LD_SOURCE_LOCATION, e);
        } catch (...) {
            logCaughtUnknown(LD_SOURCE_LOCATION);
        }
    } catch (...) {
        // Not even the session log could be set up: the failed result says all there is.
    }
    return kActionFailed;
}

void readAndWriteProperties(const msi::CAFacade& ca) {
    const Guid productCode = ca.impl().productCode();
    LOG_INFO("Lodestar CA product code " << productCode.toString(Guid::StripBraces));
    ca.setProperty(L"CA_PRODUCT_CODE", productCode.toString());

    ca.setProperty(L"CA_SET", L"set = by the action");
    ca.setPropertyIfEmpty(L"CA_KEPT", L"replaced");
    ca.setPropertyIfEmpty(L"CA_FILLED", L"filled");
    ca.impl().removeProperty(L"CA_REMOVED");
    LOG_INFO("Lodestar CA removed property now reads '" << ca.getProperty(L"CA_REMOVED") << "'");

    try {
        ca.setProperty(L"CA_PRESET", L"");
        LOG_ERROR("Lodestar CA empty value was accepted");
    } catch (const LdError<std::runtime_error>& e) {
        LOG_INFO("Lodestar CA refused: " << e.rawMessage());
    }

    // Longer than any buffer the first few reads offer.
    const tstring longValue = ca.getProperty(L"CA_LONG");
    ca.setProperty(L"CA_LONG_LENGTH", std::to_wstring(longValue.size()));
    ca.setProperty(L"CA_LONG_COPY", longValue);
}

void runFurtherActions(const msi::CAFacade& ca) {
    ca.doAction(L"CaSetByDoAction");
    LOG_INFO("Lodestar CA doAction set CA_DOACTION to '" << ca.getProperty(L"CA_DOACTION") << "'");
    try {
        ca.doAction(L"LodestarNoSuchAction");
        LOG_ERROR("Lodestar CA unknown action succeeded");
    } catch (const msi::Error& e) {
        LOG_INFO("Lodestar CA unknown action failed with code " << e.code());
        ca.setProperty(L"CA_DOACTION_FAILURE", std::to_wstring(e.code()));
    }
}

void readSession(const msi::CAFacade& ca, MSIHANDLE session) {
    const tstring modes = ca.impl().getModes();
    LOG_INFO("Lodestar CA modes " << modes);
    ca.setProperty(L"CA_MODES", modes);

    // The session database holds the package's own Property table, untouched by the action.
    const msi::Database database = msi::sessionDatabase(ca.impl());
    const tstring removed = database.getProperty(L"CA_REMOVED");
    LOG_INFO("Lodestar CA database " << database.getPath() << " still holds CA_REMOVED = '" << removed << "'");
    ca.setProperty(L"CA_DB_REMOVED", removed);

    // Not deferred: the arguments come from the property named after the deferred action.
    ca.setProperty(L"CA_DEFERRED_DATA", msi::DeferredCA(session, L"CaDeferred").getArg());

    std::thread([] { LOG_INFO("Lodestar CA message from another thread"); }).join();
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CaImmediate(MSIHANDLE session) {
    return runCustomAction(session, [](MSIHANDLE handle) {
        const msi::CAFacade ca(handle);
        readAndWriteProperties(ca);
        runFurtherActions(ca);
        readSession(ca, handle);
    });
}

extern "C" __declspec(dllexport) UINT __stdcall CaDeferred(MSIHANDLE session) {
    return runCustomAction(session, [](MSIHANDLE handle) {
        msi::DeferredCA ca(handle, L"CaDeferred");
        ca.parseArgs();
        for (const auto& [name, value] : ca.parsedArgs()) {
            LOG_INFO("Lodestar deferred argument '" << name << "' is '" << value << "'");
        }
        LOG_INFO("Lodestar deferred modes " << ca.session().getModes());
    });
}
