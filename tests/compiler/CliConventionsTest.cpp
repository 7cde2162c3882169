// pakforge-cli as people who script it expect: options anywhere, a missing
// icon said aloud, messages that name their program and file, pipes told
// apart from files, the help's promises kept. Real processes throughout.
#include "Fixtures.h"
#include "container/VxStreamWriter.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

class CliConventions : public ::testing::Test {
  protected:
    void SetUp() override {
        container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
        makeMsi(dir.path(), "p.msi");
    }

    CliResult cli(const std::string& args) { return runCli(dir.path(), container, args); }
    std::string full(const std::string& name) const { return (dir / name).string(); }

    TempDir dir;
    fs::path container;
};

TEST_F(CliConventions, OptionsGoAnywhereAndDoubleDashEndsThem) {
    const auto before = cli("--fast --level 9 --jobs 2 --force -q p.msi '' before.exe");
    ASSERT_EQ(before.status, 0) << before.err;
    const auto after = cli("p.msi '' after.exe --fast --level 9 --jobs 2 --force -q");
    ASSERT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(after.out, "");
    const auto between = cli("p.msi --jobs=2 '' --level 9 between.exe --fast -q");
    ASSERT_EQ(between.status, 0) << between.err;
    EXPECT_EQ(readFile(dir / "after.exe"), readFile(dir / "before.exe"));
    EXPECT_EQ(readFile(dir / "between.exe"), readFile(dir / "before.exe"));

    // After "--" an option's name is an operand, here the output's.
    const auto named = cli("-q p.msi '' -- --force");
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(parseArchive(readFile(dir / "--force")).name, "p.msi");

    const auto help = cli("p.msi '' out.exe --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: pakforge-cli", 0), 0u) << help.out;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));

    // -q asks for nothing but the result; the properties are that result.
    const auto info = cli("--info -q p.msi");
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out,
              "Product Name: Pakforge Sample\nProduct Version: 1.2.3\nManufacturer: Pakforge Project\n");
    EXPECT_EQ(cli("p.msi --json --info").out.rfind("{\"ProductName\": \"Pakforge Sample\"", 0), 0u);
}

TEST_F(CliConventions, AWrongCountNamesTheWordsTakenAsOperands) {
    const auto r = cli("p.msi '' out.exe x --fast");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "pakforge-cli: expected PACKAGE ICON OUTPUT, got 4 arguments: 'p.msi', '', 'out.exe', 'x'\n"
              "Try 'pakforge-cli --help' for more information.\n");
    const auto info = cli("--info p.msi q.msi");
    EXPECT_EQ(info.status, 2);
    EXPECT_NE(info.err.find("got 2 arguments: 'p.msi', 'q.msi'"), std::string::npos) << info.err;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

TEST_F(CliConventions, AMissingIconIsSaidAndAPngIsRefused) {
    const std::string keeps = "; the executable keeps the stub's icon.\n";
    const auto typo = cli("-q p.msi sample.ico.typo typo.exe");
    EXPECT_EQ(typo.status, 0);
    EXPECT_EQ(typo.err,
              "pakforge-cli: warning: the icon \"" + full("sample.ico.typo") + "\" does not exist" + keeps);
    EXPECT_TRUE(mainIconEntries(dir / "typo.exe").empty());

    fs::create_directories(dir / "art.ico");
    const auto folder = cli("p.msi art.ico folder.exe");
    EXPECT_EQ(folder.status, 0);
    EXPECT_EQ(folder.err,
              "pakforge-cli: warning: the icon \"" + full("art.ico") + "\" is a folder, not a file" + keeps);
    EXPECT_NE(folder.out.find("EXE file saved as"), std::string::npos);

    const auto quiet = cli("p.msi '' empty.exe");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "") << "\"\" is the quiet way to keep the stub's icon";

    // A real PNG, taken out of our icon by an outside tool, under an icon's name.
    ASSERT_EQ(runCommand("icotool -x -i 1 -o " + shellQuote(full("logo.ico")) + " " +
                         shellQuote(sampleIcon().string())),
              0);
    const auto refused = cli("p.msi logo.ico png.exe");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "pakforge-cli: the icon \"" + full("logo.ico") +
                               "\" is a PNG image, not an icon file: convert it to .ico first.\n");
    EXPECT_EQ(refused.out, "");
    EXPECT_FALSE(fs::exists(dir / "png.exe"));
}

