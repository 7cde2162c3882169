// The program's own version block (generated at build time for this test
// program as 3.3.0.0) and the comparison of version numbers.
#include "update/getversion.h"
#include "core/ByteIO.h"
#include "resources/unitResourceVersionInfo.h"
#include "services/OwnVersionBlock.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

TEST(OwnVersionBlock, GeneratedBlockReadsBackAndMatchesOurWriter) {
    const auto block = services::OwnVersionBlock();
    ASSERT_FALSE(block.empty());
    std::u16string version, product, description;
    ASSERT_TRUE(GetVersionInfo(version, product, description));
    EXPECT_EQ(version, u"3.3.0.0");
    EXPECT_EQ(product, u"Pakforge");
    EXPECT_EQ(description, u"Update check tests");

    const TVersionInfoBlock info(block);
    const auto fixed = info.FixedFileInfo();
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->FileVersion(), (std::array<std::uint16_t, 4>{3, 3, 0, 0}));
    EXPECT_EQ(fixed->ProductVersion(), (std::array<std::uint16_t, 4>{3, 3, 0, 0}));
    EXPECT_EQ(info.Translations(), std::vector<std::uint32_t>{0x04B00409});
    EXPECT_EQ(info.QueryString(u"\\StringFileInfo\\040904B0\\ProductVersion"), u"3.3.0.0");
    // Parsing and writing again gives the block back byte for byte (the
    // independent check of the layout is windres's block, below).
    EXPECT_EQ(WriteVersionBlock(ParseVersionBlock(block)),
              std::vector<std::uint8_t>(block.begin(), block.end()));
}

// The version resource a real resource compiler (mingw-w64's windres) makes
// from the same description, taken out of its .res file.
std::vector<std::uint8_t> resourceCompilersBlock() {
    test::TempDir dir;
    test::writeText(dir / "v.rc", R"(1 VERSIONINFO
FILEVERSION 3,3,0,0
PRODUCTVERSION 3,3,0,0
FILEFLAGSMASK 0x3F
FILEFLAGS 0
FILEOS 0x40004
FILETYPE 1
FILESUBTYPE 0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904B0"
    BEGIN
      VALUE "FileVersion", "3.3.0.0"
      VALUE "ProductName", "Pakforge"
      VALUE "FileDescription", "Update check tests"
      VALUE "ProductVersion", "3.3.0.0"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x0409, 0x04B0
  END
END
)");
    if (test::runCommand("i686-w64-mingw32-windres -O res -i " + test::shellQuote((dir / "v.rc").string()) +
                         " -o " + test::shellQuote((dir / "v.res").string())) != 0)
        return {};
    // .res records: data size, header size, type, name, ...; 32-bit aligned.
    const auto res = test::readFile(dir / "v.res");
    ByteReader r(res);
    while (r.remaining() >= 12) {
        const std::size_t start = r.position();
        const std::uint32_t dataSize = r.u32(), headerSize = r.u32();
        const bool version = r.u16() == 0xFFFF && r.u16() == 16;
        r.seek(start + headerSize);
        const auto data = r.bytes(dataSize);
        if (version) return {data.begin(), data.end()};
        r.seek(std::min<std::size_t>((r.position() + 3) & ~std::size_t{3}, res.size()));
    }
    return {};
}

TEST(OwnVersionBlock, GeneratedBlockIsTheResourceCompilersByteForByte) {
    if (!test::haveTool("i686-w64-mingw32-windres")) {
        if (std::getenv("CI")) FAIL() << "i686-w64-mingw32-windres is missing";
        GTEST_SKIP() << "i686-w64-mingw32-windres is missing";
    }
    const auto block = services::OwnVersionBlock();
    EXPECT_EQ(resourceCompilersBlock(), std::vector<std::uint8_t>(block.begin(), block.end()));
}

TVersionNode stringNode(std::u16string key, std::u16string text) {
    TVersionNode node;
    node.Key = std::move(key);
    node.ValueType = 1;
    node.Text = std::move(text);
    return node;
}

