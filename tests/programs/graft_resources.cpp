// Gives a launcher built for a test the resources of a launcher that lodestar-pack made (its
// package, index, facts, manifest and version block), so that a test stub (one that unpacks
// slowly, for the progress window) runs exactly as a packed launcher would:
//   graft_resources FROM.exe TO.exe
// Every resource of FROM replaces TO's of the same type, name and language.
#include <cstdio>
#include <vector>

#include "WinApi.h"

namespace {

struct Resource {
    std::vector<wchar_t> type;  // a name, or the number's text after '#'
    std::vector<wchar_t> name;
    LPCWSTR typeId = nullptr;
    LPCWSTR nameId = nullptr;
    WORD language = 0;
};

std::vector<wchar_t> keep(LPCWSTR id, LPCWSTR& kept) {
    if (IS_INTRESOURCE(id)) {
        kept = id;
        return {};
    }
    std::vector<wchar_t> text(id, id + wcslen(id) + 1);
    kept = nullptr;
    return text;
}

LPCWSTR idOf(const std::vector<wchar_t>& text, LPCWSTR number) {
    return text.empty() ? number : text.data();
}

BOOL CALLBACK addLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR found) {
    Resource resource;
    resource.type = keep(type, resource.typeId);
    resource.name = keep(name, resource.nameId);
    resource.language = language;
    reinterpret_cast<std::vector<Resource>*>(found)->push_back(std::move(resource));
    return TRUE;
}

BOOL CALLBACK addName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR found) {
    EnumResourceLanguagesW(module, type, name, addLanguage, found);
    return TRUE;
}

BOOL CALLBACK addType(HMODULE module, LPWSTR type, LONG_PTR found) {
    EnumResourceNamesW(module, type, addName, found);
    return TRUE;
}

std::vector<Resource> resourcesOf(HMODULE module) {
    std::vector<Resource> found;
    EnumResourceTypesW(module, addType, reinterpret_cast<LONG_PTR>(&found));
    return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: graft_resources FROM.exe TO.exe\n");
        return 2;
    }
    HMODULE from = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    HANDLE update = from == nullptr ? nullptr : BeginUpdateResourceW(argv[2], FALSE);
    if (update == nullptr) {
        std::fprintf(stderr, "graft_resources: cannot open %ls or %ls (error %lu)\n", argv[1], argv[2], GetLastError());
        return 1;
    }
    for (const Resource& resource : resourcesOf(from)) {
        const LPCWSTR type = idOf(resource.type, resource.typeId);
        const LPCWSTR name = idOf(resource.name, resource.nameId);
        const HRSRC found = FindResourceExW(from, type, name, resource.language);
        const HGLOBAL loaded = found == nullptr ? nullptr : LoadResource(from, found);
        void* data = loaded == nullptr ? nullptr : LockResource(loaded);
        if (data == nullptr ||
            !UpdateResourceW(update, type, name, resource.language, data, SizeofResource(from, found))) {
            std::fprintf(stderr, "graft_resources: cannot copy a resource (error %lu)\n", GetLastError());
            return 1;
        }
    }
    if (!EndUpdateResourceW(update, FALSE)) {
        std::fprintf(stderr, "graft_resources: cannot write %ls (error %lu)\n", argv[2], GetLastError());
        return 1;
    }
    return 0;
}
