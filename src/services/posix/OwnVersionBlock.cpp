#include "services/OwnVersionBlock.h"

#include <cstddef>

// Defined by the generated source of programs that carry a block; weak, so a
// program without one links and simply has none.
extern "C" {
extern const unsigned char pakforge_own_version_block[] __attribute__((weak));
extern const std::size_t pakforge_own_version_block_size __attribute__((weak));
}

namespace pakforge::services {

std::span<const std::uint8_t> OwnVersionBlock() {
    if (pakforge_own_version_block == nullptr || &pakforge_own_version_block_size == nullptr) return {};
    return {pakforge_own_version_block, pakforge_own_version_block_size};
}

} // namespace pakforge::services
