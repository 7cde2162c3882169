// What the stub tells the user, and the exit codes it ends with.
#pragma once

#include <windows.h>

#include "Text.h"

namespace stub {

// Windows Installer's own codes, so scripts read them like msiexec's.
constexpr DWORD kExitServiceFailure = 1601; // ERROR_INSTALL_SERVICE_FAILURE
constexpr DWORD kExitPackageInvalid = 1620; // ERROR_INSTALL_PACKAGE_INVALID
constexpr DWORD kExitTempUnwritable = 1632; // ERROR_INSTALL_TEMP_UNWRITABLE
constexpr DWORD kExitBadCommandLine = 1639; // ERROR_INVALID_COMMAND_LINE

// Set by a quiet switch: no message is shown.
extern bool gQuiet;
// The stub's own file name: every message's caption.
extern const wchar_t* gTitle;

// The system's text for the code, and the code.
void appendSystemMessage(WText& text, DWORD code);
void showMessage(const WText& text, UINT icon);
DWORD failDamaged();

} // namespace stub
