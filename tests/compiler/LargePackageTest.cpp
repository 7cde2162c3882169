// A package of more than 100 MB made with wixl: streamed through the build
// and read back in place by Python's zipfile, unzip and zlib.
#include "Fixtures.h"
#include "compiler/Build.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

TEST(LargePackage, HundredMegabytePackageRoundTrips) {
    TempDir dir;
    auto data = randomBytes(100u << 20, 21);
    const std::string text(8u << 20, 't');
    const auto msi = makeMsi(dir.path(), "Large Package.msi", {"Large", "1.0", "Pakforge"},
                             {{"data.bin", data}, {"notes.txt", {text.begin(), text.end()}}});
    data.clear();
    data.shrink_to_fit();
    ASSERT_GT(fs::file_size(msi), 100u << 20);

    BuildRequest r;
    r.package = msi;
    r.icon = sampleIcon();
    r.output = dir / "large.exe";
    r.container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
    std::uint64_t lastDone = 0;
    BuildEvents events;
    events.progress = [&](std::uint64_t done, std::uint64_t) { lastDone = done; };
    build(r, events);
    EXPECT_EQ(lastDone, fs::file_size(msi));

    const auto file = readFile(r.output);
    const auto content = readFile(msi);
    const auto a = parseArchive(file);
    EXPECT_EQ(a.crc, referenceCrc(content));
    EXPECT_EQ(a.data, referenceDeflate(content));
    const auto info = pythonZipInfo(r.output);
    EXPECT_NE(info.find("Large Package.msi|"), std::string::npos) << info;
    EXPECT_NE(info.find("|ok"), std::string::npos) << info;
    std::string unzipOut;
    EXPECT_TRUE(unzipTestPasses(r.output, &unzipOut)) << unzipOut;
}

} // namespace
} // namespace pakforge
