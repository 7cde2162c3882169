// pakforge-pack as a user runs it: create, list, extract, and its errors.
#include "core/ByteIO.h"
#include "core/Utf16.h"
#include "support/TestFiles.h"

#include <pakforge/Version.h>

#include <gtest/gtest.h>

namespace pakforge {
namespace {

using test::shellQuote;

std::string pack() {
    return shellQuote((test::binaryDir() / "bin" / "pakforge-pack").string());
}

int run(const std::string& args, std::string* out = nullptr) {
    return test::runCommand(pack() + " " + args + " 2>/dev/null", out);
}

std::string q(const std::filesystem::path& p) {
    return shellQuote(p.string());
}

TEST(PackTool, RoundTripForEveryMarkCombination) {
    test::TempDir dir;
    const auto stub = test::randomBytes(70000, 5);
    std::vector<std::uint8_t> text;
    for (int i = 0; i < 3000; ++i) text.push_back(static_cast<std::uint8_t>("pakforge "[i % 9]));
    test::writeFile(dir / "stub.exe", stub);
    test::writeFile(dir / "notes.txt", text);
    test::writeFile(dir / "empty.bin", {});
    const char* const modes[] = {"", "--compress", "--encrypt --key 'pass word'",
                                 "--compress --encrypt --key 'pass word'"};
    for (const char* mode : modes) {
        SCOPED_TRACE(mode);
        const auto dat = dir / "out.dat";
        ASSERT_EQ(run("create " + q(dat) + " " + mode + " exe=" + q(dir / "stub.exe") +
                      " Notes=" + q(dir / "notes.txt") + " nothing=" + q(dir / "empty.bin")),
                  0);
        const std::string keyArg =
            std::string(mode).find("--key") != std::string::npos ? " --key 'pass word'" : "";
        std::string listing;
        ASSERT_EQ(run("list " + q(dat) + keyArg, &listing), 0);
        EXPECT_EQ(listing, "       70000  exe\n"
                           "        3000  Notes\n"
                           "           0  nothing\n");
        ASSERT_EQ(run("extract " + q(dat) + " EXE " + q(dir / "x1") + keyArg), 0);
        EXPECT_EQ(test::readFile(dir / "x1"), stub);
        ASSERT_EQ(run("extract " + q(dat) + " notes " + q(dir / "x2") + keyArg), 0);
        EXPECT_EQ(test::readFile(dir / "x2"), text);
        ASSERT_EQ(run("extract " + q(dat) + " nothing " + q(dir / "x3") + keyArg), 0);
        EXPECT_TRUE(test::readFile(dir / "x3").empty());
    }
}

TEST(PackTool, HelpVersionAndUsageErrors) {
    std::string out;
    EXPECT_EQ(run("--help", &out), 0);
    EXPECT_NE(out.find("pakforge-pack create OUT.dat"), std::string::npos);
    out.clear();
    EXPECT_EQ(run("--version", &out), 0);
    EXPECT_EQ(out, std::string("pakforge-pack ") + PAKFORGE_VERSION + "\n");
    EXPECT_EQ(run(""), 2);
    EXPECT_EQ(run("frobnicate"), 2);
    EXPECT_EQ(run("create only.dat"), 2);
    EXPECT_EQ(run("create x.dat --encrypt a=b"), 2);
    EXPECT_EQ(run("create x.dat --bogus a=b"), 2);
    EXPECT_EQ(run("create x.dat noequals"), 2);
    EXPECT_EQ(run("extract a.dat"), 2);
    EXPECT_EQ(run("list"), 2);
}

TEST(PackTool, FailuresLeaveNoOutputAndSayWhy) {
    test::TempDir dir;
    test::writeText(dir / "in.txt", "payload");
    std::string err;
    // Missing input: nothing written.
    EXPECT_EQ(
        test::runCommand(pack() + " create " + q(dir / "o.dat") + " a=" + q(dir / "missing") + " 2>&1", &err),
        1);
    EXPECT_NE(err.find("missing"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "o.dat"));
    // Duplicate names (compared without case) would lose an item.
    EXPECT_EQ(run("create " + q(dir / "o.dat") + " a=" + q(dir / "in.txt") + " A=" + q(dir / "in.txt")), 2);
    EXPECT_FALSE(std::filesystem::exists(dir / "o.dat"));

    ASSERT_EQ(run("create " + q(dir / "o.dat") + " --compress --encrypt --key right a=" + q(dir / "in.txt")),
              0);
    err.clear();
    EXPECT_EQ(test::runCommand(pack() + " extract " + q(dir / "o.dat") + " a " + q(dir / "out") +
                                   " --key wrong 2>&1",
                               &err),
              1);
    EXPECT_NE(err.find("File is corrupt."), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    EXPECT_EQ(run("extract " + q(dir / "o.dat") + " b " + q(dir / "out") + " --key right"), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    EXPECT_EQ(run("list " + q(dir / "nowhere.dat")), 1);
    // No stray temporary files beside the outputs.
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
    EXPECT_EQ(files, 2);
}

TEST(PackTool, CreateRefusesAWeakKeyAndAnEmptyName) {
    test::TempDir dir;
    test::writeText(dir / "in.txt", "payload");
    const auto dat = dir / "o.dat";
    // A weak key could only be "used" by storing the body unenciphered.
    const std::string weak = utf16ToUtf8(u"\u6F7C\u8428\u21FA\u8687abcd");
    std::string err;
    EXPECT_EQ(test::runCommand(pack() + " create " + q(dat) + " --encrypt --key " + shellQuote(weak) +
                                   " a=" + q(dir / "in.txt") + " 2>&1",
                               &err),
              2);
    EXPECT_NE(err.find("weak"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(dat));
    // Same length, other key bytes: fine.
    EXPECT_EQ(run("create " + q(dat) + " --encrypt --key " +
                  shellQuote(utf16ToUtf8(u"\u6F7C\u8428\u21FA\u8688abcd")) + " a=" + q(dir / "in.txt")),
              0);
    std::filesystem::remove(dat);
    // An item with an empty name could never be extracted again.
    EXPECT_EQ(run("create " + q(dat) + " =" + q(dir / "in.txt")), 2);
    EXPECT_FALSE(std::filesystem::exists(dat));
}

} // namespace
} // namespace pakforge

namespace pakforge {
namespace {

// Programs go in with their checksum set; a damaged one is refused.
TEST(PackTool, ProgramsGoInWithTheirChecksumSet) {
    test::TempDir dir;
    if (!test::haveTool("i686-w64-mingw32-gcc")) PAKFORGE_SKIP_WITHOUT_TOOL("mingw-w64 missing");
    test::writeText(dir / "p.c", "int main(void) { return 0; }\n");
    ASSERT_EQ(test::runCommand("i686-w64-mingw32-gcc -s -O2 -o " + q(dir / "p.exe") + " " + q(dir / "p.c")),
              0);
    auto program = test::readFile(dir / "p.exe");
    const std::size_t at = loadLE32(program.data() + 60) + 88;
    const std::uint32_t sum = loadLE32(program.data() + at);
    ASSERT_NE(sum, 0u);
    storeLE32(program.data() + at, 0);
    test::writeFile(dir / "unsummed.exe", program);
    ASSERT_EQ(run("create " + q(dir / "c.dat") + " exe=" + q(dir / "unsummed.exe")), 0);
    ASSERT_EQ(run("extract " + q(dir / "c.dat") + " exe " + q(dir / "out.exe")), 0);
    const auto packed = test::readFile(dir / "out.exe");
    EXPECT_EQ(loadLE32(packed.data() + at), sum);

    program[program.size() / 2] ^= 0x10;
    storeLE32(program.data() + at, sum);
    test::writeFile(dir / "damaged.exe", program);
    EXPECT_EQ(run("create " + q(dir / "d.dat") + " exe=" + q(dir / "damaged.exe")), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "d.dat"));
}

} // namespace
} // namespace pakforge
