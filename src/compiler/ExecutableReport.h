// A look into an executable that Pakforge built: what it carries, and
// whether each part is whole, read the way the stub would read it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pakforge {

struct InspectReport {
    using Pairs = std::vector<std::pair<std::string, std::string>>; // UTF-8

    struct Icon {
        unsigned width = 0;
        unsigned height = 0;
        unsigned bitCount = 0;
    };
    struct Archive {
        std::string name; // as stored, UTF-8
        std::uint16_t method = 0;
        std::uint32_t compressedSize = 0;
        std::uint32_t size = 0;
        std::uint32_t crc32 = 0;
        bool checked = false; // the whole entry inflated to that size and CRC-32
    };
    struct CheckSum {
        std::uint32_t stored = 0;
        std::uint32_t computed = 0;
    };

    std::filesystem::path file;
    std::optional<bool> stubIsOurs; // the code is the container's stub; unset when not compared
    Pairs version;                  // the version block's strings
    std::vector<Icon> icons;
    std::string executionLevel;
    Pairs settings; // the built-in install settings, described
    std::optional<Archive> archive;
    Pairs package;                    // ProductName ... UpgradeCode
    std::optional<CheckSum> checkSum; // unset when the header carries none
    bool signature = false;
    bool signatureAfterArchive = false;
    // The first part found damaged or missing; empty when everything checks.
    std::string fault;
};

// Reads `file` through. What the file holds never raises: the first damaged
// or missing part is the report's fault. Only a file that cannot be opened
// or read raises. `container` holds the stub the code is compared with.
InspectReport inspectExecutable(const std::filesystem::path& file, const std::filesystem::path& container);

// Writes the package an executable carries into `folder` under its stored
// name, checked against its size and CRC-32 before it takes that name. An
// existing file there is kept (an error) unless `replace`. Returns the paths
// written.
std::vector<std::filesystem::path> extractCarried(const std::filesystem::path& file,
                                                  const std::filesystem::path& folder, bool replace);

// The report for people, and as one JSON object.
std::string reportText(const InspectReport& report);
std::string reportJson(const InspectReport& report);

} // namespace pakforge
