// The names of a package's Directory and File tables ("target:source", "short|long"), taken as
// the packer's layout takes them, and the checks every carried name then passes: first byte
// short names or long, the rest a DefaultDir and FileName pair split at the first NUL unit.
#include "FuzzSupport.h"
#include "PackageNames.h"
#include "PayloadIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool shortNames = (data[0] & 1) != 0;
    const tstring text = utf16Text(data + 1, size - 1);
    const std::size_t split = text.find(L'\0');
    const tstring defaultDir = text.substr(0, split);
    const tstring fileName = split == tstring::npos ? tstring() : text.substr(split + 1);
    const tstring folder = directorySourceName(defaultDir, shortNames);
    const tstring file = pickName(fileName, shortNames);
    const tstring name = folder == L"." ? file : folder + L"\\" + file;
    payload::carriedNameProblem(name);
    payload::fileWhereFolderIs({tstrings::toLower(folder), tstrings::toLower(name)});
    return 0;
}
