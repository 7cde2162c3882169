// Build speed and memory, with peers in the same run:
//   Build       - the whole pipeline (stub, icon, manifest, appended archive)
//   DeflateOnly - zlib raw deflate with the same settings over the same file
//   Makensis    - NSIS wrapping the same package into an .exe with zlib
// Each run happens in a child process so its peak resident memory is its own
// (wait4's rusage). After the runs a summary prints the ratios.
//
//   compiler_bench [--benchmark_filter=...]   (needs wixl, mingw-w64, makensis)
#include "BenchSupport.h"
#include "compiler/Build.h"
#include "container/VxStreamWriter.h"
#include "core/Streams.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using pakforge::bench::mustRun;
using pakforge::bench::quote;

fs::path workDir() {
    static const fs::path dir = pakforge::bench::workDir("pakforge-compiler-bench");
    return dir;
}

fs::path container() {
    return pakforge::bench::container(workDir());
}

// Random bytes followed by text, written in blocks so the bench stays small.
void writeMixedFile(const fs::path& path, std::uint64_t randomBytes, std::uint64_t textBytes) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 engine(42);
    std::vector<std::uint64_t> block(1 << 14);
    for (std::uint64_t done = 0; done < randomBytes;) {
        for (auto& v : block) v = engine();
        const auto n = std::min<std::uint64_t>(randomBytes - done, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        done += n;
    }
    const std::string line =
        "Pakforge benchmark text: the quick brown fox jumps over the lazy dog 0123456789\n";
    for (std::uint64_t done = 0; done < textBytes; done += line.size()) out << line;
}

// A wixl package of about `megabytes` MB (its cabinet holds random data,
// which stays that size, and text, which MSZIP shrinks).
fs::path package(int megabytes) {
    const fs::path msi = workDir() / ("package-" + std::to_string(megabytes) + ".msi");
    if (fs::exists(msi)) return msi;
    const fs::path src = workDir() / ("src-" + std::to_string(megabytes));
    fs::create_directories(src);
    const std::uint64_t mb = 1u << 20;
    writeMixedFile(src / "data.bin", static_cast<std::uint64_t>(megabytes) * mb + mb,
                   static_cast<std::uint64_t>(megabytes) * mb / 4);
    std::ofstream(src / "p.wxs")
        << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\"><Product Id=\"*\" Name=\"Bench\" "
           "Version=\"1.0.0\" Manufacturer=\"Pakforge\" UpgradeCode=\"6f0c1c4e-0000-4a6b-9d3b-2d5c1f3e4a11\" "
           "Language=\"1033\"><Package InstallerVersion=\"200\" Compressed=\"yes\"/>"
           "<Media Id=\"1\" Cabinet=\"d.cab\" EmbedCab=\"yes\"/>"
           "<Directory Id=\"TARGETDIR\" Name=\"SourceDir\"><Directory Id=\"ProgramFilesFolder\">"
           "<Directory Id=\"INSTALLDIR\" Name=\"Bench\"><Component Id=\"C\" "
           "Guid=\"6f0c1c4e-0001-4a6b-9d3b-2d5c1f3e4a11\"><File Id=\"F\" Source=\"data.bin\" "
           "KeyPath=\"yes\"/>"
           "</Component></Directory></Directory></Directory><Feature Id=\"M\" Level=\"1\"><ComponentRef "
           "Id=\"C\"/>"
           "</Feature></Product></Wix>\n";
    mustRun("cd " + quote(src.string()) + " && wixl -o " + quote(msi.string()) + " p.wxs");
    fs::remove_all(src);
    return msi;
}

fs::path icon() {
    return fs::path(PAKFORGE_SOURCE_DIR) / "examples" / "sample.ico";
}

struct ChildRun {
    double seconds = 0;
    double peakMegabytes = 0;
};

// Runs fn in a forked child; the parent times it and reads its rusage.
ChildRun inChild(const std::function<void()>& fn) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            fn();
            std::_Exit(0);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            std::_Exit(1);
        }
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("child run failed");
    return {std::chrono::duration<double>(end - start).count(),
            static_cast<double>(usage.ru_maxrss) / 1024.0};
}

void buildOnce(const fs::path& msi) {
    pakforge::BuildRequest r;
    r.package = msi;
    r.icon = icon();
    r.output = workDir() / "out-build.exe";
    r.container = container();
    r.verbose = false;
    pakforge::build(r);
}

