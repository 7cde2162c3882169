// The settings and transforms a builder put into the executable's
// resources (Settings.h has the record's layout).
#pragma once

#include <windows.h>

#include "Settings.h"
#include "Text.h"

namespace stub {

// Points `settings` at the record, or at null when the executable carries
// none. Returns 0, or the exit code after saying that the record or one of
// its transforms is damaged (a transform must have the size and CRC-32 the
// record gives it).
DWORD loadSettings(const Settings*& settings);

// The bytes of a transform that loadSettings has checked.
const BYTE* transformBytes(uint32_t index);

// A record's text as a string.
void appendView(WText& out, const Utf16View& view);

// The lines /? adds for the built-in settings; nothing without them.
void describeSettings(const Settings* settings, WText& text);

} // namespace stub
