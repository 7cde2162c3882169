// pakforge-res end to end on mingw-built PE32 programs, checked with pefile
// and wrestool.
#include "IconTestSupport.h"

#include <pakforge/Version.h>

#include <fstream>
#include <sstream>

using namespace pakforge;
using namespace pakforge::icontest;
using test::shellQuote;
using test::TempDir;

namespace {

std::filesystem::path resTool() {
    return test::binaryDir() / "bin" / "pakforge-res";
}

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

ToolRun res(const TempDir& dir, const std::string& args) {
    ToolRun run;
    const auto errFile = dir / "stderr.txt";
    run.status = test::runCommand(
        shellQuote(resTool().string()) + " " + args + " 2>" + shellQuote(errFile.string()), &run.out);
    std::ifstream in(errFile);
    std::stringstream text;
    text << in.rdbuf();
    run.err = text.str();
    return run;
}

// A program whose own MAINICON (language 0, one image) set-icon replaces,
// with a version block, a named type and a string resource.
std::filesystem::path fixtureProgram(const TempDir& dir) {
    test::writeText(dir / "png.py", kPngScript);
    runOrFail(std::string(kPython) + " " + shellQuote((dir / "png.py").string()) + " colours " +
              shellQuote((dir / "own.png").string()) + " 32 32 11");
    runOrFail("icotool -c -b 32 -o " + shellQuote((dir / "own.ico").string()) + " " +
              shellQuote((dir / "own.png").string()));
    std::string rc = "LANGUAGE 0, 0\nMAINICON ICON \"own.ico\"\nHELLO MYDATA { \"some named data\" }\n"
                     "LANGUAGE 9, 1\nSTRINGTABLE { 1, \"first string\" }\n";
    rc += kVersionRc;
    return buildMingwProgram(dir, rc);
}

bool haveAll() {
    return haveMingw() && haveIconTools() && test::haveTool("wrestool") && std::filesystem::exists(resTool());
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// pefile's view of every MAINICON group: "LANG COUNT" then one line per
// entry "W H COLOURS PLANES BITS BYTES ID HEX-OF-THE-ICON-IMAGE".
const char* kPefileGroups = R"PY(
import sys, struct, pefile
pe = pefile.PE(sys.argv[1])
icons = {}
groups = []
for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for n in t.directory.entries:
        for l in n.directory.entries:
            data = pe.get_data(l.data.struct.OffsetToData, l.data.struct.Size)
            if t.id == 3 and n.id is not None:
                icons[n.id] = data
            if t.id == 14 and n.name is not None and str(n.name) == 'MAINICON':
                groups.append((l.id, data))
for lang, data in groups:
    reserved, kind, count = struct.unpack_from('<HHH', data, 0)
    print(lang, count)
    for i in range(count):
        w, h, c, r, planes, bits, size, ident = struct.unpack_from('<BBBBHHIH', data, 6 + 14 * i)
        print(w, h, c, planes, bits, size, ident, icons.get(ident, b'').hex())
)PY";

} // namespace

