// A bounds-checked view of a PE32/PE32+ file's headers and its resource
// directory. Nothing here trusts the file: every offset is checked, counts and
// depths are capped, and malformed input raises EBadImage.
#pragma once

#include "core/Exceptions.h"
#include "resources/pe/ResourceUpdate.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace pakforge::pe {

// ERROR_BAD_EXE_FORMAT: the file is not a PE image we can read or edit.
inline constexpr int kBadExeFormat = 193;

class EBadImage : public EOSError {
  public:
    explicit EBadImage(const std::string& reason);
    // What is wrong, without the system's wording around it.
    const std::string& reason() const noexcept { return reason_; }

  private:
    std::string reason_;
};

// A rewritten image that validateLayout refuses: names the file and the
// rules broken; brokenBefore when the original broke the rules already.
class ELayoutRejected : public EOSError {
  public:
    ELayoutRejected(const std::filesystem::path& file, const std::vector<std::string>& problems,
                    bool brokenBefore);
};

inline constexpr std::uint32_t kDirExport = 0;
inline constexpr std::uint32_t kDirResource = 2;
inline constexpr std::uint32_t kDirSecurity = 4;
inline constexpr std::uint32_t kDirBaseReloc = 5;
inline constexpr std::uint32_t kDirDebug = 6;
inline constexpr std::uint32_t kDirBoundImport = 11;

inline constexpr std::uint32_t kScnInitializedData = 0x00000040;
inline constexpr std::uint32_t kScnMemDiscardable = 0x02000000;
inline constexpr std::uint32_t kScnMemRead = 0x40000000;

inline constexpr std::size_t kSectionHeaderSize = 40;

struct DataDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

struct SectionHeader {
    std::uint8_t name[8] = {};
    std::uint32_t virtualSize = 0;
    std::uint32_t virtualAddress = 0;
    std::uint32_t sizeOfRawData = 0;
    std::uint32_t pointerToRawData = 0;
    std::uint32_t pointerToRelocations = 0;
    std::uint32_t pointerToLinenumbers = 0;
    std::uint16_t numberOfRelocations = 0;
    std::uint16_t numberOfLinenumbers = 0;
    std::uint32_t characteristics = 0;

    // The loader's extent: VirtualSize, or SizeOfRawData when that is 0.
    std::uint64_t virtualExtent() const { return virtualSize ? virtualSize : sizeOfRawData; }
    std::string nameText() const;
};

// Field offsets are absolute file offsets, so the writer can patch in place.
struct PeHeaders {
    std::uint32_t peOffset = 0;       // "PE\0\0"
    std::uint32_t coffOffset = 0;     // IMAGE_FILE_HEADER
    std::uint32_t optionalOffset = 0; // IMAGE_OPTIONAL_HEADER
    bool pe32Plus = false;
    std::uint16_t machine = 0;
    std::uint16_t numberOfSections = 0;
    std::uint32_t pointerToSymbolTable = 0;
    std::uint32_t numberOfSymbols = 0;
    std::uint16_t sizeOfOptionalHeader = 0;
    std::uint32_t sizeOfInitializedData = 0;
    std::uint32_t sectionAlignment = 0;
    std::uint32_t fileAlignment = 0;
    std::uint32_t sizeOfImage = 0;
    std::uint32_t sizeOfHeaders = 0;
    std::uint32_t checkSum = 0;
    std::uint32_t numberOfRvaAndSizes = 0;
    std::uint32_t dataDirectoryOffset = 0;
    std::uint32_t sectionTableOffset = 0;
    std::vector<DataDirectory> directories; // numberOfRvaAndSizes entries (at most 16)
    std::vector<SectionHeader> sections;

    // Offsets of the optional header fields the writer changes.
    std::uint32_t sizeOfInitializedDataOffset() const { return optionalOffset + 8; }
    std::uint32_t sizeOfImageOffset() const { return optionalOffset + 56; }
    std::uint32_t sizeOfHeadersOffset() const { return optionalOffset + 60; }
    std::uint32_t checkSumOffset() const { return optionalOffset + 64; }

    DataDirectory directory(std::uint32_t index) const {
        return index < directories.size() ? directories[index] : DataDirectory{};
    }
    // The section whose [VA, VA + max(VirtualSize, SizeOfRawData)) holds rva,
    // cut at the next section's VA; or -1.
    int sectionOfRva(std::uint64_t rva) const;
    // The first section whose [VA, VA + SizeOfRawData) holds rva, or -1: how
    // the system looks up an address in a file it has not mapped.
    int rawSectionOfRva(std::uint64_t rva) const;
};

// Parses the DOS, COFF and optional headers and the section table.
PeHeaders parseHeaders(std::span<const std::uint8_t> file);

// One resource as the directory lists it.
struct ResourceEntry {
    ResId type;
    ResId name;
    std::uint16_t language = 0;
    std::uint32_t codePage = 0;
    std::span<const std::uint8_t> data; // into the file given to forEachResource
};

// Calls back once per resource in directory order (type, then name, then
// language). A file without a resource directory yields nothing. Raises
// EBadImage on a malformed directory, after the entries read so far.
void forEachResource(std::span<const std::uint8_t> file, const PeHeaders& headers,
                     const std::function<void(const ResourceEntry&)>& callback);

// The checksum as the loader's image helper computes it: 16-bit words with
// carries folded, the CheckSum field itself skipped, plus the file length.
std::uint32_t computeCheckSum(std::span<const std::uint8_t> file, std::uint32_t checkSumOffset);

// Replays the loader's layout rules (alignments, contiguous sections,
// SizeOfHeaders and SizeOfImage, raw data inside the file and apart, data
// directories inside their sections, a readable resource directory, the
// checksum); returns the problems found, each naming its rule (empty = fine).
std::vector<std::string> validateLayout(std::span<const std::uint8_t> file);

inline std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return alignment ? (value + alignment - 1) / alignment * alignment : value;
}

} // namespace pakforge::pe
