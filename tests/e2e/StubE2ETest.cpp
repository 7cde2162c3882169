// The stub end to end under Wine: extraction, silent installs through Wine's
// msiexec, exit codes, damaged archives, signed files and the stub's image.
#include "E2ESupport.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace pakforge::e2e {
namespace {

using test::readFile;
using test::runCommand;
using test::shellQuote;
using test::TempDir;
using test::writeFile;

class StubE2E : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path temp() const { return dir / "wintemp"; }

    // Expects the stub's working folder to be gone from the temp folder.
    void expectTempClean() const {
        for (const auto& folder : foldersIn(temp())) ADD_FAILURE() << "left behind: " << folder;
    }
};

TEST_F(StubE2E, ExtractWritesThePackageByteForByte) {
    PackageSpec spec{uniqueName("PakX")};
    const fs::path package = makePackage(dir.path(), "Hello World.msi", spec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);
    const auto expected = readFile(package);

    // Into a folder that does not exist yet, parents and blanks included.
    const fs::path target = dir / "out dir" / "nested";
    EXPECT_EQ(runInstaller(installer, "/extract \"" + winePath(target) + "\"", temp(), dir.path()), 0);
    EXPECT_EQ(readFile(target / "Hello World.msi"), expected);
    EXPECT_EQ(std::distance(fs::directory_iterator(target), fs::directory_iterator()), 1)
        << "only the package, no partial file";

    // Default: the current folder; an existing file there is kept unless
    // /y is given.
    const fs::path current = dir / "current";
    fs::create_directories(current);
    test::writeText(current / "Hello World.msi", "stale");
    EXPECT_EQ(runInstaller(installer, "/EXTRACT /qn", temp(), current), 80);
    EXPECT_EQ(readFile(current / "Hello World.msi"), std::vector<std::uint8_t>({'s', 't', 'a', 'l', 'e'}));
    EXPECT_EQ(runInstaller(installer, "/EXTRACT -y", temp(), current), 0);
    EXPECT_EQ(readFile(current / "Hello World.msi"), expected);

    // A folder deeper than MAX_PATH.
    fs::path deep = dir / "deep";
    for (int i = 0; i < 5; ++i) deep /= std::string(60, static_cast<char>('a' + i));
    ASSERT_GT(winePath(deep).size(), 300u);
    EXPECT_EQ(runInstaller(installer, "-extract " + winePath(deep) + " /quiet", temp(), dir.path()), 0);
    EXPECT_EQ(readFile(deep / "Hello World.msi"), expected);

    // /extract takes one folder at most, and no msiexec options.
    EXPECT_EQ(runInstaller(installer, "/extract a b /qn", temp(), dir.path()), 1639);
    EXPECT_EQ(runInstaller(installer, "/extract a /norestart /qn", temp(), dir.path()), 1639);
    EXPECT_FALSE(fs::exists(dir / "a"));
    // Help only: nothing extracted, nothing run.
    const fs::path helpDir = dir / "help";
    fs::create_directories(helpDir);
    EXPECT_EQ(runInstaller(installer, "/?", temp(), helpDir), 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(helpDir), fs::directory_iterator()), 0);

    EXPECT_FALSE(fs::exists(installedFile(spec))) << "extracting installs nothing";
    expectTempClean();
}

