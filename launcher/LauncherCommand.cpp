#include "LauncherCommand.h"

#include <algorithm>
#include <utility>

namespace launcher {
namespace {

constexpr const wchar_t* kUninstallVerb = L"uninstall";

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

struct Verb {
    const wchar_t* text;
    LauncherAction action;
};

constexpr Verb kLeadingVerbs[] = {
    {L"extract", LauncherAction::Extract}, {L"repair", LauncherAction::Repair}, {L"/?", LauncherAction::Help},
    {L"-?", LauncherAction::Help},         {L"/help", LauncherAction::Help},    {L"--help", LauncherAction::Help},
};

// The verb `argsText` starts with, as typed and followed by a blank or nothing.
const Verb* leadingVerb(const tstring& argsText) {
    for (const Verb& verb : kLeadingVerbs) {
        const tstring word(verb.text);
        if (argsText.compare(0, word.size(), word) == 0 &&
            (argsText.size() == word.size() || isBlank(argsText[word.size()]))) {
            return &verb;
        }
    }
    return nullptr;
}

}  // namespace

tstring_array splitCommandArguments(const tstring& argsText) {
    tstring_array arguments;
    tstring current;
    bool inArgument = false;
    // Quotes seen in the current run, as the system counts them: odd while a quoted part is open.
    int quotes = 0;
    std::size_t backslashes = 0;
    for (std::size_t i = 0; i < argsText.size();) {
        const wchar_t c = argsText[i];
        if (isBlank(c) && quotes == 0) {
            if (inArgument) {
                arguments.push_back(std::exchange(current, tstring()));
                inArgument = false;
            }
            backslashes = 0;
            ++i;
            continue;
        }
        inArgument = true;
        if (c == L'\\') {
            current += c;
            ++backslashes;
            ++i;
            continue;
        }
        if (c != L'"') {
            current += c;
            backslashes = 0;
            ++i;
            continue;
        }
        // A quote: the backslashes before it are halved; an odd one out makes it literal.
        current.erase(current.size() - (backslashes + 1) / 2);
        if (backslashes % 2 == 1) {
            current += L'"';
        } else {
            ++quotes;
        }
        backslashes = 0;
        ++i;
        // Quotes that follow at once: every third of the run is a literal quote.
        while (i < argsText.size() && argsText[i] == L'"') {
            if (++quotes == 3) {
                current += L'"';
                quotes = 0;
            }
            ++i;
        }
        if (quotes == 2) {
            quotes = 0;
        }
    }
    if (inArgument) {
        arguments.push_back(current);
    }
    return arguments;
}

LauncherCommand parseLauncherCommand(const tstring& argsText) {
    LauncherCommand command;
    command.arguments = splitCommandArguments(argsText);
    if (std::find(command.arguments.begin(), command.arguments.end(), tstring(kUninstallVerb)) !=
        command.arguments.end()) {
        command.action = LauncherAction::Uninstall;
        return command;
    }
    const Verb* verb = leadingVerb(argsText);
    if (verb == nullptr) {
        command.installerText = argsText;
        return command;
    }
    command.action = verb->action;
    command.operands.assign(command.arguments.begin() + 1, command.arguments.end());
    if (verb->action == LauncherAction::Repair) {
        command.installerText = tstrings::trim(argsText.substr(tstring(verb->text).size()));
    }
    return command;
}

namespace {

// The option an argument names, in lower case without its '/' or '-'; empty for a property.
tstring optionName(const tstring& argument) {
    if (argument.size() < 2 || (argument.front() != L'/' && argument.front() != L'-')) {
        return tstring();
    }
    return tstrings::toLower(argument.substr(1));
}

}  // namespace

UserInterface requestedUserInterface(const tstring_array& arguments) {
    UserInterface requested = UserInterface::Full;
    for (const tstring& argument : arguments) {
        const tstring option = optionName(argument);
        if (option == L"q" || option == L"qn" || option == L"qn+" || option == L"quiet") {
            return UserInterface::None;
        }
        if (option == L"passive" || (option.rfind(L"qb", 0) == 0 && option.find(L'!') != tstring::npos)) {
            requested = UserInterface::WithoutCancel;
        }
    }
    return requested;
}

}  // namespace launcher
