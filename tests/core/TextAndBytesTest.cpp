#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "core/Utf16.h"

#include <gtest/gtest.h>

using namespace pakforge;

TEST(Utf16, ConvertsBothWaysIncludingSurrogatePairs) {
    const std::string text = "abc \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
    const std::u16string wide = utf8ToUtf16(text);
    EXPECT_EQ(wide, u"abc \u00E9 \u20AC \U0001F600");
    EXPECT_EQ(utf16ToUtf8(wide), text);
}

TEST(Utf16, InvalidInputBecomesReplacementCharacter) {
    EXPECT_EQ(utf8ToUtf16("a\xFF"
                          "b"),
              u"a\uFFFDb");
    EXPECT_EQ(utf8ToUtf16("\xC3"), u"\uFFFD");
    EXPECT_EQ(utf8ToUtf16("\xC0\xAF"), u"\uFFFD");     // overlong
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD"); // encoded surrogate
    const std::u16string lone{u'x', char16_t(0xD800), u'y'};
    EXPECT_EQ(utf16ToUtf8(lone), "x\xEF\xBF\xBDy");
}

TEST(Utf16, CaseInsensitiveComparison) {
    EXPECT_EQ(compareTextIgnoreCase(u"exe", u"EXE"), 0);
    EXPECT_EQ(compareTextIgnoreCase(u"Exe", u"eXe"), 0);
    EXPECT_EQ(compareTextIgnoreCase(u"\u00E9t\u00E9", u"\u00C9T\u00C9"), 0);
    EXPECT_EQ(compareTextIgnoreCase(u"\u0436", u"\u0416"), 0);
    EXPECT_LT(compareTextIgnoreCase(u"abc", u"abd"), 0);
    EXPECT_GT(compareTextIgnoreCase(u"abcd", u"ABC"), 0);
    EXPECT_LT(compareTextIgnoreCase(u"", u"a"), 0);
    EXPECT_NE(compareTextIgnoreCase(u"exe", u"ex\u00E9"), 0);
    EXPECT_EQ(toUpperText(u"MainIcon"), u"MAINICON");
}

TEST(ByteReader, ReadsLittleEndianAndNeverPastTheEnd) {
    const std::uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x41, 0x00, 0x42};
    ByteReader r(data);
    EXPECT_EQ(r.u16(), 0x0201);
    EXPECT_EQ(r.u32(), 0x06050403u);
    EXPECT_EQ(r.utf16(1), u"A");
    EXPECT_EQ(r.remaining(), 1u);
    EXPECT_THROW(r.u16(), ETruncatedData);
    EXPECT_EQ(r.position(), 8u); // a failed read moves nothing
    EXPECT_THROW(r.utf16(1), ETruncatedData);
    EXPECT_THROW(r.bytes(~0ull), ETruncatedData);
    EXPECT_THROW(r.seek(10), ETruncatedData);
    r.seek(9);
    EXPECT_THROW(r.u8(), ETruncatedData);
}

TEST(ByteWriter, WritesAlignsAndPatches) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u8(1);
    w.alignTo(4);
    w.u32(0xAABBCCDD);
    w.utf16(u"Z");
    w.patchU16(0, 0x1234);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x34, 0x12, 0, 0, 0xDD, 0xCC, 0xBB, 0xAA, 'Z', 0}));
    EXPECT_THROW(w.patchU32(8, 1), ETruncatedData);
}

TEST(Messages, OsErrorsAndFullStopRule) {
    EXPECT_EQ(osErrorMessage(0), "A call to an OS function failed");
#ifdef _WIN32
    // ERROR_FILE_NOT_FOUND in FormatMessage's words, which differ under Wine.
    EXPECT_EQ(osErrorMessage(2), "System Error.  Code: 2.\r\n" + systemErrorText(2));
    EXPECT_GT(systemErrorText(2).size(), 4u);
#else
    EXPECT_EQ(osErrorMessage(2), "System Error.  Code: 2.\r\nNo such file or directory");
#endif
    EXPECT_EQ(withFullStop("File is corrupt."), "File is corrupt.");
    EXPECT_EQ(withFullStop("Stream read error"), "Stream read error.");
    EXPECT_EQ(withFullStop("odd)"), "odd)"); // ')' sorts before '.'
    EXPECT_EQ(withFullStop(""), "");
    try {
        raiseOSError(13);
        ADD_FAILURE() << "raiseOSError returned";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.errorCode(), 13);
    }
}