// A switch it does not take is named in the message, with the code for a bad
// command line; the arguments are checked before the package is looked for.
TEST_F(StubE2E, RefusalsNameTheArgumentNotUnderstood) {
    const fs::path installer = dir / "setup.exe";
    fs::copy_file(stubExe(), installer);
    struct Case {
        std::string arguments;
        std::string named;
        bool extract;
    };
    const Case cases[] = {{"/extract C:\\out /foo", "\"/foo\"", true},
                          {"/EXTRACT out /y more", "\"more\"", true},
                          {"/extract out /y /Y", "\"/Y\"", true},
                          {"/x {00000000-0000-0000-0000-000000000000}", "\"/x\"", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        std::vector<std::string> boxes;
        RunOptions options;
        options.messageBoxes = &boxes;
        EXPECT_EQ(runInstaller(installer, c.arguments, temp(), dir.path(), options), 1639);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_NE(boxes[0].find("The option " + c.named), std::string::npos) << boxes[0];
        EXPECT_EQ(boxes[0].find("/extract [folder] [/y] [/qn]") != std::string::npos, c.extract) << boxes[0];
        EXPECT_EQ(boxes[0].find("Installs the Windows Installer package"), std::string::npos)
            << "the refusal, not the general help";
    }
    // Quiet: the same code, no box.
    std::vector<std::string> boxes;
    RunOptions options;
    options.messageBoxes = &boxes;
    EXPECT_EQ(runInstaller(installer, "/extract out /foo /qn", temp(), dir.path(), options), 1639);
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(StubE2E, EntryNameIsUsedOnlyWhenItIsAPlainFileName) {
    PackageSpec spec{uniqueName("PakN")};
    const fs::path package = makePackage(dir.path(), "p.msi", spec);
    const auto expected = readFile(package);
    struct Case {
        const char* entryName;
        const char* extractedAs;
    };
    const Case cases[] = {
        {"Pr\xC3\xBC"
         "fung \xE2\x82\xAC.msi",
         "Pr\xC3\xBC"
         "fung \xE2\x82\xAC.msi"},
        {"..\\evil.msi", "package.msi"},
        {"sub/evil.msi", "package.msi"},
        {"CON.msi", "package.msi"},
        // Windows Installer is handed packages only.
        {"setup.exe", "package.msi"},
        {"notes.msi.txt", "package.msi"},
        {"UPPER.MSI", "UPPER.MSI"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entryName);
        const fs::path work = dir / uniqueName("case");
        const fs::path target = work / "out";
        fs::create_directories(target);
        appendArchive(stubExe(), package, work / "setup.exe", c.entryName);
        EXPECT_EQ(runInstaller(work / "setup.exe", "/extract " + winePath(target), temp(), work), 0);
        EXPECT_EQ(readFile(target / c.extractedAs), expected);
        EXPECT_EQ(std::distance(fs::directory_iterator(target), fs::directory_iterator()), 1);
        EXPECT_EQ(std::distance(fs::directory_iterator(work), fs::directory_iterator()), 2)
            << "nothing written outside the target folder";
    }
}

TEST_F(StubE2E, SilentInstallRunsMsiexecAndCleansUp) {
    PackageSpec spec{uniqueName("PakI")};
    spec.content = "installed by the stub\n";
    const fs::path package = makePackage(dir.path(), "install.msi", spec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);

    EXPECT_EQ(runInstaller(installer, "/qn", temp(), dir.path()), 0);
    ASSERT_TRUE(fs::exists(installedFile(spec)));
    EXPECT_EQ(readFile(installedFile(spec)),
              std::vector<std::uint8_t>(spec.content.begin(), spec.content.end()));
    expectTempClean();
}

TEST_F(StubE2E, ArgumentsAndExitCodesPassThroughMsiexec) {
    // Installs only when the property arrives with its blank intact.
    PackageSpec spec{uniqueName("PakC")};
    spec.condition = "ALLOWED = \"yes please\"";
    const fs::path package = makePackage(dir.path(), "needs.msi", spec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);

    EXPECT_EQ(runInstaller(installer, "/qn", temp(), dir.path()), 1603);
    EXPECT_FALSE(fs::exists(installedFile(spec)));
    EXPECT_EQ(runInstaller(installer, "/qn ALLOWED=yes", temp(), dir.path()), 1603);
    EXPECT_FALSE(fs::exists(installedFile(spec)));
    EXPECT_EQ(runInstaller(installer, "/quiet ALLOWED=\"yes please\"", temp(), dir.path()), 0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));
    expectTempClean();
}

TEST_F(StubE2E, DamagedArchiveRunsNothing) {
    PackageSpec spec{uniqueName("PakD")};
    spec.content = std::string(20000, 'x') + "some text that deflate has to work on\n";
    const fs::path package = makePackage(dir.path(), "damaged.msi", spec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);
    const auto good = readFile(installer);
    const ArchiveLayout layout = archiveLayout(good);

    struct Damage {
        const char* what;
        std::uint64_t offset; // byte to change
        std::uint8_t mask = 0x5A;
    };
    const Damage damages[] = {
        {"deflate data", layout.data + (layout.centralDirectory - layout.data) / 2},
        {"last deflate byte", layout.centralDirectory - 1, 0x01}, // its low bit is always used
        {"local header CRC", layout.localHeader + 14},
        {"central directory sizes", layout.centralDirectory + 24},
        {"end record", layout.endRecord + 16},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.what);
        auto bytes = good;
        bytes.at(damage.offset) ^= damage.mask;
        const fs::path bad = dir / "bad.exe";
        writeFile(bad, bytes);
        EXPECT_EQ(runInstaller(bad, "/qn", temp(), dir.path()), 1620);
        EXPECT_FALSE(fs::exists(installedFile(spec)));
        expectTempClean();
    }

    // Cut short, and no archive at all: the same, also for /extract.
    auto cut = good;
    cut.pop_back();
    writeFile(dir / "cut.exe", cut);
    EXPECT_EQ(runInstaller(dir / "cut.exe", "/qn", temp(), dir.path()), 1620);
    fs::create_directories(dir / "target");
    EXPECT_EQ(runInstaller(stubExe(), "/qn", temp(), dir.path()), 1620);
    EXPECT_EQ(runInstaller(stubExe(), "/extract " + winePath(dir / "target"), temp(), dir.path()), 1620);
    writeFile(dir / "bad.exe", cut);
    EXPECT_EQ(
        runInstaller(dir / "bad.exe", "/extract " + winePath(dir / "target") + " /qn", temp(), dir.path()),
        1620);
    EXPECT_TRUE(fs::is_empty(dir / "target")) << "nothing extracted from a damaged archive";
    EXPECT_FALSE(fs::exists(installedFile(spec)));
    expectTempClean();
}

