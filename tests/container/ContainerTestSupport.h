// Helpers for the container tests: sample data, the independent LH5 decoder
// (liblhasa) and LH5 streams cut out of archives made by jlha.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pakforge::test {

struct Sample {
    std::string name;
    std::vector<std::uint8_t> data;
};

// Text, binary, runs, random, empty and a large mixed sample (> 64 KiB).
std::vector<Sample> lh5Samples();
std::vector<std::uint8_t> sampleText(std::size_t size, std::uint32_t seed);
std::vector<std::uint8_t> sampleRuns(std::size_t size, std::uint32_t seed);

// liblhasa's "-lh5-" decoder over a raw bit stream; nullopt when it gives up.
std::optional<std::vector<std::uint8_t>> lhasaDecode(std::span<const std::uint8_t> stream,
                                                     std::size_t outputSize);

struct LzhMember {
    std::string method; // "-lh5-", or "-lh0-" when jlha stored the data
    std::vector<std::uint8_t> stream;
    std::uint64_t originalSize = 0;
};
// Archives data with jlha (method 5, header level 2) and cuts the member's
// raw data out of the archive. nullopt when jlha is missing or fails.
std::optional<LzhMember> jlhaCompress(std::span<const std::uint8_t> data);

} // namespace pakforge::test
