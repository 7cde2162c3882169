#include "container/VxStreamRoutines.h"

#include "container/BlowfishTables.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace pakforge {

// --- Blowfish ---------------------------------------------------------------

void ResetCipher(BlowfishState& state) {
    std::memcpy(state.P, blowfish_init::kP, sizeof state.P);
    std::memcpy(state.S[0], blowfish_init::kS1, sizeof state.S[0]);
    std::memcpy(state.S[1], blowfish_init::kS2, sizeof state.S[1]);
    std::memcpy(state.S[2], blowfish_init::kS3, sizeof state.S[2]);
    std::memcpy(state.S[3], blowfish_init::kS4, sizeof state.S[3]);
}

namespace {

inline std::uint32_t feistel(const BlowfishState& s, std::uint32_t x) {
    return ((s.S[0][x >> 24] + s.S[1][(x >> 16) & 0xFF]) ^ s.S[2][(x >> 8) & 0xFF]) + s.S[3][x & 0xFF];
}

bool hasDuplicate(const std::uint32_t (&box)[256]) {
    std::array<std::uint32_t, 256> sorted;
    std::copy(std::begin(box), std::end(box), sorted.begin());
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
}

} // namespace

void EncipherBlock(const BlowfishState& s, std::uint32_t& L, std::uint32_t& R) {
    std::uint32_t l = L, r = R;
    for (int i = 0; i < 16; i += 2) {
        l ^= s.P[i];
        r ^= feistel(s, l);
        r ^= s.P[i + 1];
        l ^= feistel(s, r);
    }
    l ^= s.P[16];
    r ^= s.P[17];
    // The last swap is undone: the halves come out crossed.
    L = r;
    R = l;
}

void DecipherBlock(const BlowfishState& s, std::uint32_t& L, std::uint32_t& R) {
    std::uint32_t l = L, r = R;
    for (int i = 17; i > 1; i -= 2) {
        l ^= s.P[i];
        r ^= feistel(s, l);
        r ^= s.P[i - 1];
        l ^= feistel(s, r);
    }
    l ^= s.P[1];
    r ^= s.P[0];
    L = r;
    R = l;
}

bool SetupKey(BlowfishState& state, const std::uint8_t* key, std::size_t count) {
    if (count == 0 || key == nullptr) throw ERangeError(kRangeCheckError);
    ResetCipher(state);
    for (std::size_t i = 0; i < 72; ++i)
        state.P[i / 4] ^= static_cast<std::uint32_t>(key[i % count]) << (24 - 8 * (i % 4));
    std::uint32_t L = 0, R = 0;
    for (int i = 0; i < 18; i += 2) {
        EncipherBlock(state, L, R);
        state.P[i] = L;
        state.P[i + 1] = R;
    }
    for (auto& box : state.S) {
        for (int i = 0; i < 256; i += 2) {
            EncipherBlock(state, L, R);
            box[i] = L;
            box[i + 1] = R;
        }
    }
    for (const auto& box : state.S)
        if (hasDuplicate(box)) return false;
    return true;
}

void DecipherBuffer(const BlowfishState& state, std::uint8_t* buffer, std::int32_t length) {
    const std::uint32_t* P = state.P;
    const std::uint32_t* S0 = state.S[0];
    const std::uint32_t* S1 = state.S[1];
    const std::uint32_t* S2 = state.S[2];
    const std::uint32_t* S3 = state.S[3];
    const auto f = [&](std::uint32_t x) {
        return ((S0[x >> 24] + S1[(x >> 16) & 0xFF]) ^ S2[(x >> 8) & 0xFF]) + S3[x & 0xFF];
    };
    std::int32_t at = 0;
    // Blocks are independent (ECB): two at a time keeps both dependency
    // chains busy.
    for (; length - at >= 16; at += 16) {
        std::uint8_t* b = buffer + at;
        std::uint32_t l0 = loadLE32(b), r0 = loadLE32(b + 4);
        std::uint32_t l1 = loadLE32(b + 8), r1 = loadLE32(b + 12);
        for (int i = 17; i > 1; i -= 2) {
            l0 ^= P[i];
            l1 ^= P[i];
            r0 ^= f(l0);
            r1 ^= f(l1);
            r0 ^= P[i - 1];
            r1 ^= P[i - 1];
            l0 ^= f(r0);
            l1 ^= f(r1);
        }
        storeLE32(b, r0 ^ P[0]);
        storeLE32(b + 4, l0 ^ P[1]);
        storeLE32(b + 8, r1 ^ P[0]);
        storeLE32(b + 12, l1 ^ P[1]);
    }
    if (length - at >= 8) {
        std::uint32_t L = loadLE32(buffer + at), R = loadLE32(buffer + at + 4);
        DecipherBlock(state, L, R);
        storeLE32(buffer + at, L);
        storeLE32(buffer + at + 4, R);
    }
}

