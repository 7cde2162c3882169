// Fixtures for the compiler tests, made at test time with outside tools:
// packages with wixl, a stub with mingw-w64, and independent readers
// (Python's zipfile, unzip, pefile, zlib) to check what we wrote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace pakforge::test {

struct ProductInfo {
    std::string name = "Pakforge Sample";
    std::string version = "1.2.3";
    std::string manufacturer = "Pakforge Project";
};

// A real package made by wixl, holding the given files (name -> bytes).
std::filesystem::path
makeMsi(const std::filesystem::path& dir, const std::string& fileName, const ProductInfo& product = {},
        const std::map<std::string, std::vector<std::uint8_t>>& files = {{"readme.txt", {'h', 'i', '\n'}}});
// Runs one SQL statement on a package (msibuild).
void alterMsi(const std::filesystem::path& msi, const std::string& sql);

// A small Windows program (i686) with its own icon and version block,
// built once per test process.
const std::filesystem::path& stubExe();
// Our sample icon.
std::filesystem::path sampleIcon();

// Raw deflate with the archive's settings, in one call.
std::vector<std::uint8_t> referenceDeflate(const std::vector<std::uint8_t>& data);
std::uint32_t referenceCrc(const std::vector<std::uint8_t>& data);

// The archive at the end of a file, parsed with our own bounded reader.
struct ParsedArchive {
    std::uint64_t fileSize = 0;
    std::uint64_t localOffset = 0;
    std::uint64_t centralOffset = 0;
    std::uint32_t centralSize = 0;
    std::uint16_t entries = 0;
    std::uint16_t flag = 0, method = 0, madeBy = 0, needed = 0;
    std::uint32_t dosTime = 0, crc = 0, compressedSize = 0, uncompressedSize = 0;
    std::string name;
    std::vector<std::uint8_t> localFixed;   // 26 bytes after the signature
    std::vector<std::uint8_t> centralFixed; // 42 bytes after the signature
    std::vector<std::uint8_t> data;         // the deflate bytes
};
ParsedArchive parseArchive(const std::vector<std::uint8_t>& file);

// Runs Python's zipfile over the file; returns "name|crc|csize|usize|offset|ok".
std::string pythonZipInfo(const std::filesystem::path& file);
// unzip -t; true when it passes without warnings about extra bytes.
bool unzipTestPasses(const std::filesystem::path& file, std::string* output = nullptr);

// A stub container holding `exe` (compressed and enciphered with the
// program's key unless told otherwise).
std::filesystem::path makeContainer(const std::filesystem::path& path, const std::vector<std::uint8_t>& exe,
                                    bool compress = true, bool encrypt = true,
                                    const std::u16string& itemName = u"exe");

// PE resources as pefile sees them: "type/name/language/size" lines, names
// numeric or as text.
std::vector<std::string> peResources(const std::filesystem::path& file);
std::vector<std::uint8_t> peResourceData(const std::filesystem::path& file, const std::string& type,
                                         const std::string& name, int language);
// The MAINICON group's entries as pefile decodes them: "width x height x bits -> id".
std::vector<std::string> mainIconEntries(const std::filesystem::path& file);
// pakforge-cli run in cwd with the container from `container`; args and
// environment ("NAME=value ...") are shell words as they stand.
struct CliResult {
    int status = 0;
    std::string out;
    std::string err;
};
CliResult runCli(const std::filesystem::path& cwd, const std::filesystem::path& container,
                 const std::string& args, const std::string& environment = {});

// Builds dir/big.msi into dir/out.exe with `options`, sends `signal` (say
// "INT") once the temporary file is there, i.e. mid-build, and returns the
// exit status the shell saw, as text.
std::string signalMidBuild(const std::filesystem::path& dir, const std::filesystem::path& container,
                           const std::string& options, const std::string& signal);

// The checksum in the header and the one pefile computes over the file.
std::pair<std::uint32_t, std::uint32_t> peCheckSums(const std::filesystem::path& file);

} // namespace pakforge::test