TEST(ResTool, SetIconGivesOneMainIconThatPefileAndWrestoolRead) {
    PAKFORGE_REQUIRE_TOOL(haveAll(), "mingw-w64, icotool, wrestool or pakforge-res");
    TempDir dir;
    const auto exe = fixtureProgram(dir);
    const auto ico = makeSixImageIcon(dir);
    const auto input = icoImages(test::readFile(ico), true);

    const ToolRun set = res(dir, "set-icon " + shellQuote(exe.string()) + " " + shellQuote(ico.string()));
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.err, "");
    EXPECT_FALSE(std::filesystem::exists(dir / "prog.~exe")) << "no backup file is left behind";

    // pefile: the new group replaced the program's own language-0 group; its
    // entries name images 2..7 (after the program's own image 1) in file order.
    test::writeText(dir / "groups.py", kPefileGroups);
    std::string out;
    ASSERT_EQ(test::runCommand(std::string(kPython) + " " + shellQuote((dir / "groups.py").string()) + " " +
                                   shellQuote(exe.string()),
                               &out),
              0)
        << out;
    std::istringstream lines(out);
    int language = -1, count = -1;
    lines >> language >> count;
    EXPECT_EQ(language, 0);
    ASSERT_EQ(count, 6);
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        int w, h, c, planes, bits, size, id;
        std::string data;
        lines >> w >> h >> c >> planes >> bits >> size >> id >> data;
        const auto& image = input[static_cast<std::size_t>(i)];
        EXPECT_EQ(w, image.width);
        EXPECT_EQ(h, image.height);
        EXPECT_EQ(c, image.colours);
        EXPECT_EQ(planes, 1);
        EXPECT_EQ(bits, image.bitCount);
        EXPECT_EQ(size, static_cast<int>(image.bytes.size()));
        EXPECT_EQ(id, 2 + i);
        EXPECT_EQ(data, hex(image.bytes));
    }
    std::string rest;
    lines >> rest;
    EXPECT_EQ(rest, "") << "a second MAINICON group survived";

    // wrestool rebuilds the group into an .ico equal to the input images.
    runOrFail("wrestool -x -t14 -n MAINICON -o " + shellQuote((dir / "back.ico").string()) + " " +
              shellQuote(exe.string()));
    const auto back = icoImages(test::readFile(dir / "back.ico"), false);
    ASSERT_EQ(back.size(), input.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(back[i].width, input[i].width);
        EXPECT_EQ(back[i].height, input[i].height);
        EXPECT_EQ(back[i].colours, input[i].colours);
        EXPECT_EQ(back[i].bitCount, input[i].bitCount);
        EXPECT_EQ(back[i].bytes, input[i].bytes);
    }

    // Our own listing agrees, and the other resources are still there.
    const ToolRun list = res(dir, "list " + shellQuote(exe.string()));
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("14\tMAINICON\t0\t90\tTIconGroupResourceDetails\n"), std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("3\t7\t0\t20250\tTIconResourceDetails\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("MYDATA\tHELLO\t0\t15\t"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("16\t1\t1033\t"), std::string::npos) << list.out;
}

TEST(ResTool, ListExtractAndRewrite) {
    PAKFORGE_REQUIRE_TOOL(haveAll(), "mingw-w64, icotool, wrestool or pakforge-res");
    TempDir dir;
    const auto exe = fixtureProgram(dir);

    const ToolRun list = res(dir, "list " + shellQuote(exe.string()));
    ASSERT_EQ(list.status, 0) << list.err;
    // Directory order: named types first, then numeric types ascending.
    const std::string expected = "MYDATA\tHELLO\t0\t15\tTAnsiResourceDetails\n"
                                 "3\t1\t0\t4264\tTIconResourceDetails\n"
                                 "6\t1\t1033\t56\tTResourceDetails\n";
    EXPECT_EQ(list.out.substr(0, expected.size()), expected) << list.out;
    EXPECT_NE(list.out.find("14\tMAINICON\t0\t20\tTIconGroupResourceDetails\n"), std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("MYDATA\tHELLO\t0\t15\tTAnsiResourceDetails\n"), std::string::npos) << list.out;

    // The version block as wrestool sees it.
    runOrFail("wrestool -x --raw -t16 " + shellQuote(exe.string()) + " > " +
              shellQuote((dir / "w.bin").string()));
    ASSERT_EQ(res(dir, "extract " + shellQuote(exe.string()) + " 16 1 0x409 " +
                           shellQuote((dir / "v.bin").string()))
                  .status,
              0);
    EXPECT_EQ(test::readFile(dir / "v.bin"), test::readFile(dir / "w.bin"));
    const ToolRun toStdout = res(dir, "extract " + shellQuote(exe.string()) + " MYDATA HELLO 0 -");
    EXPECT_EQ(toStdout.status, 0);
    EXPECT_EQ(toStdout.out, "some named data");

    // Rewriting keeps every resource, in order, byte for byte.
    ASSERT_EQ(res(dir, "rewrite " + shellQuote(exe.string())).status, 0);
    EXPECT_EQ(res(dir, "list " + shellQuote(exe.string())).out, list.out);
    ASSERT_EQ(res(dir, "extract " + shellQuote(exe.string()) + " 16 1 1033 " +
                           shellQuote((dir / "v2.bin").string()))
                  .status,
              0);
    EXPECT_EQ(test::readFile(dir / "v2.bin"), test::readFile(dir / "w.bin"));
}

