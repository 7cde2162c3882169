// The LH5-style decoder against liblhasa and jlha, hand-made streams for the
// corners of the format, and the encoder's ratio against jlha.
#include "ContainerTestSupport.h"

#include "container/VxStreamRoutines.h"
#include "container/VxStreamWriter.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace pakforge {
namespace {

using test::lh5Samples;

// MSB-first bit writer for hand-made streams.
struct Bits {
    std::vector<std::uint8_t> bytes;
    int used = 8;
    void put(unsigned count, std::uint32_t value) {
        for (int i = static_cast<int>(count) - 1; i >= 0; --i) {
            if (used == 8) {
                bytes.push_back(0);
                used = 0;
            }
            if ((value >> i) & 1) bytes.back() |= static_cast<std::uint8_t>(0x80 >> used);
            ++used;
        }
    }
    void shortPre(unsigned v) { put(5, 0), put(5, v); }
    void shortLiteral(unsigned v) { put(9, 0), put(9, v); }
    void shortDistance(unsigned v) { put(4, 0), put(4, v); }
    // A pre-code with two one-bit codes: symbol 2 (long zero run) = 0 and
    // symbol 3 (length 1) = 1.
    void preRunAndOne() {
        put(5, 4);
        put(3, 0), put(3, 0), put(3, 1);
        put(2, 0); // no zero run after the third length
        put(3, 1);
    }
};

std::vector<std::uint8_t> payloadOf(std::int32_t outputSize, const std::vector<std::uint8_t>& stream) {
    std::vector<std::uint8_t> payload;
    ByteWriter(payload).u32(static_cast<std::uint32_t>(outputSize));
    payload.insert(payload.end(), stream.begin(), stream.end());
    return payload;
}

std::vector<std::uint8_t> decompress(const std::vector<std::uint8_t>& payload) {
    MemoryStream source(payload), destination;
    DecompressStream(source, destination);
    EXPECT_EQ(destination.position(), 0 + destination.size());
    return destination.release();
}

std::vector<std::uint8_t> decompress(std::int32_t outputSize, const Bits& bits) {
    return decompress(payloadOf(outputSize, bits.bytes));
}

void expectCorrupt(std::int32_t outputSize, const Bits& bits) {
    try {
        decompress(outputSize, bits);
        ADD_FAILURE() << "decoded a stream that should be rejected";
    } catch (const ECorruptFile& e) {
        EXPECT_EQ(e.message(), "Compressed file is corrupt");
    }
}

std::vector<std::uint8_t> text(const std::string& s) {
    return {s.begin(), s.end()};
}

// --- against independent implementations ----------------------------------

TEST(Lh5Decoder, OurStreamsMatchLiblhasaAndTheInput) {
    for (const auto& sample : lh5Samples()) {
        SCOPED_TRACE(sample.name);
        const auto payload = compressPayload(sample.data);
        EXPECT_EQ(decompress(payload), sample.data);
        const std::vector<std::uint8_t> stream(payload.begin() + 4, payload.end());
        const auto theirs = test::lhasaDecode(stream, sample.data.size());
        ASSERT_TRUE(theirs.has_value());
        EXPECT_EQ(*theirs, sample.data);
    }
}

TEST(Lh5Decoder, JlhaStreamsDecodeLikeLiblhasa) {
    if (!test::haveTool("jlha")) PAKFORGE_SKIP_WITHOUT_TOOL("jlha not installed");
    int checked = 0;
    for (const auto& sample : lh5Samples()) {
        SCOPED_TRACE(sample.name);
        const auto member = test::jlhaCompress(sample.data);
        ASSERT_TRUE(member.has_value());
        if (member->method != "-lh5-") continue; // stored: nothing to decode
        ASSERT_EQ(member->originalSize, sample.data.size());
        const auto ours = decodeLh5(member->stream, sample.data.size());
        EXPECT_EQ(ours, sample.data);
        const auto theirs = test::lhasaDecode(member->stream, sample.data.size());
        ASSERT_TRUE(theirs.has_value());
        EXPECT_EQ(ours, *theirs);
        ++checked;
    }
    EXPECT_GE(checked, 5);
}

TEST(Lh5Encoder, WithinFivePercentOfJlha) {
    if (!test::haveTool("jlha")) PAKFORGE_SKIP_WITHOUT_TOOL("jlha not installed");
    std::uint64_t oursTotal = 0, theirsTotal = 0;
    for (const auto& sample : lh5Samples()) {
        if (sample.data.size() < 1000) continue;
        const auto member = test::jlhaCompress(sample.data);
        ASSERT_TRUE(member.has_value());
        if (member->method != "-lh5-") continue;
        const auto ours = encodeLh5(sample.data);
        std::printf("[ ratio    ] %-8s input %7zu  ours %7zu  jlha %7zu  (%.3f)\n", sample.name.c_str(),
                    sample.data.size(), ours.size(), member->stream.size(),
                    static_cast<double>(ours.size()) / static_cast<double>(member->stream.size()));
        EXPECT_LE(ours.size(), member->stream.size() * 105 / 100 + 16) << sample.name;
        oursTotal += ours.size();
        theirsTotal += member->stream.size();
    }
    std::printf("[ ratio    ] total ours %llu jlha %llu (%.3f)\n", static_cast<unsigned long long>(oursTotal),
                static_cast<unsigned long long>(theirsTotal),
                static_cast<double>(oursTotal) / static_cast<double>(theirsTotal));
    EXPECT_LE(oursTotal, theirsTotal * 105 / 100);
}

// --- the payload frame -------------------------------------------------------

TEST(Lh5Decoder, SizeZeroOrNegativeGivesNothingAndShortPayloadIsCorrupt) {
    EXPECT_TRUE(decompress(payloadOf(0, {0xFF, 0xFF})).empty());
    EXPECT_TRUE(decompress(payloadOf(-5, {0xFF})).empty());
    MemoryStream source(std::vector<std::uint8_t>{1, 0, 0}), destination;
    EXPECT_THROW(DecompressStream(source, destination), ECorruptFile);
}

TEST(Lh5Decoder, WritesAtTheDestinationPositionFromTheSourcePosition) {
    const auto data = test::sampleText(20000, 7);
    auto payload = compressPayload(data);
    payload.insert(payload.begin(), {9, 9, 9});
    MemoryStream source(payload), destination(text("head"));
    source.setPosition(3);
    destination.setPosition(4);
    DecompressStream(source, destination);
    auto expected = text("head");
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(destination.vector(), expected);
    EXPECT_EQ(destination.position(), static_cast<std::int64_t>(expected.size()));
}

TEST(Lh5Decoder, OutputAboveTheCeilingIsRefused) {
    MemoryStream source(payloadOf(1 << 20, {})), destination;
    EXPECT_THROW(DecompressStream(source, destination, 1000), EOutOfMemory);
    EXPECT_EQ(destination.size(), 0);
}

TEST(Lh5Decoder, CutShortStreamIsCorruptAndTrailingBytesAreIgnored) {
    const auto data = test::sampleText(30000, 5);
    const auto stream = encodeLh5(data);
    // Every cut of a complete stream consumes bits it does not have.
    for (std::size_t keep = 0; keep < stream.size(); keep += 1 + keep / 8) {
        const std::vector<std::uint8_t> cut(stream.begin(),
                                            stream.begin() + static_cast<std::ptrdiff_t>(keep));
        EXPECT_THROW(decompress(payloadOf(30000, cut)), ECorruptFile) << keep << " of " << stream.size();
    }
    const std::vector<std::uint8_t> lastByteMissing(stream.begin(), stream.end() - 1);
    EXPECT_THROW(decompress(payloadOf(30000, lastByteMissing)), ECorruptFile);

    auto junk = stream;
    junk.insert(junk.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0xFF});
    EXPECT_EQ(decompress(payloadOf(30000, junk)), data);
}

