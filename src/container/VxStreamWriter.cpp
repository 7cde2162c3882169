#include "container/VxStreamWriter.h"

#include "container/VxStreamCol.h"
#include "container/VxStreamRoutines.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <queue>

namespace pakforge {

std::vector<std::uint8_t> writeContainerBody(std::span<const ContainerItem> items) {
    if (items.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw ERangeError(kRangeCheckError);
    std::vector<std::uint8_t> body;
    ByteWriter out(body);
    out.bytes(kContainerSignature);
    out.u32(static_cast<std::uint32_t>(items.size()));
    for (const auto& item : items) {
        if (item.name.size() > 32767 ||
            item.data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            throw ERangeError(kRangeCheckError);
        out.u16(static_cast<std::uint16_t>(item.name.size() * 2));
        out.utf16(item.name);
        out.u32(static_cast<std::uint32_t>(item.data.size()));
        out.bytes(item.data);
    }
    return body;
}

// --- LH5-style encoder -------------------------------------------------------

namespace {

constexpr int kWindow = 8192;
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 256;
constexpr int kLiteralSymbols = 510;
constexpr int kDistanceSymbols = 14;
constexpr int kPreSymbols = 19;
constexpr int kMaxCodeLength = 16;
constexpr std::size_t kMaxBlockSymbols = 65535;

struct Token {
    std::uint16_t symbol;   // 0..255 literal, 256..509 match of length symbol - 253
    std::uint16_t distance; // match distance value: back distance - 1
};

class BitWriter {
  public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
    // count <= 32, value's bits above count are ignored.
    void put(unsigned count, std::uint32_t value) {
        if (count == 0) return;
        acc_ = (acc_ << count) | (value & (count == 32 ? 0xFFFFFFFFu : ((1u << count) - 1)));
        bits_ += count;
        while (bits_ >= 8) {
            bits_ -= 8;
            out_.push_back(static_cast<std::uint8_t>(acc_ >> bits_));
        }
    }
    void flush() {
        if (bits_ > 0) out_.push_back(static_cast<std::uint8_t>(acc_ << (8 - bits_)));
        bits_ = 0;
    }

  private:
    std::vector<std::uint8_t>& out_;
    std::uint64_t acc_ = 0;
    unsigned bits_ = 0;
};

unsigned distanceSymbol(unsigned distance) {
    unsigned k = 0;
    while (distance >> k) ++k;
    return k; // 0 for 0, else the bit length: 2^(k-1) <= distance < 2^k
}

// Huffman code lengths limited to maxLength. Symbols with zero frequency get
// no code; a lone used symbol gets length 0 too (the caller sends the short
// form for it).
std::vector<std::uint8_t> codeLengths(const std::uint32_t* freq, int symbols, int maxLength) {
    std::vector<std::uint8_t> lengths(static_cast<std::size_t>(symbols), 0);
    std::vector<int> used;
    for (int i = 0; i < symbols; ++i)
        if (freq[i] != 0) used.push_back(i);
    if (used.size() < 2) return lengths;

    // Plain Huffman tree over the used symbols.
    const std::size_t leaves = used.size();
    std::vector<std::uint64_t> weight(2 * leaves - 1);
    std::vector<std::size_t> parent(2 * leaves - 1, 0);
    using Item = std::pair<std::uint64_t, std::size_t>;
    std::priority_queue<Item, std::vector<Item>, std::greater<>> heap;
    for (std::size_t i = 0; i < leaves; ++i) {
        weight[i] = freq[used[i]];
        heap.push({weight[i], i});
    }
    std::size_t next = leaves;
    while (heap.size() > 1) {
        const auto a = heap.top();
        heap.pop();
        const auto b = heap.top();
        heap.pop();
        weight[next] = a.first + b.first;
        parent[a.second] = parent[b.second] = next;
        heap.push({weight[next], next});
        ++next;
    }
    std::vector<int> depth(2 * leaves - 1, 0);
    for (std::size_t i = 2 * leaves - 2; i-- > 0;) depth[i] = depth[parent[i]] + 1;

    // Count per length, then pull over-long codes up while keeping the code
    // complete (move pairs from the deepest level to the first shorter one).
    std::vector<int> count(std::max<std::size_t>(leaves, static_cast<std::size_t>(maxLength)) + 2, 0);
    int deepest = 0;
    for (std::size_t i = 0; i < leaves; ++i) {
        ++count[static_cast<std::size_t>(depth[i])];
        deepest = std::max(deepest, depth[i]);
    }
    for (int i = deepest; i > maxLength; --i) {
        while (count[static_cast<std::size_t>(i)] > 0) {
            int j = i - 2;
            while (count[static_cast<std::size_t>(j)] == 0) --j;
            count[static_cast<std::size_t>(i)] -= 2;
            count[static_cast<std::size_t>(i - 1)] += 1;
            count[static_cast<std::size_t>(j + 1)] += 2;
            count[static_cast<std::size_t>(j)] -= 1;
        }
    }
    // Shortest lengths to the most frequent symbols.
    std::vector<int> order(used);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return freq[a] > freq[b]; });
    std::size_t at = 0;
    for (int len = 1; len <= maxLength; ++len)
        for (int c = 0; c < count[static_cast<std::size_t>(len)]; ++c)
            lengths[static_cast<std::size_t>(order[at++])] = static_cast<std::uint8_t>(len);
    return lengths;
}

// Canonical codes as the decoder builds them.
std::vector<std::uint16_t> canonicalCodes(const std::vector<std::uint8_t>& lengths) {
    std::uint32_t count[kMaxCodeLength + 1] = {};
    for (auto l : lengths) ++count[l];
    std::uint32_t next[kMaxCodeLength + 2] = {};
    count[0] = 0;
    for (int k = 1; k <= kMaxCodeLength; ++k) next[k + 1] = (next[k] + count[k]) << 1;
    std::vector<std::uint16_t> codes(lengths.size(), 0);
    for (std::size_t i = 0; i < lengths.size(); ++i)
        if (lengths[i] != 0) codes[i] = static_cast<std::uint16_t>(next[lengths[i]]++);
    return codes;
}

struct PreItem {
    std::uint8_t symbol;
    std::uint16_t extra; // run length field, if any
};

// The literal/length code lengths as pre-code symbols: zero runs shortened.
std::vector<PreItem> preItems(const std::vector<std::uint8_t>& lengths, int count) {
    std::vector<PreItem> items;
    int i = 0;
    while (i < count) {
        const int len = lengths[static_cast<std::size_t>(i++)];
        if (len != 0) {
            items.push_back({static_cast<std::uint8_t>(len + 2), 0});
            continue;
        }
        int run = 1;
        while (i < count && lengths[static_cast<std::size_t>(i)] == 0) {
            ++i;
            ++run;
        }
        if (run <= 2) {
            for (int k = 0; k < run; ++k) items.push_back({0, 0});
        } else if (run <= 18) {
            items.push_back({1, static_cast<std::uint16_t>(run - 3)});
        } else if (run == 19) {
            items.push_back({0, 0});
            items.push_back({1, 15});
        } else {
            items.push_back({2, static_cast<std::uint16_t>(run - 20)});
        }
    }
    return items;
}

int usedCount(const std::vector<std::uint8_t>& lengths) {
    int last = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i)
        if (lengths[i] != 0) last = static_cast<int>(i) + 1;
    return last;
}

int firstUsed(const std::uint32_t* freq, int symbols) {
    for (int i = 0; i < symbols; ++i)
        if (freq[i] != 0) return i;
    return 0;
}

unsigned smallLengthBits(unsigned len) {
    return len < 7 ? 3 : len - 3;
}

// One block's three codes, planned from its symbol counts.
struct BlockPlan {
    std::array<std::uint32_t, kLiteralSymbols> literalFreq{};
    std::array<std::uint32_t, kDistanceSymbols> distanceFreq{};
    std::uint64_t extraBits = 0;
    std::vector<std::uint8_t> literalLengths, distanceLengths, preLengths;
    std::vector<PreItem> pre;
    std::array<std::uint32_t, kPreSymbols> preFreq{};
    std::uint64_t bits = 0;

