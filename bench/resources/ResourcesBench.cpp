// TNTModule load + save against a plain read + write of the same file, at 1k,
// 10k and 100k resources. Linear growth means the time per resource stays
// flat from 1k to 100k; the summary after the table prints both per-resource
// figures and the 100k/1k ratio. At the counts a stub really has (10 to 500
// resources of icon and manifest sizes) the same load + save, and a
// ResourceUpdate that copies every resource it is given, as the manifest
// writer's does.
#include "core/ByteIO.h"
#include "core/Streams.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceUpdate.h"
#include "resources/pe/ResourceWriter.h"
#include "resources/unitNTModule.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

using namespace pakforge;

namespace {

std::map<std::int64_t, std::filesystem::path>& madeImages() {
    static std::map<std::int64_t, std::filesystem::path> made;
    return made;
}

// A minimal PE32 image (headers, .text, .reloc) with n resources spread over
// types of at most 50,000 names each: of 32..95 bytes below kRealistic
// (large counts), else of 200..8,000 bytes (icons, manifests, version blocks).
constexpr std::int64_t kRealistic = 1000000;
std::filesystem::path makeImage(std::int64_t n) {
    auto& made = madeImages();
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
    const bool realistic = n >= kRealistic;
    const std::int64_t count = realistic ? n - kRealistic : n;
    std::mt19937 random(static_cast<std::uint32_t>(n));
    for (std::int64_t i = 0; i < count; ++i) {
        auto& bytes = tree[pe::ResId::number(static_cast<std::uint16_t>(100 + i / 50000))]
                          [pe::ResId::number(static_cast<std::uint16_t>(1 + i % 50000))][1033];
        bytes.resize(realistic ? 200 + random() % 7800 : 32 + random() % 64);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    }
    const auto path = std::filesystem::temp_directory_path() /
                      ("pakforge-bench-" + std::to_string(::getpid()) + "-" + std::to_string(n) + ".exe");
    writeWholeFile(path, pe::replaceResources(file, tree));
    made[n] = path;
    return path;
}

// CPU time per resource, and resources per second.
void setCounters(benchmark::State& state) {
    state.SetComplexityN(state.range(0));
    state.counters["per resource"] =
        benchmark::Counter(static_cast<double>(state.range(0)),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["resources/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * state.range(0)), benchmark::Counter::kIsRate);
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
    setCounters(state);
}

// Realistic counts: the argument is kRealistic + the number of resources.
void BM_LoadSaveRealistic(benchmark::State& state) {
    const auto path = makeImage(state.range(0));
    std::uint8_t flip = 0;
    for (auto _ : state) {
        TNTModule module;
        module.LoadFromFile(path);
        module.ResourceDetails(module.ResourceCount() - 1)->Data().memory()[0] = ++flip;
        module.SaveToFile(path);
    }
    state.counters["resources"] = static_cast<double>(state.range(0) - kRealistic);
}

// Every resource handed to ResourceUpdate as a copy, then committed.
void BM_UpdateCopiesRealistic(benchmark::State& state) {
    const auto path = makeImage(state.range(0));
    std::vector<std::pair<pe::ResId, std::vector<std::uint8_t>>> resources;
    {
        const auto file = readWholeFile(path);
        pe::forEachResource(file, pe::parseHeaders(file), [&](const pe::ResourceEntry& e) {
            resources.emplace_back(e.name, std::vector<std::uint8_t>(e.data.begin(), e.data.end()));
        });
    }
    std::uint8_t flip = 0;
    for (auto _ : state) {
        pe::ResourceUpdate update(path, true);
        resources.back().second[0] = ++flip;
        for (const auto& [name, bytes] : resources) update.update(pe::ResId::number(100), name, 1033, bytes);
        update.commit();
    }
    state.counters["resources"] = static_cast<double>(state.range(0) - kRealistic);
}

// The peer: the same bytes read and written back whole.
void BM_CopyPeer(benchmark::State& state) {
    const auto path = makeImage(state.range(0));
    for (auto _ : state) {
        auto bytes = readWholeFile(path);
        bytes[0x700] ^= 1;
        writeWholeFile(path, bytes);
    }
    setCounters(state);
}

// The console table, then per size: nanoseconds (CPU) per resource for
// load + save and for the peer, and how the largest size compares with the
// smallest.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    SummaryReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
            const std::string& name = run.run_name.function_name;
            if (name != "BM_LoadSave" && name != "BM_CopyPeer") continue;
            const std::int64_t n = std::stoll(run.run_name.args);
            const double ns =
                run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations) / static_cast<double>(n);
            (name == "BM_LoadSave" ? loadSave_ : peer_)[n] = ns;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        if (loadSave_.empty()) return;
        std::printf("\nCPU time per resource (ns)   load+save      peer   load+save/peer\n");
        for (const auto& [n, ns] : loadSave_) {
            const auto peer = peer_.find(n);
            if (peer == peer_.end())
                std::printf("%8lld resources        %9.1f\n", static_cast<long long>(n), ns);
            else
                std::printf("%8lld resources        %9.1f %9.1f %12.1f\n", static_cast<long long>(n), ns,
                            peer->second, ns / peer->second);
        }
        if (loadSave_.size() > 1)
            std::printf("load+save per resource, %lld vs %lld resources: %.2fx\n",
                        static_cast<long long>(loadSave_.rbegin()->first),
                        static_cast<long long>(loadSave_.begin()->first),
                        loadSave_.rbegin()->second / loadSave_.begin()->second);
        std::fflush(stdout);
    }

  private:
    std::map<std::int64_t, double> loadSave_, peer_;
};

} // namespace

BENCHMARK(BM_LoadSave)
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_LoadSaveRealistic)
    ->Arg(kRealistic + 10)
    ->Arg(kRealistic + 100)
    ->Arg(kRealistic + 500)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UpdateCopiesRealistic)
    ->Arg(kRealistic + 10)
    ->Arg(kRealistic + 100)
    ->Arg(kRealistic + 500)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyPeer)
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // The summary goes with the console table; other formats stay as they are.
    bool console = true;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).starts_with("--benchmark_format=") &&
            std::string(argv[i]) != "--benchmark_format=console")
            console = false;
    if (console) {
        SummaryReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    std::error_code ec;
    for (const auto& [n, path] : madeImages()) std::filesystem::remove(path, ec);
    return 0;
}
