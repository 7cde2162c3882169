// The two transforms a stub container may carry: the Blowfish cipher (with
// our key-byte choice, little-endian block halves and a tail count) and the
// LH5-style decoder. Both keep their working state per call or per object, so
// two loads may run at once.
#pragma once

#include "core/Streams.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

namespace pakforge {

inline constexpr const char* kCompressedFileCorrupt = "Compressed file is corrupt";

// --- Blowfish ---------------------------------------------------------------

struct BlowfishState {
    std::uint32_t P[18];
    std::uint32_t S[4][256];
};

// Restores the state from the initial tables.
void ResetCipher(BlowfishState& state);
// Runs the key schedule over count key bytes (1 to 255 used cyclically; 0
// raises). Returns false for a weak key: one S-box holding two equal entries.
bool SetupKey(BlowfishState& state, const std::uint8_t* key, std::size_t count);
void EncipherBlock(const BlowfishState& state, std::uint32_t& L, std::uint32_t& R);
void DecipherBlock(const BlowfishState& state, std::uint32_t& L, std::uint32_t& R);
// Every whole 8-byte block in place (ECB); each half is a little-endian word.
// A trailing part shorter than 8 bytes stays as it is.
void DecipherBuffer(const BlowfishState& state, std::uint8_t* buffer, std::int32_t length);
void EncipherBuffer(const BlowfishState& state, std::uint8_t* buffer, std::int32_t length);

// The key bytes of a password: the first (code units mod 256) bytes of its
// UTF-16LE form. May be empty.
std::vector<std::uint8_t> passwordKeyBytes(std::u16string_view password);

// Deciphers the whole stream in place and drops the tail (the last byte's
// count of filler bytes and the count byte itself). An empty stream is left
// alone; a weak key leaves the stream as it was.
void DecryptStream(MemoryStream& stream, std::u16string_view password);

// --- LH5-style decoder -------------------------------------------------------

// Reads a compressed payload (4-byte output size, then the bit stream) from
// source's position to its end and writes the decoded bytes at destination's
// position. Raises ECorruptFile "Compressed file is corrupt" on inconsistent
// code tables or a payload too short for its size field, EOutOfMemory when the
// output size exceeds maxOutput or cannot be allocated.
void DecompressStream(MemoryStream& source, MemoryStream& destination,
                      std::int64_t maxOutput = std::numeric_limits<std::int32_t>::max());

// Decodes a raw bit stream (no size field) into exactly outputSize bytes.
std::vector<std::uint8_t> decodeLh5(std::span<const std::uint8_t> bitStream, std::size_t outputSize);

} // namespace pakforge
