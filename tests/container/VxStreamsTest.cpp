// TVxStreams: the failure table row by row and the behaviour of a load,
// GetStream and the published properties.
#include "container/VxStreamCol.h"
#include "container/VxStreamWriter.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

ContainerItem item(const std::u16string& name, const std::string& data) {
    return {name, bytesOf(data)};
}

std::string itemText(const TVxStreams& s, std::u16string_view name) {
    MemoryStream out;
    s.GetStream(name, out);
    return {out.vector().begin(), out.vector().end()};
}

std::vector<std::u16string> names(const TVxStreams& s) {
    std::vector<std::u16string> out;
    for (const auto& info : s.ItemInfos()) out.push_back(info.name);
    return out;
}

// A raw container file: marks, then a body written by hand.
struct RawBody {
    std::vector<std::uint8_t> bytes;
    ByteWriter w{bytes};
    explicit RawBody(std::int32_t count, bool signature = true) {
        w.u8(kNoMark), w.u8(kNoMark);
        if (signature) w.bytes(kContainerSignature);
        w.u32(static_cast<std::uint32_t>(count));
    }
    RawBody& add(std::u16string_view name, std::span<const std::uint8_t> data, std::int32_t size) {
        w.u16(static_cast<std::uint16_t>(name.size() * 2));
        w.utf16(name);
        w.u32(static_cast<std::uint32_t>(size));
        w.bytes(data);
        return *this;
    }
    RawBody& add(std::u16string_view name, const std::string& data) {
        const auto b = bytesOf(data);
        return add(name, b, static_cast<std::int32_t>(b.size()));
    }
};

void load(TVxStreams& s, const std::vector<std::uint8_t>& file) {
    MemoryStream stream(file);
    s.LoadFromStream(stream);
}

class VxStreamsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        streams.OnCorrupt = [this](TVxStreams* sender) {
            EXPECT_EQ(sender, &streams);
            ++corruptCalls;
        };
    }
    // A good compressed, encrypted container: Compressed, Encrypted true,
    // Key "good", one item "keep".
    void primeWithGood() {
        const std::u16string key = u"good";
        const ContainerItem items[] = {item(u"keep", "kept data")};
        streams.Key = key;
        load(streams, buildContainer(items, true, &key));
        ASSERT_EQ(names(streams), std::vector<std::u16string>{u"keep"});
        corruptCalls = 0;
    }
    void expectUnchanged(const std::u16string& key) {
        EXPECT_EQ(names(streams), std::vector<std::u16string>{u"keep"});
        EXPECT_EQ(itemText(streams, u"keep"), "kept data");
        EXPECT_EQ(streams.Key, key);
        EXPECT_TRUE(streams.Compressed);
        EXPECT_TRUE(streams.Encrypted);
    }
    // A load that must end in "File is corrupt." with OnCorrupt called once
    // and the previous state untouched.
    void expectCorrupt(const std::vector<std::uint8_t>& file, const std::u16string& key = u"other") {
        primeWithGood();
        streams.Key = key;
        try {
            load(streams, file);
            ADD_FAILURE() << "load succeeded";
        } catch (const ECorruptFile& e) {
            EXPECT_EQ(e.message(), "File is corrupt.");
        }
        EXPECT_EQ(corruptCalls, 1);
        expectUnchanged(key);
    }

    TVxStreams streams;
    int corruptCalls = 0;
};

TEST_F(VxStreamsTest, StartsEmptyWithThePropertyDefaults) {
    TVxStreams fresh;
    EXPECT_TRUE(fresh.Compressed);
    EXPECT_FALSE(fresh.Encrypted);
    EXPECT_TRUE(fresh.Key.empty());
    EXPECT_FALSE(fresh.OnAskForKey);
    EXPECT_FALSE(fresh.OnCorrupt);
    EXPECT_EQ(fresh.Count(), 0u);
    int owner = 0;
    EXPECT_EQ(TVxStreams(&owner).Owner(), &owner);
}

