// What a launcher is asked to do, read once from its command line: the text after the program
// name, split exactly as the system's CommandLineToArgvW splits it, with the verb it starts with.
// Portable: no system calls, so that the rules are tested natively and held against the real
// splitter under Wine.
#pragma once

#include "tstrings.h"

namespace launcher {

enum class LauncherAction { Install, Uninstall, Repair, Extract, Help };

struct LauncherCommand {
    LauncherAction action = LauncherAction::Install;
    // Every argument, as CommandLineToArgvW gives them (the program name left out).
    tstring_array arguments;
    // Extract: the arguments after the verb.
    tstring_array operands;
    // What goes to msiexec exactly as it was typed (msiexec parses it by rules of its own, which no
    // splitting and re-quoting could reproduce): Install, all of the text; Repair, what follows
    // the verb, without the blanks around it.
    tstring installerText;
};

// `argsText` split as CommandLineToArgvW splits what follows the program name: blanks and tabs
// between arguments; 2n backslashes before a quote are n and the quote opens or closes a quoted
// part, 2n+1 are n and a literal quote; backslashes before anything else are themselves; a
// quote right after a closing one ("" inside quotes) is a literal quote.
tstring_array splitCommandArguments(const tstring& argsText);

// The action of `argsText` (the command line after the program name, leading blanks removed):
// Uninstall when any whole argument is "uninstall", exactly so spelled, wherever it stands
// (so "extract uninstall" removes, and "Uninstall" installs); otherwise the verb the text starts
// with, typed as it is and followed by a blank or nothing ("extract", "repair", "/?", "-?",
// "/help", "--help"); otherwise Install.
LauncherCommand parseLauncherCommand(const tstring& argsText);

// What the user's arguments ask msiexec to show, read from its options as msiexec reads them
// (case-insensitively, after '/' or '-'; a property's value such as DIR="/qn" is no option):
// nothing for /q, /qn, /qn+ or /quiet; progress a user cannot cancel for /passive and the /qb
// forms with '!'; otherwise (/qb, /qr, /qf or no option) a user interface with its Cancel.
enum class UserInterface { None, WithoutCancel, Full };
UserInterface requestedUserInterface(const tstring_array& arguments);

}  // namespace launcher