    BlockPlan(const Token* tokens, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            ++literalFreq[tokens[i].symbol];
            if (tokens[i].symbol >= 256) {
                const unsigned d = distanceSymbol(tokens[i].distance);
                ++distanceFreq[d];
                extraBits += d > 1 ? d - 1 : 0;
            }
        }
        literalLengths = codeLengths(literalFreq.data(), kLiteralSymbols, kMaxCodeLength);
        distanceLengths = codeLengths(distanceFreq.data(), kDistanceSymbols, kMaxCodeLength);
        bits = 16 + extraBits;
        if (usedCount(literalLengths) == 0) {
            bits += 10 + 18;
        } else {
            pre = preItems(literalLengths, usedCount(literalLengths));
            for (const auto& item : pre) ++preFreq[item.symbol];
            preLengths = codeLengths(preFreq.data(), kPreSymbols, kMaxCodeLength);
            bits += 9 + smallTableBits(preLengths, 5, 3);
            for (const auto& item : pre)
                bits += preLengths[item.symbol] + (item.symbol == 1 ? 4 : item.symbol == 2 ? 9 : 0);
            for (int i = 0; i < kLiteralSymbols; ++i)
                bits += static_cast<std::uint64_t>(literalFreq[static_cast<std::size_t>(i)]) *
                        literalLengths[static_cast<std::size_t>(i)];
        }
        bits += smallTableBits(distanceLengths, 4, -1);
        for (int i = 0; i < kDistanceSymbols; ++i)
            bits += static_cast<std::uint64_t>(distanceFreq[static_cast<std::size_t>(i)]) *
                    distanceLengths[static_cast<std::size_t>(i)];
    }

