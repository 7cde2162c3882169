// A version information block made from the package's properties, so that
// the file's properties and signing tools show the product rather than our
// stub.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pakforge {

// Language neutral, Unicode: the table key "000004B0".
inline constexpr std::uint32_t kNeutralUnicodeTranslation = 0x04B00000;

struct VersionStrings {
    std::u16string productName;
    std::u16string productVersion;
    std::u16string manufacturer;
    std::u16string originalFilename;
};

// "major.minor.build" (a fourth part is kept, missing parts are 0) as the
// four 16-bit parts of a file version. Raises Exception when the text is not
// one to four numbers from 0 to 65535 separated by dots.
std::array<std::uint16_t, 4> ParseProductVersion(std::u16string_view text);

// The whole block: fixed information with both versions, one string table
// and its translation.
std::vector<std::uint8_t> MakeVersionBlock(const VersionStrings& strings);

// Reads the package's properties and replaces the executable's version block
// (type 16, id 1, every language) with one of language 0. Raises on failure;
// the executable is then unchanged.
void WriteVersionResource(const std::filesystem::path& executable, const std::filesystem::path& package,
                          const std::filesystem::path& outputName);

} // namespace pakforge
