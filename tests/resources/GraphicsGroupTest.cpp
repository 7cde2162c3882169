#include "IconTestSupport.h"

#include "resources/unitResourceGraphics.h"
#include "resources/unitResourceVersionInfo.h"

#include <algorithm>
#include <functional>

using namespace pakforge;
using namespace pakforge::icontest;
using test::TempDir;

namespace {

struct Registered : ::testing::Environment {
    void SetUp() override { InitResourceVersionInfo(); }
};
[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Registered);

struct GroupEntry {
    int width, height, colours, planes, bitCount;
    std::uint32_t bytes;
    int id;
};

std::vector<GroupEntry> entriesOf(const TResourceDetails& group) {
    const auto bytes = group.Data().bytes();
    ByteReader r(bytes);
    EXPECT_EQ(r.u16(), 0);
    const std::uint16_t type = r.u16();
    const std::uint16_t count = r.u16();
    std::vector<GroupEntry> entries;
    for (int i = 0; i < count; ++i) {
        GroupEntry e{};
        if (type == 1) {
            e.width = r.u8();
            e.height = r.u8();
            e.colours = r.u8();
            r.u8();
        } else {
            e.width = r.u16();
            e.height = r.u16();
        }
        e.planes = r.u16();
        e.bitCount = r.u16();
        e.bytes = r.u32();
        e.id = r.u16();
        entries.push_back(e);
    }
    EXPECT_EQ(r.remaining(), 0u);
    return entries;
}

std::vector<std::string> namesOf(const TResourceModule& module, const std::u16string& type) {
    std::vector<std::string> names;
    for (int i = 0; i < module.GetResourceCount(); ++i) {
        const auto* d = module.GetResourceDetails(i);
        if (d->ResourceType == type) names.emplace_back(d->ResourceName().begin(), d->ResourceName().end());
    }
    return names;
}

std::vector<std::uint8_t> iconGroupBytes(const std::vector<int>& ids) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u16(0);
    w.u16(1);
    w.u16(static_cast<std::uint16_t>(ids.size()));
    for (int id : ids) {
        w.u8(32);
        w.u8(32);
        w.u8(16);
        w.u8(0);
        w.u16(1);
        w.u16(4);
        w.u32(744);
        w.u16(static_cast<std::uint16_t>(id));
    }
    return out;
}

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.message();
    }
    return "";
}

} // namespace

TEST(GraphicsRegistry, ClassesRegisterInStartUpOrder) {
    std::vector<std::string> names;
    for (const auto* cls : RegisteredDetailsClasses()) names.emplace_back(cls->ClassName);
    const std::vector<std::string> expected = {"TBitmapResourceDetails",     "TDIBResourceDetails",
                                               "TIconGroupResourceDetails",  "TCursorGroupResourceDetails",
                                               "TIconResourceDetails",       "TCursorResourceDetails",
                                               "TVersionInfoResourceDetails"};
    EXPECT_EQ(names, expected);

    // The factory picks the class by type; a DIB file is recognised by its
    // bytes under any type and keeps that type.
    TListModule module;
    EXPECT_STREQ(module.addRead(u"14", u"A", iconGroupBytes({}))->ClassName(), "TIconGroupResourceDetails");
    EXPECT_STREQ(module.addRead(u"12", u"A", {0, 0, 2, 0, 0, 0})->ClassName(), "TCursorGroupResourceDetails");
    EXPECT_STREQ(module.addRead(u"3", u"1", BlankIconCursorImage(false))->ClassName(),
                 "TIconResourceDetails");
    EXPECT_STREQ(module.addRead(u"1", u"1", BlankIconCursorImage(true))->ClassName(),
                 "TCursorResourceDetails");
    EXPECT_STREQ(module.addRead(u"16", u"1", {1, 2, 3})->ClassName(), "TVersionInfoResourceDetails");
    auto dib = TResourceDetails::CreateEmptyOwned<TDIBResourceDetails>(0, u"X");
    const std::vector<std::uint8_t> dibBytes(dib->Data().bytes().begin(), dib->Data().bytes().end());
    auto* asDib = module.addRead(u"FOO", u"X", dibBytes);
    EXPECT_STREQ(asDib->ClassName(), "TDIBResourceDetails");
    EXPECT_EQ(asDib->ResourceType, u"FOO");
    auto notDib = dibBytes;
    notDib[6] = 1; // reserved field
    EXPECT_STRNE(module.addRead(u"FOO", u"Y", notDib)->ClassName(), "TDIBResourceDetails");
}