TEST(ResTool, FailuresReportOnStderrAndLeaveTheFileAlone) {
    PAKFORGE_REQUIRE_TOOL(haveAll(), "mingw-w64, icotool, wrestool or pakforge-res");
    TempDir dir;
    const auto exe = fixtureProgram(dir);
    const auto before = test::readFile(exe);
    const std::string file = shellQuote(exe.string());

    test::writeFile(dir / "bad.ico", iconFile({{16, 16, 0, 1, 24, {1, 2, 3, 4}}}));
    ToolRun run = res(dir, "set-icon " + file + " " + shellQuote((dir / "bad.ico").string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Invalid Icon or Cursor"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    run = res(dir, "set-icon " + file + " " + shellQuote((dir / "none.ico").string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("not found"), std::string::npos) << run.err;
    run = res(dir, "extract " + file + " 3 99 0 " + shellQuote((dir / "x.bin").string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no resource of type 3, name 99"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "x.bin"));
    // A resource extracted over the program it comes from, under another name.
    std::filesystem::create_symlink(exe, dir / "link.exe");
    run = res(dir, "extract " + file + " 3 1 0 " + shellQuote((dir / "link.exe").string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is the executable"), std::string::npos) << run.err;
    EXPECT_EQ(test::readFile(exe), before);

    test::writeText(dir / "text.exe", "not a program at all");
    run = res(dir, "rewrite " + shellQuote((dir / "text.exe").string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot read the resources of"), std::string::npos) << run.err;
    EXPECT_EQ(test::readFile(dir / "text.exe"),
              std::vector<std::uint8_t>(std::string_view("not a program at all").begin(),
                                        std::string_view("not a program at all").end()));

    // Usage errors: status 2, a hint, nothing on stdout.
    const std::vector<std::string> usageErrors = {"",
                                                  "frobnicate x",
                                                  "list",
                                                  "list a b",
                                                  "extract " + file + " 3 1 english out",
                                                  "extract " + file + " 3 1 70000 out"};
    for (const std::string& args : usageErrors) {
        run = res(dir, args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_NE(run.err.find("pakforge-res --help"), std::string::npos) << args << ": " << run.err;
        EXPECT_EQ(run.out, "") << args;
    }
    // Output that cannot be written is a failure.
    if (std::filesystem::exists("/dev/full")) {
        for (const std::string& args : {"list " + file, "extract " + file + " MYDATA HELLO 0 -",
                                        std::string("--help"), std::string("--version")}) {
            run = res(dir, args + " >/dev/full");
            EXPECT_EQ(run.status, 1) << args;
            EXPECT_NE(run.err.find("cannot write to standard output"), std::string::npos)
                << args << ": " << run.err;
        }
    }
    run = res(dir, "--help");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("set-icon FILE ICO"), std::string::npos);
    run = res(dir, "--version");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string("pakforge-res ") + PAKFORGE_VERSION + "\n");
}

TEST(ResTool, ArgumentsAsScriptsExpectThem) {
    PAKFORGE_REQUIRE_TOOL(haveAll(), "mingw-w64, icotool, wrestool or pakforge-res");
    TempDir dir;
    const auto exe = fixtureProgram(dir);
    const std::string file = shellQuote(exe.string());

    // -V and -h as in the other programs, also after a command.
    const ToolRun version = res(dir, "--version");
    ToolRun run = res(dir, "-V");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, version.out);
    const ToolRun help = res(dir, "--help");
    run = res(dir, "list " + file + " -h");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, help.out);
    EXPECT_NE(help.out.find("130 when interrupted"), std::string::npos) << help.out;

    // Types and names in any case, as Windows compares them.
    run = res(dir, "extract " + file + " mydata hello 0 -");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "some named data");
    run = res(dir, "extract " + file + " 14 mainicon 0 " + shellQuote((dir / "group.bin").string()));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::readFile(dir / "group.bin").size(), 20u);

    // After "--" a word that looks like an option is an argument.
    std::filesystem::copy_file(exe, dir / "-prog.exe");
    std::string listing;
    EXPECT_EQ(test::runCommand("cd " + shellQuote(dir.path().string()) + " && " +
                                   shellQuote(resTool().string()) + " list -- -prog.exe",
                               &listing),
              0);
    EXPECT_EQ(listing, res(dir, "list " + file).out);
    run = res(dir, "list --bogus " + file);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("unknown option '--bogus'"), std::string::npos) << run.err;

    // A wrong count shows the words taken as arguments.
    run = res(dir, "extract " + file + " 3 -- 1");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("got '" + exe.string() + "' '3' '1'"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}