TEST_F(VxStreamsTest, EveryMarkCombinationLoads) {
    const ContainerItem items[] = {item(u"exe", std::string(30000, 'x') + "MZ stub"), item(u"b", "bee"),
                                   item(u"A", "ay")};
    for (bool compress : {false, true}) {
        for (bool encrypt : {false, true}) {
            SCOPED_TRACE(testing::Message() << "compress " << compress << " encrypt " << encrypt);
            const std::u16string key = u"rqzvmtpxw4b7";
            TVxStreams s;
            s.Compressed = !compress;
            s.Encrypted = !encrypt;
            s.Key = key;
            load(s, buildContainer(items, compress, encrypt ? &key : nullptr));
            EXPECT_EQ(s.Compressed, compress);
            EXPECT_EQ(s.Encrypted, encrypt);
            EXPECT_EQ(s.Key, key);
            EXPECT_EQ(names(s), (std::vector<std::u16string>{u"A", u"b", u"exe"}));
            EXPECT_EQ(itemText(s, u"exe"), std::string(30000, 'x') + "MZ stub");
            EXPECT_EQ(itemText(s, u"B"), "bee");
        }
    }
}

// --- the failure table ------------------------------------------------------

TEST_F(VxStreamsTest, FileThatCannotBeOpenedRaisesOpenErrorOnly) {
    primeWithGood();
    test::TempDir dir;
    try {
        streams.LoadFromFile(dir / "missing.dat");
        ADD_FAILURE();
    } catch (const EFOpenError& e) {
        EXPECT_NE(e.message().find("missing.dat"), std::string::npos);
        EXPECT_EQ(e.message().rfind("Cannot open file \"", 0), 0u);
    }
    // Held open without sharing by someone else.
    const std::u16string key = u"good";
    const ContainerItem items[] = {item(u"other", "x")};
    test::writeFile(dir / "held.dat", buildContainer(items, false, &key));
    {
        FileStream holder(dir / "held.dat", FileStream::Mode::OpenRead, FileStream::Share::Exclusive);
        EXPECT_THROW(streams.LoadFromFile(dir / "held.dat"), EFOpenError);
    }
    EXPECT_EQ(corruptCalls, 0);
    expectUnchanged(u"good");
    streams.LoadFromFile(dir / "held.dat"); // free again
    EXPECT_EQ(names(streams), std::vector<std::u16string>{u"other"});
}

TEST_F(VxStreamsTest, CipherFailuresAreCorrupt) {
    const std::u16string key = u"good";
    const ContainerItem items[] = {item(u"x", "data")};
    const auto file = buildContainer(items, false, &key);
    {
        SCOPED_TRACE("empty password");
        expectCorrupt(file, u"");
    }
    {
        SCOPED_TRACE("password of 256 code units");
        expectCorrupt(file, std::u16string(256, u'g'));
    }
    {
        SCOPED_TRACE("tail count past the start of the payload");
        std::vector<std::uint8_t> small = {kNoMark, kEncryptedMark, 1, 2, 9};
        expectCorrupt(small, u"good");
    }
    {
        SCOPED_TRACE("wrong password, plain body");
        expectCorrupt(file, u"wrong!");
    }
    {
        SCOPED_TRACE("wrong password, compressed body");
        expectCorrupt(buildContainer(items, true, &key), u"wrong!");
    }
}

TEST_F(VxStreamsTest, BadSignaturesAndShortFilesAreCorrupt) {
    expectCorrupt({});
    expectCorrupt({kNoMark});
    expectCorrupt({kNoMark, kNoMark});
    expectCorrupt({kCompressedMark, kNoMark});
    expectCorrupt({kNoMark, kNoMark, 1, 2, 3, 4, 5, 6, 7});                // payload of 7 bytes
    expectCorrupt({kNoMark, kNoMark, 1, 2, 3, 4, 5, 6, 7, 9, 0, 0, 0, 0}); // wrong signature
    // Compressed bodies: too short after decoding, or not a container.
    const auto shortBody = compressPayload(std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7});
    std::vector<std::uint8_t> file = {kCompressedMark, kNoMark};
    file.insert(file.end(), shortBody.begin(), shortBody.end());
    expectCorrupt(file);
    const auto text = compressPayload(bytesOf("this is not a container body at all"));
    file = {kCompressedMark, kNoMark};
    file.insert(file.end(), text.begin(), text.end());
    expectCorrupt(file);
}

