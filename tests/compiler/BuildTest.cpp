// The whole build on real wixl packages and a mingw-built stub: log lines,
// the output's layout checked by independent readers, and every failure row
// leaving the output path as it was.
#include "compiler/Build.h"
#include "Fixtures.h"
#include "compiler/Manifest.h"
#include "container/VxStreamCol.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "resources/unitNTModule.h"
#include "resources/unitResourceGraphics.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <sys/stat.h>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

struct Run {
    std::vector<std::string> log;
    int clears = 0;
};

Run runBuild(const BuildRequest& request) {
    Run run;
    BuildEvents events;
    events.clearLog = [&] {
        ++run.clears;
        run.log.clear();
    };
    events.statusMessage = [&](const std::string& line) { run.log.push_back(line); };
    build(request, events);
    return run;
}

// The stub as the two resource updates leave it, made step by step.
std::vector<std::uint8_t> expectedStubPart(const fs::path& dir, const fs::path& icon) {
    const fs::path work = dir / "expected-stub.exe";
    fs::copy_file(stubExe(), work, fs::copy_options::overwrite_existing);
    {
        TNTModule module;
        module.LoadFromFile(work);
        if (!icon.empty()) {
            auto* group = TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&module, 0, u"MAINICON");
            group->Dirty = true;
            group->LoadFromIconFile(icon);
        }
        module.SaveToFile(work);
    }
    EXPECT_TRUE(WriteManifestResource(work));
    return readFile(work);
}

// The checksum field is set over the whole output, archive included, so the
// stub part is compared without it.
std::vector<std::uint8_t> withoutCheckSum(std::vector<std::uint8_t> file) {
    const std::size_t at = loadLE32(file.data() + 60) + 88;
    std::fill_n(file.begin() + static_cast<std::ptrdiff_t>(at), 4, 0);
    return file;
}

std::vector<std::string> filesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class BuildFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
        outDir = dir / "out";
        fs::create_directories(outDir);
    }
    BuildRequest request(const fs::path& package, const fs::path& icon,
                         const std::string& outName = "setup.exe") {
        BuildRequest r;
        r.package = package;
        r.icon = icon;
        r.output = outDir / outName;
        r.container = container;
        return r;
    }

    TempDir dir;
    fs::path container;
    fs::path outDir;
};

TEST_F(BuildFixture, RealPackagesBuildIntoTheDocumentedLayout) {
    const std::vector<fs::path> packages{
        makeMsi(dir.path(), "Simple.msi"),
        makeMsi(dir.path(),
                "\xC3\x9C"
                "berpr\xC3\xBC"
                "fung Setup \xE6\x97\xA5\xE6\x9C\xAC.msi",
                {"Gr\xC3\xBC\xC3\x9F"
                 "e",
                 "2.0", "M\xC3\xBCller"}),
        makeMsi(dir.path(), "Several Files.msi", {"Several", "3.1.4", "Pakforge"},
                {{"a.txt", std::vector<std::uint8_t>(5000, 'a')},
                 {"b.bin", randomBytes(300000, 11)},
                 {"c.txt", std::vector<std::uint8_t>(100, 'c')}}),
    };
    const auto stubPart = withoutCheckSum(expectedStubPart(dir.path(), sampleIcon()));
    for (const auto& package : packages) {
        SCOPED_TRACE(package.filename().string());
        const auto run = runBuild(request(package, sampleIcon()));
        EXPECT_EQ(run.clears, 1);
        ASSERT_EQ(run.log.size(), 6u);
        const std::regex timed(R"(\*\*\* (Starting Compile|Finished\.) \[.+\])");
        EXPECT_TRUE(std::regex_match(run.log[0], timed)) << run.log[0];
        EXPECT_EQ(run.log[0].rfind("*** Starting Compile [", 0), 0u);
        EXPECT_EQ(run.log[1], "Updating Icon...");
        EXPECT_EQ(run.log[2], "Processing MSI package...");
        EXPECT_EQ(run.log[3], "Building EXE file...");
        EXPECT_EQ(run.log[4], "EXE file saved as: " + (outDir / "setup.exe").string());
        EXPECT_EQ(run.log[5].rfind("*** Finished. [", 0), 0u);

        const fs::path out = outDir / "setup.exe";
        const auto file = withoutCheckSum(readFile(out));
        const auto content = readFile(package);
        // The loader's checksum covers the final file, archive included.
        const auto [stored, computed] = peCheckSums(out);
        EXPECT_NE(stored, 0u);
        EXPECT_EQ(stored, computed);
        const auto a = parseArchive(file);
        EXPECT_EQ(a.entries, 1);
        EXPECT_EQ(a.localOffset, stubPart.size());
        EXPECT_TRUE(file.size() > stubPart.size() &&
                    std::equal(stubPart.begin(), stubPart.end(), file.begin()))
            << "the bytes before the archive are not the updated stub";
        EXPECT_EQ(a.name, package.filename().string());
        EXPECT_EQ(a.crc, referenceCrc(content));
        EXPECT_EQ(a.uncompressedSize, content.size());
        EXPECT_EQ(a.data, referenceDeflate(content));
        EXPECT_EQ(a.centralOffset, a.localOffset + 30 + a.name.size() + a.compressedSize);

        const auto info = pythonZipInfo(out);
        EXPECT_EQ(info.substr(0, info.find('|')), package.filename().string()) << info;
        EXPECT_NE(info.find("|" + std::to_string(stubPart.size()) + "|ok"), std::string::npos) << info;
        std::string unzipOut;
        EXPECT_TRUE(unzipTestPasses(out, &unzipOut)) << unzipOut;

        EXPECT_EQ(peResourceData(out, "24", "1", 0),
                  std::vector<std::uint8_t>(kManifestText.begin(), kManifestText.end()));
        const auto icons = mainIconEntries(out);
        EXPECT_EQ(icons.size(), 3u);
        for (const auto& line : icons) EXPECT_NE(line.find("present"), std::string::npos) << line;
        EXPECT_EQ(filesIn(outDir), std::vector<std::string>{"setup.exe"})
            << "a temporary file was left behind";
    }
}

