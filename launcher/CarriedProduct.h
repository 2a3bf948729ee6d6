// What a launcher knows of the product it installs, from its own resources: the carried
// ProductCode, the customizations recorded when it was packed and the facts recorded for
// deployment tools; and what follows from them for this run and this user: the language
// transform chosen, the ProductCode and name the product installs with.
#pragma once

#include <cstdint>
#include <optional>

#include "Customization.h"
#include "Guid.h"
#include "tstrings.h"

namespace launcher {

class CarriedProduct {
public:
    // Reads the launcher's own resources; a record that is damaged refuses the setup.
    CarriedProduct();

    const customization::Customization& customization() const { return customization_; }
    // The language transform for this user's interface language; kBaseLanguage for none.
    std::uint16_t language() const { return language_; }
    // What the product installs as with that language: its ProductCode, and its name (the
    // launcher's file name where the launcher records none).
    Guid productCode() const;
    tstring name() const;
    // The product as Windows Installer knows it installed: the carried ProductCode, or the one a
    // language transform gives it; the carried one when neither is installed.
    Guid installedProductCode() const;

private:
    Guid carriedCode_;
    customization::Customization customization_;
    std::optional<tstring> recordedName_;  // from the facts, for a launcher not customized
    std::uint16_t language_ = customization::kBaseLanguage;
};

}  // namespace launcher
