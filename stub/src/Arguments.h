// The stub's command line: split the way msiexec splits its own, the
// stub's switches recognised, and the arguments meant for msiexec checked
// and written again in one form. Templates over the string type (WText in
// the stub, a standard string in host tests and the fuzz target), with no
// system calls.
#pragma once

#include <stddef.h>

#include "Settings.h"

namespace stub {

inline wchar_t lower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

inline const wchar_t* skipProgramName(const wchar_t* p) {
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// One argument as msiexec splits them: blanks outside quotes separate, a
// quote starts or ends a quoted part, two quotes inside one stand for a
// quote, and a backslash is just a character (INSTALLDIR="C:\Dir\" is one
// argument ending in a backslash). False at the end.
template <class Text> bool nextArgument(const wchar_t*& p, Text& out) {
    out.clear();
    while (*p == L' ' || *p == L'\t') ++p;
    if (!*p) return false;
    bool quoted = false;
    while (*p) {
        if (!quoted && (*p == L' ' || *p == L'\t')) break;
        if (*p == L'"') {
            if (quoted && p[1] == L'"') {
                out.append(L'"');
                p += 2;
                continue;
            }
            quoted = !quoted;
            ++p;
            continue;
        }
        out.append(*p++);
    }
    return true;
}

template <class Text> bool isSwitchPrefix(const Text& arg) {
    return arg.size() >= 2 && (arg[0] == L'/' || arg[0] == L'-');
}

template <class Text> bool isSwitch(const Text& arg, const wchar_t* name) {
    if (!isSwitchPrefix(arg)) return false;
    const wchar_t* p = arg.c_str() + 1;
    if (arg[0] == L'-' && *p == L'-') ++p; // --help
    while (*name)
        if (lower(*p++) != *name++) return false;
    return *p == 0;
}

// msiexec's user-interface levels: /q, /qn, /qb, /qr, /qf with their +, -
// and ! modifiers, /quiet and /passive.
template <class Text> bool isInterfaceSwitch(const Text& arg, bool& unattended) {
    unattended = true;
    if (isSwitch(arg, L"quiet") || isSwitch(arg, L"passive")) return true;
    if (!isSwitchPrefix(arg) || lower(arg[1]) != L'q') return false;
    size_t i = 2;
    if (i < arg.size()) {
        const wchar_t level = lower(arg[i]);
        if (level == L'f') unattended = false;
        if (level == L'n' || level == L'b' || level == L'r' || level == L'f') ++i;
    }
    for (; i < arg.size(); ++i)
        if (arg[i] != L'+' && arg[i] != L'-' && arg[i] != L'!') return false;
    return true;
}

template <class Text> bool isUnattendedSwitch(const Text& arg) {
    bool unattended = false;
    return isInterfaceSwitch(arg, unattended) && unattended;
}

// /l with msiexec's logging modes, or /log; the log file follows.
template <class Text> bool isLogSwitch(const Text& arg) {
    if (isSwitch(arg, L"log")) return true;
    if (!isSwitchPrefix(arg) || lower(arg[1]) != L'l') return false;
    for (size_t i = 2; i < arg.size(); ++i) {
        const wchar_t c = lower(arg[i]);
        bool known = false;
        for (const wchar_t* mode = L"iwearucmopvx+!*"; *mode; ++mode)
            if (c == *mode) known = true;
        if (!known) return false;
    }
    return true;
}

inline bool isPropertyName(const wchar_t* p, size_t length) {
    if (length == 0) return false;
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = p[i];
        const bool letter = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_';
        const bool digit = (c >= L'0' && c <= L'9') || c == L'.';
        if (!letter && !(i > 0 && digit)) return false;
    }
    return true;
}

// Checks what the user passed and writes it again for msiexec in one
// unambiguous form, so that msiexec reads what was checked. User interface,
// logging, restart options and PROPERTY=value pass; anything that would make
// msiexec act on another package or do something other than install this
// one (/i /a /x /j /f /p /y /z /package /uninstall /update, prefix forms like
// /fa or /iC:\x.msi, a bare file name) does not. Returns true with the
// refused argument in `refused`, false when all pass.
template <class Text> bool checkPassedArguments(const wchar_t* arguments, Text& forMsiexec, Text& refused) {
    forMsiexec.clear();
    Text arg;
    bool expectLogFile = false;
    for (const wchar_t* p = arguments; nextArgument(p, arg);) {
        bool unattended = false;
        if (expectLogFile) {
            expectLogFile = false;
            bool plain = !arg.empty() && arg[0] != L'/' && arg[0] != L'-';
            for (size_t i = 0; i < arg.size(); ++i)
                if (arg[i] == L'"') plain = false;
            if (!plain) {
                refused.assign(arg.c_str());
                return true;
            }
            forMsiexec.append(L" \"").append(arg).append(L'"');
            continue;
        }
        if (isInterfaceSwitch(arg, unattended) || isSwitch(arg, L"norestart") ||
            isSwitch(arg, L"forcerestart") || isSwitch(arg, L"promptrestart")) {
            forMsiexec.append(L' ').append(arg);
            continue;
        }
        if (isLogSwitch(arg)) {
            forMsiexec.append(L' ').append(arg);
            expectLogFile = true;
            continue;
        }
        size_t equals = 0;
        while (equals < arg.size() && arg[equals] != L'=') ++equals;
        if (equals < arg.size() && isPropertyName(arg.c_str(), equals)) {
            // msiexec's quoting: the value in quotes, a quote in it doubled.
            forMsiexec.append(L' ').append(arg.c_str(), equals + 1).append(L'"');
            for (size_t i = equals + 1; i < arg.size(); ++i) {
                if (arg[i] == L'"') forMsiexec.append(L'"');
                forMsiexec.append(arg[i]);
            }
            forMsiexec.append(L'"');
            continue;
        }
        refused.assign(arg.c_str());
        return true;
    }
    if (expectLogFile) {
        refused.assign(L"(log file missing)");
        return true;
    }
    return false;
}

// What other installers teach people to type for a silent install; taken as
// msiexec's /qn and never passed on as typed (msiexec does not know them).
template <class Text> bool isSilentAlias(const Text& arg) {
    return isSwitch(arg, L"s") || isSwitch(arg, L"silent") || isSwitch(arg, L"verysilent");
}

template <class Text> bool isQuietArgument(const Text& arg) {
    return isUnattendedSwitch(arg) || isSilentAlias(arg);
}

// The line as typed, with each silent alias replaced by /qn.
template <class Text> void replaceSilentAliases(const wchar_t* arguments, Text& line) {
    line.clear();
    Text arg;
    for (const wchar_t* p = arguments;;) {
        while (*p == L' ' || *p == L'\t') ++p;
        const wchar_t* start = p;
        if (!nextArgument(p, arg)) break;
        line.append(L' ');
        if (isSilentAlias(arg))
            line.append(L"/qn");
        else
            line.append(start, static_cast<size_t>(p - start));
    }
}

// What the builder put into the executable, ready to be added to the line.
struct BuiltIn {
    const Settings* settings = nullptr;  // null: nothing built in
    const wchar_t* logPath = nullptr;    // the full path of --log's log
    const wchar_t* transforms = nullptr; // the transforms' full paths, ';' between
};

// What the end user's checked arguments already say.
struct UserChoices {
    bool userInterface = false;
    bool log = false;
    bool restart = false;
    bool transforms = false;
};

template <class Text> bool namesProperty(const Text& arg, const Utf16View& name) {
    size_t equals = 0;
    while (equals < arg.size() && arg[equals] != L'=') ++equals;
    if (equals == arg.size() || equals != name.length || !isPropertyName(arg.c_str(), equals)) return false;
    for (size_t i = 0; i < equals; ++i)
        if (lower(arg[i]) != lower(static_cast<wchar_t>(name.at(static_cast<uint32_t>(i))))) return false;
    return true;
}

// Over a line that checkPassedArguments has accepted.
template <class Text> UserChoices userChoices(const wchar_t* checked) {
    static const uint8_t transformsName[] = {'T', 0, 'R', 0, 'A', 0, 'N', 0, 'S', 0,
                                             'F', 0, 'O', 0, 'R', 0, 'M', 0, 'S', 0};
    UserChoices choices;
    Text arg;
    bool logFile = false;
    for (const wchar_t* p = checked; nextArgument(p, arg);) {
        bool unattended = false;
        if (logFile) {
            logFile = false;
        } else if (isInterfaceSwitch(arg, unattended)) {
            choices.userInterface = true;
        } else if (isLogSwitch(arg)) {
            choices.log = logFile = true;
        } else if (isSwitch(arg, L"norestart") || isSwitch(arg, L"forcerestart") ||
                   isSwitch(arg, L"promptrestart")) {
            choices.restart = true;
        } else if (namesProperty(arg, Utf16View{transformsName, 10})) {
            choices.transforms = true;
        }
    }
    return choices;
}

// True when the user's checked line sets the property itself.
template <class Text> bool userSetsProperty(const wchar_t* checked, const Utf16View& name) {
    Text arg;
    bool logFile = false;
    for (const wchar_t* p = checked; nextArgument(p, arg);) {
        if (logFile) {
            logFile = false;
            continue;
        }
        logFile = isLogSwitch(arg);
        if (!logFile && namesProperty(arg, name)) return true;
    }
    return false;
}

template <class Text> void appendQuoted(Text& out, const wchar_t* text) {
    out.append(L'"');
    for (; *text; ++text) {
        if (*text == L'"') out.append(L'"');
        out.append(*text);
    }
    out.append(L'"');
}

template <class Text>
void appendBuiltInProperties(const Settings& settings, const wchar_t* checked, Text& out) {
    for (uint32_t i = 0; i < settings.propertyCount; ++i) {
        const Property property = propertyAt(settings, i);
        if (userSetsProperty<Text>(checked, property.name)) continue; // the end user's wins
        out.append(L' ');
        for (uint32_t c = 0; c < property.name.length; ++c)
            out.append(static_cast<wchar_t>(property.name.at(c)));
        out.append(L"=\"");
        for (uint32_t c = 0; c < property.value.length; ++c) {
            const wchar_t unit = static_cast<wchar_t>(property.value.at(c));
            if (unit == L'"') out.append(L'"');
            out.append(unit);
        }
        out.append(L'"');
    }
}

// The end user's arguments checked and merged with the built-in settings:
// the built-in properties the user does not set, the user's arguments, and
// the user interface level, log, restart option and transforms unless the
// user chose them. Returns true with the refused argument in `refused`.
template <class Text>
bool mergeArguments(const wchar_t* arguments, const BuiltIn& builtIn, Text& forMsiexec, Text& refused) {
    Text line;
    replaceSilentAliases(arguments, line);
    Text checked;
    if (checkPassedArguments(line.c_str(), checked, refused)) return true;
    forMsiexec.clear();
    if (!builtIn.settings) {
        forMsiexec.append(checked);
        return false;
    }
    const Settings& settings = *builtIn.settings;
    const UserChoices user = userChoices<Text>(checked.c_str());
    appendBuiltInProperties(settings, checked.c_str(), forMsiexec);
    forMsiexec.append(checked);
    if (!user.userInterface && uiSwitch(settings.ui)) forMsiexec.append(L' ').append(uiSwitch(settings.ui));
    if (!user.log && settings.has(kFlagLog) && builtIn.logPath) {
        forMsiexec.append(L" /l*v ");
        appendQuoted(forMsiexec, builtIn.logPath);
    }
    if (!user.restart && settings.has(kFlagNoRestart)) forMsiexec.append(L" /norestart");
    if (!user.transforms && settings.transformCount > 0 && builtIn.transforms) {
        forMsiexec.append(L" TRANSFORMS=");
        appendQuoted(forMsiexec, builtIn.transforms);
    }
    return false;
}

} // namespace stub
