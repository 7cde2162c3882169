// pakforge-cli --inspect and --extract over executables it built, damaged,
// signed and foreign, read back with Python's json and msiinfo; and the
// reproducible archive time of SOURCE_DATE_EPOCH.
#include "Fixtures.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

class CliInspect : public ::testing::Test {
  protected:
    void SetUp() override {
        container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
        makeMsi(dir.path(), "app.msi", {"Widget \"Studio\"", "4.10.0017", "ACME & Sons"});
        fs::copy_file(sampleIcon(), dir / "app.ico");
        const auto r = runCli(dir.path(), container, "-q app.msi app.ico setup.exe");
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // The report as Python's json reads it: "field=value" lines of the
    // fields, Python expressions over the object d separated by ';'.
    std::string pythonFields(const std::string& json, const std::string& fields) const {
        writeFile(dir / "report.json", std::vector<std::uint8_t>(json.begin(), json.end()));
        std::string out;
        EXPECT_EQ(runCommand("python3 -c 'import json,sys\nd=json.load(open(sys.argv[1]))\nfor f in "
                             "sys.argv[2].split(\";\"): "
                             "print(f + \"=\" + str(eval(f)))' " +
                                 shellQuote((dir / "report.json").string()) + " " + shellQuote(fields),
                             &out),
                  0);
        return out;
    }

    std::vector<std::uint8_t> changed(std::uint64_t at, std::uint8_t mask) const {
        auto bytes = readFile(dir / "setup.exe");
        bytes.at(at) ^= mask;
        return bytes;
    }

    TempDir dir;
    fs::path container;
};

TEST_F(CliInspect, AGoodExecutableChecksThroughAndItsJsonAgreesWithIndependentReaders) {
    const auto r = runCli(dir.path(), container, "--inspect --json setup.exe");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string properties;
    ASSERT_EQ(
        runCommand("msiinfo export " + shellQuote((dir / "app.msi").string()) + " Property", &properties), 0);
    auto value = [&](const std::string& name) {
        const auto at = properties.find("\n" + name + "\t");
        return properties.substr(at + name.size() + 2,
                                 properties.find_first_of("\r\n", at + 1) - at - name.size() - 2);
    };
    // "(16, 32), (32, 32)" from icotool's "--width=16 --height=16 --bit-depth=32" lines.
    auto icotoolSizes = [&] {
        std::string listing, sizes;
        EXPECT_EQ(runCommand("icotool -l " + shellQuote((dir / "app.ico").string()), &listing), 0);
        std::istringstream lines(listing);
        for (std::string line; std::getline(lines, line);) {
            const auto field = [&](const std::string& name) {
                const auto at = line.find("--" + name + "=") + name.size() + 3;
                return line.substr(at, line.find(' ', at) - at);
            };
            sizes += (sizes.empty() ? "(" : ", (") + field("width") + ", " + field("bit-depth") + ")";
        }
        return sizes;
    };
    const auto archive = parseArchive(readFile(dir / "setup.exe"));
    char crc[11];
    std::snprintf(crc, sizeof crc, "0x%08x", archive.crc);
    EXPECT_EQ(pythonFields(r.out, "d['ok'];d['fault'];d['stub']['ours'];d['executionLevel'];"
                                  "d['archive']['name'];d['archive']['size'];d['archive']['crc32'];"
                                  "d['archive']['checked'];d['package']['ProductName'];"
                                  "d['package']['ProductCode'];d['package']['UpgradeCode'];"
                                  "d['checksum']['matches'];d['signature']['present'];"
                                  "[(i['width'],i['bitCount']) for i in d['icon']]"),
              "d['ok']=True\nd['fault']=None\nd['stub']['ours']=True\nd['executionLevel']=asInvoker\n"
              "d['archive']['name']=app.msi\nd['archive']['size']=" +
                  std::to_string(fs::file_size(dir / "app.msi")) + "\nd['archive']['crc32']=" + crc +
                  "\nd['archive']['checked']=True\nd['package']['ProductName']=Widget \"Studio\"\n"
                  "d['package']['ProductCode']=" +
                  value("ProductCode") + "\nd['package']['UpgradeCode']=" + value("UpgradeCode") +
                  "\nd['checksum']['matches']=True\nd['signature']['present']=False\n"
                  "[(i['width'],i['bitCount']) for i in d['icon']]=[" +
                  icotoolSizes() + "]\n");
    const auto text = runCli(dir.path(), container, "--inspect setup.exe");
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("Archive:            \"app.msi\""), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  Manufacturer:     ACME & Sons\n"), std::string::npos) << text.out;
}

TEST_F(CliInspect, DamageAnywhereIsNamedWithExitOne) {
    const auto good = readFile(dir / "setup.exe");
    const auto archive = parseArchive(good);
    struct Case {
        std::string name;
        std::vector<std::uint8_t> bytes;
        std::string fault;
    };
    std::vector<Case> cases = {
        {"headers", {good.begin(), good.begin() + 300}, "not a Windows executable"},
        {"end record", {good.begin(), good.end() - 10}, "no installer archive is appended"},
        {"entry data",
         {good.begin(), good.begin() + static_cast<std::ptrdiff_t>(archive.centralOffset) - 5},
         "no installer archive is appended"},
        {"flipped",
         changed(archive.localOffset + 30 + archive.name.size() + archive.compressedSize / 2, 0x10),
         "the archive's entry is damaged"},
    };
    // Another program's code before the same archive.
    std::string other;
    ASSERT_EQ(runCommand("i686-w64-mingw32-gcc -x c -o " + shellQuote((dir / "other.exe").string()) +
                             " - <<'EOF'\nint main(void) { return 3; }\nEOF",
                         &other),
              0)
        << other;
    auto foreign = readFile(dir / "other.exe");
    foreign.insert(foreign.end(), good.begin() + static_cast<std::ptrdiff_t>(archive.localOffset),
                   good.end());
    cases.push_back({"foreign", foreign, "the executable has no manifest"});
    for (const auto& c : cases) {
        writeFile(dir / "bad.exe", c.bytes);
        const auto r = runCli(dir.path(), container, "--inspect bad.exe");
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.err.rfind("pakforge-cli: " + c.fault, 0), 0u) << c.name << ": " << r.err;
        const auto json = runCli(dir.path(), container, "--inspect --json bad.exe");
        EXPECT_EQ(json.status, 1) << c.name;
        EXPECT_EQ(pythonFields(json.out, "d['ok']"), "d['ok']=False\n") << c.name;
    }
    // The report still says whose code it is.
    writeFile(dir / "bad.exe", foreign);
    EXPECT_NE(
        runCli(dir.path(), container, "--inspect bad.exe").out.find("Stub:               not Pakforge's"),
        std::string::npos);
}

