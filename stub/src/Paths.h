// Paths as the stub's file calls take them: full, and in the extended form
// that works past MAX_PATH.
#pragma once

#include <windows.h>

#include "Text.h"

namespace stub {

bool modulePath(WText& out);
bool fullPath(const wchar_t* path, WText& out);
bool startsWith(const wchar_t* text, const wchar_t* prefix);
// The form every file call gets, so that paths past MAX_PATH work.
void extendedPath(const WText& full, WText& out);
void joinPath(const WText& folder, const wchar_t* name, WText& out);
const wchar_t* fileNamePart(const wchar_t* path);
// Creates the folder and any missing parents; an existing folder is fine.
bool createFolders(const WText& full);
// 2 * bytes hex digits and a terminator; false when the system's random
// numbers were not available.
bool randomHex(wchar_t* out, int bytes);
// A path for messages and for msiexec's command line: the plain form when
// it is short enough for every program.
const WText& displayPath(const WText& full, const WText& extended);

} // namespace stub
