// pakforge-cli as a build server and a careless user drive it: outputs that
// name an input, many builds at once, FIFOs and devices, signals at any
// moment, a full disk. Real processes and files throughout.
#include "Fixtures.h"
#include "core/Exceptions.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

class CliRobustness : public ::testing::Test {
  protected:
    void SetUp() override { container = makeContainer(dir / "pakforge.dat", readFile(stubExe())); }

    // Runs a shell script in dir with $cli naming the program.
    std::string script(const std::string& body) const {
        std::string out;
        runCommand("cd " + shellQuote(dir.path().string()) +
                       " || exit 1\nexport PAKFORGE_CONTAINER=" + shellQuote(container.string()) +
                       "\ncli=" + shellQuote((binaryDir() / "bin" / "pakforge-cli").string()) + "\n" + body,
                   &out);
        return out;
    }
    std::vector<fs::path> leftovers(const fs::path& folder) const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().extension() == ".tmp") found.push_back(entry.path());
        return found;
    }

    TempDir dir;
    fs::path container;
};

TEST_F(CliRobustness, AnOutputThatIsAnInputUnderAnyNameIsRefusedAndNothingIsTouched) {
    makeMsi(dir.path(), "app.msi");
    fs::copy_file(sampleIcon(), dir / "app.ico");
    fs::create_directories(dir / "sub");
    fs::create_symlink(dir / "app.msi", dir / "link.exe");
    fs::create_symlink("../app.ico", dir / "sub" / "icon-link.exe");
    fs::create_hard_link(dir / "app.msi", dir / "hard.exe");
    const auto package = readFile(dir / "app.msi");
    const auto icon = readFile(dir / "app.ico");
    const auto stubs = readFile(container);

    const std::string msi = (dir / "app.msi").string();
    const std::string ico = (dir / "app.ico").string();
    const struct {
        std::string output, shown, role, input;
    } cases[] = {
        {"app.msi", msi, "package", msi},
        {"sub/../app.msi", msi, "package", msi},
        {"link.exe", (dir / "link.exe").string(), "package", msi},
        {"hard.exe", (dir / "hard.exe").string(), "package", msi},
        {"app.ico", ico, "icon", ico},
        {"sub/icon-link.exe", (dir / "sub" / "icon-link.exe").string(), "icon", ico},
        {container.string(), container.string(), "stub container", container.string()},
    };
    for (const auto& c : cases) {
        for (const std::string force : {"", "--force "}) {
            const auto r = runCli(dir.path(), container, force + "app.msi app.ico " + shellQuote(c.output));
            EXPECT_EQ(r.status, 1) << c.output;
            EXPECT_EQ(r.err, "pakforge-cli: The output \"" + c.shown + "\" is the " + c.role + " \"" +
                                 c.input + "\" itself: choose another output path.\n");
            EXPECT_EQ(r.out, "") << "nothing was started";
        }
    }
    EXPECT_EQ(readFile(dir / "app.msi"), package);
    EXPECT_EQ(readFile(dir / "app.ico"), icon);
    EXPECT_EQ(readFile(container), stubs);
    EXPECT_TRUE(fs::is_symlink(dir / "link.exe"));
    EXPECT_TRUE(leftovers(dir.path()).empty());
    EXPECT_TRUE(leftovers(dir / "sub").empty());
}

