#include "IconTestSupport.h"

#include "resources/unitResourceVersionInfo.h"

#include <random>

using namespace pakforge;
using namespace pakforge::icontest;
using test::TempDir;

namespace {

std::vector<std::uint8_t> bytesOf(const TResourceDetails& d) {
    return std::vector<std::uint8_t>(d.Data().bytes().begin(), d.Data().bytes().end());
}

std::string utf8(const std::optional<std::u16string>& text) {
    return text ? std::string(text->begin(), text->end()) : "<none>";
}

// The version block of a mingw program, as wrestool extracts it.
std::vector<std::uint8_t> compiledBlock(const TempDir& dir) {
    const auto exe = buildMingwProgram(dir, kVersionRc);
    runOrFail("wrestool -x --raw -t16 " + test::shellQuote(exe.string()) + " > " +
              test::shellQuote((dir / "v.bin").string()));
    return test::readFile(dir / "v.bin");
}

} // namespace

TEST(VersionInfo, EmptyBlockIsTheNinetyTwoByteRoot) {
    InitResourceVersionInfo();
    TListModule module;
    auto* info = TResourceDetails::CreateEmpty<TVersionInfoResourceDetails>(&module, 0, u"1");
    EXPECT_EQ(info->ResourceType, u"16");
    EXPECT_FALSE(info->Parsed);
    EXPECT_EQ(info->Translations, (std::vector<std::uint32_t>{0x04E40409}));
    const auto bytes = bytesOf(*info);
    ASSERT_EQ(bytes.size(), 92u);
    ByteReader r(bytes);
    EXPECT_EQ(r.u16(), 92);
    EXPECT_EQ(r.u16(), 52);
    EXPECT_EQ(r.u16(), 0);
    EXPECT_EQ(r.utf16(16), std::u16string(u"VS_VERSION_INFO", 16));
    EXPECT_EQ(r.u16(), 0);
    const std::uint32_t fixed[] = {0xFEEF04BD, 0x00010000, 0x00010000, 0, 0x00010000, 0, 0x3F,
                                   0,          4,          0,          0, 0,          0};
    for (std::uint32_t v : fixed) EXPECT_EQ(r.u32(), v);

    // It reads back with the parser and writes back unchanged.
    const TVersionInfoBlock block(bytes);
    EXPECT_EQ(block.Root.Key, u"VS_VERSION_INFO");
    ASSERT_TRUE(block.FixedFileInfo());
    EXPECT_EQ(block.FixedFileInfo()->FileVersion(), (std::array<std::uint16_t, 4>{1, 0, 0, 0}));
    EXPECT_EQ(block.Query(u"\\")->size(), 52u);
    EXPECT_EQ(WriteVersionBlock(block.Root), bytes);
    info->Parse();
    EXPECT_TRUE(info->Parsed);
    EXPECT_EQ(info->Translations, (std::vector<std::uint32_t>{0x04E40409})) << "kept: the block names none";
}