TEST_F(BuildFixture, EmptyOrMissingIconKeepsTheStubsIcon) {
    const auto package = makeMsi(dir.path(), "p.msi");
    const auto stubPart = withoutCheckSum(expectedStubPart(dir.path(), {}));
    for (const fs::path& icon : {fs::path(), dir / "missing.ico", dir.path()}) {
        const auto run = runBuild(request(package, icon));
        ASSERT_EQ(run.log.size(), 5u) << icon;
        EXPECT_EQ(run.log[1], "Processing MSI package...");
        const auto file = withoutCheckSum(readFile(outDir / "setup.exe"));
        EXPECT_EQ(parseArchive(file).localOffset, stubPart.size());
        EXPECT_TRUE(std::equal(stubPart.begin(), stubPart.end(), file.begin()));
        EXPECT_TRUE(mainIconEntries(outDir / "setup.exe").empty());
    }
}

TEST_F(BuildFixture, QuietBuildLogsNothingAndEmptyOutputDoesNothing) {
    const auto package = makeMsi(dir.path(), "p.msi");
    auto r = request(package, sampleIcon());
    r.verbose = false;
    const auto quiet = runBuild(r);
    EXPECT_EQ(quiet.clears, 0);
    EXPECT_TRUE(quiet.log.empty());
    EXPECT_TRUE(fs::exists(r.output));

    r.verbose = true;
    r.output.clear();
    r.container = dir / "no-such-container.dat"; // would fail if anything ran
    const auto none = runBuild(r);
    EXPECT_EQ(none.clears, 0);
    EXPECT_TRUE(none.log.empty());
}

TEST_F(BuildFixture, SameInputsGiveTheSameBytes) {
    const auto package = makeMsi(dir.path(), "p.msi");
    timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, package.c_str(), times, 0), 0);
    runBuild(request(package, sampleIcon(), "one.exe"));
    runBuild(request(package, sampleIcon(), "two.exe"));
    EXPECT_EQ(readFile(outDir / "one.exe"), readFile(outDir / "two.exe"));
}

TEST_F(BuildFixture, OutputThroughASymbolicLinkReplacesTheLinkedFile) {
    const auto package = makeMsi(dir.path(), "p.msi");
    fs::create_directories(dir / "real");
    writeText(dir / "real" / "app.exe", "old");
    fs::create_symlink(dir / "real" / "app.exe", outDir / "link.exe");
    runBuild(request(package, {}, "link.exe"));
    EXPECT_TRUE(fs::is_symlink(outDir / "link.exe"));
    EXPECT_NO_THROW(parseArchive(readFile(dir / "real" / "app.exe")));

    // A link to a file not yet there (relative, through a second link) gets it.
    fs::create_symlink("../real/new.exe", outDir / "inner.exe");
    fs::create_symlink("inner.exe", outDir / "outer.exe");
    runBuild(request(package, {}, "outer.exe"));
    EXPECT_TRUE(fs::is_symlink(outDir / "outer.exe"));
    EXPECT_TRUE(fs::is_symlink(outDir / "inner.exe"));
    EXPECT_NO_THROW(parseArchive(readFile(dir / "real" / "new.exe")));
}

