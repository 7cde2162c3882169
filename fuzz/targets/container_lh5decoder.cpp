// DecompressStream on arbitrary payloads (4-byte size, then the bit stream).
#include "container/VxStreamRoutines.h"
#include "core/Exceptions.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pakforge::MemoryStream source(std::vector<std::uint8_t>(data, data + size));
    pakforge::MemoryStream destination;
    try {
        pakforge::DecompressStream(source, destination, 1 << 18);
        if (size >= 4) {
            const std::int32_t expected = static_cast<std::int32_t>(
                data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24));
            if (destination.size() != (expected > 0 ? expected : 0)) std::abort();
        }
    } catch (const pakforge::ECorruptFile&) {
    } catch (const pakforge::EOutOfMemory&) {
    }
    return 0;
}