TEST(GraphicsBlank, NewGroupsAndImagesByteForByte) {
    TListModule module;
    auto* group = TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&module, 0x0409, u"MAINICON");
    ASSERT_EQ(module.GetResourceCount(), 2);
    EXPECT_EQ(module.GetResourceDetails(0), group) << "the group is listed before its image";
    auto* image = dynamic_cast<TIconResourceDetails*>(module.GetResourceDetails(1));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->ResourceName(), u"1");
    EXPECT_EQ(image->ResourceLanguage, 0x0409);
    EXPECT_FALSE(group->Dirty);

    const auto bytes = image->Data().bytes();
    ASSERT_EQ(bytes.size(), 744u);
    ByteReader r(bytes);
    EXPECT_EQ(r.u32(), 40u);
    EXPECT_EQ(r.i32(), 32);
    EXPECT_EQ(r.i32(), 64);
    EXPECT_EQ(r.u16(), 1);
    EXPECT_EQ(r.u16(), 4);
    EXPECT_EQ(r.u32(), 0u); // compression
    EXPECT_EQ(r.u32(), 0u); // image size
    r.skip(8);
    EXPECT_EQ(r.u32(), 16u);
    EXPECT_EQ(r.u32(), 16u);
    for (const auto& q : SystemPalette16()) {
        EXPECT_EQ(r.u8(), q.Blue);
        EXPECT_EQ(r.u8(), q.Green);
        EXPECT_EQ(r.u8(), q.Red);
        EXPECT_EQ(r.u8(), 0);
    }
    const auto rows = r.bytes(512);
    EXPECT_TRUE(std::all_of(rows.begin(), rows.end(), [](auto b) { return b == 0; }));
    const auto mask = r.bytes(128);
    EXPECT_TRUE(std::all_of(mask.begin(), mask.end(), [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(image->GetWidth(), 32);
    EXPECT_EQ(image->GetHeight(), 32);
    EXPECT_EQ(image->GetPixelFormat(), TPixelFormat::pf4bit);

    const auto entries = entriesOf(*group);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].width, 32);
    EXPECT_EQ(entries[0].height, 32);
    EXPECT_EQ(entries[0].colours, 16);
    EXPECT_EQ(entries[0].planes, 1);
    EXPECT_EQ(entries[0].bitCount, 4);
    EXPECT_EQ(entries[0].bytes, 744u);
    EXPECT_EQ(entries[0].id, 1);
    EXPECT_EQ(group->GetResourceDetails(0), image);

    // Cursors: 748 bytes with the (16, 16) hot spot first; 16-bit sizes.
    auto* cursorGroup = TResourceDetails::CreateEmpty<TCursorGroupResourceDetails>(&module, 0, u"C");
    auto* cursor = dynamic_cast<TCursorResourceDetails*>(module.GetResourceDetails(3));
    ASSERT_NE(cursor, nullptr);
    ASSERT_EQ(cursor->Data().size(), 748);
    EXPECT_EQ(loadLE32(cursor->Data().memory()), 16u | (16u << 16));
    EXPECT_EQ(cursor->GetHeight(), 32);
    const auto cursorEntries = entriesOf(*cursorGroup);
    ASSERT_EQ(cursorEntries.size(), 1u);
    EXPECT_EQ(cursorEntries[0].width, 32);
    EXPECT_EQ(cursorEntries[0].height, 32);
    EXPECT_EQ(cursorEntries[0].bytes, 748u);
    EXPECT_EQ(cursorEntries[0].id, 1);
    EXPECT_EQ(cursorGroup->Data().size(), 20);

    // Bitmaps: 128 x 96 x 24; a DIB is the same after its 14-byte file header.
    auto bitmap = TResourceDetails::CreateEmptyOwned<TBitmapResourceDetails>(0, u"B");
    EXPECT_EQ(bitmap->Data().size(), 40 + 36864);
    EXPECT_EQ(bitmap->GetWidth(), 128);
    EXPECT_EQ(bitmap->GetHeight(), 96);
    EXPECT_EQ(bitmap->GetPixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(loadLE32(bitmap->Data().memory() + 20), 36864u);
    auto dib = TResourceDetails::CreateEmptyOwned<TDIBResourceDetails>(0, u"D");
    ASSERT_EQ(dib->Data().size(), 14 + 40 + 36864);
    const auto* d = dib->Data().memory();
    EXPECT_EQ(d[0], 'B');
    EXPECT_EQ(d[1], 'M');
    EXPECT_EQ(loadLE32(d + 2), 54u);
    EXPECT_EQ(loadLE32(d + 10), 54u);
    EXPECT_TRUE(std::equal(d + 14, d + 14 + 40 + 36864, bitmap->Data().memory()));
    EXPECT_EQ(dib->GetWidth(), 128);
    EXPECT_EQ(dib->GetPixelFormat(), TPixelFormat::pf24bit);
}

TEST(GraphicsGroup, LoadFromIconFileTakesIdsAfterTheLargestInFileOrder) {
    PAKFORGE_REQUIRE_TOOL(haveIconTools(), "icotool or python3");
    TempDir dir;
    const auto ico = makeSixImageIcon(dir);
    TListModule module;
    for (int id : {1, 2, 3, 4, 5, 6})
        module.addRead(u"3", u16(std::to_string(id)), BlankIconCursorImage(false));
    module.addRead(u"3", u"SPARE", BlankIconCursorImage(false));
    auto* oldGroup = module.addRead(u"14", u"MAINICON", iconGroupBytes({1, 2, 3, 4, 5, 6}));

    auto* group = TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&module, 0, u"MAINICON");
    group->Dirty = true;
    EXPECT_EQ(namesOf(module, u"3").back(), "7") << "the blank image";
    group->LoadFromIconFile(ico);

    EXPECT_TRUE(group->Dirty);
    EXPECT_EQ(group->ResourceName(), u"MAINICON");
    EXPECT_EQ(namesOf(module, u"3"), (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "SPARE", "7",
                                                               "8", "9", "10", "11", "12"}));
    // The new group comes after the old one of the same name.
    EXPECT_LT(module.IndexOfResource(oldGroup), module.IndexOfResource(group));
    EXPECT_EQ(entriesOf(*oldGroup).size(), 6u);

    TExIcon codec;
    codec.LoadFromFile(ico);
    const auto entries = entriesOf(*group);
    ASSERT_EQ(group->Data().size(), 6 + 6 * 14);
    ASSERT_EQ(entries.size(), 6u);
    const int expect[6][4] = {{32, 32, 2, 1},  {16, 16, 16, 4}, {48, 48, 0, 8},
                              {24, 24, 0, 24}, {32, 32, 0, 32}, {0, 0, 0, 32}};
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const auto& e = entries[static_cast<std::size_t>(i)];
        EXPECT_EQ(e.width, expect[i][0]);
        EXPECT_EQ(e.height, expect[i][1]);
        EXPECT_EQ(e.colours, expect[i][2]);
        EXPECT_EQ(e.planes, 1);
        EXPECT_EQ(e.bitCount, expect[i][3]);
        EXPECT_EQ(e.id, 7 + i);
        auto* image = group->GetResourceDetails(i);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->ResourceName(), u16(std::to_string(7 + i)));
        EXPECT_EQ(image->ResourceLanguage, 0);
        const auto& expected = std::as_const(*codec.GetImage(i)->Data).vector();
        EXPECT_EQ(std::vector<std::uint8_t>(image->Data().bytes().begin(), image->Data().bytes().end()),
                  expected);
        EXPECT_EQ(e.bytes, expected.size());
    }
    auto* png = group->GetResourceDetails(5);
    EXPECT_EQ(png->GetWidth(), 256);
    EXPECT_EQ(png->GetHeight(), 256);
    EXPECT_EQ(png->GetPixelFormat(), TPixelFormat::pf32bit);
    EXPECT_EQ(group->GetResourceDetails(2)->GetHeight(), 48);
    EXPECT_EQ(group->GetResourceDetails(2)->GetPixelFormat(), TPixelFormat::pf8bit);

    // Loading again replaces the images: the old ones go first, so the ids
    // are taken again after the largest that remains.
    group->LoadFromIconFile(ico);
    EXPECT_EQ(namesOf(module, u"3").back(), "12");
    EXPECT_EQ(namesOf(module, u"3").size(), 13u);
}

