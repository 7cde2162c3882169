// The running program's own version block: on Windows read from its
// executable's version resource through the version API; elsewhere the same
// bytes, built into the program. pakforge_add_version_block gives a program
// either.
#pragma once

#include <cstdint>
#include <span>

namespace pakforge::services {

// Empty when the program was built without a version block.
std::span<const std::uint8_t> OwnVersionBlock();

} // namespace pakforge::services