// A block with the given strings in table 040904E4 and, when wanted, the
// translation 0409/04E4.
std::vector<std::uint8_t> makeBlock(std::vector<TVersionNode> strings, bool translation) {
    TVersionNode root;
    root.Key = u"VS_VERSION_INFO";
    root.Value = TFixedFileInfo{}.ToBytes();
    TVersionNode table;
    table.Key = u"040904E4";
    table.ValueType = 1;
    table.Children = std::move(strings);
    TVersionNode stringInfo;
    stringInfo.Key = u"StringFileInfo";
    stringInfo.ValueType = 1;
    stringInfo.Children.push_back(table);
    root.Children.push_back(stringInfo);
    if (translation) {
        TVersionNode var;
        var.Key = u"Translation";
        var.Value = {0x09, 0x04, 0xE4, 0x04};
        TVersionNode varInfo;
        varInfo.Key = u"VarFileInfo";
        varInfo.ValueType = 1;
        varInfo.Children.push_back(var);
        root.Children.push_back(varInfo);
    }
    return WriteVersionBlock(root);
}

TEST(GetVersionInfo, MissingStringsMissingTranslationAndDamagedBlocks) {
    std::u16string version = u"x", product = u"x", description = u"x";
    // No ProductName: that string stays empty, the block still counts.
    const auto noProduct =
        makeBlock({stringNode(u"FileVersion", u"1.2.3.4"), stringNode(u"FileDescription", u"Tool")}, true);
    EXPECT_TRUE(GetVersionInfo(noProduct, version, product, description));
    EXPECT_EQ(version, u"1.2.3.4");
    EXPECT_EQ(product, u"");
    EXPECT_EQ(description, u"Tool");

    // Without a translation table no string table is chosen.
    const auto noTranslation = makeBlock({stringNode(u"FileVersion", u"1.2.3.4")}, false);
    EXPECT_TRUE(GetVersionInfo(noTranslation, version, product, description));
    EXPECT_EQ(version, u"");

    // No block, or bytes that are no block: false and three empty strings.
    version = product = description = u"x";
    EXPECT_FALSE(GetVersionInfo({}, version, product, description));
    EXPECT_EQ(version + product + description, u"");
    auto damaged = noProduct;
    damaged[0] = 0xFF; // a root longer than the block
    damaged[1] = 0xFF;
    version = u"x";
    EXPECT_FALSE(GetVersionInfo(damaged, version, product, description));
    EXPECT_EQ(version, u"");
}

TEST(IsNewerVersion, ComparesTheFourPartValue) {
    struct Case {
        std::u16string candidate, current;
        bool newer;
    };
    const Case cases[] = {
        {u"3.4.0.0", u"3.3.0.0", true},
        {u"3.3.0.0", u"3.3.0.0", false},
        {u"3.3.0.1", u"3.3.0.0", true},
        {u"3.2.9.9", u"3.3.0.0", false},
        {u"1.2.100.0", u"1.3.0.0", false}, // both 1,030,000: parts carry
        {u"03.04.00.00", u"3.3.0.0", true},
        {u"3.4.0.0.7", u"3.3.0.0", true}, // a fifth part is ignored
        {u"4", u"3.3.0.0", false},        // no full stop: never newer, no error
        {u"", u"3.3.0.0", false},
        {u"3.4.0.0", u"", false},
        {u"+3.4.0.0", u"3.3.0.0", true},
        {u"-3.4.0.0", u"3.3.0.0", false},
        // Beyond the 32-bit range of the summed value: still the larger.
        {u"5000.0.0.0", u"3.3.0.0", true},
        {u"3.3.0.0", u"5000.0.0.0", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsNewerVersion(c.candidate, c.current), c.newer)
            << std::string(c.candidate.begin(), c.candidate.end());
}

TEST(IsNewerVersion, RefusesWhatIsNoVersion) {
    for (const std::u16string bad : {u"3.4.0", u"3.x.0.0", u"3..0.0", u"3.4.0.", u"3.4.0.0x", u"3. 4.0.0",
                                     u"3.4.0.2147483648", u"3.4.0.+"}) {
        EXPECT_THROW(IsNewerVersion(bad, u"3.3.0.0"), EConvertError) << std::string(bad.begin(), bad.end());
        EXPECT_THROW(IsNewerVersion(u"3.3.0.0", bad), EConvertError) << std::string(bad.begin(), bad.end());
    }
    try {
        IsNewerVersion(u"3.x.0.0", u"3.3.0.0");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
    }
}

} // namespace
} // namespace pakforge