TEST(GraphicsGroup, EmptyAndBrokenIconFiles) {
    TempDir dir;
    TListModule module;
    auto* group = TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&module, 0, u"MAINICON");
    test::writeFile(dir / "empty.ico", iconFile({}));
    group->LoadFromIconFile(dir / "empty.ico");
    EXPECT_EQ(module.GetResourceCount(), 1) << "the blank image is gone and nothing came in";
    EXPECT_EQ(std::vector<std::uint8_t>(group->Data().bytes().begin(), group->Data().bytes().end()),
              (std::vector<std::uint8_t>{0, 0, 1, 0, 0, 0}));

    test::writeFile(dir / "bad.ico", iconFile({{16, 16, 0, 1, 7, bitmapImage(16, 16, 24)}}));
    auto* second = TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&module, 0, u"OTHER");
    EXPECT_EQ(module.GetResourceCount(), 3);
    EXPECT_EQ(errorOf([&] { second->LoadFromIconFile(dir / "bad.ico"); }), "");
    test::writeFile(dir / "bad.ico", iconFile({{16, 16, 0, 1, 24, {1, 2, 3}}}));
    EXPECT_EQ(errorOf([&] { second->LoadFromIconFile(dir / "bad.ico"); }), kInvalidIconOrCursor);
    EXPECT_EQ(second->EntryCount(), 0);
    EXPECT_EQ(namesOf(module, u"3").size(), 0u);
    EXPECT_THROW(second->LoadFromIconFile(dir / "missing.ico"), EFOpenError);
}