TEST_F(StubE2E, SignedInstallerVerifiesAndStillExtracts) {
    if (!test::haveTool("osslsigncode") || !test::haveTool("openssl"))
        PAKFORGE_SKIP_WITHOUT_TOOL("osslsigncode/openssl missing");
    PackageSpec spec{uniqueName("PakS")};
    const fs::path package = makePackage(dir.path(), "signed.msi", spec);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);

    // A throwaway CA and a code-signing certificate issued by it.
    const std::string d = shellQuote(dir.path().string());
    test::writeText(dir / "ext.cnf", "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                     "extendedKeyUsage=codeSigning\n");
    std::string log;
    ASSERT_EQ(
        runCommand("cd " + d +
                       " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2"
                       " -subj '/CN=Pakforge Test CA' -addext 'basicConstraints=critical,CA:TRUE'"
                       " -addext 'keyUsage=critical,keyCertSign,cRLSign'"
                       " && openssl req -newkey rsa:2048 -nodes -keyout sign.key -out sign.csr"
                       " -subj '/CN=Pakforge Test Signer'"
                       " && openssl x509 -req -in sign.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
                       " -out sign.pem -days 2 -extfile ext.cnf"
                       " && osslsigncode sign -certs sign.pem -key sign.key -n 'Pakforge test'"
                       " -in setup.exe -out signed.exe 2>&1",
                   &log),
        0)
        << log;
    log.clear();
    EXPECT_EQ(runCommand("cd " + d + " && osslsigncode verify -CAfile ca.pem -in signed.exe 2>&1", &log), 0)
        << log;
    EXPECT_NE(log.find("Signature verification: ok"), std::string::npos) << log;
    ASSERT_GT(fs::file_size(dir / "signed.exe"), fs::file_size(installer)) << "certificate table appended";

    const fs::path target = dir / "extracted";
    EXPECT_EQ(runInstaller(dir / "signed.exe", "/extract " + winePath(target), temp(), dir.path()), 0);
    EXPECT_EQ(readFile(target / "signed.msi"), readFile(package));
    EXPECT_EQ(runInstaller(dir / "signed.exe", "/qn", temp(), dir.path()), 0);
    EXPECT_TRUE(fs::exists(installedFile(spec)));

    // Damage under the signature is still caught.
    auto bytes = readFile(dir / "signed.exe");
    const ArchiveLayout layout = archiveLayout(readFile(installer));
    bytes.at(layout.data + 3) ^= 0x01;
    writeFile(dir / "tampered.exe", bytes);
    EXPECT_EQ(
        runInstaller(dir / "tampered.exe", "/extract " + winePath(dir / "tampered"), temp(), dir.path()),
        1620);
    EXPECT_FALSE(fs::exists(dir / "tampered" / "signed.msi"));
    expectTempClean();
}

