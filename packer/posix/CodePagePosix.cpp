// Code pages on Linux: glibc's iconv, through GLib, knows Windows' code pages as CPnnn.
#include <glib.h>

#include <memory>

#include "CodePage.h"
#include "ErrorHandling.h"

tstring decodePlatformCodePage(const std::string& bytes, std::uint32_t codePage) {
    const std::string charset = codePage == kUtf8CodePage ? "UTF-8" : "CP" + std::to_string(codePage);
    GError* error = nullptr;
    gsize written = 0;
    const std::unique_ptr<gchar, decltype(&g_free)> utf8(
        g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8", charset.c_str(), nullptr, &written, &error),
        &g_free);
    if (utf8 == nullptr) {
        const std::string reason = error != nullptr ? error->message : "g_convert failed";
        g_clear_error(&error);
        LD_THROW(CodePageError((tstrings::MessageBuilder() << "text in code page " << codePage
                                                           << " cannot be decoded (" << reason << ")")
                                   .str()));
    }
    return tstrings::fromUtf8(std::string(utf8.get(), written));
}
