#include "PackageNames.h"

tstring pickName(const tstring& names, bool shortNames) {
    const std::size_t bar = names.find(L'|');
    if (bar == tstring::npos) {
        return names;
    }
    return shortNames ? names.substr(0, bar) : names.substr(bar + 1);
}

tstring directorySourceName(const tstring& defaultDir, bool shortNames) {
    const std::size_t colon = defaultDir.find(L':');
    return pickName(colon == tstring::npos ? defaultDir : defaultDir.substr(colon + 1), shortNames);
}
