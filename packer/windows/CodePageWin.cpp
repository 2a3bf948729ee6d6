// Code pages on Windows: the system's own tables.
#include <windows.h>

#include <climits>

#include "CodePage.h"
#include "ErrorHandling.h"

tstring decodePlatformCodePage(const std::string& bytes, std::uint32_t codePage) {
    if (bytes.size() > INT_MAX) {
        LD_THROW(CodePageError("the text is too long to decode"));
    }
    const int size = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    const DWORD measureError = units == 0 ? GetLastError() : ERROR_SUCCESS;
    tstring text(static_cast<std::size_t>(units), L'\0');
    if (units == 0 ||
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, text.data(), units) != units) {
        const DWORD error = measureError != ERROR_SUCCESS ? measureError : GetLastError();
        LD_THROW(CodePageError((tstrings::MessageBuilder() << "text in code page " << codePage
                                                           << " cannot be decoded (error " << error << ")")
                                   .str()));
    }
    return text;
}