// The library's words stay at the end; before them the program and the
// file they are about.
TEST_F(CliConventions, EveryErrorNamesTheProgramAndItsFile) {
    writeText(dir / "notes.ico", "no icon\n");
    const auto icon = cli("p.msi notes.ico out.exe");
    EXPECT_EQ(icon.status, 1);
    EXPECT_EQ(icon.err, "pakforge-cli: the icon \"" + full("notes.ico") + "\": Invalid Icon or Cursor.\n");

    writeText(dir / "random.dat", std::string(4096, 'x'));
    const auto corrupt = runCli(dir.path(), dir / "random.dat", "p.msi '' out.exe");
    EXPECT_EQ(corrupt.status, 1);
    EXPECT_EQ(corrupt.err,
              "pakforge-cli: the stub container \"" + full("random.dat") + "\": File is corrupt.\n");

    // Enciphered with another key than the built-in one: refused as the help says.
    const std::u16string otherKey = u"not-the-built-in-key";
    writeFile(dir / "other-key.dat", buildContainer({{u"exe", readFile(stubExe())}}, true, &otherKey));
    const auto keyed = runCli(dir.path(), dir / "other-key.dat", "p.msi '' out.exe");
    EXPECT_EQ(keyed.status, 1);
    EXPECT_EQ(keyed.err,
              "pakforge-cli: the stub container \"" + full("other-key.dat") + "\": File is corrupt.\n");

    const auto noStub = makeContainer(dir / "other.dat", readFile(stubExe()), true, true, u"other");
    const auto stub = runCli(dir.path(), noStub, "p.msi '' out.exe");
    EXPECT_EQ(stub.status, 1);
    EXPECT_EQ(stub.err.rfind("pakforge-cli: the stub in \"" + noStub.string() + "\": ", 0), 0u) << stub.err;

    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

// Process substitution and a pipe on stdin cannot be read twice nor seeked,
// with --force or without.
TEST_F(CliConventions, PipesAreToldToBeSavedToAFile) {
    const std::string cli = shellQuote((binaryDir() / "bin" / "pakforge-cli").string());
    const std::string script = "cd " + shellQuote(dir.path().string()) +
                               " || exit 9; export PAKFORGE_CONTAINER=" + shellQuote(container.string()) +
                               "\nfor force in '' --force; do\n"
                               "  timeout -s KILL 20 " +
                               cli +
                               " $force <(cat p.msi) '' out.exe; echo \"status $?\"\n"
                               "  cat p.msi | timeout -s KILL 20 " +
                               cli +
                               " $force /dev/stdin '' out.exe; "
                               "echo \"status $?\"\n"
                               "done 2>&1\n";
    std::string out;
    runCommand("bash -c " + shellQuote(script), &out);
    const std::string said =
        "\" is not a regular file but a pipe or a device: save it to a file first and give "
        "that file's name.\nstatus 1\n";
    std::size_t lines = 0;
    for (std::size_t at = 0; at < out.size(); ++lines) {
        const std::size_t end = out.find("status", at);
        ASSERT_NE(end, std::string::npos) << out;
        const std::string one = out.substr(at, out.find('\n', end) + 1 - at);
        EXPECT_EQ(one.rfind("pakforge-cli: the package \"/dev/", 0), 0u) << one;
        EXPECT_TRUE(one.ends_with(said)) << one;
        at += one.size();
    }
    EXPECT_EQ(lines, 4u) << out;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

TEST_F(CliConventions, HelpAndVersionSayWhatTheConventionsPromise) {
    const auto help = cli("-h");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, cli("--help").out);
    // The list comes from the parser, so every option it takes is there.
    for (const std::string option : {"--force", "--level N", "--jobs N", "--fast", "--info", "--json",
                                     "--version-info", "-q, --quiet", "--check-updates", "-V, --version"})
        EXPECT_NE(help.out.find("\n  " + option + " "), std::string::npos) << option;
    EXPECT_NE(help.out.find("built-in key"), std::string::npos);
    EXPECT_NE(help.out.find("130 after an interrupt"), std::string::npos);

    const auto version = cli("p.msi -V");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, cli("--version").out);
    EXPECT_EQ(version.out.rfind("pakforge-cli ", 0), 0u);
}

} // namespace
} // namespace pakforge
