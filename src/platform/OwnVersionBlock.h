// The running program's own version block (the bytes the version API would
// read from its executable), generated at build time by
// pakforge_add_version_block.
#pragma once

#include <cstdint>
#include <span>

namespace pakforge::platform {

// Empty when the program was built without a version block.
std::span<const std::uint8_t> OwnVersionBlock();

} // namespace pakforge::platform
