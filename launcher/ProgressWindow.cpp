#include "ProgressWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <vector>

#include "ErrorHandling.h"
#include "Log.h"
#include "ScopeExit.h"
#include "WinDll.h"

namespace launcher {
namespace {

// Long enough that a setup which unpacks in a blink shows nothing, short enough that a person who
// double-clicked sees at once that something happens.
constexpr DWORD kShowAfterMs = 500;
constexpr UINT kRefreshMs = 100;
constexpr UINT_PTR kRefreshTimer = 1;
constexpr int kBarId = 100;
constexpr int kTextId = 101;
constexpr int kBarSteps = 1000;

// A dialog template in memory (DLGTEMPLATE and its items, as the dialog manager reads them), laid
// out in dialog units: the dialog manager scales them to the font, and to the monitor's DPI for a
// per-monitor aware process, so the window follows the system's metrics without code of its own.
class DialogTemplate {
public:
    DialogTemplate(DWORD style, const tstring& title, WORD pointSize, const tstring& typeface, short cx, short cy) {
        dword(style);
        dword(WS_EX_APPWINDOW);
        words_.push_back(0);  // the number of items, counted as they are added
        for (short value : {short{0}, short{0}, cx, cy}) {
            words_.push_back(static_cast<WORD>(value));
        }
        words_.push_back(0);  // no menu
        words_.push_back(0);  // the predefined dialog class
        text(title);
        words_.push_back(pointSize);
        text(typeface);
    }

    // `windowClass` is a predefined class's atom (0x0080 button, 0x0082 static) or, with
    // `className`, a registered class.
    void item(DWORD style, short x, short y, short cx, short cy, int id, WORD windowClass, const tstring& title,
              const wchar_t* className = nullptr) {
        if (words_.size() % 2 != 0) {
            words_.push_back(0);  // every item starts on a DWORD
        }
        dword(style | WS_CHILD | WS_VISIBLE);
        dword(0);
        for (short value : {x, y, cx, cy}) {
            words_.push_back(static_cast<WORD>(value));
        }
        words_.push_back(static_cast<WORD>(id));
        if (className != nullptr) {
            text(className);
        } else {
            words_.push_back(0xFFFF);
            words_.push_back(windowClass);
        }
        text(title);
        words_.push_back(0);  // no creation data
        ++words_[4];
    }

    LPCDLGTEMPLATEW get() const { return reinterpret_cast<LPCDLGTEMPLATEW>(words_.data()); }

private:
    void dword(DWORD value) {
        words_.push_back(LOWORD(value));
        words_.push_back(HIWORD(value));
    }
    void text(const tstring& value) {
        words_.insert(words_.end(), value.begin(), value.end());
        words_.push_back(0);
    }

