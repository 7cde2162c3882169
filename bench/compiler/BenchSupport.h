// What the build benchmarks share: a work folder kept between runs, running
// outside tools, and a stub container made from a minimal mingw program.
#pragma once

#include <filesystem>
#include <string>

namespace pakforge::bench {

// $PAKFORGE_BENCH_DIR, else a folder of this name in the temp folder.
std::filesystem::path workDir(const std::string& defaultName);
void mustRun(const std::string& command);
// Quotes a word for the shell.
std::string quote(const std::string& text);
// pakforge.dat in `dir`, made once.
std::filesystem::path container(const std::filesystem::path& dir);

} // namespace pakforge::bench
