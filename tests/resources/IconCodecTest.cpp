#include "IconTestSupport.h"

#include "resources/unitExIcon.h"

#include <climits>

using namespace pakforge;
using namespace pakforge::icontest;
using test::TempDir;

namespace {

std::vector<std::uint8_t> saved(TExIconCursor& picture) {
    MemoryStream out;
    picture.SaveToStream(out);
    return out.release();
}

void loadBytes(TExIconCursor& picture, std::vector<std::uint8_t> bytes) {
    MemoryStream in(std::move(bytes));
    picture.LoadFromStream(in);
}

// The message of what loading these bytes raises ("" when it loads).
std::string loadError(const std::vector<std::uint8_t>& bytes, bool cursor = false) {
    try {
        if (cursor) {
            TExCursor picture;
            loadBytes(picture, bytes);
        } else {
            TExIcon picture;
            loadBytes(picture, bytes);
        }
    } catch (const Exception& e) {
        return e.message();
    }
    return "";
}

std::vector<std::uint8_t> pngBytes(std::uint32_t width, std::uint32_t height) {
    // Signature and an IHDR chunk with its CRC; enough for the codec.
    std::vector<std::uint8_t> png(kPngSignature.begin(), kPngSignature.end());
    const std::uint8_t ihdr[] = {0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    png.insert(png.end(), ihdr, ihdr + 8);
    for (std::uint32_t v : {width, height})
        for (int s = 24; s >= 0; s -= 8) png.push_back(static_cast<std::uint8_t>(v >> s));
    png.insert(png.end(), {8, 6, 0, 0, 0});
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 12; i < png.size(); ++i) {
        crc ^= png[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    crc = ~crc;
    for (int s = 24; s >= 0; s -= 8) png.push_back(static_cast<std::uint8_t>(crc >> s));
    png.insert(png.end(), {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82});
    return png;
}

} // namespace

TEST(IconCodec, ReadsAnIcotoolFileImageByImage) {
    PAKFORGE_REQUIRE_TOOL(haveIconTools(), "icotool or python3");
    TempDir dir;
    const auto path = makeSixImageIcon(dir);
    const auto file = test::readFile(path);
    const auto expected = icoImages(file, true);

    TExIcon icon;
    icon.LoadFromFile(path);
    ASSERT_EQ(icon.ImageCount(), 6);
    EXPECT_EQ(icon.CurrentImage(), 0);
    const TPixelFormat formats[] = {TPixelFormat::pf1bit,  TPixelFormat::pf4bit,  TPixelFormat::pf8bit,
                                    TPixelFormat::pf24bit, TPixelFormat::pf32bit, TPixelFormat::pf32bit};
    const int sizes[] = {32, 16, 48, 24, 32, 256};
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const auto image = icon.GetImage(i);
        EXPECT_TRUE(image->IsIcon);
        EXPECT_EQ(image->PixelFormat, formats[i]);
        EXPECT_EQ(image->Width, sizes[i]);
        EXPECT_EQ(image->Height, sizes[i]);
        EXPECT_EQ(image->IsPng, i == 5);
        ASSERT_TRUE(image->Data);
        // Bytes as stored, but for the bitmap header's image-size field.
        EXPECT_EQ(std::as_const(*image->Data).vector(), expected[static_cast<std::size_t>(i)].bytes);
    }
    EXPECT_EQ(icon.GetImage(5)->PngBitCount, 32);
    EXPECT_NE(file[6 + 20], 0) << "icotool should have filled the size field the codec clears";
    EXPECT_EQ(loadLE32(std::as_const(*icon.GetImage(0)->Data).vector().data() + 20), 0u);

    // The 1-bit image's palette: black and white, in red-green-blue order.
    const auto& palette = icon.GetPalette();
    ASSERT_EQ(palette.size(), 2u);
    EXPECT_EQ(palette[0], (TPaletteEntry{0, 0, 0}));
    EXPECT_EQ(palette[1], (TPaletteEntry{255, 255, 255}));
}

TEST(IconCodec, WritesEntriesByPixelFormatAndRoundTripsByteForByte) {
    PAKFORGE_REQUIRE_TOOL(haveIconTools(), "icotool or python3");
    TempDir dir;
    const auto input = test::readFile(makeSixImageIcon(dir));
    TExIcon icon;
    loadBytes(icon, input);
    const auto first = saved(icon);

    ByteReader r(first);
    EXPECT_EQ(r.u16(), 0);
    EXPECT_EQ(r.u16(), 1);
    ASSERT_EQ(r.u16(), 6);
    // width, height, colours, bit count by pixel format; PNG entries 0/0/0/its bit count.
    const int expect[6][4] = {{32, 32, 2, 0},  {16, 16, 16, 0}, {48, 48, 0, 8},
                              {24, 24, 0, 24}, {32, 32, 0, 32}, {0, 0, 0, 32}};
    std::uint32_t offset = 6 + 16 * 6;
    for (const auto& e : expect) {
        EXPECT_EQ(r.u8(), e[0]);
        EXPECT_EQ(r.u8(), e[1]);
        EXPECT_EQ(r.u8(), e[2]);
        EXPECT_EQ(r.u8(), 0);
        EXPECT_EQ(r.u16(), 1);
        EXPECT_EQ(r.u16(), e[3]);
        const std::uint32_t size = r.u32();
        EXPECT_EQ(r.u32(), offset);
        offset += size;
    }
    EXPECT_EQ(offset, first.size());
    const auto in = icoImages(input, true);
    const auto out = icoImages(first, false);
    for (std::size_t i = 0; i < in.size(); ++i) EXPECT_EQ(out[i].bytes, in[i].bytes) << i;

    // What the codec wrote reads and writes back unchanged.
    TExIcon again;
    loadBytes(again, first);
    EXPECT_EQ(saved(again), first);
}

TEST(IconCodec, EmptyFilesOutOfOrderImagesAndSixteenBitFormats) {
    TExIcon empty;
    loadBytes(empty, iconFile({}));
    EXPECT_EQ(empty.ImageCount(), 0);
    EXPECT_TRUE(empty.GetEmpty());
    EXPECT_EQ(saved(empty), (std::vector<std::uint8_t>{0, 0, 1, 0, 0, 0}));

    // The second image lies first in the file: the directory decides.
    IcoEntry a{8, 8, 0, 1, 24, bitmapImage(8, 8, 24)};
    IcoEntry b{4, 4, 0, 1, 8, bitmapImage(4, 4, 8)};
    auto file = iconFile({a, b});
    const std::size_t dataStart = 6 + 32;
    std::vector<std::uint8_t> swapped(file.begin(), file.begin() + dataStart);
    swapped.insert(swapped.end(), b.data.begin(), b.data.end());
    swapped.insert(swapped.end(), a.data.begin(), a.data.end());
    storeLE32(swapped.data() + 6 + 12, static_cast<std::uint32_t>(dataStart + b.data.size()));
    storeLE32(swapped.data() + 22 + 12, static_cast<std::uint32_t>(dataStart));
    TExIcon icon;
    loadBytes(icon, swapped);
    ASSERT_EQ(icon.ImageCount(), 2);
    EXPECT_EQ(icon.GetImage(0)->Width, 8);
    EXPECT_EQ(icon.GetImage(0)->PixelFormat, TPixelFormat::pf24bit);
    EXPECT_EQ(icon.GetImage(1)->PixelFormat, TPixelFormat::pf8bit);
    // Written back in directory order, packed.
    EXPECT_EQ(saved(icon), file);

    TExIcon sixteen;
    loadBytes(sixteen, iconFile({{16, 16, 0, 1, 16, bitmapImage(16, 16, 16, 0)},
                                 {16, 16, 0, 1, 16, bitmapImage(16, 16, 16, 3)}}));
    EXPECT_EQ(sixteen.GetImage(0)->PixelFormat, TPixelFormat::pf15bit);
    EXPECT_EQ(sixteen.GetImage(1)->PixelFormat, TPixelFormat::pf16bit);
    const auto out = saved(sixteen);
    EXPECT_EQ(loadLE16(out.data() + 6 + 6), 16);
    EXPECT_EQ(loadLE16(out.data() + 22 + 6), 16);

    // A 256-pixel bitmap keeps its stored 0 size.
    TExIcon large;
    loadBytes(large, iconFile({{0, 0, 0, 1, 32, bitmapImage(256, 256, 32)}}));
    EXPECT_EQ(large.GetWidth(), 0);
    EXPECT_EQ(large.GetHeight(), 0);
}

TEST(IconCodec, RefusesMalformedFilesWithoutCrashing) {
    const std::string invalid = kInvalidIconOrCursor;
    const std::string format = kPixelFormatNotValid;
    const std::string readError = kStreamReadError;
    const auto one = [](std::vector<std::uint8_t> data, std::uint16_t bits = 24) {
        return iconFile({IcoEntry{16, 16, 0, 1, bits, std::move(data)}});
    };

    EXPECT_EQ(loadError({0, 0, 1, 0}), invalid);                          // shorter than the header
    EXPECT_EQ(loadError({0, 0, 2, 0, 0, 0}), invalid);                    // a cursor file
    EXPECT_EQ(loadError({0, 0, 1, 0, 1, 0}), readError);                  // directory missing
    EXPECT_EQ(loadError(one(std::vector<std::uint8_t>(39, 0))), invalid); // shorter than a bitmap header
    EXPECT_EQ(loadError(one({})), invalid);

    auto withField = [](std::vector<std::uint8_t> image, std::size_t at, std::uint32_t value) {
        storeLE32(image.data() + at, value);
        return image;
    };
    const auto good = bitmapImage(16, 16, 24);
    EXPECT_EQ(loadError(one(good)), "");
    EXPECT_EQ(loadError(one(withField(good, 8, 0))), invalid);                                   // height 0
    EXPECT_EQ(loadError(one(withField(good, 8, 1))), invalid);                                   // no rows
    EXPECT_EQ(loadError(one(withField(good, 8, static_cast<std::uint32_t>(INT_MIN)))), invalid); // INT_MIN
    EXPECT_EQ(loadError(one(withField(good, 4, 0xFFFFFFF0u))), invalid);                         // negative
    EXPECT_EQ(loadError(one(withField(good, 0, 1000))), invalid); // header larger than the image
    // Sizes whose row arithmetic overflows 32 bits must not pass the check.
    EXPECT_EQ(loadError(one(withField(withField(good, 4, 0x7FFFFFFF), 8, 0x7FFFFFFE))), invalid);
    EXPECT_EQ(loadError(one(withField(good, 4, 0x08000000))), invalid);
    // Colour rows cut short.
    auto shortRows = good;
    shortRows.resize(40 + 16 * 48 - 1);
    EXPECT_EQ(loadError(one(shortRows)), invalid);

    for (std::uint16_t bits : {0, 2, 3, 7, 12, 31, 64, 0xFFFF}) {
        auto image = good;
        storeLE16(image.data() + 14, bits);
        EXPECT_EQ(loadError(one(image)), format) << bits;
    }
    EXPECT_EQ(loadError(one(bitmapImage(16, 16, 16, 1), 16)), format);

    // Entries pointing outside the file, including 32-bit offset + size wrap.
    IcoEntry outside{16, 16, 0, 1, 24, good};
    outside.offsetOverride = 100000;
    EXPECT_EQ(loadError(iconFile({outside})), readError);
    outside.offsetOverride = 0xFFFFFFF0;
    outside.sizeOverride = 0x20;
    EXPECT_EQ(loadError(iconFile({outside})), readError);
    outside.offsetOverride = -1;
    outside.sizeOverride = 0xFFFFFFFF;
    EXPECT_EQ(loadError(iconFile({outside})), readError);

    // Entries may share an image, but not so often that a small file would
    // fill memory; cursor files likewise.
    std::vector<IcoEntry> sharing(2, IcoEntry{16, 16, 0, 1, 24, good});
    sharing[1].offsetOverride = 6 + 16 * 2;
    sharing[1].sizeOverride = static_cast<std::int64_t>(good.size());
    sharing[1].data.clear();
    EXPECT_EQ(loadError(iconFile(sharing)), "");
    std::vector<IcoEntry> repeated(10, sharing[1]);
    repeated[0] = IcoEntry{16, 16, 0, 1, 24, good};
    for (auto& e : repeated) e.offsetOverride = 6 + 16 * 10;
    EXPECT_EQ(loadError(iconFile(repeated)), invalid);
    for (auto& e : repeated) e.bitCount = 0; // hot spot (1, 0)
    EXPECT_EQ(loadError(iconFile(repeated, 2), true), invalid);

    // A failed load leaves the picture as it was.
    TExIcon icon;
    loadBytes(icon, iconFile({{16, 16, 0, 1, 24, good}, {16, 16, 0, 1, 24, good}}));
    EXPECT_THROW(loadBytes(icon, iconFile({{16, 16, 0, 1, 24, good}, {16, 16, 0, 1, 24, {1, 2}}})),
                 EInvalidGraphic);
    EXPECT_EQ(icon.ImageCount(), 2);
}

TEST(IconCodec, PngImagesNeedTheWholeSignatureAndAValidHeader) {
    const auto png = pngBytes(256, 256);
    TExIcon icon;
    loadBytes(icon, iconFile({{0, 0, 0, 1, 32, png}}));
    const auto image = icon.GetImage(0);
    EXPECT_TRUE(image->IsPng);
    EXPECT_EQ(image->Width, 256);
    EXPECT_EQ(image->Height, 256);
    EXPECT_EQ(image->PixelFormat, TPixelFormat::pf32bit);
    EXPECT_EQ(std::as_const(*image->Data).vector(), png); // unchanged, no field cleared
    const auto out = saved(icon);
    EXPECT_EQ(out, iconFile({{0, 0, 0, 1, 32, png}}));

    // The entry's bit count decides the pixel format, not the PNG's own.
    loadBytes(icon, iconFile({{0, 0, 0, 1, 8, png}}));
    EXPECT_EQ(icon.GetImage(0)->PixelFormat, TPixelFormat::pf8bit);
    loadBytes(icon, iconFile({{0, 0, 0, 1, 0, png}}));
    EXPECT_EQ(icon.GetImage(0)->PixelFormat, TPixelFormat::pfDevice);
    EXPECT_EQ(loadError(iconFile({{0, 0, 0, 1, 256, png}})), kRangeCheckError);
    auto brokenHeader = png;
    brokenHeader[29] ^= 1;
    EXPECT_EQ(loadError(iconFile({{0, 0, 0, 1, 256, brokenHeader}})), kInvalidPngImage)
        << "the PNG is decoded before its bit count is stored";

    // Seven signature bytes are not a PNG: the bytes are then a bitmap header
    // that does not hold up.
    for (std::size_t i = 0; i < 8; ++i) {
        auto almost = png;
        almost[i] ^= 0x20;
        EXPECT_EQ(loadError(iconFile({{0, 0, 0, 1, 32, almost}})), kInvalidIconOrCursor) << i;
    }
    // A signature with a broken header chunk.
    auto badCrc = png;
    badCrc[29] ^= 1;
    EXPECT_EQ(loadError(iconFile({{0, 0, 0, 1, 32, badCrc}})), kInvalidPngImage);
    EXPECT_EQ(loadError(iconFile({{0, 0, 0, 1, 32, pngBytes(0, 16)}})), kInvalidPngImage);
    EXPECT_EQ(loadError(iconFile({{0, 0, 0, 1, 32, pngBytes(16, 0x80000000u)}})), kInvalidPngImage);
    EXPECT_EQ(
        loadError(iconFile({{0, 0, 0, 1, 32, std::vector<std::uint8_t>(png.begin(), png.begin() + 20)}})),
        kInvalidPngImage);
}

TEST(IconCodec, WritingRefusesWhatTheFormatCannotHold) {
    TExIcon fresh; // one image, no bytes yet
    EXPECT_TRUE(fresh.GetEmpty());
    EXPECT_EQ(fresh.GetWidth(), 32);
    EXPECT_EQ(fresh.GetPixelFormat(), TPixelFormat::pf4bit);
    MemoryStream sink;
    try {
        fresh.SaveToStream(sink);
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(e.message(), kInvalidIconOrCursor);
    }
    EXPECT_EQ(sink.size(), 0);
    // Nor does it spoil a file already there.
    TempDir dir;
    test::writeText(dir / "keep.ico", "an icon");
    EXPECT_THROW(fresh.SaveToFile(dir / "keep.ico"), EInvalidGraphic);
    EXPECT_EQ(test::readFile(dir / "keep.ico"),
              (std::vector<std::uint8_t>{'a', 'n', ' ', 'i', 'c', 'o', 'n'}));

    TExIcon icon;
    loadBytes(icon, iconFile({{16, 16, 0, 1, 24, bitmapImage(16, 16, 24)},
                              {8, 8, 0, 1, 24, bitmapImage(8, 8, 24)}}));
    icon.SetCurrentImage(0);
    icon.GetImage(1)->Width = 256;
    EXPECT_THROW(saved(icon), ERangeError);
    EXPECT_EQ(icon.CurrentImage(), 0) << "the current image is restored after an error";
    icon.GetImage(1)->Width = 8;
    icon.GetImage(1)->PixelFormat = TPixelFormat::pfCustom;
    EXPECT_THROW(saved(icon), EInvalidGraphic);
    EXPECT_THROW(icon.GetImage(2), ERangeError);
    EXPECT_THROW(icon.GetImage(-1), ERangeError);

    // Sharing: an assigned picture holds the same images.
    TExIcon copy;
    copy.Assign(icon);
    EXPECT_EQ(copy.GetImage(1), icon.GetImage(1));
    copy.AssignEmpty();
    EXPECT_TRUE(copy.GetEmpty());
    EXPECT_FALSE(icon.GetEmpty());
}

TEST(IconCodec, CursorFilesCarryHotSpots) {
    auto image = bitmapImage(32, 32, 1);
    IcoEntry entry{32, 32, 2, 3, 5, image}; // hot spot (3, 5) in the planes/bit count fields
    const auto file = iconFile({entry}, 2);

    TExCursor cursor;
    EXPECT_EQ(cursor.GetPixelFormat(), TPixelFormat::pf1bit);
    loadBytes(cursor, file);
    ASSERT_EQ(cursor.ImageCount(), 1);
    const auto loaded = cursor.GetImage(0);
    EXPECT_FALSE(loaded->IsIcon);
    EXPECT_EQ(loaded->hotSpot(), 3u | (5u << 16));
    EXPECT_EQ(loaded->Data->size(), static_cast<std::int64_t>(image.size() + 4));
    EXPECT_EQ(loaded->PixelFormat, TPixelFormat::pf1bit);
    EXPECT_EQ(saved(cursor), file);

    TempDir dir;
    cursor.SaveToFile(dir / "a.cur");
    EXPECT_EQ(test::readFile(dir / "a.cur"), file);
    TExCursor fromFile;
    fromFile.LoadFromFile(dir / "a.cur");
    EXPECT_EQ(saved(fromFile), file);

    EXPECT_EQ(loadError(iconFile({entry}, 1), true), kInvalidCursor);
    EXPECT_EQ(loadError({0, 0}, true), kInvalidCursor);
    IcoEntry high = entry;
    high.bitCount = 0x8000; // hot spot y
    EXPECT_EQ(loadError(iconFile({high}, 2), true), kRangeCheckError);

    if (!haveIconTools()) return;
    // icotool's own cursor reads back with its hot spot.
    test::writeText(dir / "png.py", kPngScript);
    runOrFail(std::string(kPython) + " " + test::shellQuote((dir / "png.py").string()) + " colours " +
              test::shellQuote((dir / "c.png").string()) + " 32 32 9");
    runOrFail("icotool -c --cursor -X 7 -Y 9 -o " + test::shellQuote((dir / "t.cur").string()) + " " +
              test::shellQuote((dir / "c.png").string()));
    TExCursor made;
    made.LoadFromFile(dir / "t.cur");
    EXPECT_EQ(made.GetImage(0)->hotSpot(), 7u | (9u << 16));
    made.SaveToFile(dir / "back.cur");
    std::string listing;
    ASSERT_EQ(test::runCommand("icotool -l " + test::shellQuote((dir / "back.cur").string()), &listing), 0);
    EXPECT_NE(listing.find("--hotspot-x=7 --hotspot-y=9"), std::string::npos) << listing;
}
