// The fixed manifest and its resource update, read back with pefile.
#include "compiler/Manifest.h"
#include "Fixtures.h"
#include "core/Streams.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

std::vector<std::uint8_t> manifestBytes() {
    return {kManifestText.begin(), kManifestText.end()};
}

TEST(Manifest, TextIsTheFixed909Bytes) {
    EXPECT_EQ(kManifestText.size(), 909u);
    EXPECT_EQ(kManifestText.substr(0, 5), "<?xml");
    EXPECT_EQ(kManifestText.substr(kManifestText.size() - 12), "</assembly> ");
    std::size_t crlf = 0, lone = 0;
    for (std::size_t i = 0; i < kManifestText.size(); ++i) {
        if (kManifestText[i] == '\r' && i + 1 < kManifestText.size() && kManifestText[i + 1] == '\n')
            ++crlf;
        else if (kManifestText[i] == '\n' && (i == 0 || kManifestText[i - 1] != '\r'))
            ++lone;
        else if (kManifestText[i] == '\r')
            ++lone;
        EXPECT_LT(static_cast<unsigned char>(kManifestText[i]), 0x80u);
    }
    EXPECT_EQ(crlf, 23u);
    EXPECT_EQ(lone, 0u);
    EXPECT_NE(kManifestText.find("level=\"asInvoker\" uiAccess=\"false\""), std::string_view::npos);
}

TEST(Manifest, WrittenAsType24Id1Language0KeepingEverythingElse) {
    TempDir dir;
    const fs::path exe = dir / "stub.exe";
    fs::copy_file(stubExe(), exe);
    auto before = peResources(exe);
    ASSERT_TRUE(WriteManifestResource(exe));
    auto after = peResources(exe);
    EXPECT_EQ(peResourceData(exe, "24", "1", 0), manifestBytes());
    // Everything that was there stays, plus the manifest.
    for (const auto& line : before) {
        if (line.rfind("24/1/0/", 0) == 0) continue;
        EXPECT_NE(std::find(after.begin(), after.end(), line), after.end()) << line;
    }
    EXPECT_NE(std::find(after.begin(), after.end(), "24/1/0/909"), after.end());
}

TEST(Manifest, ReplacesSameLanguageAndKeepsOtherLanguages) {
    if (!haveTool("i686-w64-mingw32-windres")) PAKFORGE_SKIP_WITHOUT_TOOL("mingw-w64 missing");
    TempDir dir;
    writeText(dir / "old.manifest", "<old/>");
    writeText(dir / "m.rc", "LANGUAGE 0, 0\n1 24 \"old.manifest\"\nLANGUAGE 9, 1\n1 24 \"old.manifest\"\n");
    writeText(dir / "m.cpp", "int main() { return 0; }\n");
    ASSERT_EQ(runCommand("cd " + shellQuote(dir.path().string()) +
                         " && i686-w64-mingw32-windres m.rc -O coff -o m.res"
                         " && i686-w64-mingw32-g++ -s m.cpp m.res -o m.exe 2>&1"),
              0);
    const fs::path exe = dir / "m.exe";
    ASSERT_TRUE(WriteManifestResource(exe));
    EXPECT_EQ(peResourceData(exe, "24", "1", 0), manifestBytes());
    const std::string old = "<old/>";
    EXPECT_EQ(peResourceData(exe, "24", "1", 1033), std::vector<std::uint8_t>(old.begin(), old.end()));
}

TEST(Manifest, NotAnExecutableOrMissingGivesFalseAndNoChange) {
    TempDir dir;
    const fs::path text = dir / "text.exe";
    writeText(text, "just text, no PE here");
    const auto before = readFile(text);
    EXPECT_FALSE(WriteManifestResource(text));
    EXPECT_EQ(readFile(text), before);
    EXPECT_FALSE(WriteManifestResource(dir / "missing.exe"));
    EXPECT_FALSE(fs::exists(dir / "missing.exe"));
    EXPECT_FALSE(WriteManifestResource(dir.path()));
}

} // namespace
} // namespace pakforge