TEST(GraphicsGroup, CursorGroupsTakeCursorFilesWithTheirHotSpots) {
    TempDir dir;
    const auto big = bitmapImage(32, 32, 1);
    const auto small = bitmapImage(16, 16, 4);
    // Hot spots (3, 5) and (7, 9) in the planes and bit count fields.
    test::writeFile(dir / "two.cur", iconFile({{32, 32, 2, 3, 5, big}, {16, 16, 16, 7, 9, small}}, 2));
    TListModule module;
    module.addRead(u"1", u"4", BlankIconCursorImage(true));
    module.addRead(u"3", u"20", BlankIconCursorImage(false)); // icon ids are another series
    auto* group = TResourceDetails::CreateEmpty<TCursorGroupResourceDetails>(&module, 0x0407, u"POINTER");
    EXPECT_EQ(group->EntryImageId(0), 5);
    group->LoadFromIconFile(dir / "two.cur");

    EXPECT_EQ(namesOf(module, u"1"), (std::vector<std::string>{"4", "5", "6"})) << "the blank 5 went first";
    const auto entries = entriesOf(*group);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(loadLE16(group->Data().memory() + 2), 2);
    const struct {
        int size, bits, id;
        std::uint32_t hotSpot;
        const std::vector<std::uint8_t>& image;
    } expect[] = {{32, 1, 5, 3u | (5u << 16), big}, {16, 4, 6, 7u | (9u << 16), small}};
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i].width, expect[i].size);
        EXPECT_EQ(entries[i].height, expect[i].size);
        EXPECT_EQ(entries[i].planes, 1);
        EXPECT_EQ(entries[i].bitCount, expect[i].bits);
        EXPECT_EQ(entries[i].bytes, expect[i].image.size() + 4);
        EXPECT_EQ(entries[i].id, expect[i].id);
        auto* image = group->GetResourceDetails(static_cast<int>(i));
        ASSERT_NE(image, nullptr);
        EXPECT_STREQ(image->ClassName(), "TCursorResourceDetails");
        EXPECT_EQ(image->ResourceLanguage, 0x0407);
        ASSERT_EQ(image->Data().size(), static_cast<std::int64_t>(expect[i].image.size() + 4));
        EXPECT_EQ(loadLE32(image->Data().memory()), expect[i].hotSpot);
        EXPECT_TRUE(std::equal(expect[i].image.begin(), expect[i].image.end(), image->Data().memory() + 4));
        EXPECT_EQ(image->GetHeight(), expect[i].size);
    }

    // An icon file is no cursor file.
    test::writeFile(dir / "one.ico", iconFile({{16, 16, 16, 1, 4, small}}));
    EXPECT_EQ(errorOf([&] { group->LoadFromIconFile(dir / "one.ico"); }), kInvalidCursor);
    EXPECT_EQ(group->EntryCount(), 0);
    EXPECT_EQ(namesOf(module, u"1"), (std::vector<std::string>{"4"}));
}

