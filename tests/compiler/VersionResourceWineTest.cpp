// The version block of a built executable as Windows' own version API reads
// it (GetFileVersionInfoW, VerQueryValueW) under Wine: what Explorer's
// Details tab and signing tools show.
#include "Fixtures.h"
#include "compiler/Build.h"
#include "support/TestFiles.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

std::string zPath(const fs::path& path) {
    std::string text = "Z:" + path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

TEST(VersionResourceWine, TheVersionApiReadsTheProductsBlock) {
    if (!haveTool("i686-w64-mingw32-gcc") || !haveTool("wine"))
        PAKFORGE_SKIP_WITHOUT_TOOL("mingw-w64 or wine missing");
    ensureWinePrefix();
    TempDir dir;
    std::string log;
    ASSERT_EQ(runCommand("i686-w64-mingw32-gcc -municode -O1 -o " +
                             shellQuote((dir / "verquery.exe").string()) + " " +
                             shellQuote((sourceDir() / "tests/compiler/fixtures/verquery.c").string()) +
                             " -lversion 2>&1",
                         &log),
              0)
        << log;

    ProductInfo product;
    product.name = "Übersetzer Pro";
    product.version = "12.0.4711";
    product.manufacturer = "Zeichen & Söhne";
    BuildRequest request;
    request.package = makeMsi(dir.path(), "pro.msi", product);
    request.output = dir / "Pro Setup.exe";
    request.container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
    request.versionInfo = true;
    build(request);

    std::string out;
    EXPECT_EQ(runUnderWine(dir / "verquery.exe", shellQuote(zPath(request.output)), &out), 0) << out;
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end()); // the C runtime's text mode
    EXPECT_EQ(out, "file 12.0.4711.0 product 12.0.4711.0\n"
                   "translation 0000 04b0\n"
                   "CompanyName=Zeichen & Söhne\n"
                   "FileDescription=Übersetzer Pro Setup\n"
                   "FileVersion=12.0.4711\n"
                   "OriginalFilename=Pro Setup.exe\n"
                   "ProductName=Übersetzer Pro\n"
                   "ProductVersion=12.0.4711\n");
}

} // namespace
} // namespace pakforge