TEST_F(VxStreamsTest, DecoderErrorsAreCorrupt) {
    // Size 5, then a block whose pre-code announces 20 lengths.
    expectCorrupt({kCompressedMark, kNoMark, 5, 0, 0, 0, 0x00, 0x01, 0xA0, 0x00});
    expectCorrupt({kCompressedMark, kNoMark, 5, 0}); // size field cut short
    // "Compressed file is corrupt" stays inside: the caller sees only the
    // load's own message (checked by expectCorrupt).
}

TEST_F(VxStreamsTest, OnCorruptThatRaisesReplacesTheError) {
    streams.OnCorrupt = [](TVxStreams*) { throw EReadError("handler"); };
    try {
        load(streams, {kNoMark, kNoMark, 0});
        ADD_FAILURE();
    } catch (const EReadError& e) {
        EXPECT_EQ(e.message(), "handler");
    }
}

TEST_F(VxStreamsTest, ItemDataPastTheEndIsAReadErrorKeepingEarlierItems) {
    primeWithGood();
    streams.Key = u"k";
    RawBody body(3);
    body.add(u"first", "one").add(u"second", "two");
    body.w.u16(4), body.w.utf16(u"th"), body.w.u32(100), body.w.bytes(bytesOf("short"));
    try {
        load(streams, body.bytes);
        ADD_FAILURE();
    } catch (const EReadError& e) {
        EXPECT_EQ(e.message(), "Stream read error");
    }
    EXPECT_EQ(corruptCalls, 0);
    EXPECT_EQ(names(streams), (std::vector<std::u16string>{u"first", u"second"}));
    EXPECT_EQ(streams.Key, u"k");
    EXPECT_TRUE(streams.Compressed);
    EXPECT_TRUE(streams.Encrypted);
}

TEST_F(VxStreamsTest, FieldsCutShortAndNegativeSizesAreCorrupt) {
    const auto attempt = [&](const std::vector<std::uint8_t>& file) {
        primeWithGood();
        EXPECT_THROW(load(streams, file), ECorruptFile);
        EXPECT_EQ(corruptCalls, 1);
        EXPECT_EQ(streams.Key, u"good");
    };
    {
        SCOPED_TRACE("count cut short");
        std::vector<std::uint8_t> f = {kNoMark, kNoMark, 1, 2, 3, 4, 5, 6, 7, 8, 1, 0};
        attempt(f);
        EXPECT_TRUE(names(streams).empty()); // the signature passed: the old items are gone
    }
    {
        SCOPED_TRACE("name length cut short");
        RawBody b(2);
        b.add(u"ok", "fine");
        b.w.u8(4);
        attempt(b.bytes);
        EXPECT_EQ(names(streams), std::vector<std::u16string>{u"ok"});
    }
    {
        SCOPED_TRACE("name cut short");
        RawBody b(1);
        b.w.u16(10), b.w.utf16(u"ab");
        attempt(b.bytes);
    }
    {
        SCOPED_TRACE("size cut short");
        RawBody b(1);
        b.w.u16(2), b.w.utf16(u"a"), b.w.u16(0);
        attempt(b.bytes);
    }
    {
        SCOPED_TRACE("negative size");
        RawBody b(1);
        b.add(u"neg", {}, -1);
        attempt(b.bytes);
    }
}

// --- the load and the list --------------------------------------------------

TEST_F(VxStreamsTest, BlankMarksAndCountZeroGiveAnEmptyCollection) {
    primeWithGood();
    streams.Key = u"unchanged";
    RawBody b(0);
    load(streams, b.bytes);
    EXPECT_EQ(streams.Count(), 0u);
    EXPECT_FALSE(streams.Compressed);
    EXPECT_FALSE(streams.Encrypted);
    EXPECT_EQ(streams.Key, u"unchanged");

    RawBody negative(-3);
    negative.add(u"ignored", "x");
    primeWithGood();
    load(streams, negative.bytes);
    EXPECT_EQ(streams.Count(), 0u);
    EXPECT_EQ(corruptCalls, 0);
}