// --- short forms and block counts --------------------------------------------

TEST(Lh5Decoder, ShortFormsConsumeNoBitsAndCountZeroMeans65536) {
    Bits bits;
    bits.put(16, 0); // 65,536 symbols
    bits.shortPre(0);
    bits.shortLiteral('A');
    bits.shortDistance(0);
    bits.put(16, 2); // next block: two symbols
    bits.shortPre(0);
    bits.shortLiteral('B');
    bits.shortDistance(0);
    const auto out = decompress(65538, bits);
    ASSERT_EQ(out.size(), 65538u);
    EXPECT_EQ(std::count(out.begin(), out.begin() + 65536, 'A'), 65536);
    EXPECT_EQ(out[65536], 'B');
    EXPECT_EQ(out[65537], 'B');
}

TEST(Lh5Decoder, ShortFormDistanceAndTheZeroWindowBeforeTheStart) {
    // Literal code: 'x' = 0, match of length 3 = 1; every distance is 1
    // (two bytes back), so the first match reaches before the output.
    Bits bits;
    bits.put(16, 2);
    bits.preRunAndOne();
    bits.put(9, 257);
    bits.put(1, 0), bits.put(9, 'x' - 20); // zeros up to 'x'
    bits.put(1, 1);                        // 'x' has length 1
    bits.put(1, 0), bits.put(9, 255 - 'x' - 20);
    bits.put(1, 1); // symbol 256 has length 1
    bits.shortDistance(1);
    bits.put(1, 0); // 'x'
    bits.put(1, 1); // match, length 3, distance value 1
    EXPECT_EQ(decompress(4, bits), (std::vector<std::uint8_t>{'x', 0, 'x', 0}));
}

