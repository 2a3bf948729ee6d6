// The launchers of LauncherImage_test's round trip, read by the system's loader: it finds every
// resource LauncherImage finds and no other, and lists them in the order of the format.
#include <gtest/gtest.h>

#include "LauncherRoundTrip.h"

namespace {

LPCWSTR lookupOf(const tstring& text) {
    return text.starts_with(L"#") ? MAKEINTRESOURCEW(std::stoi(text.substr(1))) : text.c_str();
}

tstring textOf(LPCWSTR id) {
    return IS_INTRESOURCE(id) ? L"#" + std::to_wstring(reinterpret_cast<std::uintptr_t>(id)) : tstring(id);
}

roundtrip::Listing listingOf(HMODULE module) {
    std::vector<tstring> types;
    EnumResourceTypesW(
        module,
        [](HMODULE, LPWSTR type, LONG_PTR list) {
            reinterpret_cast<std::vector<tstring>*>(list)->push_back(textOf(type));
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&types));
    roundtrip::Listing listing;
    for (const tstring& type : types) {
        std::vector<tstring> names;
        EnumResourceNamesW(
            module, lookupOf(type),
            [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) {
                reinterpret_cast<std::vector<tstring>*>(list)->push_back(textOf(name));
                return TRUE;
            },
            reinterpret_cast<LONG_PTR>(&names));
        listing.emplace_back(type, names);
    }
    return listing;
}

std::vector<WORD> languagesOf(HMODULE module, LPCWSTR type, LPCWSTR name) {
    std::vector<WORD> languages;
    EnumResourceLanguagesW(
        module, type, name,
        [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) {
            reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

}  // namespace

TEST(LauncherImageWin, TheLoaderFindsAndListsWhatLauncherImageFinds) {
    ScratchDirectory scratch;
    for (const roundtrip::ResourceSet& set : roundtrip::sets()) {
        SCOPED_TRACE(set.what);
        const tstring path = scratch / L"launcher.exe";
        roundtrip::writeLauncher(set, path);
        const LoadedLauncher launcher(path);
        if (!set.listing.empty()) {
            EXPECT_EQ(listingOf(launcher.get()), set.listing);
        }
        for (const roundtrip::Lookup& lookup : roundtrip::lookupsOf(set)) {
            EXPECT_EQ(launcher.resource(lookupOf(lookup.name), lookupOf(lookup.type)), lookup.found)
                << utf8(lookup.type + L"/" + lookup.name);
        }
        for (const roundtrip::Resource& resource : set.edit ? std::vector<roundtrip::Resource>{} : set.resources) {
            const LPCWSTR name = lookupOf(resource.name);
            const LPCWSTR type = lookupOf(resource.type);
            EXPECT_EQ(languagesOf(launcher.get(), type, name), std::vector<WORD>{ResourceSection::kLanguage});
        }
    }
}
