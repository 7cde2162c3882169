// Blowfish against the published vectors and nettle, the password's key
// bytes and the tail rule of DecryptStream.
#include "container/VxStreamRoutines.h"
#include "container/VxStreamWriter.h"
#include "core/Exceptions.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <nettle/blowfish.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace pakforge {
namespace {

std::vector<std::uint8_t> hex(const char* text) {
    std::vector<std::uint8_t> out;
    for (const char* p = text; p[0] && p[1]; p += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    return out;
}

// Our block halves are little-endian words; the published vectors and nettle
// take them big-endian. Reversing each half's four bytes maps one onto the
// other.
std::vector<std::uint8_t> swapHalves(std::vector<std::uint8_t> block) {
    for (std::size_t at = 0; at + 4 <= block.size(); at += 4)
        std::reverse(block.begin() + at, block.begin() + at + 4);
    return block;
}

BlowfishState keyed(const std::vector<std::uint8_t>& key) {
    BlowfishState state;
    EXPECT_TRUE(SetupKey(state, key.data(), key.size()));
    return state;
}

TEST(Blowfish, PublishedVectorsWithLittleEndianHalves) {
    struct Vector {
        const char *key, *plain, *cipher;
    };
    const Vector vectors[] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
        {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {"6162636465666768696A6B6C6D6E6F707172737475767778797A", "424C4F5746495348", "324ED0FEF413A203"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.key);
        const auto state = keyed(hex(v.key));
        auto block = swapHalves(hex(v.plain));
        EncipherBuffer(state, block.data(), 8);
        EXPECT_EQ(block, swapHalves(hex(v.cipher)));
        DecipherBuffer(state, block.data(), 8);
        EXPECT_EQ(block, swapHalves(hex(v.plain)));
    }
}

TEST(Blowfish, MatchesNettleOnRandomKeysAndBlocks) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> key(1 + rng() % 56);
        for (auto& b : key) b = static_cast<std::uint8_t>(rng());
        blowfish_ctx ctx;
        const int nettleStrong = blowfish_set_key(&ctx, key.size(), key.data());
        BlowfishState state;
        ASSERT_EQ(SetupKey(state, key.data(), key.size()), nettleStrong != 0);

        std::vector<std::uint8_t> plain(8 * (1 + rng() % 8));
        for (auto& b : plain) b = static_cast<std::uint8_t>(rng());
        std::vector<std::uint8_t> theirs(plain.size());
        blowfish_encrypt(&ctx, plain.size(), theirs.data(), plain.data());
        auto ours = swapHalves(plain);
        EncipherBuffer(state, ours.data(), static_cast<std::int32_t>(ours.size()));
        ASSERT_EQ(ours, swapHalves(theirs)) << "key length " << key.size();

        std::vector<std::uint8_t> back(plain.size());
        blowfish_decrypt(&ctx, theirs.size(), back.data(), theirs.data());
        DecipherBuffer(state, ours.data(), static_cast<std::int32_t>(ours.size()));
        ASSERT_EQ(ours, swapHalves(back));
    }
}

TEST(Blowfish, SetupRestartsFromTheInitialTables) {
    // A second key after a first gives what it gives alone.
    const auto a = hex("0123456789ABCDEF"), b = hex("FEDCBA9876543210");
    BlowfishState reused;
    ASSERT_TRUE(SetupKey(reused, a.data(), a.size()));
    ASSERT_TRUE(SetupKey(reused, b.data(), b.size()));
    const auto fresh = keyed(b);
    EXPECT_EQ(0, std::memcmp(&reused, &fresh, sizeof fresh));
    BlowfishState empty;
    EXPECT_THROW(SetupKey(empty, a.data(), 0), Exception);
}

TEST(Cipher, WeakKeyLeavesTheStreamAsItIs) {
    // Key bytes 7C 6F 28 84 FA 21 87 86 leave two equal entries in an S-box.
    const std::u16string password = u"\u6F7C\u8428\u21FA\u8687abcd";
    const auto key = passwordKeyBytes(password);
    ASSERT_EQ(key, hex("7C6F2884FA218786"));
    BlowfishState state;
    EXPECT_FALSE(SetupKey(state, key.data(), key.size()));
    blowfish_ctx ctx;
    EXPECT_EQ(blowfish_set_key(&ctx, key.size(), key.data()), 0);

    const std::vector<std::uint8_t> plain = {1, 2, 3, 4, 5, 6, 7, 8, 9, 3};
    MemoryStream s(plain);
    DecryptStream(s, password);
    EXPECT_EQ(s.vector(), plain);
    // The writer keeps to the reader: nothing enciphered, no tail added.
    EncryptStream(s, password);
    EXPECT_EQ(s.vector(), plain);
}

TEST(Cipher, KeyBytesAreTheFirstCountBytesOfUtf16) {
    EXPECT_EQ(passwordKeyBytes(u"abc"), (std::vector<std::uint8_t>{'a', 0, 'b'}));
    EXPECT_EQ(passwordKeyBytes(u"rqzvmtpxw4b7"),
              (std::vector<std::uint8_t>{'r', 0, 'q', 0, 'z', 0, 'v', 0, 'm', 0, 't', 0}));
    EXPECT_EQ(passwordKeyBytes(u"\u0141x"), (std::vector<std::uint8_t>{0x41, 0x01}));
    EXPECT_TRUE(passwordKeyBytes(u"").empty());
    EXPECT_TRUE(passwordKeyBytes(std::u16string(256, u'k')).empty());
    EXPECT_EQ(passwordKeyBytes(std::u16string(257, u'k')), (std::vector<std::uint8_t>{'k'}));
}

