// pakforge-cli as a user runs it: exit codes, stdout/stderr, relative paths,
// --info on real packages.
#include "Fixtures.h"
#include "core/Exceptions.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

// Runs pakforge-cli in `cwd` with the container from `container`.
CliResult cli(const fs::path& cwd, const fs::path& container, const std::string& args) {
    return runCli(cwd, container, args);
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override { container = makeContainer(dir / "pakforge.dat", readFile(stubExe())); }
    TempDir dir;
    fs::path container;
};

TEST_F(Cli, BuildsWithRelativePathsAndPrintsTheLog) {
    makeMsi(dir.path(), "My Setup.msi");
    fs::create_directories(dir / "work" / "out");
    fs::copy_file(sampleIcon(), dir / "work" / "app.ico");
    const auto r = cli(dir / "work", container, "'../My Setup.msi' app.ico out/setup.exe");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(
        r.out.find("Updating Icon...\nProcessing MSI package...\nBuilding EXE file...\nEXE file saved as: " +
                   (dir / "work" / "out" / "setup.exe").string() + "\n*** Finished. ["),
        std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.rfind("*** Starting Compile [", 0), 0u) << r.out;
    const auto a = parseArchive(readFile(dir / "work" / "out" / "setup.exe"));
    EXPECT_EQ(a.name, "My Setup.msi");
    EXPECT_EQ(mainIconEntries(dir / "work" / "out" / "setup.exe").size(), 3u);
}

TEST_F(Cli, EmptyIconArgumentSkipsTheIconStep) {
    makeMsi(dir.path(), "p.msi");
    const auto r = cli(dir.path(), container, "p.msi '' out.exe");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("Updating Icon..."), std::string::npos);
    EXPECT_TRUE(mainIconEntries(dir / "out.exe").empty());
}

TEST_F(Cli, FailuresGoToStderrWithAFullStopAndExitOne) {
    writeText(dir / "setup.exe", "keep me");
    const auto r = cli(dir.path(), container, "missing.msi '' setup.exe");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pakforge-cli: Cannot open file \"" + (dir / "missing.msi").string() + "\". " +
                         systemErrorText(ENOENT) + ".\n");
    EXPECT_EQ(readFile(dir / "setup.exe"), std::vector<std::uint8_t>({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));

    makeMsi(dir.path(), "p.msi");
    const auto noContainer = cli(dir.path(), dir / "none.dat", "p.msi '' setup.exe");
    EXPECT_EQ(noContainer.status, 1);
    EXPECT_EQ(
        noContainer.err.rfind("pakforge-cli: Cannot open file \"" + (dir / "none.dat").string() + "\". ", 0),
        0u)
        << noContainer.err;
    // A relative container path is named in full too.
    const auto relative = cli(dir.path(), "none.dat", "p.msi '' setup.exe");
    EXPECT_EQ(
        relative.err.rfind("pakforge-cli: Cannot open file \"" + (dir / "none.dat").string() + "\". ", 0), 0u)
        << relative.err;
}

TEST_F(Cli, RefusesWhatIsNoPackageUnlessForced) {
    writeText(dir / "notes.txt", "root:x:0:0:root:/root:/bin/bash\n");
    const auto refused = cli(dir.path(), container, "notes.txt '' out.exe");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "pakforge-cli: \"" + (dir / "notes.txt").string() + "\" is not a Windows Installer package.\n");
    EXPECT_EQ(refused.out, "");
    EXPECT_FALSE(fs::exists(dir / "out.exe"));

    const auto forced = cli(dir.path(), container, "--force notes.txt '' out.exe");
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(parseArchive(readFile(dir / "out.exe")).name, "notes.txt");
}

// The working folder removed under a running shell: relative paths cannot be
// resolved, which is an error like any other, not an abort.
TEST_F(Cli, RemovedWorkingFolderIsAnError) {
    makeMsi(dir.path(), "p.msi");
    const std::string gone = shellQuote((dir / "gone").string());
    const std::string cd = "mkdir " + gone + " && cd " + gone + " && rmdir " + gone +
                           " && PAKFORGE_CONTAINER=" + shellQuote(container.string()) + " " +
                           shellQuote((binaryDir() / "bin" / "pakforge-cli").string());
    for (const std::string args : {" p.msi '' out.exe", " --info p.msi"}) {
        std::string out;
        const int status = runCommand(cd + args + " 2>&1", &out);
        EXPECT_EQ(status, 1) << args << ": " << out;
        EXPECT_NE(out.find("the current folder cannot be read"), std::string::npos) << out;
    }
    // Full paths still work from there.
    std::string out;
    const int status = runCommand(cd + " " + shellQuote((dir / "p.msi").string()) + " '' " +
                                      shellQuote((dir / "out.exe").string()) + " 2>&1",
                                  &out);
    EXPECT_EQ(status, 0) << out;
}