TEST_F(BuildFixture, ExistingOutputIsReplacedKeepingItsMode) {
    const auto package = makeMsi(dir.path(), "p.msi");
    writeText(outDir / "setup.exe", "old");
    ::chmod((outDir / "setup.exe").c_str(), 0750);
    runBuild(request(package, {}));
    EXPECT_NO_THROW(parseArchive(readFile(outDir / "setup.exe")));
    struct stat st {};
    ASSERT_EQ(::stat((outDir / "setup.exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

// Failure rows: the message, and the output path exactly as before.
class BuildFailures : public BuildFixture {
  protected:
    void expectFailure(const BuildRequest& r, const std::function<void(const std::string&)>& checkMessage) {
        for (const bool existing : {false, true}) {
            fs::remove(r.output);
            if (existing) writeText(r.output, "previous build");
            try {
                runBuild(r);
                ADD_FAILURE() << "the build succeeded";
            } catch (const Exception& e) {
                checkMessage(e.message());
            }
            if (existing) {
                EXPECT_EQ(readFile(r.output), std::vector<std::uint8_t>({'p', 'r', 'e', 'v', 'i', 'o', 'u',
                                                                         's', ' ', 'b', 'u', 'i', 'l', 'd'}));
            } else {
                EXPECT_FALSE(fs::exists(r.output));
            }
            EXPECT_LE(filesIn(outDir).size(), existing ? 1u : 0u) << "a temporary file was left behind";
        }
    }
};

TEST_F(BuildFailures, ContainerMissingDamagedOrCutShort) {
    const auto package = makeMsi(dir.path(), "p.msi");
    auto r = request(package, sampleIcon());
    r.container = dir / "missing.dat";
    expectFailure(r, [&](const std::string& m) {
        EXPECT_EQ(m, "Cannot open file \"" + r.container.string() + "\". " + systemErrorText(ENOENT));
    });

    r.container = dir / "damaged.dat";
    auto bytes = readFile(container);
    for (std::size_t i = 8; i < bytes.size(); i += 7) bytes[i] ^= 0x5A;
    writeFile(r.container, bytes);
    expectFailure(r, [](const std::string& m) { EXPECT_EQ(m, "File is corrupt."); });

    r.container = dir / "short.dat";
    auto plain = readFile(makeContainer(dir / "plain.dat", readFile(stubExe()), false, false));
    plain.resize(plain.size() - 100);
    writeFile(r.container, plain);
    expectFailure(r, [](const std::string& m) { EXPECT_EQ(m, "Stream read error"); });
}

// A container cut short (a partial download, a full disk) must never load as
// a stub: every cut of the shipped one fails with nothing written.
TEST_F(BuildFailures, EveryCutOfTheShippedContainerFails) {
    const auto package = makeMsi(dir.path(), "p.msi");
    auto r = request(package, {});
    std::vector<std::uint8_t> exe = readFile(stubExe());
    if (const fs::path shipped = binaryDir() / "bin" / "pakforge.dat"; fs::exists(shipped)) {
        TVxStreams streams;
        streams.Key = u"rqzvmtpxw4b7";
        streams.LoadFromFile(shipped);
        MemoryStream item;
        streams.GetStream(u"exe", item);
        exe = item.release();
    }
    for (const bool compress : {false, true})
        for (const bool encrypt : {false, true}) {
            const auto whole = readFile(makeContainer(dir / "whole.dat", exe, compress, encrypt));
            r.container = dir / "cut.dat";
            const std::size_t stride = whole.size() / 97 + 1;
            for (std::size_t keep = 0; keep < whole.size(); keep += stride) {
                SCOPED_TRACE(std::to_string(keep) + " of " + std::to_string(whole.size()) +
                             " bytes, compress " + std::to_string(compress) + ", encrypt " +
                             std::to_string(encrypt));
                writeFile(r.container, {whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep)});
                expectFailure(r, [](const std::string& m) {
                    EXPECT_TRUE(m == "File is corrupt." || m == "Stream read error") << m;
                });
            }
        }
}

TEST_F(BuildFailures, StubWhoseCheckSumDoesNotMatchIsCorrupt) {
    const auto package = makeMsi(dir.path(), "p.msi");
    auto r = request(package, {});
    auto exe = readFile(stubExe());
    const std::size_t checkSumAt = loadLE32(exe.data() + 60) + 88;
    ASSERT_NE(loadLE32(exe.data() + checkSumAt), 0u);
    exe[exe.size() / 2] ^= 1; // a flipped bit the container's layers cannot see
    r.container = makeContainer(dir / "flipped.dat", exe);
    expectFailure(r, [](const std::string& m) { EXPECT_EQ(m, "File is corrupt."); });

    // A hand-made stub without a checksum is taken as it is.
    storeLE32(exe.data() + checkSumAt, 0);
    r.container = makeContainer(dir / "unsummed.dat", exe);
    EXPECT_NO_THROW(runBuild(r));
    EXPECT_EQ(peCheckSums(r.output).first, 0u);
}

TEST_F(BuildFailures, OutputCannotBeCreated) {
    const auto package = makeMsi(dir.path(), "p.msi");
    auto r = request(package, sampleIcon());
    r.output = outDir / "no-such-folder" / "setup.exe";
    try {
        runBuild(r);
        ADD_FAILURE();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.message(),
                  "Cannot create file \"" + r.output.string() + "\". " + systemErrorText(ENOENT));
    }
    fs::create_directories(outDir / "folder.exe");
    r.output = outDir / "folder.exe";
    try {
        runBuild(r);
        ADD_FAILURE();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.message().rfind("Cannot create file \"" + r.output.string() + "\". ", 0), 0u)
            << e.message();
    }
    EXPECT_TRUE(fs::is_directory(r.output));

    // A pipe (or a device) at the output is refused, not replaced.
    r.output = outDir / "pipe.exe";
    ASSERT_EQ(::mkfifo(r.output.c_str(), 0600), 0);
    try {
        runBuild(r);
        ADD_FAILURE();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.message(), "Cannot create file \"" + r.output.string() + "\". It is not a regular file");
    }
    EXPECT_TRUE(fs::is_fifo(r.output));

    // Through a link, the message still names the path that was asked for.
    fs::create_symlink(dir / "no-such-folder" / "app.exe", outDir / "dangling.exe");
    fs::create_symlink(outDir / "folder.exe", outDir / "to-folder.exe");
    for (const auto* name : {"dangling.exe", "to-folder.exe"}) {
        r.output = outDir / name;
        try {
            runBuild(r);
            ADD_FAILURE() << name;
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.message().rfind("Cannot create file \"" + r.output.string() + "\". ", 0), 0u)
                << e.message();
        }
        EXPECT_TRUE(fs::is_symlink(r.output));
    }
}

