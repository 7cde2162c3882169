// The program pakforge-res edited still runs: a mingw console program under
// Wine after set-icon and after rewrite.
#include "IconTestSupport.h"
#include "support/Wine.h"

using namespace pakforge;
using namespace pakforge::icontest;
using test::shellQuote;
using test::TempDir;

namespace {

int runUnderWine(const std::filesystem::path& exe, std::string* out) {
    return test::runUnderWine(exe, "", out);
}

int res(const std::string& args) {
    std::string out;
    return test::runCommand(
        shellQuote((test::binaryDir() / "bin" / "pakforge-res").string()) + " " + args + " 2>&1", &out);
}

} // namespace

TEST(ResToolWine, EditedProgramStillRuns) {
    PAKFORGE_REQUIRE_TOOL(haveMingw() && haveIconTools() && test::haveTool("wine"),
                          "mingw-w64, icotool or wine");
    test::ensureWinePrefix();
    TempDir dir;
    const auto ico = makeSixImageIcon(dir);
    for (const std::string& rc : {std::string(kVersionRc), std::string()}) {
        SCOPED_TRACE(rc.empty() ? "no resources" : "version block");
        const auto exe = buildMingwProgram(dir, rc);
        std::string out;
        ASSERT_EQ(runUnderWine(exe, &out), 7) << out;
        EXPECT_NE(out.find("hello from the test program"), std::string::npos) << out;

        ASSERT_EQ(res("set-icon " + shellQuote(exe.string()) + " " + shellQuote(ico.string())), 0);
        out.clear();
        EXPECT_EQ(runUnderWine(exe, &out), 7) << "after set-icon: " << out;
        EXPECT_NE(out.find("hello from the test program"), std::string::npos) << out;

        ASSERT_EQ(res("rewrite " + shellQuote(exe.string())), 0);
        out.clear();
        EXPECT_EQ(runUnderWine(exe, &out), 7) << "after rewrite: " << out;
    }
}
