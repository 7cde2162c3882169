// The stub's command line: which job it asks for, and the refusals and help
// that it shows.
#pragma once

#include <windows.h>

#include "Text.h"

namespace stub {

enum class Job { Install, Extract, Help };

struct Request {
    Job job = Job::Install;
    WText folder;         // /extract's folder
    bool replace = false; // /extract's /y
    WText forMsiexec;     // the arguments passed on to msiexec, in one form
};

// Reads the process's command line; a quiet switch anywhere sets gQuiet.
// Returns 0, or the exit code after refusing an argument.
DWORD readCommandLine(Request& request);

void showUsage();

} // namespace stub