TEST(VersionInfo, ReadsACompiledBlockAndWritesItBackByteForByte) {
    PAKFORGE_REQUIRE_TOOL(haveMingw() && test::haveTool("wrestool"), "mingw-w64 or wrestool");
    TempDir dir;
    const auto bytes = compiledBlock(dir);
    const TVersionInfoBlock block(bytes);

    const auto fixed = block.FixedFileInfo();
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->FileVersion(), (std::array<std::uint16_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(fixed->ProductVersion(), (std::array<std::uint16_t, 4>{5, 6, 7, 8}));
    EXPECT_EQ(fixed->FileOS, 0x40004u);
    EXPECT_EQ(fixed->FileType, 1u);
    EXPECT_EQ(block.Translations(), (std::vector<std::uint32_t>{0x04B00409}));
    EXPECT_EQ(TranslationKey(0x04B00409), u"040904B0");

    EXPECT_EQ(utf8(block.QueryString(u"\\StringFileInfo\\040904B0\\ProductVersion")), "1.2.3.4");
    EXPECT_EQ(utf8(block.QueryString(u"\\stringfileinfo\\040904b0\\companyname")), "Pakforge Test");
    EXPECT_EQ(utf8(block.QueryString(u"\\StringFileInfo\\040904B0\\Comments")), "");
    EXPECT_EQ(utf8(block.QueryString(u"\\StringFileInfo\\040904B0\\Missing")), "<none>");
    EXPECT_EQ(utf8(block.QueryString(u"\\StringFileInfo\\040704B0\\ProductVersion")), "<none>");
    EXPECT_EQ(utf8(block.StringValue(u"CompanyName", 0x04B00409)), "Pakforge Test");
    EXPECT_EQ(utf8(block.StringValue(u"CompanyName", 0x04E40409)), "<none>");
    EXPECT_EQ(block.Query(u"\\VarFileInfo\\Translation"),
              (std::vector<std::uint8_t>{0x09, 0x04, 0xB0, 0x04}));
    EXPECT_EQ(block.Query(u"\\")->size(), 52u);

    const auto tables = block.StringTables();
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(tables[0].Key, u"040904B0");
    ASSERT_EQ(tables[0].Values.size(), 3u);
    EXPECT_EQ(tables[0].Values[0].first, u"CompanyName");

    EXPECT_EQ(WriteVersionBlock(block.Root), bytes);

    // Through the resource class: the pairs of the translation's table.
    InitResourceVersionInfo();
    TListModule module;
    auto* info = dynamic_cast<TVersionInfoResourceDetails*>(module.addRead(u"16", u"1", bytes, 0x0409));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(bytesOf(*info), bytes) << "read resources keep their bytes";
    EXPECT_EQ(info->GetKey(1), u"ProductVersion");
    EXPECT_EQ(info->StringValues[1]->Value, u"1.2.3.4");
    EXPECT_THROW(info->GetKey(3), ERangeError);

    // A changed value is written into the block and reads back.
    info->SetStringValue(u"ProductVersion", u"9.9");
    EXPECT_TRUE(info->Dirty);
    const TVersionInfoBlock changed(bytesOf(*info));
    EXPECT_EQ(utf8(changed.QueryString(u"\\StringFileInfo\\040904B0\\ProductVersion")), "9.9");
    EXPECT_EQ(utf8(changed.QueryString(u"\\StringFileInfo\\040904B0\\CompanyName")), "Pakforge Test");
    EXPECT_EQ(changed.FixedFileInfo(), fixed);

    // Replacing the data forgets what was parsed.
    MemoryStream original(bytes);
    info->ReplaceData(original);
    EXPECT_FALSE(info->Parsed);
    EXPECT_EQ(utf8(info->Block().StringValue(u"ProductVersion")), "1.2.3.4");
}

TEST(VersionInfo, NewStringsGoIntoANewTableWithItsTranslation) {
    TListModule module;
    auto* info = TResourceDetails::CreateEmpty<TVersionInfoResourceDetails>(&module, 0, u"1");
    info->SetStringValue(u"ProductName", u"Pakforge");
    info->SetStringValue(u"ProductVersion", u"1.0.0");
    const TVersionInfoBlock block(bytesOf(*info));
    EXPECT_EQ(utf8(block.QueryString(u"\\StringFileInfo\\040904E4\\ProductName")), "Pakforge");
    EXPECT_EQ(utf8(block.QueryString(u"\\StringFileInfo\\040904E4\\ProductVersion")), "1.0.0");
    EXPECT_EQ(block.Translations(), (std::vector<std::uint32_t>{0x04E40409}));
    EXPECT_EQ(block.Root.Children[0].Key, u"StringFileInfo");
    EXPECT_EQ(block.Root.Children[1].Key, u"VarFileInfo");
    EXPECT_EQ(loadLE16(info->Data().memory()), info->Data().size());
}

// New data brings its own translations: a block without a table must not pick
// its strings by the table of the block it replaced.
TEST(VersionInfo, ReplacedDataDropsTheOldTranslations) {
    TListModule module;
    auto* old = TResourceDetails::CreateEmpty<TVersionInfoResourceDetails>(&module, 0, u"1");
    old->Translations = {0x04B00407};
    old->SetStringValue(u"ProductName", u"Old");
    auto* fresh = TResourceDetails::CreateEmpty<TVersionInfoResourceDetails>(&module, 0, u"2");
    fresh->SetStringValue(u"ProductName", u"New");
    TVersionInfoBlock block(bytesOf(*fresh));
    TVersionNode* strings = block.Root.Child(u"StringFileInfo");
    ASSERT_TRUE(strings);
    TVersionNode german = strings->Children[0];
    german.Key = u"040704B0";
    german.Children[0].Text = u"Stale";
    strings->Children.push_back(german);
    std::erase_if(block.Root.Children, [](const TVersionNode& n) { return n.Key == u"VarFileInfo"; });
    const auto noTranslations = WriteVersionBlock(block.Root);
    ASSERT_TRUE(TVersionInfoBlock(noTranslations).Translations().empty());

    old->Parse();
    MemoryStream replacement{std::vector<std::uint8_t>(noTranslations)};
    old->ReplaceData(replacement);
    old->Parse();
    EXPECT_TRUE(old->Translations.empty());
    ASSERT_EQ(old->StringValues.size(), 1u);
    EXPECT_EQ(utf8(old->StringValues[0]->Value), "New") << "picked by the replaced block's table";
}

TEST(VersionInfo, MalformedBlocksRaiseAndNeverCrash) {
    const auto bad = [](std::vector<std::uint8_t> bytes) {
        try {
            ParseVersionBlock(bytes);
        } catch (const EVersionInfoError&) {
            return true;
        }
        return false;
    };
    TListModule module;
    auto* info = TResourceDetails::CreateEmpty<TVersionInfoResourceDetails>(&module, 0, u"1");
    const auto good = bytesOf(*info);

    EXPECT_TRUE(bad({}));
    EXPECT_TRUE(bad({4, 0, 0, 0}));
    auto longer = good;
    storeLE16(longer.data(), 200); // longer than the data
    EXPECT_TRUE(bad(longer));
    auto zero = good;
    storeLE16(zero.data(), 0);
    EXPECT_TRUE(bad(zero));
    auto value = good;
    storeLE16(value.data() + 2, 60); // binary value past the node
    EXPECT_TRUE(bad(value));
    EXPECT_TRUE(bad({12, 0, 0, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0})); // key without terminator
    auto noSignature = good;
    noSignature[40] = 0;
    const TVersionInfoBlock unsigned_(noSignature);
    EXPECT_THROW(unsigned_.FixedFileInfo(), EVersionInfoError);

    // Nodes nested deeper than any real block.
    TVersionNode deep;
    TVersionNode* at = &deep;
    for (int i = 0; i < 12; ++i) {
        at->Children.emplace_back();
        at = &at->Children.back();
        at->Key.push_back(u'k');
    }
    EXPECT_THROW(WriteVersionBlock(deep), EVersionInfoError);
    std::vector<std::uint8_t> nested;
    for (int i = 0; i < 12; ++i) nested.insert(nested.end(), {0, 0, 0, 0, 0, 0, 'k', 0, 0, 0, 0, 0});
    for (int i = 0; i < 12; ++i) storeLE16(nested.data() + 12 * i, static_cast<std::uint16_t>(12 * (12 - i)));
    EXPECT_TRUE(bad(nested));

    // Random damage to a real block: parsed or refused, nothing else.
    info->SetStringValue(u"ProductName", u"Pakforge");
    const auto rich = bytesOf(*info);
    std::mt19937 random(5);
    int refused = 0;
    for (int round = 0; round < 3000; ++round) {
        auto bytes = rich;
        for (int k = 0; k < 4; ++k) bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
        if (round % 7 == 0) bytes.resize(random() % bytes.size());
        try {
            const TVersionInfoBlock block(bytes);
            (void)block.Query(u"\\StringFileInfo\\040904E4\\ProductName");
            (void)block.Translations();
            (void)WriteVersionBlock(block.Root);
        } catch (const EVersionInfoError&) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 0);
}
