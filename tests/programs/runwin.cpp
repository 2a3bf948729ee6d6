// The tests' Windows parent: starts a Windows program with a changed environment, where the test
// needs it (a desktop, a hidden window station, a console or none), watches what it shows, and
// reports its full 32-bit exit code, which a Linux shell would see only as the low 8 bits. Text
// goes to standard output as UTF-8; the last line is "exit code: <signed decimal>". The child
// inherits the standard streams.
//
//   runwin [OPTIONS] -- PROGRAM [ARGS...]
//     --env NAME=VALUE   set NAME in the child's environment
//     --unset NAME       remove NAME from the child's environment
//     --cmdline RAW      the child's command line exactly as given, instead of PROGRAM and ARGS
//                        quoted as the system splits them
//     --cmdline-file FILE  the same, read from a UTF-8 file (for command lines too long to pass
//                        through the runner's own)
//     --desktop NAME     run the child on desktop NAME of the interactive window station. Under
//                        Wine a desktop draws on the X display of the first program that opened
//                        it, so every test display needs a desktop of its own.
//     --hidden-station   run the child on a new window station that nobody can see, as a service
//                        or deployment agent runs in session 0
//     --own-console      start the child from a new console of this runner, as from a command
//                        prompt; when it has ended, print each line of that console as
//                        "console: <line>" (needs a display under Wine)
//     --detached         start the child without any console, as from a desktop shortcut
//     --report-boxes     print "box: <caption>", then "box text: <text>" and "box icon" for
//                        every dialog box the child shows, "box button: <text> at <x>,<y>" for
//                        each button (its middle on the screen, where xdotool clicks it) and "box progress: <position>" for a progress bar, again
//                        whenever the position changes; with --detached, then report the
//                        console the child made for itself: "console window: visible|hidden", or
//                        "console window: none" when it has none, and its lines as "console: <line>"
//     --timeout SECONDS  kill the child after SECONDS and say so (by default it may take its time)
// Exits 0 when the child ended by itself, 2 on bad usage, 3 when the child could not be started,
// 4 when the watchdog killed it.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ArgvQuoting.h"
#include "WinApi.h"

#include <commctrl.h>

namespace {

struct Options {
    std::wstring desktop;
    bool hiddenStation = false;
    bool ownConsole = false;
    bool detached = false;
    bool reportBoxes = false;
    DWORD timeoutMs = INFINITE;
    std::wstring rawCommandLine;
    std::wstring program;
    std::vector<std::wstring> args;
};

void printLine(const std::wstring& text) {
    std::string utf8;
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size > 0) {
        utf8.resize(static_cast<size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr,
                            nullptr);
    }
    utf8.push_back('\n');
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

int usage() {
    std::fputs(
        "usage: runwin [--env NAME=VALUE]... [--unset NAME]... [--cmdline RAW | --cmdline-file FILE]\n"
        "              [--desktop NAME] [--hidden-station] [--own-console] [--detached] [--report-boxes]\n"
        "              [--timeout SECONDS] -- PROGRAM [ARGS...]\n",
        stderr);
    return 2;
}

std::wstring readUtf8File(const std::wstring& path) {
    FILE* in = _wfopen(path.c_str(), L"rb");
    if (in == nullptr) {
        return std::wstring();
    }
    std::string bytes;
    char chunk[4096];
    for (size_t read = 0; (read = std::fread(chunk, 1, sizeof(chunk), in)) > 0;) {
        bytes.append(chunk, read);
    }
    std::fclose(in);
    std::wstring text(bytes.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                           static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(length > 0 ? length : 0));
    return text;
}

bool parseOptions(int argc, wchar_t** argv, Options& options) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--") {
            ++i;
            break;
        }
        if (option == L"--hidden-station") {
            options.hiddenStation = true;
        } else if (option == L"--own-console") {
            options.ownConsole = true;
        } else if (option == L"--detached") {
            options.detached = true;
        } else if (option == L"--report-boxes") {
            options.reportBoxes = true;
        } else if (i + 1 >= argc) {
            return false;
        } else if (option == L"--env") {
            const std::wstring value = argv[++i];
            const size_t eq = value.find(L'=');
            if (eq == std::wstring::npos || eq == 0) {
                return false;
            }
            SetEnvironmentVariableW(value.substr(0, eq).c_str(), value.substr(eq + 1).c_str());
        } else if (option == L"--unset") {
            SetEnvironmentVariableW(argv[++i], nullptr);
        } else if (option == L"--cmdline") {
            options.rawCommandLine = argv[++i];
        } else if (option == L"--cmdline-file") {
            options.rawCommandLine = readUtf8File(argv[++i]);
            if (options.rawCommandLine.empty()) {
                return false;
            }
        } else if (option == L"--desktop") {
            options.desktop = argv[++i];
        } else if (option == L"--timeout") {
            options.timeoutMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10) * 1000);
        } else {
            return false;
        }
    }
    if (i >= argc || (options.hiddenStation && !options.desktop.empty())) {
        return false;
    }
    options.program = argv[i];
    options.args.assign(argv + i + 1, argv + argc);
    return true;
}

