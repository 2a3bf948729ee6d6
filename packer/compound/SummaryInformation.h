// The summary information of a package, patch or transform (the "\005SummaryInformation" stream
// of its compound file, an OLE property set), read as data, and what Windows Installer keeps in
// it: a patch's target products, a transform's base and result and its validation conditions.
// Portable; every count and length is checked against the stream before it is used.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "CompoundFile.h"
#include "tstrings.h"

class SummaryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The property ids Windows Installer gives meaning to.
namespace summary {
inline constexpr std::uint32_t kCodePage = 1;
inline constexpr std::uint32_t kTemplate = 7;
inline constexpr std::uint32_t kLastSavedBy = 8;
inline constexpr std::uint32_t kRevision = 9;
inline constexpr std::uint32_t kTransformConditions = 16;
}  // namespace summary

struct SummaryInformation {
    // Text properties as stored, in the stream's code page; numbers of 16 and 32 bits alike.
    std::map<std::uint32_t, std::string> texts;
    std::map<std::uint32_t, std::int32_t> numbers;

    // A text property that holds only ASCII (the ones Windows Installer writes in every code page:
    // GUIDs, versions, platforms and languages); none when it is missing or holds other bytes.
    std::optional<tstring> asciiText(std::uint32_t id) const;
};

// Throws SummaryError (located) for a stream that is no property set or is cut short.
SummaryInformation parseSummaryInformation(const std::vector<std::uint8_t>& stream);

// The summary information of a compound file; none when it has none.
std::optional<SummaryInformation> readSummaryInformation(const CompoundFile& file);

// "Intel;1033" as a platform and a language ("x64;1033,1041": the first language counts). Throws
// SummaryError for text of another form.
std::pair<tstring, std::uint16_t> platformAndLanguage(const tstring& text);

// A transform's summary as Windows Installer reads it before applying it.
struct TransformSummary {
    tstring basePlatform;      // Template: the package it was made against, "Intel;1033"
    std::uint16_t baseLanguage = 0;
    tstring resultPlatform;    // Last Saved By: the package it makes
    std::uint16_t resultLanguage = 0;
    tstring baseProductCode;   // Revision: "{base}version;{result}version;{UpgradeCode}"
    tstring baseVersion;
    tstring resultProductCode;
    tstring resultVersion;
    tstring upgradeCode;
    std::uint16_t validation = 0;     // the conditions the package must meet (high word of 16)
    std::uint16_t ignoredErrors = 0;  // the errors applying it may meet (low word)
};

// Throws SummaryError naming what is missing or malformed.
TransformSummary transformSummary(const SummaryInformation& info);

// What a package is, as a transform's conditions compare it.
struct PackageIdentity {
    tstring productCode;
    tstring productVersion;
    tstring upgradeCode;
    tstring platform;  // from the package's Template, "x64;1033": the part before ';'
    std::uint16_t language = 0;
};

// The first of the transform's validation conditions that `package` does not meet, in words ("its
// ProductCode is {...}, the transform was made for {...}"); none when it meets them all.
std::optional<tstring> unmetCondition(const TransformSummary& transform, const PackageIdentity& package);
