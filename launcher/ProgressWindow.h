// The window a person sees while a large setup unpacks, before Windows Installer's own: the
// product's name, "Preparing to install…", a bar over the bytes written and checked, and Cancel
// where the user's options allow one. It lives on a thread of its own, which reads the counter
// the unpacking advances and shows the window only once the unpacking has taken more than about
// half a second: a small setup shows nothing, and loads neither common controls nor theming.
#pragma once

#include <string>

#include "UniqueResource.h"
#include "UnpackProgress.h"
#include "WinApi.h"
#include "tstrings.h"

namespace launcher {

class ProgressWindow {
public:
    // Starts watching `progress`, which must outlive this object. `title` is shown as it is (make
    // it printable first); with `cancellable`, Cancel, Escape and the close box ask the unpacking
    // to stop.
    ProgressWindow(UnpackProgress& progress, const tstring& title, bool cancellable);
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;
    // close().
    ~ProgressWindow();

    // Takes the window away, if it was shown, and ends its thread: afterwards nothing of it is on
    // the screen. A window that failed costs the unpacking nothing: it is only logged.
    void close() noexcept;

private:
    static DWORD WINAPI threadMain(void* self);
    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    void showUntilFinished();
    void showDone(HWND dialog) const;
    void cancel(HWND dialog);

    UnpackProgress& progress_;
    tstring title_;
    bool cancellable_;
    std::string trouble_;  // what went wrong on the window's thread, logged by close()
    UniqueHandle finished_;  // an event, set by close()
    UniqueHandle thread_;
};

}  // namespace launcher