// Build servers run builds side by side from the same inputs, and now and
// then onto the same output: every build succeeds and every result is whole.
TEST_F(CliRobustness, TwelveBuildsAtOnceFromTheSameInputsAllSucceed) {
    makeMsi(dir.path(), "app.msi", {}, {{"data.bin", randomBytes(4u << 20, 17)}});
    fs::copy_file(sampleIcon(), dir / "app.ico");
    const std::string statuses = script(
        "for i in $(seq 1 12); do $cli -q app.msi app.ico out$i.exe 2>err$i & pids=\"$pids $!\"; done; "
        "for i in $(seq 1 6); do $cli -q app.msi app.ico same.exe 2>same-err$i & pids=\"$pids $!\"; done; "
        "failed=0; for pid in $pids; do wait $pid || failed=$((failed + 1)); done; echo $failed; cat err* "
        "same-err*");
    EXPECT_EQ(statuses, "0\n");

    const auto first = readFile(dir / "out1.exe");
    const auto archive = parseArchive(first);
    EXPECT_EQ(archive.name, "app.msi");
    EXPECT_TRUE(unzipTestPasses(dir / "out1.exe"));
    for (int i = 2; i <= 12; ++i) EXPECT_EQ(readFile(dir / ("out" + std::to_string(i) + ".exe")), first) << i;
    // The last rename wins, and whichever it was, it is the same whole file.
    EXPECT_EQ(readFile(dir / "same.exe"), first);
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

// A FIFO would block the open for good, a device gives endless or no bytes;
// neither is a package or an icon, even when forced. `timeout` turns a hang
// into a failure rather than a stuck test run.
TEST_F(CliRobustness, FifosAndDevicesAreRefusedAtOnce) {
    makeMsi(dir.path(), "app.msi");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::string fifo = (dir / "fifo").string();
    const struct {
        std::string args, role, named;
    } cases[] = {
        {"--force fifo '' out.exe", "package", fifo},
        {"fifo '' out.exe", "package", fifo},
        {"app.msi fifo out.exe", "icon", fifo},
        {"--force /dev/zero '' out.exe", "package", "/dev/zero"},
        {"--info fifo", "package", fifo},
    };
    for (const auto& c : cases) {
        const std::string out = script("timeout -s KILL 20 $cli " + c.args + " 2>&1; echo status $?");
        EXPECT_EQ(out,
                  "pakforge-cli: the " + c.role + " \"" + c.named +
                      "\" is not a regular file but a pipe or a device: save it to a file first and give "
                      "that file's name.\nstatus 1\n")
            << c.args;
    }
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

// A signal at any moment ends the program at once: either before anything
// was written, or with the temporary file removed; an existing output is
// never touched unless the build finished first.
TEST_F(CliRobustness, TermOrIntAtAnyMomentLeavesNoTraceAndTheOldOutput) {
    writeFile(dir / "big.bin", randomBytes(24u << 20, 23));
    fs::copy_file(sampleIcon(), dir / "app.ico");
    const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
    int interrupted = 0;
    for (const std::string delay : {"0.02", "0.1", "0.2", "0.4", "0.8"}) {
        for (const std::string signal : {"TERM", "INT"}) {
            writeFile(dir / "out.exe", old);
            const std::string out =
                script("$cli --force --jobs 2 big.bin app.ico out.exe >/dev/null 2>err & pid=$!; sleep " +
                       delay + "; kill -" + signal + " $pid; wait $pid; echo $?; cat err");
            const int status = std::stoi(out);
            const std::string where = signal + " after " + delay + " s: " + out;
            if (status == 0) {
                EXPECT_TRUE(unzipTestPasses(dir / "out.exe")) << where;
                continue;
            }
            // 143 and 130 from the shell before the handler was in place.
            EXPECT_TRUE(status == 130 || status == 143) << where;
            if (out.find("Interrupted") != std::string::npos) ++interrupted;
            // A signal in the instant after the rename finds the build done:
            // the output is then the whole new file, never a part of it.
            if (readFile(dir / "out.exe") != old) {
                EXPECT_TRUE(unzipTestPasses(dir / "out.exe")) << where;
            }
            EXPECT_TRUE(leftovers(dir.path()).empty()) << where;
        }
    }
    EXPECT_GT(interrupted, 0) << "no signal reached a running build";
}

// A build server's log must say what could not be written and why. The
// output lies on a tmpfs too small for the stub, then for the package.
TEST_F(CliRobustness, AFullDiskNamesTheOutputAndTheReason) {
    makeMsi(dir.path(), "app.msi");
    writeFile(dir / "big.bin", randomBytes(3u << 20, 29));
    const fs::path full = dir / "full";
    fs::create_directories(full);
    for (const std::string size : {"64k", "1m"}) {
        if (::mount("tmpfs", full.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0)
            PAKFORGE_SKIP_WITHOUT_TOOL("mounting a tmpfs (root) failed: " + systemErrorText(errno));
        struct Unmount {
            const fs::path& at;
            ~Unmount() { ::umount(at.c_str()); }
        } unmount{full};
        writeText(full / "out.exe", "keep me");
        const auto r = runCli(dir.path(), container, "--force big.bin '' full/out.exe");
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_EQ(r.err, "pakforge-cli: Cannot write \"" + (full / "out.exe").string() +
                             "\": " + systemErrorText(ENOSPC) + ".\n")
            << size;
        EXPECT_EQ(readFile(full / "out.exe"), std::vector<std::uint8_t>({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
        EXPECT_TRUE(leftovers(full).empty()) << size;
    }
}

} // namespace
} // namespace pakforge
