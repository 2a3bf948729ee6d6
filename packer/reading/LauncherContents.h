// What a launcher carries, read as data and checked, for lodestar-pack --info and --extract: its
// product code, the facts recorded for deployment tools (or, in a launcher packed before they
// were, what its version block says), its payload index and every carried file. The launcher is
// never loaded or run, and nothing it names is trusted before it is checked: the index's names
// must stay below a folder, and every carried byte is checked against the index as it is read.
// Portable: the file is read through a ByteSource.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "Customization.h"
#include "LauncherFacts.h"
#include "LauncherImage.h"
#include "PackFailure.h"
#include "PayloadIndex.h"
#include "Sha256.h"
#include "VersionInfo.h"

// One file a launcher carries: the package (always first), or a file that lies beside it.
struct CarriedItem {
    // The relative name the index gives; none for the package of a launcher without an index,
    // which does not know its package's name.
    std::optional<tstring> name;
    ResourceLocation location;
    // The ContentHash the index gives; none without an index.
    std::optional<std::uint64_t> indexedHash;
};

// The SHA-256 of every carried file, and of the launcher itself, from one read of the file.
struct CarriedDigests {
    std::vector<Sha256Digest> items;  // in the order of LauncherContents::items()
    Sha256Digest launcher;
};

class LauncherContents {
public:
    // Reads the launcher's description from `file` (not owned) and checks it. Throws LauncherError
    // (located) for a file that is no launcher, is cut short or has a damaged description: an
    // index or facts whose own hash fails, a carried file missing or of another size than its
    // index says, two carried files on the same bytes, a name that would leave the folder it is
    // written into.
    explicit LauncherContents(ByteSource& file);

    const tstring& path() const { return file_.path(); }
    std::uint64_t size() const { return file_.size(); }
    // Braced, as the launcher carries it for its uninstall verb.
    const tstring& productCode() const { return productCode_; }
    // What was recorded when it was packed; none for a launcher packed before facts were.
    const std::optional<facts::LauncherFacts>& recordedFacts() const { return recorded_; }
    // How it installs its package as customized when packing; none for a launcher without.
    const std::optional<customization::Customization>& customization() const { return customization_; }
    // The strings of its version block (CompanyName, ProductName, ...): what a launcher without
    // recorded facts still says of its package.
    const VersionStrings& versionStrings() const { return versionStrings_; }
    bool indexed() const { return indexed_; }
    // The package first, then the files beside it in index order.
    const std::vector<CarriedItem>& items() const { return items_; }
    bool carriesSignature() const { return signed_; }

    // Reads the whole launcher once, front to back, and hashes every carried file on the way.
    // Throws LauncherError naming the first carried file whose bytes do not match the index.
    CarriedDigests digests();

    // Hands the bytes of `item` to `take` in order, piece by piece, and checks them against the
    // index once they are all read; returns their ContentHash. Throws LauncherError as digests().
    using Take = std::function<void(const void* data, std::size_t size)>;
    std::uint64_t stream(const CarriedItem& item, const Take& take);

    // Told, as the launcher is read, how far into it the reading is and which file it reads.
    using Progress = std::function<void(std::uint64_t done, std::uint64_t total, const tstring& reading)>;
    void reportProgressTo(Progress progress) { progress_ = std::move(progress); }

private:
    [[noreturn]] void refuseDamaged(const tstrings::MessageBuilder& reason) const;
    [[noreturn]] void refuseMissing(const char* what, const tstring& name) const;
    std::optional<std::vector<std::uint8_t>> optionalResource(const ResourceId& type, const ResourceId& name);
    ResourceLocation findPackage();
    void readProductCode();
    void readItems(const ResourceLocation& package);
    void readFacts();
    void readCustomization();
    // No two carried items may share bytes: what --extract writes never exceeds the launcher.
    void refuseSharedBytes() const;
    void checkAgainstIndex(const CarriedItem& item, std::uint64_t hash) const;
    // Reads the whole launcher front to back, hands each piece to `take` and returns the SHA-256
    // of the whole, computed on a second thread while `take` works on the same bytes.
    using Piece = std::function<void(std::uint64_t position, const std::uint8_t* bytes, std::size_t size)>;
    Sha256Digest readWhole(const Piece& take);
    tstring describe(const CarriedItem& item) const;

    ByteSource& file_;
    LauncherImage image_;
    tstring productCode_;
    std::optional<facts::LauncherFacts> recorded_;
    std::optional<customization::Customization> customization_;
    VersionStrings versionStrings_;
    bool indexed_ = false;
    std::vector<CarriedItem> items_;
    bool signed_ = false;
    Progress progress_;
};

// The launcher at `path` (absolute), open for reading and closed to writers while it is read.
// Throws PackFailure (kInputError) when there is none or it cannot be opened.
InputFile openLauncher(const tstring& path);

// Runs `step`, which reads the launcher at `path`: whatever keeps it from reading the launcher
// (a LauncherError, a failed read) ends as the PackFailure kInputError, whose message names the
// launcher.
template <typename Step>
decltype(auto) readingLauncher(const tstring& path, Step&& step) {
    return classifyFailure(kInputError, std::forward<Step>(step), [&](const LdErrorBase& e) {
        if (dynamic_cast<const LauncherError*>(&e) != nullptr) {
            return tstrings::MessageBuilder() << rawMessageOf(e);
        }
        return tstrings::MessageBuilder() << "Cannot read " << path << ": " << rawMessageOf(e);
    });
}
