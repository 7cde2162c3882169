// The version block made from a package, read back by pefile from a built
// executable, and the versions it accepts and refuses.
#include "compiler/VersionResource.h"
#include "Fixtures.h"
#include "compiler/Build.h"
#include "core/Exceptions.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceUpdate.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

// pefile's own reading of the version block: the fixed versions, the
// translations, then every string as "table/key=value".
constexpr const char* kVersionScript = R"PY(
import sys, pefile
pe = pefile.PE(sys.argv[1])
f = pe.VS_FIXEDFILEINFO[0]
print('file %08x %08x product %08x %08x os %x type %d' % (f.FileVersionMS, f.FileVersionLS,
      f.ProductVersionMS, f.ProductVersionLS, f.FileOS, f.FileType))
for group in pe.FileInfo:
    for info in group:
        if info.Key == b'VarFileInfo':
            for var in info.Var:
                for k, v in var.entry.items():
                    print('%s=%s' % (k.decode(), v))
        if info.Key == b'StringFileInfo':
            for table in info.StringTable:
                for k, v in table.entries.items():
                    print('%s/%s=%s' % (table.LangID.decode(), k.decode(), v.decode('utf-8')))
)PY";

std::string pefileVersion(const fs::path& file) {
    std::string out;
    const int rc = runCommand("/usr/bin/python3 -c " + shellQuote(kVersionScript) + " " +
                                  shellQuote(file.string()) + " 2>&1",
                              &out);
    EXPECT_EQ(rc, 0) << out;
    return out;
}

TEST(VersionResource, ProductVersionsBecomeFourPartsOrAreRefused) {
    using V = std::array<std::uint16_t, 4>;
    EXPECT_EQ(ParseProductVersion(u"1.2.3"), (V{1, 2, 3, 0}));
    EXPECT_EQ(ParseProductVersion(u"7"), (V{7, 0, 0, 0}));
    EXPECT_EQ(ParseProductVersion(u" 10.0.65535.4 "), (V{10, 0, 65535, 4}));
    EXPECT_EQ(ParseProductVersion(u"0001.02"), (V{1, 2, 0, 0}));
    for (const std::u16string bad : {u"", u"1.65536", u"99999999999999999999", u"1.2.3.4.5", u"1..2", u"1.2.",
                                     u".1", u"1.2-beta", u"v1", u"1 .2", u"\uFF11.2"}) {
        try {
            ParseProductVersion(bad);
            ADD_FAILURE() << "accepted \"" << std::string(bad.begin(), bad.end()) << "\"";
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find("is no version number"), std::string::npos) << e.what();
        }
    }
}

TEST(VersionResource, BuildReplacesTheStubsBlockAsPefileReadsIt) {
    TempDir dir;
    ProductInfo product;
    product.name = "Zoë's \"Tools\"";
    product.version = "2.5.300";
    product.manufacturer = "Ünicode & Co";
    const auto msi = makeMsi(dir.path(), "tools.msi", product);

    // A second language of the stub's block must go too.
    const fs::path stub = dir / "stub.exe";
    fs::copy_file(stubExe(), stub);
    {
        const std::vector<std::uint8_t> other = {1, 2, 3, 4};
        pe::ResourceUpdate update(stub, false);
        update.update(pe::ResId::number(16), pe::ResId::number(1), 0x0407, other);
        update.commit();
    }
    BuildRequest request;
    request.package = msi;
    request.output = dir / "Tools Setup.exe";
    request.container = makeContainer(dir / "pakforge.dat", readFile(stub));
    request.versionInfo = true;
    build(request);

    std::vector<std::string> versionEntries;
    for (const auto& line : peResources(request.output))
        if (line.rfind("16/", 0) == 0) versionEntries.push_back(line.substr(0, line.rfind('/')));
    EXPECT_EQ(versionEntries, std::vector<std::string>{"16/1/0"});
    EXPECT_EQ(pefileVersion(request.output),
              "file 00020005 012c0000 product 00020005 012c0000 os 40004 type 1\n"
              "000004B0/CompanyName=Ünicode & Co\n"
              "000004B0/FileDescription=Zoë's \"Tools\" Setup\n"
              "000004B0/FileVersion=2.5.300\n"
              "000004B0/OriginalFilename=Tools Setup.exe\n"
              "000004B0/ProductName=Zoë's \"Tools\"\n"
              "000004B0/ProductVersion=2.5.300\n"
              "Translation=0x0000 0x04b0\n");
    const auto file = readFile(request.output);
    EXPECT_EQ(pe::validateLayout(file), std::vector<std::string>{});
    EXPECT_NE(pythonZipInfo(request.output).find("tools.msi|"), std::string::npos);
    const auto [stored, computed] = peCheckSums(request.output);
    EXPECT_EQ(stored, computed);
}

TEST(VersionResource, UnusableVersionFailsTheBuildAndLeavesTheOutput) {
    TempDir dir;
    ProductInfo product;
    product.version = "1.0.0";
    const auto msi = makeMsi(dir.path(), "p.msi", product);
    alterMsi(msi, "UPDATE `Property` SET `Value` = '3.70000.1' WHERE `Property` = 'ProductVersion'");
    fs::create_directories(dir / "out");
    writeText(dir / "out" / "setup.exe", "old");
    BuildRequest request;
    request.package = msi;
    request.output = dir / "out" / "setup.exe";
    request.container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
    request.versionInfo = true;
    try {
        build(request);
        ADD_FAILURE() << "built with ProductVersion 3.70000.1";
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find("\"3.70000.1\" is no version number"), std::string::npos)
            << e.what();
    }
    const auto left = readFile(dir / "out" / "setup.exe");
    EXPECT_EQ(std::string(left.begin(), left.end()), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 1);
}

} // namespace
} // namespace pakforge
