// A mingw console program still runs under Wine after TNTModule rewrote its
// resources: unchanged, grown past .reloc and the debug sections, given a
// resource section it never had, also after a last section whose raw data
// runs past its virtual size.
#include "RequireTool.h"
#include "core/ByteIO.h"
#include "resources/pe/PeImage.h"
#include "resources/unitNTModule.h"
#include "support/TestFiles.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

using namespace pakforge;
using test::shellQuote;
using test::TempDir;

namespace {

int runUnderWine(const std::filesystem::path& exe, std::string* out) {
    return test::runUnderWine(exe, "one two", out);
}

// A 16x16 32-bit icon for the fixture's resource script.
std::vector<std::uint8_t> smallIcon() {
    std::vector<std::uint8_t> ico = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0};
    const std::uint32_t imageSize = 40 + 16 * 16 * 4 + 16 * 4;
    for (int i = 0; i < 4; ++i) ico.push_back(static_cast<std::uint8_t>(imageSize >> (8 * i)));
    ico.insert(ico.end(), {22, 0, 0, 0, 40, 0, 0, 0, 16, 0, 0, 0, 32, 0, 0, 0, 1, 0, 32, 0});
    ico.resize(ico.size() + 24, 0);
    ico.resize(22 + imageSize, 0x80);
    return ico;
}

} // namespace

TEST(PeRewriteWine, ProgramStillRunsAfterRewrites) {
    PAKFORGE_REQUIRE_TOOL(test::haveTool("i686-w64-mingw32-gcc") && test::haveTool("wine"),
                          "mingw-w64 or wine");
    test::ensureWinePrefix();
    TempDir dir;
    test::writeFile(dir / "app.ico", smallIcon());
    std::string log;
    ASSERT_EQ(
        test::runCommand(shellQuote((test::sourceDir() / "tests/resources/fixtures/build.sh").string()) +
                             " " + shellQuote(dir.path().string()) + " 2>&1",
                         &log),
        0)
        << log;

    // plain.exe again, its last section (.reloc) given 0x1000 bytes more raw
    // data than its one page of addresses holds.
    {
        auto bytes = test::readFile(dir / "plain.exe");
        auto h = pe::parseHeaders(bytes);
        ASSERT_EQ(std::uint64_t{h.sections.back().pointerToRawData} + h.sections.back().sizeOfRawData,
                  bytes.size());
        ASSERT_LE(h.sections.back().sizeOfRawData, 0x1000u);
        bytes.resize(bytes.size() + 0x1000, 0x5A);
        storeLE32(bytes.data() + h.sectionTableOffset + pe::kSectionHeaderSize * (h.sections.size() - 1) + 16,
                  h.sections.back().sizeOfRawData + 0x1000);
        storeLE32(bytes.data() + h.checkSumOffset(), pe::computeCheckSum(bytes, h.checkSumOffset()));
        test::writeFile(dir / "raw-past.exe", bytes);
        ASSERT_TRUE(pe::validateLayout(bytes).empty());
    }

    std::string out;
    ASSERT_EQ(runUnderWine(dir / "hello.exe", &out), 7);
    ASSERT_NE(out.find("fixture says Hello 3"), std::string::npos) << out;

    // Rewrite everything as it is.
    {
        TNTModule module;
        module.LoadFromFile(dir / "hello.exe");
        module.SaveToFile(dir / "hello.exe");
    }
    EXPECT_EQ(runUnderWine(dir / "hello.exe", &out), 7);
    EXPECT_NE(out.find("fixture says Hello 3"), std::string::npos) << out;

    // Grow .rsrc far past the next section: .reloc and the debug sections move.
    const auto big = test::randomBytes(300000, 1);
    for (const char* name : {"hello.exe", "plain.exe"}) {
        TNTModule module;
        module.LoadFromFile(dir / name);
        module.AddResource(
            TResourceDetails::Create<TResourceDetails>(&module, 0, u"BIG", u"10", big.size(), big.data()));
        module.SaveToFile(dir / name);
    }
    EXPECT_EQ(runUnderWine(dir / "hello.exe", &out), 7);
    EXPECT_NE(out.find("fixture says Hello 3"), std::string::npos) << out;
    // plain.exe had no resources: a new section, and LoadString still finds nothing.
    EXPECT_EQ(runUnderWine(dir / "plain.exe", &out), 7);
    EXPECT_NE(out.find("fixture says  3"), std::string::npos) << out;

    // The new section follows .reloc's pages, not its raw data; the program runs as before.
    {
        TNTModule module;
        module.LoadFromFile(dir / "raw-past.exe");
        module.AddResource(
            TResourceDetails::Create<TResourceDetails>(&module, 0, u"BIG", u"10", big.size(), big.data()));
        module.SaveToFile(dir / "raw-past.exe");
    }
    EXPECT_EQ(pe::validateLayout(test::readFile(dir / "raw-past.exe")), std::vector<std::string>{});
    EXPECT_EQ(runUnderWine(dir / "raw-past.exe", &out), 7);
    EXPECT_NE(out.find("fixture says  3"), std::string::npos) << out;
}
