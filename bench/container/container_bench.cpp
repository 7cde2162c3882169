// Our LH5 decoder against liblhasa's and our Blowfish decipher against
// nettle's, on the same data in one run. Compare the bytes_per_second
// columns of each pair.
#include "container/VxStreamRoutines.h"
#include "container/VxStreamWriter.h"

#include <benchmark/benchmark.h>

#include <nettle/blowfish.h>

extern "C" {
#include <lha_decoder.h>
}

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace pakforge;

// About 4 MB: text, machine code, runs and some noise.
const std::vector<std::uint8_t>& sampleData() {
    static const std::vector<std::uint8_t> data = [] {
        std::vector<std::uint8_t> out;
        std::mt19937 rng(42);
        static const char* const words[] = {"stub",    "container", "window", "match", "literal",
                                            "block",   "the",       "and",    "of",    "installer",
                                            "package", "resource",  "icon"};
        std::ifstream self("/proc/self/exe", std::ios::binary);
        const std::vector<std::uint8_t> code{std::istreambuf_iterator<char>(self), {}};
        while (out.size() < (4u << 20)) {
            for (int i = 0; i < 2000; ++i) {
                const std::string w =
                    std::string(words[rng() % std::size(words)]) + (rng() % 9 ? " " : ".\n");
                out.insert(out.end(), w.begin(), w.end());
            }
            const std::size_t at = rng() % (code.size() > 65536 ? code.size() - 65536 : 1);
            out.insert(out.end(), code.begin() + static_cast<std::ptrdiff_t>(at),
                       code.begin() + static_cast<std::ptrdiff_t>(std::min(code.size(), at + 65536)));
            out.insert(out.end(), 1 + rng() % 3000, static_cast<std::uint8_t>(rng()));
            for (int i = 0; i < 2048; ++i) out.push_back(static_cast<std::uint8_t>(rng()));
        }
        return out;
    }();
    return data;
}

const std::vector<std::uint8_t>& samplePayload() {
    static const std::vector<std::uint8_t> payload = compressPayload(sampleData());
    return payload;
}

void BM_Lh5Decode_Ours(benchmark::State& state) {
    const auto& payload = samplePayload();
    for (auto _ : state) {
        MemoryStream source(payload), destination;
        DecompressStream(source, destination);
        benchmark::DoNotOptimize(destination.memory());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sampleData().size()));
}

struct Reader {
    const std::uint8_t* data;
    std::size_t size, at;
};

std::size_t readCallback(void* buf, std::size_t len, void* user) {
    auto* r = static_cast<Reader*>(user);
    const std::size_t n = std::min(len, r->size - r->at);
    std::memcpy(buf, r->data + r->at, n);
    r->at += n;
    return n;
}

void BM_Lh5Decode_Liblhasa(benchmark::State& state) {
    const auto& payload = samplePayload();
    const std::size_t size = sampleData().size();
    char name[] = "-lh5-";
    LHADecoderType* type = lha_decoder_for_name(name);
    std::vector<std::uint8_t> out(size);
    for (auto _ : state) {
        Reader reader{payload.data() + 4, payload.size() - 4, 0};
        LHADecoder* decoder = lha_decoder_new(type, readCallback, &reader, size);
        std::size_t done = 0;
        while (done < size) {
            const std::size_t n = lha_decoder_read(decoder, out.data() + done, size - done);
            if (n == 0) break;
            done += n;
        }
        lha_decoder_free(decoder);
        if (done != size || out != sampleData()) state.SkipWithError("liblhasa decoded differently");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

constexpr std::size_t kCipherBytes = 1u << 20;
const std::uint8_t kKey[12] = {'r', 0, 'q', 0, 'z', 0, 'v', 0, 'm', 0, 't', 0};

void BM_Decipher_Ours(benchmark::State& state) {
    BlowfishState cipher;
    SetupKey(cipher, kKey, sizeof kKey);
    std::vector<std::uint8_t> buffer(kCipherBytes, 0x5A);
    for (auto _ : state) {
        DecipherBuffer(cipher, buffer.data(), static_cast<std::int32_t>(buffer.size()));
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCipherBytes));
}

void BM_Decipher_Nettle(benchmark::State& state) {
    blowfish_ctx ctx;
    blowfish_set_key(&ctx, sizeof kKey, kKey);
    std::vector<std::uint8_t> buffer(kCipherBytes, 0x5A);
    for (auto _ : state) {
        blowfish_decrypt(&ctx, buffer.size(), buffer.data(), buffer.data());
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCipherBytes));
}

void BM_Lh5Encode_Ours(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(compressPayload(sampleData()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sampleData().size()));
    state.counters["ratio"] =
        static_cast<double>(samplePayload().size()) / static_cast<double>(sampleData().size());
}

} // namespace

BENCHMARK(BM_Lh5Decode_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lh5Decode_Liblhasa)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decipher_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decipher_Nettle)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Lh5Encode_Ours)->Unit(benchmark::kMillisecond)->Iterations(2);

BENCHMARK_MAIN();
