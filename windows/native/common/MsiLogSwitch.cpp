#include "MsiLogSwitch.h"

#include <msi.h>

#include "ErrorHandling.h"
#include "WinFileUtils.h"

namespace msi {
namespace {

struct ModeLetter {
    wchar_t letter;
    DWORD mode;
};

constexpr ModeLetter kModeLetters[] = {
    {L'i', INSTALLLOGMODE_INFO},         {L'w', INSTALLLOGMODE_WARNING},    {L'e', INSTALLLOGMODE_ERROR},
    {L'a', INSTALLLOGMODE_ACTIONSTART},  {L'r', INSTALLLOGMODE_ACTIONDATA}, {L'u', INSTALLLOGMODE_USER},
    {L'c', INSTALLLOGMODE_COMMONDATA},   {L'm', INSTALLLOGMODE_FATALEXIT},  {L'o', INSTALLLOGMODE_OUTOFDISKSPACE},
    {L'p', INSTALLLOGMODE_PROPERTYDUMP}, {L'v', INSTALLLOGMODE_VERBOSE},    {L'x', INSTALLLOGMODE_EXTRADEBUG},
};

constexpr const wchar_t* kAllButVerbose = L"iwearucmop";
constexpr const wchar_t* kDefaultModes = L"iwearmo";

DWORD modeOf(wchar_t letter) {
    for (const ModeLetter& known : kModeLetters) {
        if (known.letter == letter) {
            return known.mode;
        }
    }
    return 0;
}

DWORD modesOf(const wchar_t* letters) {
    DWORD modes = 0;
    for (; *letters != L'\0'; ++letters) {
        modes |= modeOf(*letters);
    }
    return modes;
}

bool isSwitch(const tstring& arg) {
    return arg.size() >= 2 && (arg.front() == L'/' || arg.front() == L'-');
}

// The mode letters of a logging switch ("" for a bare /L); none for any other argument.
std::optional<tstring> logModesOf(const tstring& arg) {
    if (!isSwitch(arg)) {
        return std::nullopt;
    }
    const tstring name = tstrings::toLower(arg.substr(1));
    if (name == L"log") {
        return tstring(L"*");
    }
    if (name.front() != L'l') {
        return std::nullopt;
    }
    return name.substr(1);
}

LogSwitch parseModes(const tstring& arg, const tstring& letters) {
    LogSwitch parsed;
    for (const wchar_t letter : letters) {
        if (letter == L'+') {
            parsed.attributes |= INSTALLLOGATTRIBUTES_APPEND;
        } else if (letter == L'!') {
            parsed.attributes |= INSTALLLOGATTRIBUTES_FLUSHEACHLINE;
        } else if (letter == L'*') {
            parsed.mode |= modesOf(kAllButVerbose);
        } else if (const DWORD mode = modeOf(letter); mode != 0) {
            parsed.mode |= mode;
        } else {
            LD_THROW(tstrings::MessageBuilder() << "Unknown logging mode '" << tstring(1, letter) << "' in " << arg);
        }
    }
    // No letters, or only append and flush ones: what is logged is the default.
    if (parsed.mode == 0) {
        parsed.mode = modesOf(kDefaultModes);
    }
    return parsed;
}

}  // namespace

bool hasLogSwitch(const tstring_array& args) {
    for (const tstring& arg : args) {
        if (logModesOf(arg)) {
            return true;
        }
    }
    return false;
}

std::optional<LogSwitch> findLogSwitch(const tstring_array& args) {
    std::optional<LogSwitch> found;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::optional<tstring> letters = logModesOf(args[i]);
        if (!letters) {
            continue;
        }
        LogSwitch parsed = parseModes(args[i], *letters);
        if (i + 1 >= args.size() || args[i + 1].empty()) {
            LD_THROW(tstrings::MessageBuilder() << "The logging switch " << args[i] << " needs a log file after it");
        }
        // The service writes the log from processes of its own: a relative path must not
        // depend on their current directory.
        parsed.path = FileUtils::toAbsolutePath(args[++i]);
        found = parsed;
    }
    return found;
}

}  // namespace msi
