// The stub's two jobs: save the package in a folder, or install it from a
// private working folder. Each returns the exit code.
#pragma once

#include <windows.h>

#include "Archive.h"
#include "Text.h"

namespace stub {

DWORD extractPackage(Source& source, const Entry& entry, const wchar_t* folderArgument, bool replace);
DWORD installPackage(Source& source, const Entry& entry, const WText& msiexecArguments);

} // namespace stub
