#include "services/OwnVersionBlock.h"

#include <windows.h>

#include <vector>

namespace pakforge::services {

namespace {

// The block as the version API hands it out for the running program's file;
// the path is the one the process was started from.
std::vector<std::uint8_t> readOwnBlock() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) break;
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.data(), &ignored);
    if (size == 0) return {};
    std::vector<std::uint8_t> block(size);
    if (!::GetFileVersionInfoW(path.data(), 0, size, block.data())) return {};
    // The API may add scratch space after the block; the block's own length
    // (its first field) says where it ends.
    if (block.size() >= 2) {
        const std::size_t own = block[0] | (block[1] << 8);
        if (own >= 2 && own < block.size()) block.resize(own);
    }
    return block;
}

} // namespace

std::span<const std::uint8_t> OwnVersionBlock() {
    static const std::vector<std::uint8_t> block = readOwnBlock();
    return block;
}

} // namespace pakforge::services
