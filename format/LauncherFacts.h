// The facts a launcher records about the package it carries, for deployment tools that read a
// setup without running it (lodestar-pack --info): named texts taken from the package's Property
// table when it was packed, and the packer's version. A fact the package did not have is not
// recorded at all. Written by lodestar-pack, read by lodestar-pack; portable code, no system calls.
//
// Layout, little-endian:
//   u32 magic "LPFX", u16 format version, u16 0, u32 number of facts
//   per fact: u16 length of the name in UTF-16 units, the name,
//             u32 length of the value in UTF-16 units, the value
//   u64 ContentHash of every byte before it
// A reader keeps the facts it does not know: later packers may record more without a new format
// version, which only a change of the layout takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <optional>
#include <stdexcept>
#include <vector>

#include "tstrings.h"

namespace facts {

// The version this build writes; it reads this one and every older one.
inline constexpr std::uint16_t kFactsVersion = 1;

// The names lodestar-pack records: Property table names as the package spells them, and the
// packer's own version.
inline constexpr const wchar_t* kProductCode = L"ProductCode";  // braced, upper case
inline constexpr const wchar_t* kUpgradeCode = L"UpgradeCode";
inline constexpr const wchar_t* kProductName = L"ProductName";
inline constexpr const wchar_t* kProductVersion = L"ProductVersion";
inline constexpr const wchar_t* kManufacturer = L"Manufacturer";
inline constexpr const wchar_t* kProductLanguage = L"ProductLanguage";
inline constexpr const wchar_t* kAllUsers = L"ALLUSERS";
inline constexpr const wchar_t* kInstallPerUser = L"MSIINSTALLPERUSER";
inline constexpr const wchar_t* kPackerVersion = L"PackerVersion";

struct Fact {
    tstring name;
    tstring value;
};

// Facts in the order they were recorded, each name once, found by name without a search: a
// launcher someone else made may record a million.
class LauncherFacts {
public:
    // Records `value` under `name`, replacing an earlier value of that name.
    void set(const tstring& name, const tstring& value);
    // Forgets `name`, as if it had never been recorded.
    void erase(const tstring& name);
    // The value of `name`; none when it was not recorded.
    std::optional<tstring> get(const tstring& name) const;
    bool has(const tstring& name) const { return byName_.count(name) != 0; }
    const std::vector<Fact>& all() const { return facts_; }

private:
    std::vector<Fact> facts_;
    std::unordered_map<tstring, std::size_t> byName_;  // name -> its place in facts_
};

// Facts whose bytes are not what was written: cut short, changed, or of a later version.
class FactsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::vector<std::uint8_t> serializeFacts(const LauncherFacts& facts);
// Checks the trailing hash first, then the layout; throws FactsError (located) when either is off.
LauncherFacts parseFacts(const void* data, std::size_t size);

// Where Windows Installer puts the product, as the recorded ALLUSERS and MSIINSTALLPERUSER say:
// ALLUSERS 1 per machine; 2 per machine, or per user when MSIINSTALLPERUSER is 1, and the user
// may choose either (dual purpose); empty or not set per user. Any other value says nothing the
// packer can rely on.
struct InstallScope {
    enum class Context { Machine, User };
    Context context;
    bool dualPurpose;
};
std::optional<InstallScope> installScope(const LauncherFacts& facts);

}  // namespace facts