void EncipherBuffer(const BlowfishState& state, std::uint8_t* buffer, std::int32_t length) {
    for (std::int32_t at = 0; length - at >= 8; at += 8) {
        std::uint32_t L = loadLE32(buffer + at), R = loadLE32(buffer + at + 4);
        EncipherBlock(state, L, R);
        storeLE32(buffer + at, L);
        storeLE32(buffer + at + 4, R);
    }
}

std::vector<std::uint8_t> passwordKeyBytes(std::u16string_view password) {
    const std::size_t count = password.size() % 256;
    std::vector<std::uint8_t> key(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto unit = static_cast<std::uint16_t>(password[i / 2]);
        key[i] = static_cast<std::uint8_t>(i % 2 == 0 ? unit & 0xFF : unit >> 8);
    }
    return key;
}

void DecryptStream(MemoryStream& stream, std::u16string_view password) {
    const std::int64_t size = stream.size();
    if (size == 0) return;
    if (size > std::numeric_limits<std::int32_t>::max()) throw ERangeError(kRangeCheckError);
    const auto key = passwordKeyBytes(password);
    auto state = std::make_unique<BlowfishState>();
    if (!SetupKey(*state, key.data(), key.size())) return;
    DecipherBuffer(*state, stream.memory(), static_cast<std::int32_t>(size));
    const std::int64_t tail = stream.memory()[size - 1];
    if (tail + 1 > size) throw ERangeError(kRangeCheckError);
    stream.setSize(size - tail - 1);
}

// --- LH5-style decoder -------------------------------------------------------

namespace {

constexpr int kLiteralSymbols = 510; // 256 literals + match lengths 3..256
constexpr int kPreSymbols = 19;
constexpr int kDistanceSymbols = 14;
constexpr int kLiteralTableBits = 12;
constexpr int kSmallTableBits = 8;
constexpr int kTreeNodes = 2 * kLiteralSymbols - 1;
// A walk longer than the node count can only be a loop between stale trees.
constexpr int kMaxWalk = kTreeNodes;

[[noreturn]] void corrupt() {
    throw ECorruptFile(kCompressedFileCorrupt);
}

class Lh5Decoder {
  public:
    explicit Lh5Decoder(std::span<const std::uint8_t> input)
        : begin_(input.data()), in_(input.data()), end_(input.data() + input.size()) {
        refill();
    }

    // True when the bits taken so far run past the end of the input. The
    // decoder looks ahead up to 16 bits, but a complete stream never has it
    // consume a bit its writer did not write, so this marks a cut stream.
    bool overran() const {
        const std::int64_t supplied = 8 * (static_cast<std::int64_t>(in_ - begin_) + zeroBytes_);
        return supplied - count_ > 8 * static_cast<std::int64_t>(end_ - begin_);
    }

