#include "support/Wine.h"

#include "support/TestFiles.h"

namespace pakforge::test {

std::filesystem::path winePrefix() {
    return binaryDir() / "wine-prefix";
}

std::string wineEnvironment() {
    return "env -u DISPLAY WINEPREFIX=" + shellQuote(winePrefix().string()) +
           " WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' ";
}

void ensureWinePrefix() {
    if (std::filesystem::exists(winePrefix() / "system.reg")) return;
    runCommand("sh " + shellQuote((sourceDir() / "tests/support/wine_prefix.sh").string()) + " " +
               shellQuote(winePrefix().string()) + " >/dev/null 2>&1");
}

int runUnderWine(const std::filesystem::path& exe, const std::string& args, std::string* out) {
    return runCommand(wineEnvironment() + "wine " + shellQuote(exe.string()) + " " + args + " 2>/dev/null",
                      out);
}

} // namespace pakforge::test