TEST_F(VxStreamsTest, NamesIgnoreCaseFirstDuplicateWinsAndListIsSorted) {
    RawBody b(6);
    b.add(u"exe", "first").add(u"EXE", "second").add(u"Zed", "z").add(u"alpha", "a").add(u"empty", "");
    b.add(u"", "nameless");
    b.w.bytes(bytesOf("trailing bytes are ignored"));
    load(streams, b.bytes);
    EXPECT_EQ(names(streams), (std::vector<std::u16string>{u"", u"alpha", u"empty", u"exe", u"Zed"}));
    EXPECT_EQ(itemText(streams, u"Exe"), "first");
    EXPECT_EQ(itemText(streams, u"ZED"), "z");
    const auto infos = streams.ItemInfos();
    EXPECT_EQ(infos[2].size, 0);
    EXPECT_EQ(infos[0].size, 8);
}

TEST_F(VxStreamsTest, OddNameLengthDropsTheLastByte) {
    RawBody b(2);
    b.w.u16(5), b.w.utf16(u"ab"), b.w.u8('!'), b.w.u32(3), b.w.bytes(bytesOf("odd"));
    b.add(u"next", "n");
    load(streams, b.bytes);
    EXPECT_EQ(names(streams), (std::vector<std::u16string>{u"ab", u"next"}));
    EXPECT_EQ(itemText(streams, u"ab"), "odd");
}

TEST_F(VxStreamsTest, GetStreamAppendsAndRewinds) {
    RawBody b(2);
    b.add(u"exe", "STUB").add(u"", "hidden");
    load(streams, b.bytes);

    MemoryStream dest(bytesOf("head"));
    dest.setPosition(4);
    streams.GetStream(u"exe", dest);
    EXPECT_EQ(dest.vector(), bytesOf("headSTUB"));
    EXPECT_EQ(dest.position(), 0);

    MemoryStream unknown;
    streams.GetStream(u"nope", unknown);
    EXPECT_EQ(unknown.size(), 0);
    EXPECT_EQ(unknown.position(), 0);

    MemoryStream untouched(bytesOf("abc"));
    untouched.setPosition(2);
    streams.GetStream(u"", untouched);
    EXPECT_EQ(untouched.position(), 2);
    EXPECT_EQ(untouched.vector(), bytesOf("abc"));

    // The collection keeps its own copy.
    MemoryStream again;
    streams.GetStream(u"EXE", again);
    EXPECT_EQ(again.vector(), bytesOf("STUB"));
}

TEST_F(VxStreamsTest, AskForKeyIsUsedForEncryptedFilesOnly) {
    const std::u16string key = u"answer";
    const ContainerItem items[] = {item(u"exe", "stub")};
    int asked = 0;
    streams.Key = u"set but not used";
    streams.OnAskForKey = [&](TVxStreams* sender) {
        EXPECT_EQ(sender, &streams);
        ++asked;
        return key;
    };
    load(streams, buildContainer(items, true, &key));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(streams.Key, key);
    EXPECT_EQ(itemText(streams, u"exe"), "stub");

    streams.Key = u"kept";
    load(streams, buildContainer(items, true, nullptr));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(streams.Key, u"kept");
}

TEST_F(VxStreamsTest, WeakKeyContainerLoadsUnenciphered) {
    const std::u16string key = u"\u6F7C\u8428\u21FA\u8687abcd"; // a weak Blowfish key
    streams.Key = key;
    load(streams, buildContainer({item(u"exe", "stub")}, false, &key));
    EXPECT_TRUE(streams.Encrypted);
    EXPECT_EQ(itemText(streams, u"exe"), "stub");
}

TEST_F(VxStreamsTest, LoadStartsAtOffsetZeroWhateverThePosition) {
    MemoryStream stream(buildContainer({item(u"exe", "stub")}, true, nullptr));
    stream.setPosition(5);
    streams.LoadFromStream(stream);
    EXPECT_EQ(itemText(streams, u"exe"), "stub");
    streams.Clear();
    EXPECT_EQ(streams.Count(), 0u);
}

TEST_F(VxStreamsTest, BodyCeilingRefusesOversizedOutput) {
    const ContainerItem items[] = {item(u"exe", std::string(100000, 'a'))};
    streams.MaxBodySize = 50000;
    EXPECT_THROW(load(streams, buildContainer(items, true, nullptr)), ECorruptFile);
    EXPECT_THROW(load(streams, buildContainer(items, false, nullptr)), ECorruptFile);
    streams.MaxBodySize = 200000;
    load(streams, buildContainer(items, true, nullptr));
    EXPECT_EQ(streams.Count(), 1u);
}

} // namespace
} // namespace pakforge
