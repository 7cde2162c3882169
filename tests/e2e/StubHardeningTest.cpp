// The stub against a hostile machine under Wine: DLLs planted beside the
// download, arguments that would install something else, where the package
// is written when elevated, long and littered temporary folders, /extract
// onto a file that is already there.
#include "E2ESupport.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace pakforge::e2e {
namespace {

using test::readFile;
using test::TempDir;
using test::writeText;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Where msiexec found the package, from its verbose log (Wine writes the
// log in UTF-8 or ASCII; our paths here are ASCII).
std::string packageFromLog(const fs::path& log) {
    const std::string text = readText(log);
    const std::string key = "OriginalDatabase = ";
    const auto at = text.find(key);
    if (at == std::string::npos) return {};
    const auto end = text.find_first_of("\r\n", at);
    return text.substr(at + key.size(), end - at - key.size());
}

std::string lowerCase(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class StubHardening : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path temp() const { return dir / "wintemp"; }
    void expectTempClean() const {
        for (const auto& folder : foldersIn(temp())) ADD_FAILURE() << "left behind: " << folder;
    }
};

// Every DLL the stub could be made to load by name: its imports, what it
// loads itself, and what system DLLs are known to pull in by a forwarder
// or on demand. Wine loads a planted copy of each of these (native first)
// when the search order lets it; kernel32 is Wine's own and already in
// every process, so it is planted without an override.
TEST_F(StubHardening, PlantedDllsBesideTheInstallerNeverLoad) {
    const std::vector<std::string> overridden = {"advapi32",  "user32",  "msvcrt",  "bcrypt",
                                                 "cryptbase", "cryptsp", "uxtheme", "version"};
    PackageSpec spec{uniqueName("PakP")};
    const fs::path package = makePackage(dir.path(), "planted.msi", spec);
    const fs::path downloads = dir / "Downloads";
    fs::create_directories(downloads);
    makeInstaller(package, downloads / "setup.exe");
    fs::copy_file(helper("load_control.exe"), downloads / "load_control.exe");
    std::string overrides;
    std::string names;
    for (const auto& name : overridden) {
        fs::copy_file(helper("planted.dll"), downloads / (name + ".dll"));
        overrides += (overrides.empty() ? "" : ",") + name;
        names += " " + name + ".dll";
    }
    fs::copy_file(helper("planted.dll"), downloads / "kernel32.dll");
    RunOptions options;
    options.dllOverrides = overrides + "=n,b";
    const fs::path work = dir / "work"; // not the download folder: cmd would load from there
    fs::create_directories(work);
    auto markers = [&] {
        std::vector<std::string> found;
        for (const auto& item : fs::directory_iterator(downloads))
            if (item.path().extension() == ".loaded") found.push_back(item.path().filename().string());
        return found;
    };

    // An install, and runs that show a message box (user32 loaded late).
    EXPECT_EQ(runInstaller(downloads / "setup.exe", "/qn", temp(), work, options), 0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
    EXPECT_EQ(runInstaller(downloads / "setup.exe", "/extract " + winePath(work), temp(), work, options), 0);
    EXPECT_EQ(runInstaller(downloads / "setup.exe", "/extract " + winePath(work), temp(), work, options), 80);
    options.elevated = true;
    EXPECT_EQ(runInstaller(downloads / "setup.exe", "/qn /x", temp(), work, options), 1639);
    EXPECT_EQ(markers(), std::vector<std::string>{}) << "a planted DLL was loaded by the stub";
    expectTempClean();

    // The control, loading the same names the ordinary way, picks every
    // planted copy up: the planting works.
    EXPECT_EQ(runInstaller(downloads / "load_control.exe", names, temp(), work, options),
              static_cast<int>(overridden.size()));
    EXPECT_EQ(markers().size(), overridden.size());
}

TEST_F(StubHardening, ActionAndPackageArgumentsAreRefused) {
    PackageSpec spec{uniqueName("PakA")};
    const fs::path package = makePackage(dir.path(), "ours.msi", spec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);
    PackageSpec otherSpec{uniqueName("PakO")};
    const std::string other = winePath(makePackage(dir.path(), "other.msi", otherSpec));

    // 1639 is the stub's own answer: with nothing installed msiexec would
    // say 1605 to /x, and /i of the other package would succeed.
    const std::string refused[] = {
        "/qn /i " + other,
        "/qn /x " + other,
        "/qn -I " + other,
        "/qn /i" + other,
        "/qn /package " + other,
        "/qn /x {00000000-0000-0000-0000-000000000000}",
        "/qn /uninstall {00000000-0000-0000-0000-000000000000}",
        "/qn /fa " + other,
        "/qn /a " + other,
        "/qn /j " + other,
        "/qn /p patch.msp",
        "/qn /update patch.msp",
        "/qn /y some.dll",
        "/qn " + other,
        "/qn /l*v", // log file missing
        "/quiet \"/i\" " + other,
        "/qn \"A=1\" /i " + other,
    };
    for (const auto& arguments : refused) {
        SCOPED_TRACE(arguments);
        EXPECT_EQ(runInstaller(installer, arguments, temp(), dir.path()), 1639);
    }
    // Also with the message box (no quiet switch), and elevated.
    EXPECT_EQ(runInstaller(installer, "/i " + other, temp(), dir.path()), 1639);
    RunOptions elevated;
    elevated.elevated = true;
    EXPECT_EQ(runInstaller(installer, "/passive /X " + other, temp(), dir.path(), elevated), 1639);
    EXPECT_FALSE(fs::exists(installedFile(otherSpec)));
    EXPECT_FALSE(fs::exists(installedFile(spec)));
    expectTempClean();

    // What passes: interface, restart, logging and properties; the log file
    // name with a blank and a property value that looks like a switch arrive
    // whole. (A value ending in a backslash is checked on the host: Wine's
    // start.exe re-quotes arguments by the C runtime's rules.)
    const fs::path log = dir / "install log.txt";
    EXPECT_EQ(runInstaller(installer,
                           "/QN+ /norestart -l*v \"" + winePath(log) + "\" NOTE=\"a b /i x\" /promptrestart",
                           temp(), dir.path()),
              0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
    EXPECT_FALSE(fs::exists(installedFile(otherSpec)));
    EXPECT_NE(readText(log).find("NOTE = a b /i x"), std::string::npos) << readText(log);
    expectTempClean();
}

// The stub reads its archive through a handle opened as it starts, and only
// if that file's headers are the running image's: another build put at its
// path while the elevated process was starting is refused.
TEST_F(StubHardening, AnotherFileSwappedInAtStartIsRefused) {
    PackageSpec spec{uniqueName("PakG")};
    const fs::path package = makePackage(dir.path(), "genuine.msi", spec);
    PackageSpec otherSpec{uniqueName("PakR")};
    const fs::path other = makePackage(dir.path(), "rogue.msi", otherSpec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);
    // Another build of the stub: the same code with another link time.
    auto stub = readFile(stubExe());
    const std::size_t peHeader = stub.at(0x3c) | (stub.at(0x3d) << 8);
    stub.at(peHeader + 8) ^= 0xff;
    test::writeFile(dir / "stub2.exe", stub);
    appendArchive(dir / "stub2.exe", other, dir / "rogue.exe");
    RunOptions elevated;
    elevated.elevated = true;
    auto swapRun = [&](const fs::path& program, const fs::path& replacement) {
        return runInstaller(helper("swap_run.exe"),
                            "\"" + winePath(program) + "\" \"" + winePath(replacement) + "\" /qn", temp(),
                            dir.path(), elevated);
    };

    fs::copy_file(installer, dir / "first.exe");
    EXPECT_EQ(swapRun(dir / "first.exe", dir / "rogue.exe"), 1620);
    EXPECT_FALSE(fs::exists(installedFile(otherSpec)));
    // The control: the same swap with an identical copy installs.
    fs::copy_file(installer, dir / "second.exe");
    fs::copy_file(installer, dir / "copy.exe");
    EXPECT_EQ(swapRun(dir / "second.exe", dir / "copy.exe"), 0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
    EXPECT_TRUE(fs::exists(dir / "second.exe.moved")) << "the swap happened";
}

// Elevated, the package goes to a folder under the Windows folder with an
// explicit DACL, not through the user's own %TEMP%; limited, to %TEMP%.
TEST_F(StubHardening, ElevatedRunsKeepThePackageOutOfTheUsersTemp) {
    PackageSpec spec{uniqueName("PakE")};
    const fs::path package = makePackage(dir.path(), "elevated.msi", spec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);

    RunOptions elevated;
    elevated.elevated = true;
    EXPECT_EQ(runInstaller(installer, "/qn /l*v \"" + winePath(dir / "elevated.log") + "\"", temp(),
                           dir.path(), elevated),
              0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
    const std::string where = packageFromLog(dir / "elevated.log");
    EXPECT_EQ(lowerCase(where).rfind("c:\\windows\\temp\\pkf-", 0), 0u) << where;
    EXPECT_TRUE(fs::is_empty(temp()));
    // The folder is gone once msiexec is done.
    const std::string folderName = where.substr(16, 12);
    EXPECT_FALSE(fs::exists(test::binaryDir() / "wine-prefix/drive_c/windows/temp" / folderName))
        << folderName;

    EXPECT_EQ(
        runInstaller(installer, "/qn /l*v \"" + winePath(dir / "limited.log") + "\"", temp(), dir.path()), 0);
    const std::string limited = packageFromLog(dir / "limited.log");
    EXPECT_EQ(lowerCase(limited).rfind(lowerCase(winePath(temp())) + "\\pkf-", 0), 0u) << limited;
    expectTempClean();
}

// A %TEMP% of 250 characters: the package's path given to msiexec stays
// under MAX_PATH (msiexec cannot take longer ones).
TEST_F(StubHardening, LongTempPathStillInstalls) {
    PackageSpec spec{uniqueName("PakT")};
    const fs::path package = makePackage(dir.path(), "a rather long package name for the path.msi", spec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);

    fs::path longTemp = dir / "t";
    while (winePath(longTemp).size() + 41 < 240) longTemp /= std::string(40, 'x');
    longTemp /= std::string(249 - winePath(longTemp).size(), 'y');
    ASSERT_EQ(winePath(longTemp).size(), 250u);
    fs::create_directories(longTemp);

    const fs::path log = dir / "long.log";
    EXPECT_EQ(runInstaller(installer, "/qn /l*v " + winePath(log), longTemp, dir.path()), 0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
    const std::string where = packageFromLog(log);
    EXPECT_FALSE(where.empty());
    EXPECT_LT(where.size(), 260u) << where;
    EXPECT_EQ(where.find("\\\\?\\"), std::string::npos) << where;
    EXPECT_TRUE(fs::is_empty(longTemp)) << "working folder left in the long temp folder";
}

TEST_F(StubHardening, StaleWorkingFoldersAreSwept) {
    PackageSpec spec{uniqueName("PakW")};
    const fs::path package = makePackage(dir.path(), "sweep.msi", spec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);

    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(50);
    fs::create_directories(temp());
    auto leftover = [&](const std::string& name, bool stale) {
        fs::create_directories(temp() / name);
        writeText(temp() / name / "left.msi", "a package a killed run left");
        if (stale) {
            fs::last_write_time(temp() / name / "left.msi", old);
            fs::last_write_time(temp() / name, old);
        }
    };
    leftover("pkf-0123abcd", true);         // ours, stale
    leftover("pkf-0123456789abcdef", true); // an earlier version's, stale
    leftover("pkf-89abcdef", false);        // ours, recent: a run may be using it
    leftover("pkf-xyz", true);              // not our pattern
    leftover("other", true);                // not ours at all
    // A stale link to a folder elsewhere is not followed. (No file link:
    // Wine does not show Unix file links as reparse points and deletes their
    // target, where Windows removes the link.)
    const fs::path outside = dir / "outside";
    fs::create_directories(outside);
    writeText(outside / "keep.msi", "not the stub's");
    fs::create_directory_symlink(outside, temp() / "pkf-33333333");
    // A stale folder with a subfolder loses its files but stays.
    leftover("pkf-44444444", true);
    fs::create_directories(temp() / "pkf-44444444" / "sub");
    fs::last_write_time(temp() / "pkf-44444444", old);

    EXPECT_EQ(runInstaller(installer, "/qn", temp(), dir.path()), 0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
    EXPECT_FALSE(fs::exists(temp() / "pkf-0123abcd"));
    EXPECT_FALSE(fs::exists(temp() / "pkf-0123456789abcdef"));
    EXPECT_FALSE(fs::exists(temp() / "pkf-44444444" / "left.msi"));
    EXPECT_TRUE(fs::exists(temp() / "pkf-44444444" / "sub"));
    EXPECT_TRUE(fs::exists(temp() / "pkf-89abcdef" / "left.msi"));
    EXPECT_TRUE(fs::exists(temp() / "pkf-xyz" / "left.msi"));
    EXPECT_TRUE(fs::exists(temp() / "other" / "left.msi"));
    EXPECT_TRUE(fs::is_symlink(temp() / "pkf-33333333"));
    EXPECT_EQ(readText(outside / "keep.msi"), "not the stub's");
    EXPECT_EQ(foldersIn(temp()).size(), 5u) << "only what was not ours or not stale, and no new folder";
}

TEST_F(StubHardening, ExtractKeepsAnExistingFileUnlessAskedToReplaceIt) {
    PackageSpec spec{uniqueName("PakY")};
    const fs::path package = makePackage(dir.path(), "keep.msi", spec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);
    const fs::path target = dir / "target";
    fs::create_directories(target);
    writeText(target / "keep.msi", "the user's own file");

    EXPECT_EQ(runInstaller(installer, "/extract " + winePath(target) + " /qn", temp(), dir.path()), 80);
    EXPECT_EQ(runInstaller(installer, "/extract " + winePath(target), temp(), dir.path()), 80); // message box
    EXPECT_EQ(readText(target / "keep.msi"), "the user's own file");
    EXPECT_EQ(std::distance(fs::directory_iterator(target), fs::directory_iterator()), 1)
        << "no partial file";

    EXPECT_EQ(runInstaller(installer, "/extract " + winePath(target) + " /Y /qn", temp(), dir.path()), 0);
    EXPECT_EQ(readFile(target / "keep.msi"), readFile(package));
    // /y never replaces a folder, and /y /y is a mistake.
    fs::create_directories(target / "sub" / "keep.msi");
    EXPECT_EQ(runInstaller(installer, "/extract " + winePath(target / "sub") + " /y /qn", temp(), dir.path()),
              80);
    EXPECT_TRUE(fs::is_directory(target / "sub" / "keep.msi"));
    EXPECT_EQ(runInstaller(installer, "/extract " + winePath(target) + " /y /y /qn", temp(), dir.path()),
              1639);
    EXPECT_FALSE(fs::exists(installedFile(spec)));
}

} // namespace
} // namespace pakforge::e2e
