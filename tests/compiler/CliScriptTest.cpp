// pakforge-cli's options for scripts: --info --json read back by Python's
// json module, --quiet builds and failures, --version-info passed through,
// and the combinations that are refused.
#include "Fixtures.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

class CliScript : public ::testing::Test {
  protected:
    void SetUp() override { container = makeContainer(dir / "pakforge.dat", readFile(stubExe())); }

    CliResult cli(const std::string& args) { return runCli(dir.path(), container, args); }

    TempDir dir;
    fs::path container;
};

TEST_F(CliScript, InfoJsonIsValidJsonForAnyText) {
    const auto msi = makeMsi(dir.path(), "p.msi");
    const std::string name = "Q\"uote \\back\tslash \x01 Zo\xc3\xab \xe2\x82\xac/";
    alterMsi(msi, "UPDATE `Property` SET `Value`='" + name + "' WHERE `Property`='ProductName'");
    alterMsi(msi, "UPDATE `Property` SET `Value`='' WHERE `Property`='Manufacturer'");
    const auto r = cli("--info --json p.msi");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    writeText(dir / "info.json", r.out);
    // An independent reader: the three keys, nothing else, the exact values.
    const std::string check =
        "import json, sys\n"
        "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
        "want = {'ProductName': sys.argv[2], 'ProductVersion': '1.2.3', 'Manufacturer': ''}\n"
        "print('ok' if d == want else repr(d))\n";
    std::string verdict;
    runCommand("/usr/bin/python3 -c " + shellQuote(check) + " " + shellQuote((dir / "info.json").string()) +
                   " " + shellQuote(name) + " 2>&1",
               &verdict);
    EXPECT_EQ(verdict, "ok\n") << r.out;
    EXPECT_EQ(r.out.find('\t'), std::string::npos) << "control characters must be escaped";
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
}

TEST_F(CliScript, QuietPrintsOnlyErrors) {
    makeMsi(dir.path(), "p.msi");
    const auto ok = cli("-q p.msi '' out.exe");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "");
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(parseArchive(readFile(dir / "out.exe")).name, "p.msi");

    const auto failed = cli("p.msi '' missing/out.exe --quiet");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_NE(failed.err.find("missing/out.exe"), std::string::npos) << failed.err;

    // A package named like an option is still reachable after "--".
    fs::copy_file(dir / "p.msi", dir / "-q");
    const auto named = cli("-q -- -q '' dash.exe");
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(parseArchive(readFile(dir / "dash.exe")).name, "-q");
}

TEST_F(CliScript, VersionInfoReachesTheOutputAndMisusesAreRefused) {
    ProductInfo product;
    product.version = "4.3.21";
    makeMsi(dir.path(), "p.msi", product);
    const auto built = cli("--version-info -q p.msi '' v.exe");
    ASSERT_EQ(built.status, 0) << built.err;
    // The stub's own block (language 0x409) gave way to ours.
    std::vector<std::string> blocks;
    for (const auto& line : peResources(dir / "v.exe"))
        if (line.rfind("16/", 0) == 0) blocks.push_back(line.substr(0, line.rfind('/')));
    EXPECT_EQ(blocks, std::vector<std::string>{"16/1/0"});

    for (const std::string misuse :
         {"--json p.msi '' x.exe", "--force --info p.msi", "--version-info --info p.msi",
          "--json --check-updates", "--version-info --check-updates"}) {
        const auto r = cli(misuse);
        EXPECT_EQ(r.status, 2) << misuse;
        EXPECT_EQ(r.out, "") << misuse;
        EXPECT_NE(r.err.find("Try 'pakforge-cli --help'"), std::string::npos) << misuse << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "x.exe"));
}

} // namespace
} // namespace pakforge
