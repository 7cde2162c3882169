#include "CommandLine.h"

#include "Arguments.h"
#include "Embedded.h"
#include "Messages.h"
#include "System.h"

namespace stub {
namespace {

DWORD refuseArgument(const WText& argument) {
    WText text(L"The option \"");
    text.append(argument);
    text.append(L"\" cannot be passed to this installer: it installs the package it contains and "
                L"nothing else.\n\nOptions it passes to Windows Installer: /quiet, /passive, /q, /qn, "
                L"/qb, /qr, /qf, /norestart, /forcerestart, /promptrestart, /l*v FILE, /log FILE and "
                L"PROPERTY=value; /s, /silent and /verysilent are taken as /qn. Run it with /? for help.");
    showMessage(text, MB_ICONERROR);
    return kExitBadCommandLine;
}

// After /extract: the first word it does not take, named as the refusal of
// an msiexec option names it.
DWORD refuseExtractArgument(const WText& argument) {
    WText text(L"The option \"");
    text.append(argument);
    text.append(L"\" is not understood with /extract, which takes one folder, /y and a quiet switch: ");
    text.append(gTitle).append(L" /extract [folder] [/y] [/qn]. Run it with /? for help.");
    showMessage(text, MB_ICONERROR);
    return kExitBadCommandLine;
}

// /extract [FOLDER] [/y], optionally with a quiet switch; nothing else.
DWORD readExtractArguments(const wchar_t* cursor, Request& request) {
    bool haveFolder = false;
    WText arg;
    while (nextArgument(cursor, arg)) {
        if (isQuietArgument(arg)) continue;
        if (isSwitch(arg, L"y") && !request.replace) {
            request.replace = true;
            continue;
        }
        if (haveFolder || (arg.size() > 1 && arg[0] == L'/')) return refuseExtractArgument(arg);
        haveFolder = true;
        request.folder.assign(arg.c_str());
    }
    if (request.folder.empty()) request.folder.assign(L".");
    return 0;
}

} // namespace

DWORD readCommandLine(Request& request) {
    const wchar_t* arguments = skipProgramName(GetCommandLineW());
    WText first;
    const wchar_t* cursor = arguments;
    const bool haveFirst = nextArgument(cursor, first);
    {
        WText arg;
        for (const wchar_t* p = arguments; nextArgument(p, arg);)
            if (isQuietArgument(arg)) gQuiet = true;
    }

    if (haveFirst && (isSwitch(first, L"?") || isSwitch(first, L"help"))) {
        request.job = Job::Help;
        return 0;
    }
    if (haveFirst && isSwitch(first, L"extract")) {
        request.job = Job::Extract;
        return readExtractArguments(cursor, request);
    }
    request.arguments = arguments;
    WText refused;
    if (mergeArguments(arguments, BuiltIn(), request.forMsiexec, refused)) return refuseArgument(refused);
    return 0;
}

void applyBuiltInQuiet(const Settings* settings, const Request& request) {
    if (!settings || request.job != Job::Install) return;
    const UiLevel level = settings->ui;
    if (level == UiLevel::NotChosen || level == UiLevel::Full) return;
    if (!userChoices<WText>(request.forMsiexec.c_str()).userInterface) gQuiet = true;
}

void showUsage(const Settings* settings) {
    WText text;
    text.append(L"Installs the Windows Installer package contained in this file.\n\n");
    describeSettings(settings, text);
    text.append(gTitle).append(L" [options]\n");
    text.append(L"    Runs msiexec /i on the package. Passed on to msiexec: /quiet, /passive, "
                L"/q[n|b|r|f], /norestart, /forcerestart, /promptrestart, /l*v FILE, /log FILE and "
                L"PROPERTY=value. /s, /S, /silent, /verysilent and -s install silently, as /qn does. "
                L"Options that name another package or another action (/i, /x, /a, "
                L"/f, /p, /j, /package, /uninstall, /update, ...) are refused.\n\n");
    text.append(gTitle).append(L" /extract [folder] [/y] [/qn]\n");
    text.append(L"    Saves the package in the folder (default: the current folder) and installs "
                L"nothing. An existing file is kept unless /y is given. Keep the saved package: "
                L"repairs and changes that need the installation files ask for it later.\n\n");
    text.append(gTitle).append(L" /?\n    Shows this help.\n\n");
    text.append(
        L"The exit code is msiexec's (0 success, 1602 cancelled, 1603 failed, 3010 restart "
        L"needed). 1620: the package or the settings inside this file are damaged. 1639: an option was "
        L"refused. 80: /extract found the file already there. 206: the temporary folder's path is "
        L"too long. Messages are not shown when "
        L"/q, /qn, /qb, /qr, /quiet, /passive or a silent switch is given.");
    // Asked for explicitly, so shown even with a quiet switch.
    messageBox(text.c_str(), gTitle, MB_OK | MB_SETFOREGROUND | MB_ICONINFORMATION);
}

} // namespace stub