    static std::uint64_t smallTableBits(const std::vector<std::uint8_t>& lengths, unsigned width,
                                        int zeroRunAt) {
        const int m = usedCount(lengths);
        if (m == 0) return 2 * width;
        std::uint64_t bits = width;
        for (int i = 0; i < m;) {
            bits += smallLengthBits(lengths[static_cast<std::size_t>(i++)]);
            if (i == zeroRunAt) {
                bits += 2;
                int k = 0;
                while (k < 3 && i + k < m && lengths[static_cast<std::size_t>(i + k)] == 0) ++k;
                i += k;
            }
        }
        return bits;
    }

    static void writeSmallTable(BitWriter& out, const std::vector<std::uint8_t>& lengths,
                                const std::uint32_t* freq, int symbols, unsigned width, int zeroRunAt) {
        const int m = usedCount(lengths);
        if (m == 0) {
            out.put(width, 0);
            out.put(width, static_cast<std::uint32_t>(firstUsed(freq, symbols)));
            return;
        }
        out.put(width, static_cast<std::uint32_t>(m));
        for (int i = 0; i < m;) {
            const unsigned len = lengths[static_cast<std::size_t>(i++)];
            if (len < 7) {
                out.put(3, len);
            } else {
                // 111, then one 1-bit per step above 7, then a 0-bit.
                out.put(3, 7);
                out.put(len - 7 + 1, ((1u << (len - 7)) - 1) << 1);
            }
            if (i == zeroRunAt) {
                int k = 0;
                while (k < 3 && i + k < m && lengths[static_cast<std::size_t>(i + k)] == 0) ++k;
                out.put(2, static_cast<std::uint32_t>(k));
                i += k;
            }
        }
    }

