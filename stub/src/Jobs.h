// The stub's two jobs: save the package in a folder, or install it from a
// private working folder. Each returns the exit code.
#pragma once

#include <windows.h>

#include "Archive.h"
#include "CommandLine.h"
#include "Settings.h"
#include "Text.h"

namespace stub {

// `settings` is null when the executable carries none; its transforms go
// beside the package in both jobs.
DWORD extractPackage(Source& source, const Entry& entry, const Request& request, const Settings* settings);
DWORD installPackage(Source& source, const Entry& entry, const Request& request, const Settings* settings);

} // namespace stub
