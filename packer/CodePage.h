// Text that a Windows Installer database keeps in a code page of its own (a transform's strings,
// say: 932 for a Japanese one), decoded with the platform's tables: iconv through GLib on Linux,
// MultiByteToWideChar on Windows. Both follow the code pages Windows defines, so both packers
// record the same text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "tstrings.h"

class CodePageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Windows Installer's neutral code page: strings meant to be ASCII. Decoded as Windows-1252,
// which agrees with ASCII and gives every other byte a letter, whatever the host's code page.
inline constexpr std::uint32_t kNeutralCodePage = 0;
inline constexpr std::uint32_t kNeutralDecodedAs = 1252;
inline constexpr std::uint32_t kUtf8CodePage = 65001;

// Throws CodePageError (located) for a code page the platform does not know, or bytes that are
// not text in it.
tstring decodeCodePage(const std::string& bytes, std::uint32_t codePage);
