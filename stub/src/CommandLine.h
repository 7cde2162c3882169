// The stub's command line: which job it asks for, and the refusals and help
// that it shows.
#pragma once

#include <windows.h>

#include "Settings.h"
#include "Text.h"

namespace stub {

enum class Job { Install, Extract, Help };

struct Request {
    Job job = Job::Install;
    WText folder;                   // /extract's folder
    bool replace = false;           // /extract's /y
    WText forMsiexec;               // the arguments passed on to msiexec, in one form
    const wchar_t* arguments = L""; // as typed, for merging with the built-in settings
};

// Reads the process's command line; a quiet switch or silent alias anywhere
// sets gQuiet.
// Returns 0, or the exit code after refusing an argument.
DWORD readCommandLine(Request& request);

// Hides messages when the builder chose an unattended level and the end
// user chose none.
void applyBuiltInQuiet(const Settings* settings, const Request& request);

void showUsage(const Settings* settings);

} // namespace stub
