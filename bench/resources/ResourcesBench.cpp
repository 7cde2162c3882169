// TNTModule load + save against a plain read + write of the same file: the
// ratio should stay flat from 1k to 100k resources (linear growth).
#include "core/ByteIO.h"
#include "core/Streams.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceWriter.h"
#include "resources/unitNTModule.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#include <unistd.h>

using namespace pakforge;

namespace {

// A minimal PE32 image (headers, .text, .reloc) with n resources of 32..95
// bytes spread over types of at most 50,000 names each.
std::filesystem::path makeImage(std::int64_t n) {
    static std::map<std::int64_t, std::filesystem::path> made;
    if (auto it = made.find(n); it != made.end()) return it->second;
    std::vector<std::uint8_t> file(0x200, 0);
    auto put16 = [&](std::size_t at, std::uint32_t v) {
        storeLE16(file.data() + at, static_cast<std::uint16_t>(v));
    };
    auto put32 = [&](std::size_t at, std::uint32_t v) { storeLE32(file.data() + at, v); };
    file[0] = 'M', file[1] = 'Z';
    put32(0x3C, 0x40);
    put32(0x40, 0x4550);
    put16(0x44, 0x14C), put16(0x46, 2), put16(0x54, 0xE0), put16(0x56, 0x0102);
    const std::size_t opt = 0x58;
    put16(opt, 0x10B), put32(opt + 16, 0x1000), put32(opt + 28, 0x400000);
    put32(opt + 32, 0x1000), put32(opt + 36, 0x200), put16(opt + 40, 4), put16(opt + 48, 4);
    put32(opt + 56, 0x3000), put32(opt + 60, 0x200), put16(opt + 68, 3), put32(opt + 92, 16);
    put32(opt + 96 + 40, 0x2000), put32(opt + 96 + 44, 8); // relocations
    const std::size_t table = opt + 0xE0;
    std::memcpy(file.data() + table, ".text", 5);
    put32(table + 8, 16), put32(table + 12, 0x1000), put32(table + 16, 0x200), put32(table + 20, 0x200);
    put32(table + 36, 0x60000020);
    std::memcpy(file.data() + table + 40, ".reloc", 6);
    put32(table + 48, 8), put32(table + 52, 0x2000), put32(table + 56, 0x200), put32(table + 60, 0x400);
    put32(table + 76, 0x42000040);
    file.resize(0x600, 0);
    file[0x200] = 0xC3;
    storeLE32(file.data() + 0x400, 0x1000), storeLE32(file.data() + 0x404, 8);

    pe::ResourceTree tree;
    std::mt19937 random(static_cast<std::uint32_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        auto& bytes = tree[pe::ResId::number(static_cast<std::uint16_t>(100 + i / 50000))]
                          [pe::ResId::number(static_cast<std::uint16_t>(1 + i % 50000))][1033];
        bytes.resize(32 + random() % 64);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    }
    const auto path = std::filesystem::temp_directory_path() /
                      ("pakforge-bench-" + std::to_string(::getpid()) + "-" + std::to_string(n) + ".exe");
    writeWholeFile(path, pe::replaceResources(file, tree));
    made[n] = path;
    return path;
}

void BM_LoadSave(benchmark::State& state) {
    const auto path = makeImage(state.range(0));
    std::uint8_t flip = 0;
    for (auto _ : state) {
        TNTModule module;
        module.LoadFromFile(path);
        // One changed byte, so every save really writes the file.
        module.ResourceDetails(module.ResourceCount() - 1)->Data().memory()[0] = ++flip;
        module.SaveToFile(path);
    }
    state.SetComplexityN(state.range(0));
    state.counters["resources/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * state.range(0)), benchmark::Counter::kIsRate);
}

// The peer: the same bytes read and written back whole.
void BM_CopyPeer(benchmark::State& state) {
    const auto path = makeImage(state.range(0));
    for (auto _ : state) {
        auto bytes = readWholeFile(path);
        bytes[0x700] ^= 1;
        writeWholeFile(path, bytes);
    }
    state.SetComplexityN(state.range(0));
}

} // namespace

BENCHMARK(BM_LoadSave)
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_CopyPeer)
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

BENCHMARK_MAIN();