    // Produces output bytes [pos, end) of out, whose earlier bytes are this
    // decoder's earlier output; a match cut off at end resumes on the next call.
    void decode(std::uint8_t* out, std::size_t pos, std::size_t end) {
        while (pendingCount_ > 0 && pos < end) {
            out[pos] = pos >= pendingDistance_ ? out[pos - pendingDistance_] : 0;
            ++pos;
            --pendingCount_;
        }
        while (pos < end) {
            refill();
            const unsigned c = decodeLiteral();
            if (c < 256) {
                out[pos++] = static_cast<std::uint8_t>(c);
                continue;
            }
            const std::size_t length = c - 253;
            const std::size_t distance = decodeDistance() + 1;
            const std::size_t n = std::min(length, end - pos);
            pendingCount_ = length - n;
            pendingDistance_ = distance;
            std::uint8_t* d = out + pos;
            if (pos >= distance) {
                const std::uint8_t* s = d - distance;
                if (distance >= n) {
                    std::memcpy(d, s, n);
                } else {
                    for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
                }
            } else {
                // Reaches before the first output byte: the window starts as zeros.
                for (std::size_t i = 0; i < n; ++i) d[i] = pos + i >= distance ? out[pos + i - distance] : 0;
            }
            pos += n;
        }
    }

  private:
    // Keeps at least 57 bits ready; past the end of the input the stream reads
    // as zero bits.
    void refill() {
        if (end_ - in_ >= 8) {
            std::uint64_t v = 0;
            for (int i = 0; i < 8; ++i) v = (v << 8) | in_[i];
            bits_ |= v >> count_;
            in_ += (63 - count_) >> 3;
            count_ |= 56;
        } else {
            while (count_ <= 56) {
                std::uint64_t b = 0;
                if (in_ < end_)
                    b = *in_++;
                else
                    ++zeroBytes_;
                bits_ |= b << (56 - count_);
                count_ += 8;
            }
        }
    }
    std::uint32_t peek16() const { return static_cast<std::uint32_t>(bits_ >> 48); }
    void consume(unsigned n) {
        bits_ <<= n;
        count_ -= static_cast<int>(n);
    }
    // n <= 16; the caller has refilled.
    std::uint32_t getBits(unsigned n) {
        if (n == 0) return 0;
        const auto v = static_cast<std::uint32_t>(bits_ >> (64 - n));
        consume(n);
        return v;
    }
    std::uint32_t getBitsRefilled(unsigned n) {
        if (count_ < 32) refill();
        return getBits(n);
    }

    // Follows the overflow tree below a table entry with the bits of the
    // 16-bit window under the index bits; bits past the window read as 0.
    unsigned walk(unsigned j, unsigned symbols, std::uint32_t w, int indexBits) const {
        std::uint32_t mask = 1u << (15 - indexBits);
        int steps = 0;
        do {
            j = (w & mask) ? right_[j] : left_[j];
            mask >>= 1;
            if (++steps > kMaxWalk) corrupt();
        } while (j >= symbols);
        return j;
    }

    unsigned decodeLiteral() {
        if (blockLeft_ == 0) {
            startBlock();
            refill();
        }
        --blockLeft_;
        const std::uint32_t w = peek16();
        unsigned j = literalTable_[w >> (16 - kLiteralTableBits)];
        if (j >= kLiteralSymbols) j = walk(j, kLiteralSymbols, w, kLiteralTableBits);
        consume(literalLengths_[j]);
        return j;
    }

    std::size_t decodeDistance() {
        const std::uint32_t w = peek16();
        unsigned j = smallTable_[w >> (16 - kSmallTableBits)];
        if (j >= kDistanceSymbols) j = walk(j, kDistanceSymbols, w, kSmallTableBits);
        consume(smallLengths_[j]);
        if (j == 0) return 0;
        return (std::size_t{1} << (j - 1)) + getBits(j - 1);
    }

    void startBlock() {
        blockLeft_ = static_cast<std::uint16_t>(getBitsRefilled(16));
        readSmallTable(kPreSymbols, 5, 3);
        readLiteralLengths();
        readSmallTable(kDistanceSymbols, 4, -1);
    }

