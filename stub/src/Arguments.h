// The stub's command line: split the way msiexec splits its own, the
// stub's switches recognised, and the arguments meant for msiexec checked
// and written again in one form. Templates over the string type (WText in
// the stub, a standard string in host tests and the fuzz target), with no
// system calls.
#pragma once

#include <stddef.h>

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

} // namespace stub