void deflateOnce(const fs::path& msi) {
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    pakforge::FileStream in(msi, pakforge::FileStream::Mode::OpenRead);
    pakforge::FileStream out(workDir() / "out-deflate.bin", pakforge::FileStream::Mode::Create);
    std::vector<std::uint8_t> inBuf(61440), outBuf(65536);
    int flush = Z_NO_FLUSH;
    do {
        const auto n = in.read(inBuf.data(), inBuf.size());
        flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = inBuf.data();
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = outBuf.data();
            z.avail_out = static_cast<uInt>(outBuf.size());
            deflate(&z, flush);
            out.writeBuffer(outBuf.data(), outBuf.size() - z.avail_out);
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&z);
}

void makensisOnce(const fs::path& msi) {
    const fs::path nsi = workDir() / "wrap.nsi";
    std::ofstream(nsi) << "Unicode true\nSetCompressor zlib\nRequestExecutionLevel user\n"
                          "OutFile \""
                       << (workDir() / "out-nsis.exe").string() << "\"\nSection\nSetOutPath $TEMP\nFile \""
                       << msi.string() << "\"\nSectionEnd\n";
    const std::string command = "makensis -V1 " + quote(nsi.string()) + " >/dev/null";
    if (::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr)) != 0)
        throw std::runtime_error("exec failed");
}

std::map<std::string, ChildRun> best;

void record(benchmark::State& state, const std::string& name, const std::function<void()>& fn) {
    ChildRun fastest{1e30, 0};
    for (auto _ : state) {
        const auto run = inChild(fn);
        state.SetIterationTime(run.seconds);
        if (run.seconds < fastest.seconds) fastest.seconds = run.seconds;
        fastest.peakMegabytes = std::max(fastest.peakMegabytes, run.peakMegabytes);
    }
    state.counters["peak_MB"] = fastest.peakMegabytes;
    best[name + "/" + std::to_string(state.range(0))] = fastest;
}

void Build(benchmark::State& state) {
    const auto msi = package(static_cast<int>(state.range(0)));
    container();
    state.SetBytesProcessed(static_cast<std::int64_t>(fs::file_size(msi)) * state.max_iterations);
    record(state, "Build", [&] { buildOnce(msi); });
}

void DeflateOnly(benchmark::State& state) {
    const auto msi = package(static_cast<int>(state.range(0)));
    state.SetBytesProcessed(static_cast<std::int64_t>(fs::file_size(msi)) * state.max_iterations);
    record(state, "DeflateOnly", [&] { deflateOnce(msi); });
}

void Makensis(benchmark::State& state) {
    const auto msi = package(static_cast<int>(state.range(0)));
    state.SetBytesProcessed(static_cast<std::int64_t>(fs::file_size(msi)) * state.max_iterations);
    record(state, "Makensis", [&] { makensisOnce(msi); });
}

// Registered size by size so the three runs of one size meet the same
// machine state; the summary takes the best run of each.
BENCHMARK(Build)->Arg(100)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(DeflateOnly)->Arg(100)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Makensis)->Arg(100)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Build)->Arg(500)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(DeflateOnly)->Arg(500)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Makensis)->Arg(500)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nSummary (best of the runs; peak = largest resident set of a run)\n");
    for (const int size : {100, 500}) {
        const auto key = [&](const char* name) { return std::string(name) + "/" + std::to_string(size); };
        if (!best.count(key("Build"))) continue;
        const auto& b = best[key("Build")];
        std::printf("  %d MB package (%.1f MB): build %.2f s, peak %.1f MB\n", size,
                    static_cast<double>(fs::file_size(package(size))) / (1 << 20), b.seconds,
                    b.peakMegabytes);
        if (best.count(key("DeflateOnly"))) {
            const auto& d = best[key("DeflateOnly")];
            std::printf("    deflate alone %.2f s, peak %.1f MB -> build/deflate = %.3f (goal <= 1.10)\n",
                        d.seconds, d.peakMegabytes, b.seconds / d.seconds);
        }
        if (best.count(key("Makensis"))) {
            const auto& m = best[key("Makensis")];
            std::printf("    makensis %.2f s -> build/makensis = %.3f (goal < 1)\n", m.seconds,
                        b.seconds / m.seconds);
        }
    }
    return 0;
}
