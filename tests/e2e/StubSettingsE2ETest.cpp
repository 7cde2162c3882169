// Settings built into the executable, end to end under Wine: built-in
// properties and the user's winning over them, the silent switches other
// installers teach, a built-in user interface level, the log, transforms
// carried and checked, and what the build refuses.
#include "E2ESupport.h"
#include "support/TestFiles.h"
#include "support/Wine.h"

#include "SettingsWriter.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#ifdef PAKFORGE_E2E_CLI

namespace pakforge::e2e {
namespace {

using test::readFile;
using test::runCommand;
using test::shellQuote;
using test::TempDir;

class StubSettingsE2E : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path temp() const { return dir / "wintemp"; }

    // pakforge-cli OPTIONS PACKAGE "" OUTPUT; its exit status, stderr in `log`.
    int build(const std::string& options, const fs::path& package, const fs::path& out,
              std::string* log = nullptr) {
        std::string output;
        const int rc =
            runCommand(shellQuote(PAKFORGE_E2E_CLI) + " -q " + options + " " + shellQuote(package.string()) +
                           " '' " + shellQuote(out.string()) + " 2>&1",
                       &output);
        if (log) *log = output;
        return rc;
    }
    fs::path built(const std::string& options, const fs::path& package) {
        const fs::path out = dir / uniqueName("setup-").append(".exe");
        std::string log;
        EXPECT_EQ(build(options, package, out, &log), 0) << log;
        return out;
    }
    // Runs with Wine's relay trace: the message boxes msiexec showed.
    std::vector<std::string> boxesOf(const fs::path& exe, const std::string& arguments, int expected) {
        std::vector<std::string> boxes;
        RunOptions options;
        options.messageBoxes = &boxes;
        EXPECT_EQ(runInstaller(exe, arguments, temp(), dir.path(), options), expected) << arguments;
        return boxes;
    }
    fs::path programFiles(const std::string& folder) const { return test::winePrefix() / "drive_c" / folder; }
};

TEST_F(StubSettingsE2E, BuiltInPropertiesApplyAndTheUsersWin) {
    PackageSpec first{uniqueName("PakP")};
    PackageSpec second{uniqueName("PakQ")};
    const std::string builtInFolder = uniqueName("PakforgeBuiltIn");
    const std::string userFolder = uniqueName("PakforgeUser");
    const std::string options = "--ui none --property 'INSTALLDIR=C:\\" + builtInFolder + "'";
    const fs::path a = built(options, makePackage(dir.path(), "a.msi", first));
    const fs::path b = built(options, makePackage(dir.path(), "b.msi", second));

    // /? lists what is built in (Wine's trace quotes the box's beginning).
    const auto help = boxesOf(a, "/?", 0);
    ASSERT_EQ(help.size(), 1u);
    EXPECT_NE(help[0].find("INSTALLDIR=C:\\" + builtInFolder), std::string::npos) << help[0];
    EXPECT_NE(help[0].find("user interface: none (/qn)"), std::string::npos) << help[0];

    // No arguments at all: the built-in folder, silently.
    EXPECT_EQ(runInstaller(a, "", temp(), dir.path()), 0);
    EXPECT_TRUE(fs::exists(programFiles(builtInFolder) / first.fileName));
    EXPECT_FALSE(fs::exists(installedFile(first)));
    // The user's INSTALLDIR, in another case, wins.
    EXPECT_EQ(runInstaller(b, "installdir=C:\\" + userFolder + " /qn", temp(), dir.path()), 0);
    EXPECT_TRUE(fs::exists(programFiles(userFolder) / second.fileName));
    EXPECT_FALSE(fs::exists(installedFile(second)));
    EXPECT_TRUE(foldersIn(temp()).empty());
}

TEST_F(StubSettingsE2E, SilentSwitchesAndABuiltInLevelShowNoUserInterface) {
    // Refuses to install without ALLOWED=yes; msiexec says so in a box
    // unless it runs without a user interface.
    PackageSpec spec{uniqueName("PakU")};
    spec.condition = "ALLOWED = \"yes\"";
    const fs::path package = makePackage(dir.path(), "u.msi", spec);
    const fs::path plain = built("", package);
    const fs::path silent = built("--ui none", package);

    EXPECT_FALSE(boxesOf(plain, "", 1603).empty()) << "the full interface shows the condition's message";
    for (const std::string aliasSwitch : {"/s", "/S", "/silent", "/verysilent", "-s"})
        EXPECT_TRUE(boxesOf(plain, aliasSwitch, 1603).empty()) << aliasSwitch;
    EXPECT_TRUE(boxesOf(silent, "", 1603).empty()) << "--ui none by itself";
    EXPECT_FALSE(boxesOf(silent, "/qf", 1603).empty()) << "the user's level wins";

    EXPECT_EQ(runInstaller(plain, "/silent ALLOWED=yes", temp(), dir.path()), 0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
}

TEST_F(StubSettingsE2E, TheLogIsWrittenToTheUsersTemporaryFolder) {
    PackageSpec spec{uniqueName("PakLog")};
    const fs::path exe = built("--log --norestart --ui none", makePackage(dir.path(), "l.msi", spec));
    EXPECT_EQ(runInstaller(exe, "", temp(), dir.path()), 0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
    // Named after ProductName and ProductVersion.
    const fs::path log = temp() / ("Pakforge E2E " + spec.folder + " 1.0.0.log");
    ASSERT_TRUE(fs::exists(log)) << log;
    EXPECT_GT(fs::file_size(log), 0u);
}

// Two wixl packages, the second with the property the first's launch
// condition asks for; the transform between them, made by the installer
// service under Wine, lets the first install.
TEST_F(StubSettingsE2E, ATransformChangesWhatIsInstalled) {
    PackageSpec spec{uniqueName("PakX")};
    spec.condition = "ALLOWED = \"yes\"";
    const fs::path base = makePackage(dir.path(), "base.msi", spec);
    PackageSpec allowed = spec;
    allowed.properties = "<Property Id=\"ALLOWED\" Value=\"yes\"/>";
    const fs::path changed = makePackage(dir.path(), "changed.msi", allowed);
    std::string log;
    ASSERT_EQ(runCommand(test::wineEnvironment() + "wine " +
                             shellQuote(PAKFORGE_E2E_HELPERS "/make_transform.exe") + " " +
                             shellQuote(winePath(base)) + " " + shellQuote(winePath(changed)) + " " +
                             shellQuote(winePath(dir / "allow.mst")) + " 2>&1",
                         &log),
              0)
        << log;

    EXPECT_EQ(runInstaller(built("", base), "/qn", temp(), dir.path()), 1603);
    EXPECT_FALSE(fs::exists(installedFile(spec)));
    const fs::path transformed = built("--transform " + shellQuote((dir / "allow.mst").string()), base);
    // The user's TRANSFORMS= replaces the built-in ones (here with one that
    // is not there, so nothing installs).
    EXPECT_NE(runInstaller(transformed, "/qn TRANSFORMS=none.mst", temp(), dir.path()), 0);
    EXPECT_FALSE(fs::exists(installedFile(spec)));
    EXPECT_EQ(runInstaller(transformed, "/qn", temp(), dir.path()), 0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
    EXPECT_TRUE(foldersIn(temp()).empty());
}

TEST_F(StubSettingsE2E, TransformsAreCarriedCheckedAndSavedBesideThePackage) {
    PackageSpec spec{uniqueName("PakT")};
    const fs::path package = makePackage(dir.path(), "t.msi", spec);
    // Compound files of our own standing in for transforms: their bytes are
    // what is checked here.
    const fs::path first = dir / "one.mst";
    const fs::path second = dir / "two.mst";
    fs::copy_file(package, first);
    auto bytes = readFile(package);
    bytes.resize(bytes.size() / 2);
    test::writeFile(second, bytes);
    const fs::path exe = built(
        "--transform " + shellQuote(first.string()) + " --transform " + shellQuote(second.string()), package);

    const fs::path target = dir / "saved";
    EXPECT_EQ(runInstaller(exe, "/extract " + winePath(target), temp(), dir.path()), 0);
    EXPECT_EQ(readFile(target / "t.msi"), readFile(package));
    EXPECT_EQ(readFile(target / "one.mst"), readFile(first));
    EXPECT_EQ(readFile(target / "two.mst"), readFile(second));

    // A transform damaged inside the executable: nothing runs.
    auto image = readFile(exe);
    const auto at = std::search(image.begin(), image.end(), bytes.begin() + 512, bytes.begin() + 600);
    ASSERT_NE(at, image.end());
    *(at + 10) ^= 0x01;
    test::writeFile(dir / "damaged.exe", image);
    const fs::path none = dir / "none";
    EXPECT_EQ(runInstaller(dir / "damaged.exe", "/extract " + winePath(none) + " /qn", temp(), dir.path()),
              1620);
    EXPECT_EQ(runInstaller(dir / "damaged.exe", "/qn", temp(), dir.path()), 1620);
    EXPECT_FALSE(fs::exists(none / "t.msi"));
    // So is the record: its transform count raised by one.
    image = readFile(exe);
    const std::string magic = "PFST";
    const auto record = std::search(image.begin(), image.end(), magic.begin(), magic.end());
    ASSERT_NE(record, image.end());
    *(record + 12) += 1;
    test::writeFile(dir / "damaged.exe", image);
    EXPECT_EQ(runInstaller(dir / "damaged.exe", "/qn", temp(), dir.path()), 1620);
    EXPECT_FALSE(fs::exists(installedFile(spec)));
}

// Each RT_RCDATA resource, and the manifest, as pefile (no code of ours)
// reads them: name, language and bytes.
std::map<std::string, std::pair<int, std::vector<std::uint8_t>>> resourcesOf(const fs::path& exe,
                                                                             TempDir& dir) {
    test::writeText(dir / "rc.py", R"PY(
import sys, pefile
pe = pefile.PE(sys.argv[1])
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    if kind.id not in (10, 24):
        continue
    for name in kind.directory.entries:
        for lang in name.directory.entries:
            data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
            label = str(name.name) if name.name is not None else str(name.id)
            print(label, lang.id, data.hex())
)PY");
    std::string out;
    EXPECT_EQ(runCommand("/usr/bin/python3 " + shellQuote((dir / "rc.py").string()) + " " +
                             shellQuote(exe.string()) + " 2>&1",
                         &out),
              0)
        << out;
    std::map<std::string, std::pair<int, std::vector<std::uint8_t>>> resources;
    std::istringstream lines(out);
    std::string name, hex;
    int language = 0;
    while (lines >> name >> language >> hex) {
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        resources[name] = {language, bytes};
    }
    return resources;
}

TEST_F(StubSettingsE2E, TheRecordAndTransformsAreResourcesOnlyWhenAskedFor) {
    PackageSpec spec{uniqueName("PakRes")};
    const fs::path package = makePackage(dir.path(), "res.msi", spec);
    fs::copy_file(package, dir / "site.mst");
    const auto plain = resourcesOf(built("", package), dir);
    EXPECT_EQ(plain.size(), 1u) << "the manifest only";
    const std::string manifest(plain.at("1").second.begin(), plain.at("1").second.end());
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);

    const auto withSettings =
        resourcesOf(built("--elevate --log --ui passive --property 'Q=a \"b\"' --transform " +
                              shellQuote((dir / "site.mst").string()),
                          package),
                    dir);
    const std::string elevated(withSettings.at("1").second.begin(), withSettings.at("1").second.end());
    EXPECT_NE(elevated.find("level=\"requireAdministrator\""), std::string::npos);
    ASSERT_TRUE(withSettings.count("SETTINGS") && withSettings.count("TRANSFORM1"));
    EXPECT_EQ(withSettings.at("SETTINGS").first, 0) << "language neutral";
    EXPECT_EQ(withSettings.at("TRANSFORM1").second, readFile(dir / "site.mst"));
    const auto record = stub::readSettings(withSettings.at("SETTINGS").second);
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->elevate && record->log && !record->noRestart);
    EXPECT_EQ(record->ui, stub::UiLevel::Passive);
    EXPECT_EQ(record->logName,
              u"Pakforge E2E " + std::u16string(spec.folder.begin(), spec.folder.end()) + u" 1.0.0.log");
    EXPECT_EQ(record->properties, (std::vector<stub::SettingsRecord::Property>{{u"Q", u"a \"b\""}}));
    ASSERT_EQ(record->transforms.size(), 1u);
    EXPECT_EQ(record->transforms[0].name, u"site.mst");
    EXPECT_EQ(record->transforms[0].size, fs::file_size(dir / "site.mst"));
}

// Installs only from a package under the Windows folder: where elevated
// runs unpack it, and never the user's temporary folder. The elevating
// installer runs as Windows starts it after the prompt its manifest asks
// for (Wine does not prompt: the limited run below keeps its token).
TEST_F(StubSettingsE2E, AnElevatingInstallerUnpacksIntoTheProtectedFolder) {
    PackageSpec spec{uniqueName("PakE")};
    spec.condition = "OriginalDatabase ~>< \"\\windows\\\"";
    const fs::path package = makePackage(dir.path(), "e.msi", spec);
    const fs::path plain = built("", package);
    const fs::path elevating = built("--elevate", package);
    EXPECT_EQ(runInstaller(plain, "/qn", temp(), dir.path()), 1603) << "limited: the user's temporary folder";
    EXPECT_EQ(runInstaller(elevating, "/qn", temp(), dir.path(), RunOptions{true, {}}), 0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
    EXPECT_TRUE(foldersIn(temp()).empty());
}

TEST_F(StubSettingsE2E, TheBuildRefusesWhatTheInstallerWouldRefuse) {
    PackageSpec spec{uniqueName("PakR")};
    const fs::path package = makePackage(dir.path(), "r.msi", spec);
    test::writeText(dir / "not.mst", "plain text, no compound file");
    fs::create_directories(dir / "other");
    fs::copy_file(package, dir / "other" / "R.MSI");
    const struct {
        std::string options;
        int status;
        std::string said;
    } cases[] = {
        {"--property /x", 2, "refuses \"/x\""},
        {"--property 'A=1' --property /i", 2, "refuses \"/i\""},
        {"--property installdir=x", 2, "public property"},
        {"--property A=1 --property A=2", 2, "given twice"},
        {"--ui silent", 2, "full, reduced, basic, passive or none"},
        {"--transform " + shellQuote((dir / "not.mst").string()), 1, "compound-file signature"},
        {"--transform " + shellQuote((dir / "other" / "R.MSI").string()), 2, "is named R.MSI too"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const fs::path out = dir / "refused.exe";
        std::string log;
        EXPECT_EQ(build(c.options, package, out, &log), c.status);
        EXPECT_NE(log.find(c.said), std::string::npos) << log;
        EXPECT_FALSE(fs::exists(out)) << "nothing written";
    }
}

} // namespace
} // namespace pakforge::e2e

#endif