TEST(GraphicsGroup, ImageIdsNeverExceedSixteenBits) {
    TempDir dir;
    test::writeFile(dir / "two.ico", iconFile({{8, 8, 0, 1, 24, bitmapImage(8, 8, 24)},
                                               {16, 16, 0, 1, 32, bitmapImage(16, 16, 32)}}));
    TListModule module;
    module.addRead(u"3", u"65533", BlankIconCursorImage(false));
    auto* group = TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&module, 0, u"MAINICON");
    group->LoadFromIconFile(dir / "two.ico");
    const auto entries = entriesOf(*group);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].id, 65534);
    EXPECT_EQ(entries[1].id, 65535);

    // One more image would need id 65536, which a group entry cannot hold.
    EXPECT_THROW(TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&module, 0, u"NEXT"), ERangeError);

    TListModule full;
    full.addRead(u"3", u"65534", BlankIconCursorImage(false));
    auto* last = TResourceDetails::CreateEmpty<TIconGroupResourceDetails>(&full, 0, u"MAINICON");
    EXPECT_EQ(last->EntryImageId(0), 65535);
    EXPECT_THROW(last->LoadFromIconFile(dir / "two.ico"), ERangeError);
    EXPECT_EQ(namesOf(full, u"3"), (std::vector<std::string>{"65534"})) << "nothing added";
    EXPECT_EQ(last->EntryCount(), 0);
}

