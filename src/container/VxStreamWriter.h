// Writing stub containers: the inverse of what TVxStreams reads. An LH5-style
// encoder of our own (LZ77 over the 8 KiB window, static Huffman codes per
// block) and the Blowfish encipher with the filler and tail count.
#pragma once

#include "core/Streams.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pakforge {

struct ContainerItem {
    std::u16string name;
    std::vector<std::uint8_t> data;
};

// Signature, count and items, as TVxStreams reads them.
std::vector<std::uint8_t> writeContainerBody(std::span<const ContainerItem> items);

// The raw LH5 bit stream of data (what an .lzh member holds).
std::vector<std::uint8_t> encodeLh5(std::span<const std::uint8_t> data);
// A compressed payload: the 4-byte output size, then the bit stream.
std::vector<std::uint8_t> compressPayload(std::span<const std::uint8_t> data);

// Appends filler bytes and their count so the length is a multiple of 8, then
// enciphers every block in place. Under a weak key the stream is left as it
// is, because the reader then leaves it alone too. An empty password (or one
// of a multiple of 256 code units) cannot key the cipher and raises.
void EncryptStream(MemoryStream& stream, std::u16string_view password);

// A whole container file: the two marks, then the body, compressed when
// asked and enciphered under *key when key is given.
std::vector<std::uint8_t> buildContainer(std::span<const ContainerItem> items, bool compress,
                                         const std::u16string* key);
// The same for a braced list or a vector of items.
inline std::vector<std::uint8_t> buildContainer(const std::vector<ContainerItem>& items, bool compress,
                                                const std::u16string* key) {
    return buildContainer(std::span<const ContainerItem>(items), compress, key);
}

} // namespace pakforge