    void readSmallTable(int symbols, unsigned countBits, int zeroRunAt) {
        const unsigned m = getBitsRefilled(countBits);
        if (m == 0) {
            const unsigned v = getBitsRefilled(countBits);
            if (v >= static_cast<unsigned>(symbols)) corrupt();
            std::fill_n(smallLengths_.begin(), symbols, std::uint8_t{0});
            smallTable_.fill(static_cast<std::uint16_t>(v));
            return;
        }
        if (m > static_cast<unsigned>(symbols)) corrupt();
        int i = 0;
        while (i < static_cast<int>(m)) {
            if (count_ < 32) refill();
            const std::uint32_t w = peek16();
            unsigned c = w >> 13;
            if (c == 7) {
                for (std::uint32_t mask = 1u << 12; w & mask; mask >>= 1) ++c;
                if (c > 16) corrupt();
            }
            consume(c < 7 ? 3 : c - 3);
            smallLengths_[i++] = static_cast<std::uint8_t>(c);
            if (i == zeroRunAt) {
                const int k = static_cast<int>(getBitsRefilled(2));
                if (i + k > symbols) corrupt();
                std::fill_n(smallLengths_.begin() + i, k, std::uint8_t{0});
                i += k;
            }
        }
        std::fill(smallLengths_.begin() + i, smallLengths_.begin() + symbols, std::uint8_t{0});
        buildTable(symbols, smallLengths_.data(), kSmallTableBits, smallTable_.data());
    }

    void readLiteralLengths() {
        const unsigned m = getBitsRefilled(9);
        if (m == 0) {
            const unsigned v = getBitsRefilled(9);
            if (v >= kLiteralSymbols) corrupt();
            literalLengths_.fill(0);
            literalTable_.fill(static_cast<std::uint16_t>(v));
            return;
        }
        if (m > kLiteralSymbols) corrupt();
        int i = 0;
        while (i < static_cast<int>(m)) {
            if (count_ < 32) refill();
            const std::uint32_t w = peek16();
            unsigned c = smallTable_[w >> (16 - kSmallTableBits)];
            if (c >= kPreSymbols) c = walk(c, kPreSymbols, w, kSmallTableBits);
            consume(smallLengths_[c]);
            if (c <= 2) {
                int run = 1;
                if (c == 1) run = static_cast<int>(getBitsRefilled(4)) + 3;
                if (c == 2) run = static_cast<int>(getBitsRefilled(9)) + 20;
                if (i + run > kLiteralSymbols) corrupt();
                std::fill_n(literalLengths_.begin() + i, run, std::uint8_t{0});
                i += run;
            } else {
                literalLengths_[i++] = static_cast<std::uint8_t>(c - 2);
            }
        }
        std::fill(literalLengths_.begin() + i, literalLengths_.end(), std::uint8_t{0});
        buildTable(kLiteralSymbols, literalLengths_.data(), kLiteralTableBits, literalTable_.data());
    }

