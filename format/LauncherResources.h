// What a launcher carries, stated once for everybody who writes or reads it: lodestar-pack, the
// launcher itself, the resource scripts of the tests and the benchmark. Resource scripts include
// this header too (windres defines RC_INVOKED), so the names they write come from the macros
// below; C++ reads the same names through the constants further down.
//
// The loader compares resource names without regard to case and the packer stores them in upper
// case, as resource compilers do: the launcher looks them up in lower case, the file holds them
// in upper case.
#pragma once

// Every carried item is an RCDATA resource.
#define LODESTAR_CARRIED_TYPE 10
// The stored names, as resource scripts write them.
#define LODESTAR_PACKAGE_RESOURCE MSI
#define LODESTAR_PRODUCT_CODE_RESOURCE PRODUCT_CODE
#define LODESTAR_INDEX_RESOURCE PAYLOAD_INDEX
#define LODESTAR_FACTS_RESOURCE PACKAGE_FACTS
#define LODESTAR_CUSTOMIZATION_RESOURCE CUSTOMIZATION

#ifndef RC_INVOKED

#include <cstddef>
#include <cstdint>

// A stored name as wide text: LODESTAR_RESOURCE_TEXT(MSI) is L"MSI".
// (Two levels each, so that the macro naming the resource is replaced before it is quoted.)
#define LODESTAR_RESOURCE_QUOTE(name) #name
#define LODESTAR_RESOURCE_STRING(name) LODESTAR_RESOURCE_QUOTE(name)
#define LODESTAR_RESOURCE_WIDEN(text) L##text
#define LODESTAR_RESOURCE_WIDE(text) LODESTAR_RESOURCE_WIDEN(text)
#define LODESTAR_RESOURCE_TEXT(name) LODESTAR_RESOURCE_WIDE(LODESTAR_RESOURCE_STRING(name))

namespace launcher::resources {

// RT_RCDATA.
inline constexpr std::uint16_t kCarriedType = LODESTAR_CARRIED_TYPE;

// The Windows Installer package: a compound file, carried byte for byte.
inline constexpr const wchar_t* kPackageLookupName = L"msi";
inline constexpr const wchar_t* kPackageStoredName = LODESTAR_RESOURCE_TEXT(LODESTAR_PACKAGE_RESOURCE);

// The package's product code: 38 bytes of ASCII, braced, upper-case hex digits, no terminator.
inline constexpr const wchar_t* kProductCodeLookupName = L"product_code";
inline constexpr const wchar_t* kProductCodeStoredName = LODESTAR_RESOURCE_TEXT(LODESTAR_PRODUCT_CODE_RESOURCE);
inline constexpr std::uint32_t kProductCodeSize = 38;

// The payload index (PayloadIndex.h): every carried file with its size and content hash, the
// package first. Launchers packed before it existed carry only the package and its product code.
inline constexpr const wchar_t* kIndexLookupName = L"payload_index";
inline constexpr const wchar_t* kIndexStoredName = LODESTAR_RESOURCE_TEXT(LODESTAR_INDEX_RESOURCE);

// What deployment tools ask of a setup without running it (the package's ProductCode, UpgradeCode,
// name, version, manufacturer and installation scope, and the packer's version), recorded when
// it was packed: LauncherFacts.h has the format. lodestar-pack reads it; the launcher takes the
// product's name from it for what it says and names. Launchers packed before it existed lack it.
inline constexpr const wchar_t* kFactsLookupName = L"package_facts";
inline constexpr const wchar_t* kFactsStoredName = LODESTAR_RESOURCE_TEXT(LODESTAR_FACTS_RESOURCE);

// How the launcher installs the package as it was customized when packing (Customization.h): the
// carried transforms, patches and preset properties, and the identity the product installs with
// per language. Only a customized launcher carries it.
inline constexpr const wchar_t* kCustomizationLookupName = L"customization";
inline constexpr const wchar_t* kCustomizationStoredName = LODESTAR_RESOURCE_TEXT(LODESTAR_CUSTOMIZATION_RESOURCE);

// The files carried beside the package (external cabinets, uncompressed source files): entry n of
// the index (n >= 1; entry 0 is the package) is the RCDATA resource numbered
// kFirstCarriedFileId + n - 1 (carriedFileId).
inline constexpr std::uint16_t kFirstCarriedFileId = 1;
inline constexpr std::uint16_t kLastCarriedFileId = 0xFFFF;
inline constexpr std::size_t kMostCarriedFiles = kLastCarriedFileId - kFirstCarriedFileId + 1;
// The resource number of index entry `entry` (1 to kMostCarriedFiles).
constexpr std::uint16_t carriedFileId(std::size_t entry) {
    return static_cast<std::uint16_t>(kFirstCarriedFileId + entry - 1);
}
static_assert(carriedFileId(kMostCarriedFiles) == kLastCarriedFileId);

// What describes the launcher to Windows, by type and number; the launcher never reads them.
inline constexpr std::uint16_t kManifestType = 24;  // RT_MANIFEST
inline constexpr std::uint16_t kManifestId = 1;     // CREATEPROCESS_MANIFEST_RESOURCE_ID
inline constexpr std::uint16_t kVersionType = 16;   // RT_VERSION
inline constexpr std::uint16_t kVersionId = 1;
inline constexpr std::uint16_t kIconType = 3;        // RT_ICON: images numbered from 1
inline constexpr std::uint16_t kIconGroupType = 14;  // RT_GROUP_ICON
inline constexpr std::uint16_t kIconGroupId = 1;

}  // namespace launcher::resources

#endif  // RC_INVOKED
