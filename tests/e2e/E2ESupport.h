// Helpers for running wrapped installers under Wine: packages made with
// wixl, installers made from them, runs through cmd with the full exit code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace pakforge::e2e {

namespace fs = std::filesystem;

// The same path as Wine programs see it (drive Z: is the root).
std::string winePath(const fs::path& path);
// A name no other run uses, for product folders and files.
std::string uniqueName(const std::string& stem);

struct PackageSpec {
    explicit PackageSpec(std::string folderName) : folder(std::move(folderName)) {}
    std::string folder; // under Program Files
    std::string fileName = "hello.txt";
    std::string content = "hello from an end-to-end run\n";
    fs::path payload;       // a file to install instead of `content`
    std::string condition;  // launch condition, empty for none
    std::string properties; // <Property> elements to add, as XML
};

// Builds an .msi with wixl in `dir`; returns its path.
fs::path makePackage(const fs::path& dir, const std::string& msiName, const PackageSpec& spec);

// The cross-compiled stub.
fs::path stubExe();

// Wraps the package into an installer at `out`: through pakforge-cli when
// the build has it, else the stub with the archive appended by the test
// helper (which also writes names the pipeline never would).
void makeInstaller(const fs::path& package, const fs::path& out);
void appendArchive(const fs::path& stub, const fs::path& package, const fs::path& out,
                   const std::string& entryName = {});

// Wine starts programs elevated; a double-click under UAC runs them with
// the limited token, which is what runs get unless they ask otherwise.
struct RunOptions {
    bool elevated = false;
    std::string dllOverrides; // added to WINEDLLOVERRIDES, e.g. "user32=n,b"
    // When set: the text of each message box the run showed, in order, as
    // Wine's relay trace quotes it (no display: the boxes return at once).
    std::vector<std::string>* messageBoxes = nullptr;
};

// Runs `exe arguments` under Wine with TEMP and TMP set to `tempDir` and
// `workDir` as the current folder; returns the whole exit code, or -1000
// when none was reported.
int runInstaller(const fs::path& exe, const std::string& arguments, const fs::path& tempDir,
                 const fs::path& workDir, const RunOptions& options = {});

// The Windows helpers built for the tests (planted.dll, load_control.exe,
// run_limited.exe).
fs::path helper(const std::string& name);

// Where the package's file lands in the prefix.
fs::path installedFile(const PackageSpec& spec);

// Folders left in a directory (the stub's working folders must all go).
std::vector<fs::path> foldersIn(const fs::path& dir);

// Offsets of the appended archive, read from its end record.
struct ArchiveLayout {
    std::uint64_t localHeader = 0;
    std::uint64_t data = 0;
    std::uint64_t centralDirectory = 0;
    std::uint64_t endRecord = 0;
};
ArchiveLayout archiveLayout(const std::vector<std::uint8_t>& file);

} // namespace pakforge::e2e