TEST_F(StubE2E, ExtractsAHundredMegabytePackage) {
    const fs::path payload = dir / "payload.bin";
    {
        // Incompressible, so the archive is as large as the package.
        std::ofstream out(payload, std::ios::binary);
        for (std::uint32_t block = 0; block < 100; ++block) {
            const auto bytes = test::randomBytes(1000 * 1000, block + 1);
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
        }
    }
    PackageSpec spec{uniqueName("PakL")};
    spec.fileName = "payload.bin";
    spec.payload = payload;
    const fs::path package = makePackage(dir.path(), "large.msi", spec);
    ASSERT_GT(fs::file_size(package), 100u * 1000 * 1000);
    const fs::path installer = dir / "setup.exe";
    makeInstaller(package, installer);
    fs::remove(payload);

    const fs::path target = dir / "extracted";
    EXPECT_EQ(runInstaller(installer, "/extract " + winePath(target), temp(), dir.path()), 0);
    std::string log;
    EXPECT_EQ(runCommand("cmp " + shellQuote(package.string()) + " " +
                             shellQuote((target / "large.msi").string()) + " 2>&1",
                         &log),
              0)
        << log;
    expectTempClean();
}

// The stub's own image: what it imports, its resources, its size.
TEST(StubImage, ImportsOnlyKernel32AndCarriesItsResources) {
    const std::string script = R"PY(
import sys, pefile
pe = pefile.PE(sys.argv[1])
print("subsystem", pe.OPTIONAL_HEADER.Subsystem)
print("dllchars", pe.OPTIONAL_HEADER.DllCharacteristics)
for entry in pe.DIRECTORY_ENTRY_IMPORT:
    for symbol in entry.imports:
        name = symbol.name.decode() if symbol.name else "#%d" % symbol.ordinal
        print("import", entry.dll.decode().lower(), name)
print("delayed", len(getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])))
# Forwarders as Wine's own builtin DLLs have them: a second, independent
# list, read from the export tables.
for entry in pe.DIRECTORY_ENTRY_IMPORT:
    builtin = pefile.PE(sys.argv[2] + "/" + entry.dll.decode().lower())
    exports = {e.name: e.forwarder for e in builtin.DIRECTORY_ENTRY_EXPORT.symbols if e.name}
    for symbol in entry.imports:
        forwarder = exports.get(symbol.name)
        if forwarder:
            print("forwarded", entry.dll.decode().lower(), symbol.name.decode(),
                  forwarder.decode().split(".")[0].lower() + ".dll")
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for name in kind.directory.entries:
        for lang in name.directory.entries:
            label = str(name.name) if name.name is not None else str(name.id)
            print("resource", kind.id, label, lang.id)
)PY";
    TempDir dir;
    test::writeText(dir / "inspect.py", script);
    std::string out;
    ASSERT_EQ(runCommand("/usr/bin/python3 " + shellQuote((dir / "inspect.py").string()) + " " +
                             shellQuote(stubExe().string()) +
                             " /usr/lib/i386-linux-gnu/wine/i386-windows 2>&1",
                         &out),
              0)
        << out;

    // The KnownDLLs of Windows 10 and 11 (Session Manager\KnownDLLs): loaded
    // from System32 whatever folder the program is in. A DLL outside it is
    // looked up beside the program while its imports are bound, before any
    // of its code runs.
    const std::set<std::string> knownDlls = {
        "advapi32.dll", "clbcatq.dll",  "combase.dll",  "comdlg32.dll", "coml2.dll",    "difxapi.dll",
        "gdi32.dll",    "gdiplus.dll",  "imagehlp.dll", "imm32.dll",    "kernel32.dll", "msctf.dll",
        "msvcrt.dll",   "normaliz.dll", "nsi.dll",      "ole32.dll",    "oleaut32.dll", "psapi.dll",
        "rpcrt4.dll",   "sechost.dll",  "setupapi.dll", "shcore.dll",   "shell32.dll",  "shlwapi.dll",
        "user32.dll",   "wldap32.dll",  "ws2_32.dll"};
    // Imports from a KnownDLL that are forwarded to a DLL outside the list,
    // which the loader then looks up by the ordinary search, the program's
    // folder first.
    const std::set<std::string> forwardedOutside = {
        // advapi32 forwards RtlGenRandom and RtlEncryptMemory/RtlDecryptMemory
        // to cryptbase.dll (its export table from Windows 7 on); the stub
        // imported the first until it loaded bcrypt.dll itself.
        "advapi32.dll!SystemFunction036",
        "advapi32.dll!SystemFunction040",
        "advapi32.dll!SystemFunction041",
    };
    std::istringstream lines(out);
    std::string line;
    std::set<std::string> resources;
    std::set<std::string> dlls;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "import") {
            std::string dll;
            std::string function;
            words >> dll >> function;
            dlls.insert(dll);
            EXPECT_TRUE(knownDlls.count(dll)) << "import from a DLL outside KnownDLLs: " << line;
            EXPECT_FALSE(forwardedOutside.count(dll + "!" + function))
                << "forwarded outside KnownDLLs: " << line;
        } else if (kind == "forwarded") {
            std::string dll;
            std::string function;
            std::string target;
            words >> dll >> function >> target;
            EXPECT_TRUE(knownDlls.count(target) || target == "ntdll.dll" || target.rfind("api-ms-", 0) == 0)
                << "forwarded outside KnownDLLs in Wine's " << dll << ": " << line;
        } else if (kind == "resource") {
            resources.insert(line.substr(9));
        }
    }
    // Stricter than the list: Wine (and a system whose KnownDLLs differ)
    // would load any other DLL from beside the file, and kernel32 is in
    // every process before the program's imports are bound.
    EXPECT_EQ(dlls, std::set<std::string>{"kernel32.dll"});
    EXPECT_NE(out.find("delayed 0\n"), std::string::npos)
        << "delay-loaded DLLs are found by the ordinary search";
    EXPECT_NE(out.find("subsystem 2\n"), std::string::npos) << "GUI subsystem, no console window";
    const auto flags = std::stoul(out.substr(out.find("dllchars ") + 9));
    EXPECT_TRUE(flags & 0x0040) << "ASLR";
    EXPECT_TRUE(flags & 0x0100) << "DEP";
    EXPECT_TRUE(resources.count("14 MAINICON 0")) << out;
    EXPECT_TRUE(resources.count("24 1 0")) << out;
    EXPECT_TRUE(resources.count("16 1 1033")) << out;
    EXPECT_LT(fs::file_size(stubExe()), 150u * 1024);
}

#ifdef PAKFORGE_E2E_PACK
// What ships beside the programs: the container holds this stub as item exe.
TEST(StubImage, ShippedContainerHoldsTheStub) {
    TempDir dir;
    std::string log;
    ASSERT_EQ(runCommand(shellQuote(PAKFORGE_E2E_PACK) + " extract " + shellQuote(PAKFORGE_E2E_DAT) +
                             " exe " + shellQuote((dir / "exe").string()) + " --key rqzvmtpxw4b7 2>&1",
                         &log),
              0)
        << log;
    EXPECT_EQ(readFile(dir / "exe"), readFile(stubExe()));
}
#endif

} // namespace
} // namespace pakforge::e2e
