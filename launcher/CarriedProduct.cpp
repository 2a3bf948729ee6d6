#include "CarriedProduct.h"

#include <new>
#include <string>
#include <vector>

#include "CarriedPayload.h"
#include "FileUtils.h"
#include "LauncherFacts.h"
#include "LauncherResources.h"
#include "Log.h"
#include "MsiUtils.h"
#include "Resources.h"
#include "WinSysInfo.h"

namespace launcher {
namespace {

Resource carriedResource(LPCWSTR name) {
    return Resource(name, MAKEINTRESOURCEW(resources::kCarriedType), SysInfo::getCurrentModuleHandle());
}

Guid readProductCode() {
    const std::vector<std::uint8_t> bytes = carriedResource(resources::kProductCodeLookupName).binary();
    // Exactly the resource's bytes: the text carries no terminator.
    return Guid(std::string(bytes.begin(), bytes.end()));
}

// How the package was customized when it was packed; an empty record for a launcher without.
customization::Customization readCustomization() {
    const Resource resource = carriedResource(resources::kCustomizationLookupName);
    std::uint32_t size = 0;
    const void* data = resource.getPtr(size, std::nothrow);
    if (data == nullptr) {
        return customization::Customization{};
    }
    try {
        return customization::parseCustomization(data, size);
    } catch (const customization::CustomizationError& e) {
        LOG_ERROR(tstrings::fromUtf8(e.what()));
        refuseDamagedSetup(L"its customizations");
    }
}

// The ProductName the facts record; none for a launcher packed before facts, or one whose facts
// cannot be read (they describe the setup, they do not change what it installs).
std::optional<tstring> recordedProductName() {
    const Resource resource = carriedResource(resources::kFactsLookupName);
    std::uint32_t size = 0;
    const void* data = resource.getPtr(size, std::nothrow);
    if (data == nullptr) {
        return std::nullopt;
    }
    try {
        return facts::parseFacts(data, size).get(facts::kProductName);
    } catch (const facts::FactsError& e) {
        LOG_WARNING(tstrings::fromUtf8(e.what()));
        return std::nullopt;
    }
}

}  // namespace

CarriedProduct::CarriedProduct()
    : carriedCode_(readProductCode()), customization_(readCustomization()), recordedName_(recordedProductName()) {
    language_ = customization::chooseLanguage(customization_, GetUserDefaultUILanguage());
    // Streamed, not std::to_wstring: that goes through the C runtime's formatted printing, which
    // nothing else in the launcher needs.
    tstrings::MessageBuilder transform;
    if (language_ == customization::kBaseLanguage) {
        transform << L"none";
    } else {
        transform << language_;
    }
    LOG_TRACE("User interface language " << GetUserDefaultUILanguage() << "; language transform for " << transform);
}

Guid CarriedProduct::productCode() const {
    const customization::InstalledIdentity* identity = customization_.identityFor(language_);
    const std::optional<tstring> code = identity != nullptr ? identity->properties.get(facts::kProductCode) : std::nullopt;
    return code ? Guid(*code) : carriedCode_;  // the record's codes are checked as it is read
}

tstring CarriedProduct::name() const {
    const customization::InstalledIdentity* identity = customization_.identityFor(language_);
    if (identity != nullptr) {
        if (const std::optional<tstring> name = identity->properties.get(facts::kProductName); name && !name->empty()) {
            return *name;
        }
    }
    if (recordedName_ && !recordedName_->empty()) {
        return *recordedName_;
    }
    return FileUtils::stripSuffix(FileUtils::basename(SysInfo::getProcessModulePath()));
}

Guid CarriedProduct::installedProductCode() const {
    if (msi::isProductInstalled(carriedCode_)) {
        return carriedCode_;
    }
    for (const customization::InstalledIdentity& identity : customization_.identities) {
        const std::optional<tstring> code = identity.properties.get(facts::kProductCode);
        if (code && msi::isProductInstalled(Guid(*code))) {
            return Guid(*code);
        }
    }
    return carriedCode_;
}

}  // namespace launcher
