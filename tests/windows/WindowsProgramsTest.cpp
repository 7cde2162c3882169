// The Windows programs of the windows preset's build, run under Wine beside
// the Linux programs on the same inputs: the same executables byte for byte,
// the same package properties (msi.dll there, libmsi here), the same
// failures with Windows' own error texts.
#include "E2ESupport.h"
#include "Fixtures.h"
#include "support/TestFiles.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;
using e2e::winePath;

struct Run {
    int status = -1;
    std::string out;
    std::string err;
};

// The key pakforge.dat is enciphered with (stub/CMakeLists.txt).
constexpr const char* kKey = "rqzvmtpxw4b7";

// One time zone for both sides: the archive stores the package's local time.
constexpr const char* kZone = "TZ=Europe/Berlin ";

fs::path windowsProgram(const std::string& name) {
    return fs::path(PAKFORGE_WINDOWS_BIN) / (name + ".exe");
}

Run runShell(const std::string& command, const fs::path& cwd) {
    TempDir scratch;
    Run r;
    r.status = runCommand("cd " + shellQuote(cwd.string()) + " && " + command + " 2>" +
                              shellQuote((scratch / "err").string()) + " </dev/null",
                          &r.out);
    const auto err = readFile(scratch / "err");
    r.err.assign(err.begin(), err.end());
    return r;
}

// The Windows program with Windows paths; its container named through the
// environment, as on Linux.
Run runWindows(const std::string& program, const fs::path& cwd, const fs::path& container,
               const std::vector<std::string>& args) {
    std::string command = wineEnvironment() + kZone +
                          "PAKFORGE_CONTAINER=" + shellQuote(winePath(container)) + " wine " +
                          shellQuote(windowsProgram(program).string());
    for (const auto& a : args) command += " " + shellQuote(a);
    return runShell(command, cwd);
}

Run runLinux(const std::string& program, const fs::path& cwd, const fs::path& container,
             const std::vector<std::string>& args) {
    std::string command = std::string(kZone) + "PAKFORGE_CONTAINER=" + shellQuote(container.string()) + " " +
                          shellQuote(program);
    for (const auto& a : args) command += " " + shellQuote(a);
    return runShell(command, cwd);
}

// The same package's mtime for both sides, once in summer and once in
// winter time, so that a wrong daylight-saving rule shows.
void setTime(const fs::path& file, const std::string& utc) {
    ASSERT_EQ(runCommand("touch -d " + shellQuote(utc + " UTC") + " " + shellQuote(file.string())), 0);
}

class WindowsPrograms : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(windowsProgram("pakforge-cli"))) {
            if (underCi()) FAIL() << "the Windows programs are not built: cmake --preset windows";
            GTEST_SKIP() << "no Windows build at " << PAKFORGE_WINDOWS_BIN;
        }
        ensureWinePrefix();
    }
    TempDir dir;
    const fs::path container = PAKFORGE_E2E_DAT;
};

