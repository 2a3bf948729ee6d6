// The launch frame of a GUI program: a console for the debug switch, and the error box that
// shows the user what went wrong.
#pragma once

#include <new>

#include "SourceLocation.h"
#include "WinApi.h"
#include "app.h"
#include "tstrings.h"

namespace app {

// app::launch with a console attached when the debug switch is on, and with every failure shown
// in an error box captioned with the executable's file name. Returns 0 or 1 as app::launch does.
int wlaunch(const std::nothrow_t&, LauncherFunc payload);

// False for a window station whose windows nobody can see (the non-interactive station of a
// service or deployment agent in session 0): a modal box there would wait forever.
// True when the system cannot tell.
bool isVisibleWindowStation(HWINSTA station);

// Shows `text` to the user in a box captioned with the executable's file name, with the
// information icon, and returns when it is dismissed. Where no box can reach a user (as for the
// error box) or the box cannot be shown, the text goes to standard error instead.
void showInformation(const tstring& text);
// The same with the warning icon: for what stopped the program without being a failure of its own.
void showWarning(const tstring& text);

// Whether an error box can reach a user: not in session 0, where services run and nobody sees
// a desktop, and not on an invisible window station.
bool canShowErrorBox(HWINSTA station, DWORD sessionId);

}  // namespace app