    void write(BitWriter& out, const Token* tokens, std::size_t count) const {
        out.put(16, static_cast<std::uint32_t>(count));
        const int literalsUsed = usedCount(literalLengths);
        if (literalsUsed == 0) {
            out.put(5, 0);
            out.put(5, 0);
            out.put(9, 0);
            out.put(9, static_cast<std::uint32_t>(firstUsed(literalFreq.data(), kLiteralSymbols)));
        } else {
            writeSmallTable(out, preLengths, preFreq.data(), kPreSymbols, 5, 3);
            const auto preCodes = canonicalCodes(preLengths);
            out.put(9, static_cast<std::uint32_t>(literalsUsed));
            for (const auto& item : pre) {
                out.put(preLengths[item.symbol], preCodes[item.symbol]);
                if (item.symbol == 1) out.put(4, item.extra);
                if (item.symbol == 2) out.put(9, item.extra);
            }
        }
        writeSmallTable(out, distanceLengths, distanceFreq.data(), kDistanceSymbols, 4, -1);

        const auto literalCodes = canonicalCodes(literalLengths);
        const auto distanceCodes = canonicalCodes(distanceLengths);
        for (std::size_t i = 0; i < count; ++i) {
            const Token& t = tokens[i];
            out.put(literalLengths[t.symbol], literalCodes[t.symbol]);
            if (t.symbol >= 256) {
                const unsigned d = distanceSymbol(t.distance);
                out.put(distanceLengths[d], distanceCodes[d]);
                if (d > 1) out.put(d - 1, t.distance);
            }
        }
    }
};

// LZ77 over the 8 KiB window: hash chains on 3-byte prefixes, lazy matching.
class MatchFinder {
  public:
    explicit MatchFinder(std::span<const std::uint8_t> data)
        : data_(data), head_(1u << kHashBits, -1), prev_(kPrevSize, -1) {}

    struct Match {
        int length = 0;
        int distance = 0; // back distance, 1..8192
    };

    // The longest match at pos against the window; positions before pos are
    // in the chains.
    Match find(std::size_t pos) {
        insertUpTo(pos);
        Match best;
        const std::size_t n = data_.size();
        if (pos + kMinMatch > n) return best;
        const int limit = static_cast<int>(std::min<std::size_t>(kMaxMatch, n - pos));
        const std::uint8_t* cur = data_.data() + pos;
        int chain = kMaxChain;
        for (std::int64_t cand = head_[hash(pos)]; cand >= 0 && chain-- > 0;
             cand = prev_[static_cast<std::size_t>(cand) & (kPrevSize - 1)]) {
            const std::size_t back = pos - static_cast<std::size_t>(cand);
            if (back > kWindow) break;
            const std::uint8_t* c = data_.data() + cand;
            if (best.length >= kMinMatch && c[best.length] != cur[best.length]) continue;
            int len = 0;
            while (len < limit && c[len] == cur[len]) ++len;
            if (len > best.length) {
                best = {len, static_cast<int>(back)};
                if (len >= limit) break;
            }
        }
        if (best.length < kMinMatch) best = {};
        return best;
    }

  private:
    static constexpr int kHashBits = 15;
    static constexpr int kMaxChain = 512;
    // Links of the last 16 KiB positions: a chain is cut at the 8 KiB window
    // before it could reach a slot that a newer position reused.
    static constexpr std::size_t kPrevSize = 2 * kWindow;

    std::uint32_t hash(std::size_t pos) const {
        const std::uint8_t* p = data_.data() + pos;
        const std::uint32_t v = (static_cast<std::uint32_t>(p[0]) << 16) | (p[1] << 8) | p[2];
        return (v * 2654435761u) >> (32 - kHashBits);
    }
    void insertUpTo(std::size_t pos) {
        while (next_ < pos) {
            if (next_ + kMinMatch <= data_.size()) {
                const auto h = hash(next_);
                prev_[next_ & (kPrevSize - 1)] = head_[h];
                head_[h] = static_cast<std::int64_t>(next_);
            }
            ++next_;
        }
    }

    std::span<const std::uint8_t> data_;
    std::vector<std::int64_t> head_;
    std::vector<std::int64_t> prev_;
    std::size_t next_ = 0;
};

// Rough bit cost of a match against the literals it replaces: a short match
// far back is not worth its distance bits.
bool worthIt(const MatchFinder::Match& m) {
    if (m.length >= 5) return true;
    if (m.length == 4) return m.distance <= 4096;
    return m.length == 3 && m.distance <= 256;
}