TEST_F(WindowsPrograms, BuildTheSameBytesAsLinuxAndTheResultInstalls) {
    const fs::path folder = dir / "Ünïcödé Setups";
    fs::create_directories(folder);
    e2e::PackageSpec spec(e2e::uniqueName("PakforgeWindowsBuild"));
    const fs::path plain = e2e::makePackage(folder, "app.msi", spec);
    const fs::path accented = folder / "Prüfung-ÄÖ.msi";
    fs::copy_file(plain, accented);
    setTime(plain, "2026-07-11 09:23:46");
    setTime(accented, "2026-01-07 23:30:02"); // the next day in Berlin
    fs::copy_file(sampleIcon(), folder / "app.ico");

    for (const fs::path& package : {plain, accented}) {
        SCOPED_TRACE(package.filename().string());
        const fs::path linuxOut = dir / ("linux-" + package.stem().string() + ".exe");
        const fs::path windowsOut = folder / (package.stem().string() + ".exe");
        const auto l = runLinux(PAKFORGE_LINUX_CLI, dir.path(), container,
                                {"-q", package.string(), (folder / "app.ico").string(), linuxOut.string()});
        ASSERT_EQ(l.status, 0) << l.err;
        // Relative Windows paths against the current folder, the way a user types them.
        const auto w =
            runWindows("pakforge-cli", folder, container,
                       {"-q", package.filename().string(), "app.ico", windowsOut.filename().string()});
        ASSERT_EQ(w.status, 0) << w.err;
        EXPECT_EQ(w.err, "");
        ASSERT_TRUE(fs::exists(windowsOut));
        EXPECT_TRUE(readFile(windowsOut) == readFile(linuxOut)) << "the two builds differ";
    }

    // With every setting built in: the same bytes again, and not those of
    // the build without them.
    fs::copy_file(plain, folder / "site.mst");
    const std::vector<std::string> settings = {"--property", "INSTALLDIR=C:\\Prüfung",
                                               "--property", "Q=say \"hi\"",
                                               "--ui",       "basic",
                                               "--log",      "--norestart",
                                               "--elevate",  "--transform",
                                               "site.mst"};
    auto linuxArgs = settings;
    linuxArgs.back() = (folder / "site.mst").string();
    linuxArgs.insert(linuxArgs.end(), {"-q", plain.string(), (folder / "app.ico").string(),
                                       (dir / "linux-settings.exe").string()});
    auto windowsArgs = settings;
    windowsArgs.insert(windowsArgs.end(), {"-q", "app.msi", "app.ico", "settings.exe"});
    const auto l = runLinux(PAKFORGE_LINUX_CLI, dir.path(), container, linuxArgs);
    ASSERT_EQ(l.status, 0) << l.err;
    const auto w = runWindows("pakforge-cli", folder, container, windowsArgs);
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_TRUE(readFile(folder / "settings.exe") == readFile(dir / "linux-settings.exe"))
        << "the two builds with settings differ";
    EXPECT_FALSE(readFile(folder / "settings.exe") == readFile(folder / "app.exe"));

    // What Windows built installs (run from a plain folder: the runner's
    // batch file is read in the console's code page).
    const fs::path built = dir / "setup.exe";
    fs::copy_file(folder / "app.exe", built);
    EXPECT_EQ(e2e::runInstaller(built, "/qn", dir / "temp", dir.path(), e2e::RunOptions{true, {}}), 0);
    EXPECT_TRUE(fs::exists(e2e::installedFile(spec)));
}

TEST_F(WindowsPrograms, InfoReadsTheSameThreeLinesThroughTheInstallerService) {
    ProductInfo product;
    product.name = "Pakforge Übersicht";
    product.version = "4.5.6";
    product.manufacturer = "Ærø Software";
    makeMsi(dir.path(), "info.msi", product);
    const auto l = runLinux(PAKFORGE_LINUX_CLI, dir.path(), container, {"--info", "info.msi"});
    const auto w = runWindows("pakforge-cli", dir.path(), container, {"--info", "info.msi"});
    ASSERT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.out, l.out);
    EXPECT_NE(w.out.find("Product Name: Pakforge Übersicht"), std::string::npos) << w.out;
}

// One SOURCE_DATE_EPOCH: the same bytes from both systems, other time
// zones and other file times; both read the result alike, and the package
// comes back out of it whole.
TEST_F(WindowsPrograms, ReproducibleBuildsInspectAndExtractAsOnLinux) {
    makeMsi(dir.path(), "app.msi");
    fs::create_directory(dir / "copy");
    fs::copy_file(dir / "app.msi", dir / "copy" / "app.msi");
    setTime(dir / "copy" / "app.msi", "2019-12-31 23:59:58");
    const std::string epoch = "SOURCE_DATE_EPOCH=1700000000 ";
    const auto l = runShell("TZ=UTC " + epoch + "PAKFORGE_CONTAINER=" + shellQuote(container.string()) + " " +
                                shellQuote(PAKFORGE_LINUX_CLI) + " -q app.msi '' linux.exe",
                            dir.path());
    ASSERT_EQ(l.status, 0) << l.err;
    const auto w = runShell(wineEnvironment() + "TZ=Asia/Tokyo " + epoch +
                                "PAKFORGE_CONTAINER=" + shellQuote(winePath(container)) + " wine " +
                                shellQuote(windowsProgram("pakforge-cli").string()) +
                                " -q 'copy\\app.msi' '' windows.exe",
                            dir.path());
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_TRUE(readFile(dir / "windows.exe") == readFile(dir / "linux.exe")) << "the two builds differ";

    const auto li = runLinux(PAKFORGE_LINUX_CLI, dir.path(), container, {"--inspect", "--json", "linux.exe"});
    const auto wi = runWindows("pakforge-cli", dir.path(), container, {"--inspect", "--json", "windows.exe"});
    ASSERT_EQ(li.status, 0) << li.err;
    EXPECT_EQ(wi.status, 0) << wi.err;
    const auto afterFile = [](const std::string& json) { return json.substr(json.find(", \"ok\"")); };
    EXPECT_EQ(afterFile(wi.out), afterFile(li.out));

    fs::create_directory(dir / "out");
    const auto we =
        runWindows("pakforge-cli", dir.path(), container, {"-q", "--extract", "windows.exe", "out"});
    EXPECT_EQ(we.status, 0) << we.err;
    EXPECT_EQ(readFile(dir / "out" / "app.msi"), readFile(dir / "app.msi"));
}

