// Helpers shared by the tests: scratch folders, whole-file I/O, running
// outside tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pakforge::test {

// A fresh folder under the system temp folder, removed with its content.
class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void writeText(const std::filesystem::path& path, const std::string& text);

// Runs a shell command; returns its exit status and, when given, its stdout.
int runCommand(const std::string& command, std::string* output = nullptr);
// Quotes a path or word for the shell.
std::string shellQuote(const std::string& text);
bool haveTool(const std::string& name);

// Deterministic pseudo-random bytes.
std::vector<std::uint8_t> randomBytes(std::size_t count, std::uint32_t seed);

std::filesystem::path sourceDir();
std::filesystem::path binaryDir();

// Under CI (the CI variable set) every reader tool must be there: a green run
// has to mean the independent checks ran.
bool underCi();

} // namespace pakforge::test

// Skips the test when a tool it needs is missing; fails it instead under CI.
#define PAKFORGE_SKIP_WITHOUT_TOOL(message)                                                                  \
    do {                                                                                                     \
        if (::pakforge::test::underCi()) GTEST_FAIL() << "needed under CI: " << message;                     \
        GTEST_SKIP() << message;                                                                             \
    } while (0)
