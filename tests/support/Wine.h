// The one Wine prefix every test run under Wine shares. ctest's
// wine_prefix fixture creates it before the first such test.
#pragma once

#include <filesystem>
#include <string>

namespace pakforge::test {

std::filesystem::path winePrefix();
// Environment words to put before a wine command: the prefix, 32-bit, no
// debug noise, no Mono/Gecko prompts, and no display, so a message box can
// never wait for a click.
std::string wineEnvironment();
// Creates the prefix when a test runs outside ctest's fixture.
void ensureWinePrefix();
// Runs `exe args` under Wine; its exit status (low 8 bits) and stdout.
int runUnderWine(const std::filesystem::path& exe, const std::string& args, std::string* out);

} // namespace pakforge::test