TEST(GraphicsDelete, GroupsTakeTheirImagesAndLastImagesTakeTheirGroup) {
    TListModule module;
    for (int id : {1, 2, 3, 4}) module.addRead(u"3", u16(std::to_string(id)), BlankIconCursorImage(false));
    auto* a = module.addRead(u"14", u"A", iconGroupBytes({1, 2}));
    auto* b =
        dynamic_cast<TIconCursorGroupResourceDetails*>(module.addRead(u"14", u"B", iconGroupBytes({3, 4})));
    ASSERT_NE(b, nullptr);

    // Deleting group A takes images 1 and 2, leaving B's.
    module.DeleteResource(module.IndexOfResource(a));
    EXPECT_TRUE(module.Dirty);
    EXPECT_EQ(namesOf(module, u"3"), (std::vector<std::string>{"3", "4"}));
    EXPECT_EQ(namesOf(module, u"14"), (std::vector<std::string>{"B"}));
    EXPECT_FALSE(b->Deleting);

    // Deleting one of B's images drops its entry; the last one takes B along.
    module.DeleteResource(0);
    EXPECT_EQ(b->EntryCount(), 1);
    EXPECT_EQ(b->EntryImageId(0), 4);
    module.DeleteResource(0);
    EXPECT_EQ(module.GetResourceCount(), 0);

    // A group naming an image the module lacks: the module's index error.
    TListModule broken;
    broken.addRead(u"3", u"1", BlankIconCursorImage(false));
    auto* g = broken.addRead(u"14", u"G", iconGroupBytes({1, 9}));
    EXPECT_EQ(errorOf([&] { broken.DeleteResource(broken.IndexOfResource(g)); }),
              "List index out of bounds (-1)");
    EXPECT_FALSE(dynamic_cast<TIconCursorGroupResourceDetails*>(g)->Deleting);

    // A resource of the group type that is no group object.
    TListModule odd;
    odd.AddResource(TResourceDetails::Create<TResourceDetails>(&odd, 0, u"X", u"14", 3,
                                                               reinterpret_cast<const std::uint8_t*>("abc")));
    odd.addRead(u"3", u"1", BlankIconCursorImage(false));
    EXPECT_EQ(errorOf([&] { odd.DeleteResource(1); }), kInvalidClassTypecast);

    // Two groups naming the same image: deleting the second still ends, and
    // only the first group (in module order) loses its entry to the image.
    TListModule shared;
    shared.addRead(u"3", u"1", BlankIconCursorImage(false));
    shared.addRead(u"3", u"2", BlankIconCursorImage(false));
    auto* first =
        dynamic_cast<TIconCursorGroupResourceDetails*>(shared.addRead(u"14", u"F", iconGroupBytes({1, 2})));
    auto* second = shared.addRead(u"14", u"S", iconGroupBytes({1}));
    shared.DeleteResource(shared.IndexOfResource(second));
    EXPECT_EQ(namesOf(shared, u"14"), (std::vector<std::string>{"F"}));
    EXPECT_EQ(first->EntryCount(), 1);
    EXPECT_EQ(first->EntryImageId(0), 2);
}

TEST(GraphicsGroup, MalformedDirectoriesAndImagesAreReadSafely) {
    TListModule module;
    auto bytes = iconGroupBytes({1});
    storeLE16(bytes.data() + 4, 500); // claims 500 entries, holds one
    auto* group = dynamic_cast<TIconCursorGroupResourceDetails*>(module.addRead(u"14", u"G", bytes));
    EXPECT_EQ(group->EntryCount(), 1);
    EXPECT_EQ(group->GetResourceDetails(0), nullptr);
    EXPECT_EQ(group->GetResourceDetails(7), nullptr);
    auto* shortGroup = dynamic_cast<TIconCursorGroupResourceDetails*>(module.addRead(u"14", u"H", {0, 0, 1}));
    EXPECT_EQ(shortGroup->EntryCount(), 0);

    auto* tiny = dynamic_cast<TIconResourceDetails*>(module.addRead(u"3", u"5", {40, 0, 0}));
    ASSERT_NE(tiny, nullptr);
    EXPECT_EQ(tiny->GetWidth(), 0);
    EXPECT_EQ(tiny->GetHeight(), 0);
    EXPECT_EQ(tiny->GetPixelFormat(), TPixelFormat::pfDevice);
    auto* cursor = dynamic_cast<TCursorResourceDetails*>(module.addRead(u"1", u"5", {1, 2}));
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(cursor->GetWidth(), 0);

    // Picture round trip: an image into a codec picture and back.
    auto* image = dynamic_cast<TIconResourceDetails*>(module.addRead(u"3", u"6", bitmapImage(16, 16, 8)));
    TExIcon picture;
    image->GetPicture(picture);
    ASSERT_EQ(picture.ImageCount(), 1);
    EXPECT_EQ(picture.GetWidth(), 16);
    EXPECT_EQ(picture.GetPixelFormat(), TPixelFormat::pf8bit);
    auto* other =
        dynamic_cast<TIconResourceDetails*>(module.addRead(u"3", u"7", BlankIconCursorImage(false)));
    other->SetPicture(picture);
    EXPECT_EQ(std::vector<std::uint8_t>(other->Data().bytes().begin(), other->Data().bytes().end()),
              bitmapImage(16, 16, 8));
}