TEST(Lh5Decoder, DistanceZeroLength256RepeatsThePreviousByte) {
    Bits bits;
    bits.put(16, 2);
    bits.preRunAndOne();
    bits.put(9, 510);
    bits.put(1, 0), bits.put(9, 'q' - 20);
    bits.put(1, 1);                              // 'q'
    bits.put(1, 0), bits.put(9, 508 - 'q' - 20); // zeros up to 508
    bits.put(1, 1);                              // symbol 509: length 256
    bits.shortDistance(0);
    bits.put(1, 0), bits.put(1, 1);
    EXPECT_EQ(decompress(257, bits), std::vector<std::uint8_t>(257, 'q'));
}

TEST(Lh5Decoder, AllZeroLengthSetKeepsThePreviousTable) {
    Bits bits;
    bits.put(16, 1);
    bits.shortPre(0);
    bits.shortLiteral('A');
    bits.shortDistance(0);
    bits.put(16, 2);
    bits.shortPre(0); // every pre-code lookup: one zero length
    bits.put(9, 1);   // one length, zero: passes, table unchanged
    bits.shortDistance(0);
    EXPECT_EQ(decompress(3, bits), text("AAA"));
}

TEST(Lh5Decoder, AllZeroDistanceSetKeepsThePreCodeTable) {
    // The small table still holds the pre-code (2 = "0", 3 = "10", 4 = "11"),
    // read now as distance symbols whose code lengths are all 0: a leading
    // 0-bit gives symbol 2, and its extra bit is that same 0-bit.
    Bits bits;
    bits.put(16, 6);
    bits.put(5, 5), bits.put(3, 0), bits.put(3, 0), bits.put(3, 1), bits.put(2, 0), bits.put(3, 2),
        bits.put(3, 2);
    // Literal code: 'a' = 0, 'b' = 10, match of length 3 = 11.
    bits.put(9, 257);
    bits.put(1, 0), bits.put(9, 'a' - 20);
    bits.put(2, 2), bits.put(2, 3); // 'a' length 1, 'b' length 2
    bits.put(1, 0), bits.put(9, 255 - 'b' - 20);
    bits.put(2, 3);                                                 // symbol 256 length 2
    bits.put(4, 1), bits.put(3, 0);                                 // distance code: one length, 0
    bits.put(1, 0), bits.put(2, 2), bits.put(1, 0), bits.put(2, 2); // a b a b
    bits.put(2, 3), bits.put(1, 0);                                 // match 3, distance value 2
    bits.put(1, 0);                                                 // a
    EXPECT_EQ(decompress(8, bits), text("ababbaba"));
}