    // Canonical codes: a table on the top indexBits bits plus overflow trees
    // for longer codes. An all-zero length set leaves the table as it was.
    void buildTable(int symbols, const std::uint8_t* lengths, int indexBits, std::uint16_t* table) {
        std::uint32_t count[17] = {};
        for (int i = 0; i < symbols; ++i) {
            if (lengths[i] > 16) corrupt();
            ++count[lengths[i]];
        }
        std::uint32_t start[18];
        std::uint32_t weight[17];
        start[1] = 0;
        for (int k = 1; k <= 16; ++k) start[k + 1] = start[k] + (count[k] << (16 - k));
        if (start[17] != 0x10000) {
            if (count[0] == static_cast<std::uint32_t>(symbols)) return;
            corrupt();
        }
        const int shift = 16 - indexBits;
        const std::uint32_t tableSize = 1u << indexBits;
        for (int k = 1; k <= indexBits; ++k) {
            start[k] >>= shift;
            weight[k] = 1u << (indexBits - k);
        }
        for (int k = indexBits + 1; k <= 16; ++k) weight[k] = 1u << (16 - k);

        std::uint32_t i = start[indexBits + 1] >> shift;
        if (i != 0)
            for (; i < tableSize; ++i) table[i] = 0;

        std::uint32_t avail = static_cast<std::uint32_t>(symbols);
        const std::uint32_t mask = 1u << (15 - indexBits);
        for (int ch = 0; ch < symbols; ++ch) {
            const int len = lengths[ch];
            if (len == 0) continue;
            const std::uint32_t next = start[len] + weight[len];
            if (len <= indexBits) {
                if (next > tableSize) corrupt();
                for (std::uint32_t k = start[len]; k < next; ++k) table[k] = static_cast<std::uint16_t>(ch);
            } else {
                std::uint32_t k = start[len];
                std::uint16_t* slot = &table[(k >> shift) & (tableSize - 1)];
                for (int n = len - indexBits; n > 0; --n) {
                    if (*slot == 0) {
                        if (avail >= static_cast<std::uint32_t>(kTreeNodes)) corrupt();
                        left_[avail] = right_[avail] = 0;
                        *slot = static_cast<std::uint16_t>(avail++);
                    }
                    slot = (k & mask) ? &right_[*slot] : &left_[*slot];
                    k <<= 1;
                }
                *slot = static_cast<std::uint16_t>(ch);
            }
            start[len] = next;
        }
    }

    const std::uint8_t* begin_;
    const std::uint8_t* in_;
    const std::uint8_t* end_;
    std::int64_t zeroBytes_ = 0; // bytes supplied as zeros past the end
    std::uint64_t bits_ = 0;     // the next bits, most significant first
    int count_ = 0;              // how many of them were shifted in

    std::uint16_t blockLeft_ = 0;
    std::size_t pendingCount_ = 0;
    std::size_t pendingDistance_ = 1;

    std::array<std::uint8_t, kLiteralSymbols> literalLengths_{};
    std::array<std::uint16_t, 1u << kLiteralTableBits> literalTable_{};
    std::array<std::uint8_t, kPreSymbols> smallLengths_{};
    std::array<std::uint16_t, 1u << kSmallTableBits> smallTable_{};
    std::array<std::uint16_t, kTreeNodes> left_{};
    std::array<std::uint16_t, kTreeNodes> right_{};
};

} // namespace

void DecompressStream(MemoryStream& source, MemoryStream& destination, std::int64_t maxOutput) {
    const std::int64_t at = source.position();
    const std::int64_t size = source.size();
    if (at > size || size - at < 4) corrupt();
    const auto payload = source.bytes().subspan(static_cast<std::size_t>(at));
    const std::int32_t outputSize = static_cast<std::int32_t>(loadLE32(payload.data()));
    source.setPosition(size);
    if (outputSize <= 0) return;
    if (outputSize > maxOutput) throw EOutOfMemory("Out of memory");

    auto decoder = std::make_unique<Lh5Decoder>(payload.subspan(4));
    const std::int64_t base = destination.position();
    const auto total = static_cast<std::size_t>(outputSize);
    std::size_t done = 0;
    while (done < total) {
        // Grow the destination as the output appears rather than trusting the
        // size field up front.
        const std::size_t target = std::min(total, std::max<std::size_t>(done * 2, 1u << 16));
        if (destination.size() < base + static_cast<std::int64_t>(target))
            destination.setSize(base + static_cast<std::int64_t>(target));
        decoder->decode(destination.memory() + base, done, target);
        if (decoder->overran()) corrupt();
        done = target;
    }
    destination.setPosition(base + outputSize);
}

std::vector<std::uint8_t> decodeLh5(std::span<const std::uint8_t> bitStream, std::size_t outputSize) {
    std::vector<std::uint8_t> out(outputSize);
    auto decoder = std::make_unique<Lh5Decoder>(bitStream);
    decoder->decode(out.data(), 0, outputSize);
    if (decoder->overran()) corrupt();
    return out;
}

} // namespace pakforge