// A window station of our own, which no one can see: Windows makes only WinSta0 visible.
std::wstring makeHiddenStation() {
    const std::wstring name = L"lodestar-hidden-" + std::to_wstring(GetCurrentProcessId());
    HWINSTA station = CreateWindowStationW(name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
    if (station == nullptr) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "runwin: CreateWindowStation failed (error %lu)\n", error);
        return std::wstring();
    }
    // The child's desktop must exist on the station before the child can be started on it.
    HWINSTA ours = GetProcessWindowStation();
    SetProcessWindowStation(station);
    HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(ours);
    if (desktop == nullptr) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "runwin: CreateDesktop failed (error %lu)\n", error);
        return std::wstring();
    }
    return name + L"\\Default";  // the station and desktop live as long as this runner
}

std::wstring windowText(HWND window) {
    wchar_t text[4096] = {};
    GetWindowTextW(window, text, 4096);
    return text;
}

std::wstring className(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

// A button's middle on the screen, where xdotool clicks it: Wine's screen coordinates are the X
// display's, and the X window of a top-level window may hold its client area only.
std::wstring middleOf(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    return std::to_wstring((rect.left + rect.right) / 2) + L"," + std::to_wstring((rect.top + rect.bottom) / 2);
}

void reportControls(HWND box) {
    EnumChildWindows(
        box,
        [](HWND control, LPARAM) -> BOOL {
            const std::wstring kind = className(control);
            if (_wcsicmp(kind.c_str(), L"Button") == 0) {
                printLine(L"box button: " + windowText(control) + L" at " + middleOf(control));
                return TRUE;
            }
            if (_wcsicmp(kind.c_str(), L"Static") != 0) {
                return TRUE;
            }
            // Which icon it is cannot be told from here (icon handles are private to their
            // process), only whether the box has one: its icon control exists either way.
            if ((GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
                if (SendMessageW(control, STM_GETICON, 0, 0) != 0) {
                    printLine(L"box icon");
                }
            } else {
                printLine(L"box text: " + windowText(control));
            }
            return TRUE;
        },
        0);
}

// The position of the first progress bar in `box`, or -1 when it has none.
LRESULT progressOf(HWND box) {
    HWND bar = FindWindowExW(box, nullptr, L"msctls_progress32", nullptr);
    return bar == nullptr ? -1 : SendMessageW(bar, PBM_GETPOS, 0, 0);
}

// Reports the progress bars of the boxes seen so far whose position changed.
void reportProgress(std::map<HWND, LRESULT>& positions) {
    for (auto& [box, position] : positions) {
        // A window on its way out may answer anything: only a visible one counts.
        const LRESULT now = IsWindowVisible(box) ? progressOf(box) : -1;
        if (now != position && now >= 0) {
            printLine(L"box progress: " + std::to_wstring(now));
        }
        position = now;
    }
}

std::vector<std::wstring> consoleLines() {
    std::vector<std::wstring> lines;
    HANDLE output = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (output == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(output, &info)) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "runwin: cannot read the console (error %lu)\n", error);
        if (output != INVALID_HANDLE_VALUE) {
            CloseHandle(output);
        }
        return lines;
    }
    std::vector<wchar_t> row(static_cast<size_t>(info.dwSize.X));
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        DWORD read = 0;
        ReadConsoleOutputCharacterW(output, row.data(), static_cast<DWORD>(row.size()), COORD{0, y}, &read);
        std::wstring line(row.data(), read);
        line.erase(line.find_last_not_of(L' ') + 1);
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    CloseHandle(output);
    return lines;
}

void printConsole(const std::vector<std::wstring>& lines) {
    for (const std::wstring& line : lines) {
        printLine(L"console: " + line);
    }
}

// Out of the way of boxes, which appear in the middle of the screen, as a user would drag it: the
// tests must see and click the box.
void moveAsideFromBoxes(HWND consoleWindow) {
    if (consoleWindow != nullptr) {
        SetWindowPos(consoleWindow, nullptr, 0, GetSystemMetrics(SM_CYSCREEN) / 2 + 100, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

// A console wide and long enough that no record wraps or scrolls away.
bool makeOwnConsole() {
    FreeConsole();
    if (!AllocConsole()) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "runwin: AllocConsole failed (error %lu)\n", error);
        return false;
    }
    HANDLE output = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    SetConsoleScreenBufferSize(output, COORD{1000, 500});
    CloseHandle(output);
    moveAsideFromBoxes(GetConsoleWindow());
    return true;
}

struct BoxSearch {
    DWORD processId;
    std::set<HWND>* reported;
    std::vector<HWND> found;
};

BOOL CALLBACK collectNewBoxes(HWND window, LPARAM param) {
    BoxSearch& search = *reinterpret_cast<BoxSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search.processId && IsWindowVisible(window) && className(window) == L"#32770" &&
        search.reported->insert(window).second) {
        search.found.push_back(window);
    }
    return TRUE;
}

