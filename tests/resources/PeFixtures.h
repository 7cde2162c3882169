// PE files for the resource tests: mingw-w64 programs built once per build
// tree from fixtures/, the NSIS stubs of Debian's nsis package, and readers
// that list resources (ours, pefile, wrestool) in a comparable form.
#pragma once

#include "RequireTool.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace pakforge::test {

// Whether /usr/bin/python3 can import pefile.
bool havePefile();

// The folder holding hello.exe (with debug sections), hello-stripped.exe,
// library.dll and plain.exe (no resources); empty when mingw is missing.
std::filesystem::path mingwFixtures();

// /usr/share/nsis/Stubs/* (PE32 and PE32+), empty when nsis is missing.
std::vector<std::filesystem::path> nsisStubs();

// A one-image 32-bit .ico of size x size pixels.
std::vector<std::uint8_t> makeIcon(int size, std::uint32_t seed);

// A small synthetic PE (PE32 or PE32+): .text, `dataSections` data sections,
// optionally .rsrc with one RCDATA resource, then .reloc. SizeOfHeaders is one
// FileAlignment (0x200), so four sections or more leave no room for another
// section header. With withCheckSum the CheckSum field is filled in.
std::vector<std::uint8_t> makeTinyPe(bool pe32Plus, int dataSections, bool withResources,
                                     bool withCheckSum = false);

// "TYPE NAME LANGUAGE SIZE CRC32" lines in directory order.
std::vector<std::string> listWithOurReader(const std::filesystem::path& file);
std::vector<std::string> listWithPefile(const std::filesystem::path& file);
// "TYPE LANGUAGE SIZE" lines (wrestool prints named names wrongly), sorted.
std::vector<std::string> listWithWrestool(const std::filesystem::path& file);
// The same lines as listWithOurReader, reduced to "TYPE LANGUAGE SIZE" and sorted.
std::vector<std::string> reduceForWrestool(const std::vector<std::string>& lines);

// Layout problems our validator finds, then pefile's warnings (prefixed
// "pefile: ") from a full load; without pefile ours alone, or under CI a
// problem saying pefile is missing.
std::vector<std::string> layoutProblems(const std::filesystem::path& file);
std::vector<std::string> pefileWarnings(const std::filesystem::path& file);

std::string crc32Hex(std::span<const std::uint8_t> bytes);

} // namespace pakforge::test