std::vector<Token> parse(std::span<const std::uint8_t> data) {
    std::vector<Token> tokens;
    tokens.reserve(data.size() / 3 + 16);
    MatchFinder finder(data);
    std::size_t pos = 0;
    const std::size_t n = data.size();
    const auto literal = [&](std::size_t at) { tokens.push_back({data[at], 0}); };
    while (pos < n) {
        auto m = finder.find(pos);
        if (!worthIt(m)) {
            literal(pos++);
            continue;
        }
        // Lazy step: a longer match one byte on wins over this one.
        while (m.length < kMaxMatch && pos + 1 < n) {
            const auto next = finder.find(pos + 1);
            if (!worthIt(next) || next.length <= m.length) break;
            literal(pos++);
            m = next;
        }
        tokens.push_back(
            {static_cast<std::uint16_t>(m.length + 253), static_cast<std::uint16_t>(m.distance - 1)});
        pos += static_cast<std::size_t>(m.length);
    }
    return tokens;
}

// Writes tokens [begin, end) as one or more blocks, splitting in halves while
// separate codes pay for their extra header.
void writeBlocks(BitWriter& out, const Token* tokens, std::size_t count, int depth) {
    BlockPlan whole(tokens, count);
    if (depth > 0 && count >= 2048) {
        const std::size_t half = count / 2;
        BlockPlan first(tokens, half), second(tokens + half, count - half);
        if (first.bits + second.bits < whole.bits) {
            writeBlocks(out, tokens, half, depth - 1);
            writeBlocks(out, tokens + half, count - half, depth - 1);
            return;
        }
    }
    whole.write(out, tokens, count);
}

} // namespace

std::vector<std::uint8_t> encodeLh5(std::span<const std::uint8_t> data) {
    const auto tokens = parse(data);
    std::vector<std::uint8_t> out;
    out.reserve(data.size() / 2 + 64);
    BitWriter bits(out);
    const std::size_t pieces = (tokens.size() + kMaxBlockSymbols - 1) / kMaxBlockSymbols;
    std::size_t at = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
        const std::size_t end = tokens.size() * (i + 1) / pieces;
        writeBlocks(bits, tokens.data() + at, end - at, 4);
        at = end;
    }
    bits.flush();
    return out;
}

std::vector<std::uint8_t> compressPayload(std::span<const std::uint8_t> data) {
    if (data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw ERangeError(kRangeCheckError);
    std::vector<std::uint8_t> payload;
    ByteWriter(payload).u32(static_cast<std::uint32_t>(data.size()));
    const auto stream = encodeLh5(data);
    payload.insert(payload.end(), stream.begin(), stream.end());
    return payload;
}

void EncryptStream(MemoryStream& stream, std::u16string_view password) {
    const auto key = passwordKeyBytes(password);
    auto state = std::make_unique<BlowfishState>();
    if (!SetupKey(*state, key.data(), key.size())) return;
    const std::int64_t size = stream.size();
    const auto tail = static_cast<std::uint8_t>((8 - (size + 1) % 8) % 8);
    if (size + tail + 1 > std::numeric_limits<std::int32_t>::max()) throw ERangeError(kRangeCheckError);
    stream.setSize(size + tail + 1); // filler bytes come out as zeros
    stream.memory()[size + tail] = tail;
    EncipherBuffer(*state, stream.memory(), static_cast<std::int32_t>(stream.size()));
    stream.setPosition(stream.size());
}

std::vector<std::uint8_t> buildContainer(std::span<const ContainerItem> items, bool compress,
                                         const std::u16string* key) {
    MemoryStream payload(compress ? compressPayload(writeContainerBody(items)) : writeContainerBody(items));
    if (key) EncryptStream(payload, *key);
    const auto bytes = payload.bytes();
    std::vector<std::uint8_t> file(2 + bytes.size());
    file[0] = compress ? kCompressedMark : kNoMark;
    file[1] = key ? kEncryptedMark : kNoMark;
    std::copy(bytes.begin(), bytes.end(), file.begin() + 2);
    return file;
}

} // namespace pakforge
