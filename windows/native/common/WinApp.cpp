#include "WinApp.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "ScopeExit.h"
#include "WinDll.h"
#include "WinSysInfo.h"

namespace {

// The session of this process; an unknown one counts as interactive, so a box is not lost.
DWORD currentSessionId() {
    DWORD sessionId = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &sessionId)) {
        return 1;
    }
    return sessionId;
}

// Makes the debug log of a GUI program visible: the program starts without a console and its
// standard streams lead nowhere.
class Console {
public:
    // One standard stream reopened on the console device for the life of the channel.
    class Channel {
    public:
        explicit Channel(FILE* stream);
        ~Channel();
        Channel(const Channel&) = delete;
        Channel& operator=(const Channel&) = delete;

    private:
        struct StreamCloser {
            void operator()(FILE* stream) const { std::fclose(stream); }
        };

        std::unique_ptr<FILE, StreamCloser> stream_;
    };

    Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

private:
    // Declared in this order so that standard error is given back first.
    std::unique_ptr<Channel> stdoutChannel_;
    std::unique_ptr<Channel> stderrChannel_;
};

Console::Console() {
    // Without a console nobody reads the log anyway; the launch goes on either way.
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole()) {
        return;
    }
    stdoutChannel_ = std::make_unique<Channel>(stdout);
    stderrChannel_ = std::make_unique<Channel>(stderr);
}

Console::Channel::Channel(FILE* stream) {
    const bool input = stream == stdin;
    FILE* reopened = nullptr;
    // A stream that cannot be reopened stays as it was; the log is a convenience, not a duty.
    static_cast<void>(_wfreopen_s(&reopened, input ? L"CONIN$" : L"CONOUT$", input ? L"r" : L"w", stream));
    stream_.reset(reopened);
}

Console::Channel::~Channel() {
    try {
        stream_.reset();
    }
    LD_CATCH_AND_LOG(std::runtime_error)
}

// A message box captioned with the program's file name, where somebody can see and dismiss it:
// false where nobody can (the caller then writes elsewhere, or nowhere) or when it fails (0 is
// Windows' failure; Wine answers -1 where it has no display).
bool showBox(const tstring& text, UINT icon) {
    if (!app::canShowErrorBox(LD_SYSTEM_FUNCTION(user32, GetProcessWindowStation)(), currentSessionId())) {
        return false;
    }
    const tstring caption = FileUtils::basename(SysInfo::getProcessModulePath());
    return LD_SYSTEM_FUNCTION(user32, MessageBoxW)(nullptr, text.c_str(), caption.c_str(), icon) > 0;
}

// Set while the error box is prepared or shown. The failure of append is logged through the
// logger, whose appender includes this one at that time: such a record must not open a second
// box or recurse.
bool errorBoxInProgress = false;

// Shows the stored last error message to the user; the record itself is for the log.
class LastErrorGuiLogAppender : public LogAppender {
public:
    void append(const LogEvent&) override {
        if (errorBoxInProgress) {
            return;
        }
        errorBoxInProgress = true;
        const auto boxDone = ld::scopeExit([] { errorBoxInProgress = false; });
        try {
            // Where nobody can see the box, the message has gone to standard error already, and the
            // process must end rather than wait forever.
            showBox(tstrings::fromUtf8(app::lastErrorMsg()), MB_ICONERROR);
        }
        LD_CATCH_AND_LOG(std::runtime_error)
    }
};

}  // namespace

namespace app {

namespace {

void showOrWrite(const tstring& text, UINT icon) {
    if (showBox(text, icon)) {
        return;
    }
    const std::string utf8 = tstrings::toUtf8(text) + "\n";
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

void showInformation(const tstring& text) {
    showOrWrite(text, MB_ICONINFORMATION);
}

void showWarning(const tstring& text) {
    showOrWrite(text, MB_ICONWARNING);
}

bool canShowErrorBox(HWINSTA station, DWORD sessionId) {
    // Session 0 holds services and has had no interactive desktop since Windows Vista, even on a
    // station that calls itself visible (a service allowed to interact with the desktop).
    return sessionId != 0 && isVisibleWindowStation(station);
}

int wlaunch(const std::nothrow_t& tag, LauncherFunc payload) {
    std::unique_ptr<Console> console;
    try {
        if (isDebugSwitchOn()) {
            console = std::make_unique<Console>();
        }
    }
    LD_CATCH_AND_LOG(std::runtime_error)
    LastErrorGuiLogAppender lastErrorGuiLogAppender;
    TeeLogAppender lastErrorAppenders(&defaultLastErrorLogAppender(), &lastErrorGuiLogAppender);
    return launch(tag, payload, &lastErrorAppenders);
}

bool isVisibleWindowStation(HWINSTA station) {
    USEROBJECTFLAGS flags{};
    DWORD size = 0;
    if (!LD_SYSTEM_FUNCTION(user32, GetUserObjectInformationW)(station, UOI_FLAGS, &flags, sizeof(flags), &size)) {
        // Whatever the reason, the station's visibility is unknown, and an error the user might
        // see is worth more than one nobody sees: the caller shows its box as before.
        return true;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace app
