#include "ContainerTestSupport.h"

#include "support/TestFiles.h"

#include <algorithm>
#include <cstring>
#include <random>

extern "C" {
#include <lha_decoder.h>
}

namespace pakforge::test {

std::vector<std::uint8_t> sampleText(std::size_t size, std::uint32_t seed) {
    static const char* const words[] = {
        "the",      "container",  "holds",     "named",     "items",   "and",      "each",   "item",
        "is",       "a",          "stream",    "of",        "bytes",   "window",   "match",  "length",
        "distance", "literal",    "block",     "code",      "table",   "Huffman",  "cipher", "password",
        "key",      "installer",  "package",   "stub",      "program", "resource", "icon",   "manifest",
        "archive",  "compressed", "encrypted", "signature", "count",   "name",     "size",   "data"};
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < size) {
        const std::size_t sentence = 4 + rng() % 12;
        for (std::size_t i = 0; i < sentence; ++i) {
            text += words[rng() % std::size(words)];
            text += i + 1 == sentence ? ".\n" : " ";
        }
        if (rng() % 7 == 0) text += std::to_string(rng() % 100000) + "\n";
    }
    text.resize(size);
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> sampleRuns(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> out;
    while (out.size() < size) {
        const std::size_t run = 1 + rng() % (rng() % 4 == 0 ? 1200 : 40);
        out.insert(out.end(), std::min(run, size - out.size()), static_cast<std::uint8_t>(rng() % 5));
    }
    return out;
}

namespace {

std::vector<std::uint8_t> ownBinary(std::size_t size) {
    auto bytes = readFile("/proc/self/exe");
    if (bytes.size() > size) bytes.resize(size);
    return bytes;
}

} // namespace

std::vector<Sample> lh5Samples() {
    std::vector<Sample> samples;
    samples.push_back({"empty", {}});
    samples.push_back({"one byte", {0x41}});
    samples.push_back({"text", sampleText(40000, 1)});
    samples.push_back({"binary", ownBinary(150000)});
    samples.push_back({"runs", sampleRuns(100000, 2)});
    samples.push_back({"zeros", std::vector<std::uint8_t>(70000, 0)});
    samples.push_back({"random", randomBytes(30000, 3)});
    std::vector<std::uint8_t> mixed;
    for (int i = 0; i < 3; ++i) {
        for (const auto& part : {sampleText(30000, 10 + i), ownBinary(60000), sampleRuns(20000, 20 + i),
                                 randomBytes(5000, 30 + i)})
            mixed.insert(mixed.end(), part.begin(), part.end());
    }
    samples.push_back({"mixed", std::move(mixed)});
    return samples;
}

namespace {

struct Reader {
    std::span<const std::uint8_t> data;
    std::size_t at = 0;
};

std::size_t readCallback(void* buf, std::size_t len, void* user) {
    auto* r = static_cast<Reader*>(user);
    const std::size_t n = std::min(len, r->data.size() - r->at);
    std::memcpy(buf, r->data.data() + r->at, n);
    r->at += n;
    return n;
}

} // namespace

std::optional<std::vector<std::uint8_t>> lhasaDecode(std::span<const std::uint8_t> stream,
                                                     std::size_t outputSize) {
    char name[] = "-lh5-";
    LHADecoderType* type = lha_decoder_for_name(name);
    if (!type) return std::nullopt;
    Reader reader{stream};
    LHADecoder* decoder = lha_decoder_new(type, readCallback, &reader, outputSize);
    if (!decoder) return std::nullopt;
    std::vector<std::uint8_t> out(outputSize);
    std::size_t done = 0;
    while (done < outputSize) {
        const std::size_t n = lha_decoder_read(decoder, out.data() + done, outputSize - done);
        if (n == 0) break;
        done += n;
    }
    lha_decoder_free(decoder);
    if (done != outputSize) return std::nullopt;
    return out;
}

std::optional<LzhMember> jlhaCompress(std::span<const std::uint8_t> data) {
    if (!haveTool("jlha")) return std::nullopt;
    TempDir dir;
    writeFile(dir / "member.bin", {data.begin(), data.end()});
    const std::string cmd =
        "cd " + shellQuote(dir.path().string()) + " && jlha ao52 archive.lzh member.bin >/dev/null 2>&1";
    if (runCommand(cmd) != 0 || !std::filesystem::exists(dir / "archive.lzh")) return std::nullopt;
    const auto archive = readFile(dir / "archive.lzh");
    // Level 2 header: u16 total header size, method at 2, packed size at 7,
    // original size at 11, level at 20; the data follows the header.
    if (archive.size() < 24 || archive[20] != 2) return std::nullopt;
    const std::size_t headerSize = archive[0] | (archive[1] << 8);
    const auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(archive[at] | (archive[at + 1] << 8) | (archive[at + 2] << 16) |
                                          (static_cast<std::uint32_t>(archive[at + 3]) << 24));
    };
    const std::uint32_t packed = u32(7);
    if (headerSize + packed > archive.size()) return std::nullopt;
    LzhMember member;
    member.method.assign(archive.begin() + 2, archive.begin() + 7);
    member.originalSize = u32(11);
    member.stream.assign(archive.begin() + static_cast<std::ptrdiff_t>(headerSize),
                         archive.begin() + static_cast<std::ptrdiff_t>(headerSize + packed));
    return member;
}

} // namespace pakforge::test