    std::vector<WORD> words_;  // vector storage is aligned for DWORDs, as the template must be
};

// The DPI that the message font's height is given in: the system's.
UINT systemDpi() {
    using GetDpiForSystemFunction = UINT(WINAPI*)();
    // Windows 10 1607 and later; before it, the screen's logical pixels per inch.
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    const auto getDpiForSystem = user32 == nullptr ? nullptr
                                                   : reinterpret_cast<GetDpiForSystemFunction>(reinterpret_cast<void (*)()>(
                                                         GetProcAddress(user32, "GetDpiForSystem")));
    if (getDpiForSystem != nullptr) {
        return getDpiForSystem();
    }
    const HDC screen = LD_SYSTEM_FUNCTION(user32, GetDC)(nullptr);
    const int dpi = screen == nullptr ? 0 : LD_SYSTEM_FUNCTION(gdi32, GetDeviceCaps)(screen, LOGPIXELSY);
    if (screen != nullptr) {
        LD_SYSTEM_FUNCTION(user32, ReleaseDC)(nullptr, screen);
    }
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

DialogTemplate progressDialog(const tstring& title, bool cancellable) {
    // The font the system shows messages in (Segoe UI 9 on a Windows of today), in points.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    const auto systemParametersInfo = LD_SYSTEM_FUNCTION(user32, SystemParametersInfoW);
    LD_THROW_LAST_ERROR_IF(!systemParametersInfo(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0),
                           systemParametersInfo, "SystemParametersInfo(SPI_GETNONCLIENTMETRICS) failed");
    const LONG height = metrics.lfMessageFont.lfHeight;
    const auto pixels = static_cast<UINT>(height < 0 ? -height : height);
    const UINT dpi = systemDpi();
    const WORD points = pixels == 0 ? WORD{9} : static_cast<WORD>((pixels * 72 + dpi / 2) / dpi);

    // No close box where there is nothing to cancel: /passive and /qb! promise a setup that runs
    // to its end.
    const DWORD style = DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | (cancellable ? WS_SYSMENU : 0);
    DialogTemplate dialog(style, title, points, metrics.lfMessageFont.lfFaceName, 232, cancellable ? 62 : 42);
    dialog.item(SS_LEFT | SS_NOPREFIX, 7, 7, 218, 10, kTextId, 0x0082, L"Preparing to install\u2026");
    dialog.item(0, 7, 21, 218, 10, kBarId, 0, L"", PROGRESS_CLASSW);
    if (cancellable) {
        dialog.item(BS_PUSHBUTTON | WS_TABSTOP, 175, 41, 50, 14, IDCANCEL, 0x0080, L"Cancel");
    }
    return dialog;
}

}  // namespace

ProgressWindow::ProgressWindow(UnpackProgress& progress, const tstring& title, bool cancellable)
    : progress_(progress), title_(title), cancellable_(cancellable) {
    finished_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!finished_) {
        const DWORD error = GetLastError();
        LOG_WARNING("No progress window: CreateEvent failed with " << error);
        return;
    }
    thread_.reset(CreateThread(nullptr, 0, threadMain, this, 0, nullptr));
    if (!thread_) {
        const DWORD error = GetLastError();
        LOG_WARNING("No progress window: CreateThread failed with " << error);
    }
}

ProgressWindow::~ProgressWindow() {
    close();
}

void ProgressWindow::close() noexcept {
    if (!thread_) {
        return;
    }
    SetEvent(finished_.get());
    WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
    if (!trouble_.empty()) {
        try {
            LOG_WARNING("The progress window: " << tstrings::fromUtf8(trouble_));
        } catch (...) {
            // Only a message was lost; the setup goes on.
        }
    }
}

// The log belongs to the main thread: what went wrong here is kept for close() to log.
DWORD WINAPI ProgressWindow::threadMain(void* self) {
    auto& window = *static_cast<ProgressWindow*>(self);
    try {
        window.showUntilFinished();
    } catch (const std::exception& e) {
        window.trouble_ = std::string("it failed: ") + e.what();
    } catch (...) {
        window.trouble_ = "it failed";
    }
    return 0;
}

void ProgressWindow::showUntilFinished() {
    if (WaitForSingleObject(finished_.get(), kShowAfterMs) != WAIT_TIMEOUT) {
        return;
    }
    // Wine's theming binds msimg32 only when it first draws, and that late binding searches the
    // application directory whatever SetDefaultDllDirectories said: loaded from the system
    // directory first, it is found loaded. Kept for the life of the process, as systemFunction's.
    if (LoadLibraryExW(L"msimg32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) == nullptr) {
        const DWORD error = GetLastError();
        trouble_ = "LoadLibraryEx(msimg32.dll) failed with " + std::to_string(error);
    }
    // comctl32 by its bare name, so that the manifest's common controls 6 are the ones that load.
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    LD_SYSTEM_FUNCTION(comctl32, InitCommonControlsEx)(&controls);
    const DialogTemplate layout = progressDialog(title_, cancellable_);
    const auto createDialog = LD_SYSTEM_FUNCTION(user32, CreateDialogIndirectParamW);
    const HWND dialog =
        createDialog(GetModuleHandleW(nullptr), layout.get(), nullptr, dialogProc, reinterpret_cast<LPARAM>(this));
    LD_THROW_LAST_ERROR_IF(dialog == nullptr, createDialog, "CreateDialogIndirectParam failed");
    // The timer may have destroyed it already (see dialogProc).
    const auto destroy = ld::scopeExit([dialog] {
        if (LD_SYSTEM_FUNCTION(user32, IsWindow)(dialog)) {
            LD_SYSTEM_FUNCTION(user32, DestroyWindow)(dialog);
        }
    });
    LD_SYSTEM_FUNCTION(user32, ShowWindow)(dialog, SW_SHOWNORMAL);

    const HANDLE finished = finished_.get();
    while (LD_SYSTEM_FUNCTION(user32, MsgWaitForMultipleObjects)(1, &finished, FALSE, INFINITE, QS_ALLINPUT) !=
           WAIT_OBJECT_0) {
        MSG message;
        while (LD_SYSTEM_FUNCTION(user32, PeekMessageW)(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!LD_SYSTEM_FUNCTION(user32, IsDialogMessageW)(dialog, &message)) {
                LD_SYSTEM_FUNCTION(user32, TranslateMessage)(&message);
                LD_SYSTEM_FUNCTION(user32, DispatchMessageW)(&message);
            }
        }
    }
}

void ProgressWindow::showDone(HWND dialog) const {
    const std::uint64_t total = progress_.total();
    const std::uint64_t done = progress_.done();
    const auto position = total == 0 ? kBarSteps : static_cast<int>(std::min<std::uint64_t>(done, total) * kBarSteps / total);
    LD_SYSTEM_FUNCTION(user32, SendDlgItemMessageW)(dialog, kBarId, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void ProgressWindow::cancel(HWND dialog) {
    progress_.requestCancel();
    // Heard between two pieces; until then the button shows that it was.
    LD_SYSTEM_FUNCTION(user32, EnableWindow)(LD_SYSTEM_FUNCTION(user32, GetDlgItem)(dialog, IDCANCEL), FALSE);
}

INT_PTR CALLBACK ProgressWindow::dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        LD_SYSTEM_FUNCTION(user32, SetWindowLongPtrW)(dialog, DWLP_USER, lParam);
        LD_SYSTEM_FUNCTION(user32, SendDlgItemMessageW)(dialog, kBarId, PBM_SETRANGE32, 0, kBarSteps);
        reinterpret_cast<ProgressWindow*>(lParam)->showDone(dialog);
        LD_SYSTEM_FUNCTION(user32, SetTimer)(dialog, kRefreshTimer, kRefreshMs, nullptr);
        return TRUE;
    }
    auto* self = reinterpret_cast<ProgressWindow*>(LD_SYSTEM_FUNCTION(user32, GetWindowLongPtrW)(dialog, DWLP_USER));
    if (self == nullptr) {
        return FALSE;
    }
    switch (message) {
        case WM_TIMER:
            // While the user drags the window or holds its menu open, the system's own message
            // loop runs instead of showUntilFinished's, and only the timer hears that it is over.
            if (WaitForSingleObject(self->finished_.get(), 0) == WAIT_OBJECT_0) {
                LD_SYSTEM_FUNCTION(user32, DestroyWindow)(dialog);
                return TRUE;
            }
            self->showDone(dialog);
            return TRUE;
        case WM_COMMAND:
            // Cancel, Escape and the close box all come as IDCANCEL.
            if (LOWORD(wParam) == IDCANCEL && self->cancellable_) {
                self->cancel(dialog);
            }
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace launcher