// Every way a build can fail: the same exit status as on Linux, the message
// with the Windows path and the system's own error text (Wine words them
// its own way), and no output file where none should be.
TEST_F(WindowsPrograms, FailuresGiveTheirMessagesAndExitStatus) {
    makeMsi(dir.path(), "app.msi");
    fs::copy_file(sampleIcon(), dir / "app.ico");
    writeText(dir / "notes.txt", "no icon\n");
    writeText(dir / "random.dat", std::string(4096, 'x'));
    const auto stub = readFile(stubExe());
    const fs::path noExe = makeContainer(dir / "noexe.dat", stub, true, true, u"other");
    auto cut = readFile(container);
    cut.resize(cut.size() - 200);
    writeFile(dir / "cut.dat", cut);

    struct Row {
        std::string what;
        fs::path container;
        std::vector<std::string> args;
        std::string expected; // the start of the message on stderr
        bool outputLeft;
    };
    const std::vector<Row> rows = {
        {"container missing",
         dir / "none.dat",
         {"app.msi", "app.ico", "out.exe"},
         "pakforge-cli: Cannot open file \"" + winePath(dir / "none.dat") + "\". ",
         false},
        {"container damaged",
         dir / "random.dat",
         {"app.msi", "app.ico", "out.exe"},
         "pakforge-cli: the stub container \"" + winePath(dir / "random.dat") + "\": File is corrupt.",
         false},
        {"container cut short", dir / "cut.dat", {"app.msi", "app.ico", "out.exe"}, "", false},
        {"output folder missing",
         container,
         {"app.msi", "app.ico", "missing/out.exe"},
         "pakforge-cli: Cannot create file \"" + winePath(dir / "missing") + "\\out.exe\". ",
         false},
        {"no stub in the container", noExe, {"app.msi", "app.ico", "out.exe"}, "", false},
        {"icon that is no icon", container, {"app.msi", "notes.txt", "out.exe"}, "", false},
        {"package missing",
         container,
         {"gone.msi", "app.ico", "out.exe"},
         "pakforge-cli: Cannot open file \"" + winePath(dir / "gone.msi") + "\". ",
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(dir / "out.exe");
        const auto l = runLinux(PAKFORGE_LINUX_CLI, dir.path(), row.container, row.args);
        fs::remove(dir / "out.exe");
        const auto w = runWindows("pakforge-cli", dir.path(), row.container, row.args);
        EXPECT_NE(l.status, 0);
        EXPECT_EQ(w.status, l.status) << w.err;
        EXPECT_EQ(fs::exists(dir / "out.exe"), row.outputLeft);
        if (!row.expected.empty()) {
            // The Windows path, then the system's own text for the error.
            EXPECT_EQ(w.err.rfind(row.expected, 0), 0u) << w.err;
            if (row.expected.ends_with(". ")) {
                EXPECT_GT(w.err.size(), row.expected.size() + 2) << w.err;
            }
        } else {
            // Past the file they name, messages without a system text read the same.
            const auto tail = [](const std::string& err) { return err.substr(err.find("\": ") + 1); };
            EXPECT_EQ(tail(w.err), tail(l.err));
            EXPECT_EQ(w.err.rfind("pakforge-cli: ", 0), 0u) << w.err;
        }
    }
}

// The command-line conventions hold in the Windows program too: options
// after the file names, and a missing icon said with its Windows path.
TEST_F(WindowsPrograms, OptionsAfterTheFilesAndTheMissingIconWarning) {
    makeMsi(dir.path(), "app.msi");
    const auto w =
        runWindows("pakforge-cli", dir.path(), container, {"app.msi", "typo.ico", "out.exe", "-q"});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.out, "");
    EXPECT_EQ(w.err, "pakforge-cli: warning: the icon \"" + winePath(dir / "typo.ico") +
                         "\" does not exist; the executable keeps the stub's icon.\n");
    EXPECT_EQ(parseArchive(readFile(dir / "out.exe")).name, "app.msi");
}