MemoryStream enciphered(std::vector<std::uint8_t> plain, std::u16string_view password) {
    const auto key = passwordKeyBytes(password);
    BlowfishState state;
    EXPECT_TRUE(SetupKey(state, key.data(), key.size()));
    EncipherBuffer(state, plain.data(), static_cast<std::int32_t>(plain.size()));
    return MemoryStream(std::move(plain));
}

TEST(Cipher, DecryptStreamTailRule) {
    {
        SCOPED_TRACE("empty payload, even with an empty password");
        MemoryStream s;
        DecryptStream(s, u"");
        EXPECT_EQ(s.size(), 0);
    }
    {
        SCOPED_TRACE("empty password on data");
        MemoryStream s(std::vector<std::uint8_t>(8, 1));
        EXPECT_ANY_THROW(DecryptStream(s, u""));
        MemoryStream t(std::vector<std::uint8_t>(8, 1));
        EXPECT_ANY_THROW(DecryptStream(t, std::u16string(512, u'x')));
    }
    {
        SCOPED_TRACE("tail count 7 empties an 8-byte payload; 0 drops one byte");
        auto s = enciphered({1, 2, 3, 4, 5, 6, 7, 7}, u"secret");
        DecryptStream(s, u"secret");
        EXPECT_EQ(s.size(), 0);
        auto t = enciphered({1, 2, 3, 4, 5, 6, 7, 0}, u"secret");
        DecryptStream(t, u"secret");
        EXPECT_EQ(t.vector(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7}));
    }
    {
        SCOPED_TRACE("a partial last block stays as stored and gives the count");
        auto s = enciphered({10, 11, 12, 13, 14, 15, 16, 17}, u"secret");
        s.setPosition(8);
        const std::uint8_t extra[3] = {0xAA, 0xBB, 1};
        s.writeBuffer(extra, 3);
        DecryptStream(s, u"secret");
        EXPECT_EQ(s.vector(), (std::vector<std::uint8_t>{10, 11, 12, 13, 14, 15, 16, 17, 0xAA}));
    }
    {
        SCOPED_TRACE("shorter than a block: nothing deciphered, last byte still the count");
        MemoryStream s(std::vector<std::uint8_t>{5, 6, 1});
        DecryptStream(s, u"secret");
        EXPECT_EQ(s.vector(), (std::vector<std::uint8_t>{5}));
        MemoryStream t(std::vector<std::uint8_t>{5, 6, 3});
        EXPECT_ANY_THROW(DecryptStream(t, u"secret"));
    }
}

TEST(Cipher, WeakKeyTestLooksWithinEachSBoxOnly) {
    // Key bytes 24 B9 46 C5 6B F9 D0 78 leave one value in two different
    // S-boxes but no S-box with two equal entries: a strong key.
    const std::u16string password = u"\uB924\uC546\uF96B\u78D0wxyz";
    const auto key = passwordKeyBytes(password);
    ASSERT_EQ(key, hex("24B946C56BF9D078"));
    const auto state = keyed(key);
    bool shared = false;
    for (int a = 0; a < 4; ++a)
        for (int b = a + 1; b < 4; ++b)
            for (const auto v : state.S[a])
                if (std::find(std::begin(state.S[b]), std::end(state.S[b]), v) != std::end(state.S[b]))
                    shared = true;
    ASSERT_TRUE(shared);
    blowfish_ctx ctx;
    EXPECT_NE(blowfish_set_key(&ctx, key.size(), key.data()), 0);

    // So DecryptStream deciphers and strips the tail.
    const std::vector<std::uint8_t> plain = {'s', 't', 'r', 'o', 'n', 'g', 1, 1};
    auto s = enciphered(plain, password);
    ASSERT_NE(s.vector(), plain);
    DecryptStream(s, password);
    EXPECT_EQ(s.vector(), (std::vector<std::uint8_t>{'s', 't', 'r', 'o', 'n', 'g'}));
}

TEST(Cipher, OnlyTheKeyBytesMatter) {
    const std::vector<std::uint8_t> plain = {'p', 'l', 'a', 'i', 'n', 't', 'x', 't', 9, 9, 9, 9, 9, 9, 9, 1};
    auto a = enciphered(plain, u"abcdefGHIJKL");
    auto b = enciphered(plain, u"abcdefzzzzzz");
    EXPECT_EQ(a.vector(), b.vector());
    auto c = enciphered(plain, u"abcdeXGHIJKL");
    EXPECT_NE(a.vector(), c.vector());
    DecryptStream(b, u"abcdef123456");
    EXPECT_EQ(b.vector(), std::vector<std::uint8_t>(plain.begin(), plain.end() - 2));
}

TEST(Cipher, EncryptStreamRoundTrips) {
    for (std::size_t size = 0; size < 40; ++size) {
        const auto plain = test::randomBytes(size, static_cast<std::uint32_t>(size));
        MemoryStream s(plain);
        EncryptStream(s, u"\u00e9t\u00e9 2026");
        EXPECT_EQ(s.size() % 8, 0);
        EXPECT_GT(s.size(), static_cast<std::int64_t>(size));
        DecryptStream(s, u"\u00e9t\u00e9 2026");
        EXPECT_EQ(s.vector(), plain) << size;
    }
    MemoryStream empty;
    EXPECT_ANY_THROW(EncryptStream(empty, u""));
}

} // namespace
} // namespace pakforge
