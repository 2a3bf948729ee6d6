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

// Throws CodePageError (located) for a code page the platform does not know, one that means the
// host's own (1, 2, 3, 42), or bytes that are not text in it. ASCII text and Windows-1252 are
// decoded here alike on every host (glibc's table leaves five bytes of 1252 undefined, which
// Windows maps to the control characters of their numbers); the rest by the platform.
tstring decodeCodePage(const std::string& bytes, std::uint32_t codePage);

// The platform's decoder, for the code pages decodeCodePage leaves to it.
tstring decodePlatformCodePage(const std::string& bytes, std::uint32_t codePage);