TEST_F(CliInspect, ASignatureAfterTheArchiveChecksAndDamageUnderItDoesNot) {
    if (!haveTool("osslsigncode") || !haveTool("openssl"))
        PAKFORGE_SKIP_WITHOUT_TOOL("osslsigncode/openssl missing");
    std::string log;
    ASSERT_EQ(runCommand("cd " + shellQuote(dir.path().string()) +
                             " && openssl req -x509 -newkey rsa:2048 -nodes -keyout k.pem -out c.pem -days 2 "
                             "-subj /CN=test 2>&1 && osslsigncode sign -certs c.pem -key k.pem -in setup.exe "
                             "-out signed.exe 2>&1",
                         &log),
              0)
        << log;
    const auto r = runCli(dir.path(), container, "--inspect --json signed.exe");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pythonFields(
                  r.out, "d['signature']['present'];d['signature']['afterArchive'];d['checksum']['matches']"),
              "d['signature']['present']=True\nd['signature']['afterArchive']=True\nd['checksum']['matches']="
              "True\n");
    EXPECT_EQ(runCli(dir.path(), container, "--extract signed.exe out").status, 1) << "no folder yet";
    fs::create_directory(dir / "out");
    EXPECT_EQ(runCli(dir.path(), container, "-q --extract signed.exe out").status, 0);
    EXPECT_EQ(readFile(dir / "out" / "app.msi"), readFile(dir / "app.msi"));

    auto damaged = readFile(dir / "signed.exe");
    const auto archive = parseArchive(readFile(dir / "setup.exe"));
    damaged.at(archive.localOffset + 40) ^= 1;
    writeFile(dir / "bad.exe", damaged);
    EXPECT_EQ(runCli(dir.path(), container, "--inspect bad.exe").status, 1);
}