// The output is compared with the inputs by file identity, so another
// letter case or a detour through ".." names the same file and is refused
// before anything is written. The container is a copy: were the check to
// fail, the build would replace it.
TEST_F(WindowsPrograms, AnOutputThatIsAnInputUnderAnyNameIsRefused) {
    makeMsi(dir.path(), "app.msi");
    fs::copy_file(sampleIcon(), dir / "app.ico");
    fs::copy_file(container, dir / "stubs.dat");
    const auto before = readFile(dir / "app.msi");
    const std::string folder = winePath(dir.path());
    const std::string up = "..\\" + dir.path().filename().string() + "\\";
    const struct {
        std::string output, role, input;
    } rows[] = {
        {"APP.MSI", "package", "app.msi"},
        {up + "App.Ico", "icon", "app.ico"},
        {"Stubs.DAT", "stub container", "stubs.dat"},
    };
    for (const auto& row : rows) {
        const auto w =
            runWindows("pakforge-cli", dir.path(), dir / "stubs.dat", {"app.msi", "app.ico", row.output});
        EXPECT_EQ(w.status, 1) << w.err;
        const std::string shown = row.output.starts_with("..") ? folder + "\\" + row.output.substr(up.size())
                                                               : folder + "\\" + row.output;
        EXPECT_EQ(w.err, "pakforge-cli: The output \"" + shown + "\" is the " + row.role + " \"" + folder +
                             "\\" + row.input + "\" itself: choose another output path.\n");
    }
    EXPECT_EQ(readFile(dir / "app.msi"), before);
    EXPECT_EQ(readFile(dir / "stubs.dat"), readFile(container));
}

// Builds side by side share their package and container (Windows enforces
// the share modes): all of them succeed with the same bytes.
TEST_F(WindowsPrograms, BuildsSideBySideShareTheirInputs) {
    makeMsi(dir.path(), "app.msi", {}, {{"data.bin", randomBytes(2u << 20, 31)}});
    std::string command = "pids=\n";
    for (int i = 1; i <= 4; ++i)
        command += wineEnvironment() + kZone + "PAKFORGE_CONTAINER=" + shellQuote(winePath(container)) +
                   " wine " + shellQuote(windowsProgram("pakforge-cli").string()) + " -q app.msi '' out" +
                   std::to_string(i) + ".exe & pids=\"$pids $!\"\n";
    command += "failed=0; for pid in $pids; do wait $pid || failed=$((failed + 1)); done; echo $failed";
    const auto r = runShell("sh -c " + shellQuote(command), dir.path());
    EXPECT_EQ(r.out, "0\n") << r.err;
    const auto first = readFile(dir / "out1.exe");
    EXPECT_EQ(parseArchive(first).name, "app.msi");
    for (int i = 2; i <= 4; ++i)
        EXPECT_TRUE(readFile(dir / ("out" + std::to_string(i) + ".exe")) == first) << i;
}

// The container tool reads and writes the same containers on both systems.
TEST_F(WindowsPrograms, PackToolListsAndWritesTheSameContainers) {
    const auto l =
        runLinux(PAKFORGE_LINUX_PACK, dir.path(), container, {"list", container.string(), "--key", kKey});
    const auto w =
        runWindows("pakforge-pack", dir.path(), container, {"list", winePath(container), "--key", kKey});
    ASSERT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.out, l.out);

    const auto stub = fs::path(PAKFORGE_STUB_EXE);
    fs::copy_file(stub, dir / "stub.exe");
    const std::vector<std::string> create = {"create", "",    "--compress",  "--encrypt",
                                             "--key",  "k3y", "exe=stub.exe"};
    auto linuxArgs = create, windowsArgs = create;
    linuxArgs[1] = "linux.dat";
    windowsArgs[1] = "windows.dat";
    ASSERT_EQ(runLinux(PAKFORGE_LINUX_PACK, dir.path(), container, linuxArgs).status, 0);
    const auto made = runWindows("pakforge-pack", dir.path(), container, windowsArgs);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(readFile(dir / "windows.dat") == readFile(dir / "linux.dat"));
}

} // namespace
} // namespace pakforge
