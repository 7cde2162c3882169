// pakforge-pack as a user runs it: create, list, extract, and its errors.
#include "container/VxStreamCol.h"
#include "core/ByteIO.h"
#include "core/Utf16.h"
#include "support/TestFiles.h"

#include <pakforge/Version.h>

#include <gtest/gtest.h>

#include <algorithm>

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
    EXPECT_EQ(run("create x.dat --key k a=b"), 2);
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
    // An output that is an input under another name would replace it.
    const auto container = test::readFile(dir / "o.dat");
    EXPECT_EQ(run("create " + q(dir.path() / "." / "in.txt") + " a=" + q(dir / "in.txt")), 1);
    EXPECT_EQ(run("extract " + q(dir / "o.dat") + " a " + q(dir.path() / "." / "o.dat") + " --key right"), 1);
    EXPECT_EQ(test::readFile(dir / "o.dat"), container);
    EXPECT_EQ(test::readFile(dir / "in.txt"), std::vector<std::uint8_t>({'p', 'a', 'y', 'l', 'o', 'a', 'd'}));
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

namespace pakforge {
namespace {

std::string readText(const std::filesystem::path& path) {
    const auto bytes = test::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Status and standard error of one run.
int runWithErrors(const std::string& args, std::string& err, std::string* out = nullptr) {
    test::TempDir errDir;
    const int status = test::runCommand(pack() + " " + args + " 2>" + q(errDir / "err"), out);
    err = readText(errDir / "err");
    return status;
}

TEST(PackTool, OptionsGoAnywhereAndDoubleDashEndsThem) {
    test::TempDir dir;
    test::writeText(dir / "in.txt", "payload");
    const auto dat = dir / "o.dat";
    // Before the command, between and after the operands, as --key=KEY.
    ASSERT_EQ(run("--compress create " + q(dat) + " --encrypt a=" + q(dir / "in.txt") +
                  " --key=k b=" + q(dir / "in.txt")),
              0);
    std::string listing;
    ASSERT_EQ(run("list " + q(dat) + " --key k", &listing), 0);
    EXPECT_EQ(listing, "           7  a\n           7  b\n");
    ASSERT_EQ(run("--key k extract " + q(dat) + " b " + q(dir / "x")), 0);
    EXPECT_EQ(readText(dir / "x"), "payload");
    // After "--", words that look like options are operands.
    ASSERT_EQ(run("create " + q(dat) + " -- --compress=" + q(dir / "in.txt") + " -x=" + q(dir / "in.txt")),
              0);
    listing.clear();
    ASSERT_EQ(run("list -- " + q(dat), &listing), 0);
    EXPECT_EQ(listing, "           7  --compress\n           7  -x\n");

    // A wrong count says which words were taken as operands.
    std::string err;
    EXPECT_EQ(runWithErrors("extract " + q(dat) + " --key k b", err), 2);
    EXPECT_NE(err.find("2 operands were given: '" + dat.string() + "' 'b'"), std::string::npos) << err;
    EXPECT_EQ(runWithErrors("list a.dat -- --key k", err), 2);
    EXPECT_NE(err.find("3 operands were given: 'a.dat' '--key' 'k'"), std::string::npos) << err;
    EXPECT_EQ(runWithErrors("create " + q(dat) + " --compress", err), 2);
    EXPECT_NE(err.find("1 operand was given: '" + dat.string() + "'"), std::string::npos) << err;
    // Options in the wrong place or without their value are usage errors.
    EXPECT_EQ(runWithErrors("list " + q(dat) + " --compress", err), 2);
    EXPECT_NE(err.find("'--compress' goes only with create"), std::string::npos) << err;
    EXPECT_EQ(runWithErrors("list " + q(dat) + " --key", err), 2);
    EXPECT_NE(err.find("'--key' needs a value"), std::string::npos) << err;
    EXPECT_EQ(runWithErrors("list " + q(dat) + " --bogus", err), 2);
    EXPECT_NE(err.find("unknown option '--bogus'"), std::string::npos) << err;
    EXPECT_EQ(readText(dir / "x"), "payload");
}

TEST(PackTool, TheBuiltInKeyReadsAndWritesWithoutKeyOption) {
    test::TempDir dir;
    // The container the build ships opens without a key.
    const auto shipped = test::binaryDir() / "bin" / "pakforge.dat";
    if (std::filesystem::exists(shipped)) {
        std::string listing;
        ASSERT_EQ(run("list " + q(shipped), &listing), 0);
        EXPECT_EQ(listing.substr(12), "  exe\n") << listing;
        ASSERT_EQ(run("extract " + q(shipped) + " exe " + q(dir / "stub.exe")), 0);
        const auto stub = test::readFile(dir / "stub.exe");
        ASSERT_GT(stub.size(), 2u);
        EXPECT_EQ(std::stoull(listing), stub.size());
        EXPECT_EQ(stub[0], 'M');
        EXPECT_EQ(stub[1], 'Z');
    }
    // --encrypt alone uses that key: the same bytes as naming it, a body
    // that does not show the payload, and other keys fail.
    std::string text;
    for (int i = 0; i < 200; ++i) text += "plain payload ";
    test::writeText(dir / "in.txt", text);
    ASSERT_EQ(run("create " + q(dir / "builtin.dat") + " --encrypt a=" + q(dir / "in.txt")), 0);
    ASSERT_EQ(run("create " + q(dir / "named.dat") + " --encrypt --key " +
                  shellQuote(utf16ToUtf8(std::u16string(kContainerKey))) + " a=" + q(dir / "in.txt")),
              0);
    const auto builtin = test::readFile(dir / "builtin.dat");
    EXPECT_EQ(builtin, test::readFile(dir / "named.dat"));
    const std::string needle = "plain payload";
    EXPECT_EQ(std::search(builtin.begin(), builtin.end(), needle.begin(), needle.end()), builtin.end());
    ASSERT_EQ(run("extract " + q(dir / "builtin.dat") + " a " + q(dir / "back.txt")), 0);
    EXPECT_EQ(readText(dir / "back.txt"), text);
    std::string err;
    EXPECT_EQ(runWithErrors("list " + q(dir / "builtin.dat") + " --key other", err), 1);
    EXPECT_NE(err.find("File is corrupt. Check the key."), std::string::npos) << err;
    // A container under another key names the option that opens it.
    ASSERT_EQ(run("create " + q(dir / "other.dat") + " --encrypt --key other a=" + q(dir / "in.txt")), 0);
    EXPECT_EQ(runWithErrors("list " + q(dir / "other.dat"), err), 1);
    EXPECT_NE(err.find("give that key with --key"), std::string::npos) << err;
}

TEST(PackTool, ShortOptionsStandardOutputAndInterrupts) {
    test::TempDir dir;
    std::string longForm, shortForm;
    ASSERT_EQ(run("--version", &longForm), 0);
    ASSERT_EQ(run("-V", &shortForm), 0);
    EXPECT_EQ(shortForm, longForm);
    longForm.clear();
    shortForm.clear();
    ASSERT_EQ(run("--help", &longForm), 0);
    ASSERT_EQ(run("list -h", &shortForm), 0);
    EXPECT_EQ(shortForm, longForm);
    EXPECT_NE(longForm.find("130 when interrupted"), std::string::npos);

    // "-" as extract's output is standard output, byte for byte.
    const auto data = test::randomBytes(300000, 9);
    test::writeFile(dir / "big.bin", data);
    const auto dat = dir / "c.dat";
    ASSERT_EQ(run("create " + q(dat) + " --compress big=" + q(dir / "big.bin")), 0);
    ASSERT_EQ(test::runCommand("cd " + q(dir.path()) + " && " + pack() + " extract c.dat big - > out.bin"),
              0);
    EXPECT_EQ(test::readFile(dir / "out.bin"), data);
    EXPECT_FALSE(std::filesystem::exists(dir / "-"));

    // Interrupted while it writes to a reader that takes nothing: status 130
    // and a word on stderr. Until the handler is in place the signal is
    // ignored (a background job's), so it is sent until the tool is gone; a
    // tool that never goes is killed rather than waited for.
    const std::string script = "cd " + q(dir.path()) + " && mkfifo pipe && { " + pack() +
                               " extract c.dat big - >pipe 2>err.txt & pid=$!; exec 3<pipe; n=0; "
                               "while [ $n -lt 600 ] && grep -qv ') Z' /proc/$pid/stat 2>/dev/null; do "
                               "kill -INT $pid; sleep 0.05; n=$((n+1)); done; kill -KILL $pid 2>/dev/null; "
                               "wait $pid; echo $?; exec 3<&-; }";
    std::string out;
    ASSERT_EQ(test::runCommand("sh -c " + shellQuote(script), &out), 0);
    EXPECT_EQ(out, "130\n");
    EXPECT_EQ(readText(dir / "err.txt"), "Interrupted\n");
}

} // namespace
} // namespace pakforge