// Reports dialog boxes that appeared since the last call; true when there was one.
bool reportNewBoxes(DWORD processId, std::set<HWND>& reported, std::map<HWND, LRESULT>& positions) {
    BoxSearch search{processId, &reported, {}};
    EnumWindows(collectNewBoxes, reinterpret_cast<LPARAM>(&search));
    for (HWND box : search.found) {
        printLine(L"box: " + windowText(box));
        reportControls(box);
        positions[box] = -1;
    }
    reportProgress(positions);
    return !search.found.empty();
}

// Windows count as visible, and are enumerated, only on the desktop of the thread that asks: this
// thread moves to the child's desktop (creating it, so that it exists before the child starts).
bool joinDesktop(const std::wstring& name) {
    HDESK desktop = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (desktop == nullptr || !SetThreadDesktop(desktop)) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "runwin: cannot use desktop %ls (error %lu)\n", name.c_str(), error);
        return false;
    }
    return true;  // the desktop lives as long as this runner
}

// The console a detached child made for itself: whether it has a window, and what it holds.
void reportChildConsole(DWORD processId) {
    FreeConsole();
    if (!AttachConsole(processId)) {
        printLine(L"console window: none");
        return;
    }
    const HWND window = GetConsoleWindow();
    printLine(std::wstring(L"console window: ") + (window == nullptr         ? L"none"
                                                   : IsWindowVisible(window) ? L"visible"
                                                                             : L"hidden"));
    moveAsideFromBoxes(window);
    printConsole(consoleLines());
    FreeConsole();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // UTF-8 lines ending in "\n" only, for the scripts
    Options options;
    if (!parseOptions(argc, argv, options)) {
        return usage();
    }
    std::wstring desktop = options.desktop.empty() ? std::wstring() : L"WinSta0\\" + options.desktop;
    if (options.hiddenStation && (desktop = makeHiddenStation()).empty()) {
        return 3;
    }
    if (!options.desktop.empty() && !joinDesktop(options.desktop)) {
        return 3;
    }
    if (options.ownConsole && !makeOwnConsole()) {
        return 3;
    }

    std::wstring commandLine = options.rawCommandLine;
    if (commandLine.empty()) {
        commandLine = quoteForArgv(options.program);
        for (const std::wstring& arg : options.args) {
            commandLine += L" " + quoteForArgv(arg);
        }
    }
    std::vector<wchar_t> mutableCommandLine(commandLine.begin(), commandLine.end());
    mutableCommandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop.empty() ? nullptr : desktop.data();
    PROCESS_INFORMATION process{};
    // Wine, on a loaded machine, now and then fails a process start with ERROR_INTERNAL_ERROR
    // before the program runs at all; that is the harness's problem, not the program's, so it is
    // tried again a few times. Every other failure is reported at once.
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (CreateProcessW(options.program.c_str(), mutableCommandLine.data(), nullptr, nullptr, TRUE,
                           options.detached ? DETACHED_PROCESS : 0, nullptr, nullptr, &startup, &process)) {
            error = ERROR_SUCCESS;
            break;
        }
        error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR) {
            break;
        }
        Sleep(250);
    }
    if (error != ERROR_SUCCESS) {
        std::fprintf(stderr, "runwin: cannot start %ls (error %lu)\n", options.program.c_str(), error);
        return 3;
    }
    CloseHandle(process.hThread);

    constexpr DWORD kPollMs = 100;
    std::set<HWND> reported;
    std::map<HWND, LRESULT> positions;
    bool killed = false;
    for (DWORD waited = 0; WaitForSingleObject(process.hProcess, kPollMs) == WAIT_TIMEOUT; waited += kPollMs) {
        if (options.reportBoxes && reportNewBoxes(process.dwProcessId, reported, positions) && options.detached) {
            reportChildConsole(process.dwProcessId);
        }
        if (options.timeoutMs != INFINITE && waited >= options.timeoutMs) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, INFINITE);
            std::fprintf(stderr, "runwin: watchdog killed %ls after %lu s\n", options.program.c_str(),
                         options.timeoutMs / 1000);
            killed = true;
            break;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    if (options.ownConsole) {
        printConsole(consoleLines());
    }
    std::fflush(stderr);
    std::printf("exit code: %ld\n", static_cast<long>(code));
    std::fflush(stdout);
    return killed ? 4 : 0;
}