TEST(Lh5Decoder, MatchesCrossChunkBoundariesAndBlocks) {
    // Long matches over many 8 KiB chunks and several blocks, checked
    // against liblhasa and the input.
    std::vector<std::uint8_t> data;
    const auto unit = test::sampleText(8191, 9);
    for (int i = 0; i < 40; ++i) data.insert(data.end(), unit.begin(), unit.end());
    auto noise = test::randomBytes(200000, 4);
    data.insert(data.end(), noise.begin(), noise.end());
    const auto stream = encodeLh5(data);
    EXPECT_EQ(decodeLh5(stream, data.size()), data);
    EXPECT_EQ(test::lhasaDecode(stream, data.size()), data);
    // The same through DecompressStream, which produces the output piecewise
    // and so carries matches over from one piece to the next.
    EXPECT_EQ(decompress(payloadOf(static_cast<std::int32_t>(data.size()), stream)), data);
}

// --- streams a valid encoder never makes ---------------------------------

TEST(Lh5Decoder, RejectsInconsistentAndImpossibleTables) {
    {
        SCOPED_TRACE("incomplete pre-code: two lengths of 2");
        Bits b;
        b.put(16, 1);
        b.put(5, 2), b.put(3, 2), b.put(3, 2);
        expectCorrupt(1, b);
    }
    {
        SCOPED_TRACE("over-full pre-code");
        Bits b;
        b.put(16, 1);
        b.put(5, 3), b.put(3, 1), b.put(3, 1), b.put(3, 1), b.put(2, 0);
        expectCorrupt(1, b);
    }
    {
        SCOPED_TRACE("pre-code count above 19");
        Bits b;
        b.put(16, 1);
        b.put(5, 20);
        expectCorrupt(1, b);
    }
    {
        SCOPED_TRACE("pre-code length above 16");
        Bits b;
        b.put(16, 1);
        b.put(5, 1), b.put(3, 7), b.put(11, 0x7FE); // 111, ten 1-bits, 0: length 17
        expectCorrupt(1, b);
    }
    {
        SCOPED_TRACE("pre-code short-form value 19");
        Bits b;
        b.put(16, 1);
        b.shortPre(19);
        expectCorrupt(1, b);
    }
    {
        SCOPED_TRACE("literal count above 510");
        Bits b;
        b.put(16, 1);
        b.preRunAndOne();
        b.put(9, 511);
        expectCorrupt(1, b);
    }
    {
        SCOPED_TRACE("zero run past the last literal symbol");
        Bits b;
        b.put(16, 1);
        b.preRunAndOne();
        b.put(9, 510);
        b.put(1, 0), b.put(9, 511); // 531 zeros
        expectCorrupt(1, b);
    }
    {
        SCOPED_TRACE("over-full literal code");
        Bits b;
        b.put(16, 1);
        b.preRunAndOne();
        b.put(9, 3);
        b.put(1, 1), b.put(1, 1), b.put(1, 1); // three codes of length 1
        expectCorrupt(1, b);
    }
    {
        SCOPED_TRACE("literal short-form value 510");
        Bits b;
        b.put(16, 1);
        b.shortPre(0);
        b.shortLiteral(510);
        expectCorrupt(1, b);
    }
    {
        SCOPED_TRACE("distance count above 14");
        Bits b;
        b.put(16, 1);
        b.shortPre(0);
        b.shortLiteral('a');
        b.put(4, 15);
        expectCorrupt(1, b);
    }
    {
        SCOPED_TRACE("distance short-form value 14");
        Bits b;
        b.put(16, 1);
        b.shortPre(0);
        b.shortLiteral('a');
        b.shortDistance(14);
        expectCorrupt(1, b);
    }
}

TEST(Lh5Decoder, SurvivesDamagedStreams) {
    // Flipped bits in real streams: either an error or exactly the asked
    // number of bytes, never a crash (the fuzzer goes further).
    const auto data = test::sampleText(20000, 11);
    const auto stream = encodeLh5(data);
    for (std::size_t i = 0; i < 300; ++i) {
        auto damaged = stream;
        damaged[(i * 7919) % damaged.size()] ^= static_cast<std::uint8_t>(1u << (i % 8));
        try {
            EXPECT_EQ(decompress(payloadOf(20000, damaged)).size(), 20000u);
        } catch (const ECorruptFile&) {
        }
    }
}

} // namespace
} // namespace pakforge