TEST_F(CliInspect, ExtractWritesThePackageBackAndKeepsWhatIsThere) {
    fs::create_directory(dir / "out");
    const auto first = runCli(dir.path(), container, "--extract setup.exe out");
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "Wrote \"" + (dir / "out" / "app.msi").string() + "\"\n");
    EXPECT_EQ(readFile(dir / "out" / "app.msi"), readFile(dir / "app.msi"));

    writeFile(dir / "out" / "app.msi", {'m', 'i', 'n', 'e'});
    const auto kept = runCli(dir.path(), container, "--extract setup.exe out");
    EXPECT_EQ(kept.status, 1);
    EXPECT_NE(kept.err.find("pass --force"), std::string::npos) << kept.err;
    EXPECT_EQ(readFile(dir / "out" / "app.msi"), (std::vector<std::uint8_t>{'m', 'i', 'n', 'e'}));

    const auto archive = parseArchive(readFile(dir / "setup.exe"));
    writeFile(dir / "bad.exe", changed(archive.localOffset + 30 + archive.name.size() + 3, 0x20));
    EXPECT_EQ(runCli(dir.path(), container, "--force --extract bad.exe out").status, 1);
    EXPECT_EQ(readFile(dir / "out" / "app.msi"), (std::vector<std::uint8_t>{'m', 'i', 'n', 'e'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 1)
        << "no temporary file is left";

    EXPECT_EQ(runCli(dir.path(), container, "--force --extract setup.exe out").status, 0);
    EXPECT_EQ(readFile(dir / "out" / "app.msi"), readFile(dir / "app.msi"));
    for (const std::string misuse :
         {"--extract setup.exe", "--inspect setup.exe out", "--inspect --extract a b",
          "--json --extract setup.exe out", "--level 3 --inspect setup.exe"})
        EXPECT_EQ(runCli(dir.path(), container, misuse).status, 2) << misuse;
}

// Built-in settings are described, each transform is checked against the
// record and comes back out beside the package.
TEST_F(CliInspect, SettingsAndTransformsAreCheckedAndExtracted) {
    makeMsi(dir.path(), "other.msi", {"Other", "2.0", "Else"});
    fs::rename(dir / "other.msi", dir / "fr.mst");
    const auto built =
        runCli(dir.path(), container,
               "-q --property 'INSTALLDIR=C:\\Program Files\\W \"x\"' --ui none --log --norestart "
               "--elevate --transform fr.mst app.msi '' set.exe");
    ASSERT_EQ(built.status, 0) << built.err;
    const auto r = runCli(dir.path(), container, "--inspect --json set.exe");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pythonFields(r.out, "d['settings']['INSTALLDIR'];d['settings']['UI level'];"
                                  "d['settings']['Log'].endswith('.log');d['settings']['No restart'];"
                                  "d['executionLevel'];d['settings']['Transform 1'].endswith('(checked)')"),
              "d['settings']['INSTALLDIR']=C:\\Program Files\\W \"x\"\nd['settings']['UI level']=none\n"
              "d['settings']['Log'].endswith('.log')=True\nd['settings']['No restart']=yes\n"
              "d['executionLevel']=requireAdministrator\nd['settings']['Transform "
              "1'].endswith('(checked)')=True\n");

    fs::create_directory(dir / "out");
    ASSERT_EQ(runCli(dir.path(), container, "-q --extract set.exe out").status, 0);
    EXPECT_EQ(readFile(dir / "out" / "app.msi"), readFile(dir / "app.msi"));
    EXPECT_EQ(readFile(dir / "out" / "fr.mst"), readFile(dir / "fr.mst"));

    // One bit of the carried transform: found where pefile says it lies.
    auto bytes = readFile(dir / "set.exe");
    const auto transform = peResourceData(dir / "set.exe", "10", "TRANSFORM1", 0);
    const auto at = std::search(bytes.begin(), bytes.end(), transform.begin(), transform.end());
    ASSERT_NE(at, bytes.end());
    at[transform.size() / 2] ^= 0x01;
    writeFile(dir / "bad.exe", bytes);
    const auto bad = runCli(dir.path(), container, "--inspect bad.exe");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "pakforge-cli: the transform fr.mst is damaged or missing.\n");
    fs::create_directory(dir / "out2");
    EXPECT_EQ(runCli(dir.path(), container, "--extract bad.exe out2").status, 1);
    EXPECT_TRUE(fs::is_empty(dir / "out2"));
}

// The same bytes from any time zone and file time; the time Python reads is
// the instant given, in UTC.
TEST_F(CliInspect, SourceDateEpochGivesTheSameBytesEverywhere) {
    fs::create_directory(dir / "copy");
    fs::copy_file(dir / "app.msi", dir / "copy" / "app.msi");
    ASSERT_EQ(runCommand("touch -d '2011-03-27 02:30' " + shellQuote((dir / "copy" / "app.msi").string())),
              0);
    const auto utc =
        runCli(dir.path(), container, "-q app.msi '' utc.exe", "SOURCE_DATE_EPOCH=1700000000 TZ=UTC");
    ASSERT_EQ(utc.status, 0) << utc.err;
    const auto tokyo = runCli(dir.path(), container, "-q copy/app.msi '' tokyo.exe",
                              "SOURCE_DATE_EPOCH=1700000000 TZ=Asia/Tokyo");
    ASSERT_EQ(tokyo.status, 0) << tokyo.err;
    EXPECT_EQ(readFile(dir / "utc.exe"), readFile(dir / "tokyo.exe"));
    std::string time;
    ASSERT_EQ(
        runCommand(
            "python3 -c 'import zipfile,sys; print(zipfile.ZipFile(sys.argv[1]).infolist()[0].date_time)' " +
                shellQuote((dir / "utc.exe").string()),
            &time),
        0);
    EXPECT_EQ(time, "(2023, 11, 14, 22, 13, 20)\n");
    // Unset or empty: the package's own time, as before.
    runCli(dir.path(), container, "-q app.msi '' plain.exe", "SOURCE_DATE_EPOCH=");
    EXPECT_EQ(parseArchive(readFile(dir / "plain.exe")).dosTime,
              parseArchive(readFile(dir / "setup.exe")).dosTime);
    for (const std::string bad : {"-1", "12x", "+5", " 5", "1e9", "99999999999999999999"}) {
        const auto r =
            runCli(dir.path(), container, "-q app.msi '' bad.exe", "SOURCE_DATE_EPOCH=" + shellQuote(bad));
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err,
                  "pakforge-cli: SOURCE_DATE_EPOCH must be a whole number of seconds since 1970-01-01 UTC, "
                  "not '" +
                      bad + "'\n");
        EXPECT_FALSE(fs::exists(dir / "bad.exe"));
    }
}

} // namespace
} // namespace pakforge
