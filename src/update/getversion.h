// The program's own version strings and the comparison of version numbers.
#pragma once

#include "resources/unitResourceDetails.h" // EConvertError

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pakforge {

// Reads FileVersion, ProductName and FileDescription from the running
// program's version block. False, with three empty strings, when the program
// has no readable block; true otherwise, even if strings are missing.
bool GetVersionInfo(std::u16string& fileVersion, std::u16string& productName,
                    std::u16string& fileDescription);
// The same over a given block.
bool GetVersionInfo(std::span<const std::uint8_t> block, std::u16string& fileVersion,
                    std::u16string& productName, std::u16string& fileDescription);

// True when candidate (a.b.c.d) is newer than current. False when either has
// no full stop; raises EConvertError when either has fewer than four parts
// or one of its first four parts is not a decimal integer.
bool IsNewerVersion(std::u16string_view candidate, std::u16string_view current);

} // namespace pakforge