TEST_F(BuildFailures, StubMissingOrNotAnExecutable) {
    const auto package = makeMsi(dir.path(), "p.msi");
    auto r = request(package, sampleIcon());
    r.container = dir / "other.dat";
    writeFile(r.container, readFile(makeContainer(dir / "empty-exe.dat", {})));
    expectFailure(r, [&](const std::string& m) { EXPECT_EQ(m.rfind("System Error.  Code: ", 0), 0u) << m; });
    writeFile(r.container,
              readFile(makeContainer(dir / "no-exe.dat", readFile(stubExe()), true, true, u"other")));
    expectFailure(r, [&](const std::string& m) { EXPECT_EQ(m.rfind("System Error.  Code: ", 0), 0u) << m; });
    writeFile(r.container, readFile(makeContainer(dir / "text-exe.dat", {'M', 'Z', 'n', 'o', 'p', 'e'})));
    expectFailure(r, [&](const std::string& m) {
        EXPECT_EQ(m.rfind("System Error.  Code: ", 0), 0u) << m;
        EXPECT_EQ(m.find(".tmp"), std::string::npos) << "the message names the temporary file: " << m;
    });
}

TEST_F(BuildFailures, IconIsNoIcon) {
    const auto package = makeMsi(dir.path(), "p.msi");
    writeText(dir / "bad.ico", "this is not an icon at all");
    expectFailure(request(package, dir / "bad.ico"),
                  [](const std::string& m) { EXPECT_EQ(m, "Invalid Icon or Cursor"); });
}

TEST_F(BuildFailures, PackageMissingLockedOrTooLarge) {
    auto r = request(dir / "missing.msi", sampleIcon());
    expectFailure(r, [&](const std::string& m) {
        EXPECT_EQ(m, "Cannot open file \"" + r.package.string() + "\". " + systemErrorText(ENOENT));
    });

    r.package = makeMsi(dir.path(), "locked.msi");
    {
        FileStream holder(r.package, FileStream::Mode::OpenRead, FileStream::Share::DenyWrite);
        expectFailure(r, [&](const std::string& m) {
            EXPECT_EQ(m.rfind("Cannot open file \"" + r.package.string() + "\". ", 0), 0u) << m;
        });
    }

    r.package = dir / "huge.msi";
    {
        FileStream f(r.package, FileStream::Mode::Create);
        f.setSize(std::int64_t{5} << 30); // sparse, 5 GiB
    }
    expectFailure(r, [&](const std::string& m) {
        EXPECT_NE(m.find("too large"), std::string::npos) << m;
        EXPECT_NE(m.find(r.package.string()), std::string::npos) << m;
    });
}

} // namespace
} // namespace pakforge