TEST_F(Cli, ClosedStdoutPipeStillFinishesTheBuild) {
    makeMsi(dir.path(), "p.msi");
    // stdout is a pipe whose reader has already gone.
    const std::string script = "import os, subprocess, sys\n"
                               "r, w = os.pipe()\n"
                               "os.close(r)\n"
                               "sys.exit(subprocess.call(sys.argv[1:], stdout=w) & 255)\n";
    std::string out;
    const int status = runCommand(
        "cd " + shellQuote(dir.path().string()) + " && PAKFORGE_CONTAINER=" + shellQuote(container.string()) +
            " /usr/bin/python3 -c " + shellQuote(script) + " " +
            shellQuote((binaryDir() / "bin" / "pakforge-cli").string()) + " p.msi '' out.exe 2>&1",
        &out);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NO_THROW(parseArchive(readFile(dir / "out.exe")));
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().extension(), ".tmp") << "left behind: " << entry.path();
}

TEST_F(Cli, HangupDuringTheBuildRemovesTheTemporaryFile) {
    makeMsi(dir.path(), "big.msi", {}, {{"data.bin", randomBytes(30u << 20, 6)}});
    EXPECT_EQ(signalMidBuild(dir.path(), container, "", "HUP"), "130\n");
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().extension(), ".tmp") << "left behind: " << entry.path();
}

TEST_F(Cli, ProgressShowsOnATerminalOnlyForLargePackages) {
    if (!haveTool("script")) PAKFORGE_SKIP_WITHOUT_TOOL("script (util-linux) missing");
    makeMsi(dir.path(), "big.msi", {}, {{"data.bin", randomBytes(20u << 20, 5)}});
    const auto plain = cli(dir.path(), container, "big.msi '' plain.exe");
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err, "") << "progress written to a stderr that is no terminal";

    // script gives the program a terminal; its output comes back on stdout.
    std::string out;
    const std::string command =
        "cd " + shellQuote(dir.path().string()) + " && PAKFORGE_CONTAINER=" + shellQuote(container.string()) +
        " " + shellQuote((binaryDir() / "bin" / "pakforge-cli").string()) + " big.msi '' tty.exe";
    EXPECT_EQ(runCommand("script -qec " + shellQuote(command) + " /dev/null", &out), 0) << out;
    EXPECT_NE(out.find("Compressing the package: 100%"), std::string::npos) << out;
    EXPECT_EQ(readFile(dir / "plain.exe"), readFile(dir / "tty.exe"));
    // The line is wiped before the next log line, which starts a line of its own.
    const auto done = out.find("100%");
    const auto saved = out.find("EXE file saved as:", done);
    ASSERT_NE(saved, std::string::npos) << out;
    const std::string between = out.substr(done + 4, saved - done - 4);
    EXPECT_EQ(between.find_first_not_of("\r "), std::string::npos) << between;
    EXPECT_TRUE(between.ends_with("\r")) << out;

    // With the log going to a file, the terminal gets no progress either.
    std::string terminal;
    EXPECT_EQ(runCommand("script -qec " + shellQuote(command + " > log.txt") + " /dev/null", &terminal), 0)
        << terminal;
    EXPECT_EQ(terminal.find("Compressing"), std::string::npos) << terminal;
    const auto log = readFile(dir / "log.txt");
    EXPECT_NE(std::string(log.begin(), log.end()).find("EXE file saved as:"), std::string::npos);
}

TEST_F(Cli, UsageErrorsExitTwo) {
    for (const std::string args : {"", "a b", "a b c d", "--bogus", "--info", "--info a b",
                                   "--info --check-updates", "--force=no a b c"}) {
        const auto r = cli(dir.path(), container, args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("pakforge-cli --help"), std::string::npos) << args;
        EXPECT_EQ(r.out, "") << args;
    }
    const auto empty = cli(dir.path(), container, "a b ''");
    EXPECT_EQ(empty.status, 2);
}

TEST_F(Cli, HelpAndVersion) {
    const auto help = cli(dir.path(), container, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: pakforge-cli [--force] PACKAGE ICON OUTPUT"), std::string::npos);
    const auto version = cli(dir.path(), container, "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("pakforge-cli ", 0), 0u);
}

TEST_F(Cli, InfoPrintsTheThreeLines) {
    makeMsi(dir.path(), "a.msi", {"Widget Studio", "4.10.0017", "ACME"});
    auto r = cli(dir.path(), container, "--info a.msi");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Product Name: Widget Studio\nProduct Version: 4.10.0017\nManufacturer: ACME\n");

    const auto empty = makeMsi(dir.path(), "empty.msi");
    alterMsi(empty, "UPDATE `Property` SET `Value`='' WHERE `Property`='Manufacturer'");
    r = cli(dir.path(), container, "--info empty.msi");
    EXPECT_EQ(r.out, "Product Name: Pakforge Sample\nProduct Version: 1.2.3\nManufacturer: \n");

    const std::string longName(700, 'n');
    makeMsi(dir.path(), "long.msi", {longName, "9.9", "M"});
    r = cli(dir.path(), container, "--info long.msi");
    EXPECT_EQ(r.out, "Product Name: " + longName + "\nProduct Version: 9.9\nManufacturer: M\n");
}

TEST_F(Cli, InfoOnSomethingThatIsNoPackageFails) {
    writeText(dir / "text.msi", "plain text");
    auto r = cli(dir.path(), container, "--info text.msi");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "pakforge-cli: \"" + (dir / "text.msi").string() + "\" is not a Windows Installer package.\n");
    EXPECT_EQ(r.out, "");
    r = cli(dir.path(), container, "--info missing.msi");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot open file"), std::string::npos);
}

} // namespace
} // namespace pakforge
