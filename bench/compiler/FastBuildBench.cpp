// Build time and size with --level/--jobs/--fast against the default build,
// in the same run, on two wixl packages of about 60 MB:
//   compressed   - a cabinet of gzip'd copies of this machine's shared
//                  libraries (what most real packages carry)
//   compressible - the same libraries as they are, in the package's Binary
//                  table, which Windows Installer stores uncompressed
// Each build runs in a forked child so its wall time and peak resident
// memory are its own; the best of the runs counts.
//
//   fast_build_bench [RUNS]   (needs wixl and mingw-w64; PAKFORGE_BENCH_DIR
//                              keeps the packages between runs)
#include "BenchSupport.h"
#include "compiler/Build.h"
#include "container/VxStreamWriter.h"
#include "core/Streams.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pakforge::bench::mustRun;
using pakforge::bench::quote;

fs::path workDir() {
    static const fs::path dir = pakforge::bench::workDir("pakforge-fast-bench");
    return dir;
}

fs::path container() {
    return pakforge::bench::container(workDir());
}

constexpr std::uint64_t kPackageBytes = 60ull << 20;

// Shared libraries of this machine, largest first, up to about `bytes`.
std::vector<fs::path> libraries(std::uint64_t bytes) {
    std::vector<std::pair<std::uintmax_t, fs::path>> found;
    for (const auto& entry : fs::directory_iterator("/usr/lib/x86_64-linux-gnu")) {
        const auto name = entry.path().filename().string();
        if (!entry.is_regular_file() || entry.is_symlink() || name.find(".so") == std::string::npos) continue;
        found.emplace_back(entry.file_size(), entry.path());
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<fs::path> picked;
    std::uint64_t total = 0;
    for (const auto& [size, path] : found) {
        if (total >= bytes) break;
        if (size > bytes / 8) continue; // many files, as a real package has
        picked.push_back(path);
        total += size;
    }
    return picked;
}

// A package whose files are in its cabinet (compressed) or in its Binary
// table (stored as they are).
fs::path package(const std::string& kind) {
    const fs::path msi = workDir() / (kind + ".msi");
    if (fs::exists(msi)) return msi;
    const fs::path src = workDir() / ("src-" + kind);
    fs::remove_all(src);
    fs::create_directories(src);
    std::string components, refs, binaries;
    int n = 0;
    // gzip'd copies shrink to about a third: take three times as many.
    const bool compressed = kind == "compressed";
    for (const auto& lib : libraries(compressed ? kPackageBytes * 3 : kPackageBytes)) {
        const std::string name = "f" + std::to_string(n) + ".bin";
        if (compressed) {
            mustRun("gzip -6 -c " + quote(lib.string()) + " > " + quote((src / name).string()));
            const std::string id = std::to_string(n);
            components += "<Component Id=\"C" + id + "\" Guid=\"6f0c1c4e-0001-4a6b-9d3b-" +
                          std::string(12 - id.size(), '0') + id + "\"><File Id=\"F" + id + "\" Source=\"" +
                          name + "\" KeyPath=\"yes\"/></Component>";
            refs += "<ComponentRef Id=\"C" + id + "\"/>";
        } else {
            fs::copy_file(lib, src / name);
            binaries += "<Binary Id=\"B" + std::to_string(n) + "\" SourceFile=\"" + name + "\"/>";
        }
        ++n;
    }
    if (!compressed) {
        std::ofstream(src / "readme.txt") << "Pakforge benchmark\n";
        components = "<Component Id=\"C\" Guid=\"6f0c1c4e-0001-4a6b-9d3b-2d5c1f3e4a11\"><File Id=\"F\" "
                     "Source=\"readme.txt\" KeyPath=\"yes\"/></Component>";
        refs = "<ComponentRef Id=\"C\"/>";
    }
    std::ofstream(src / "p.wxs")
        << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\"><Product Id=\"*\" Name=\"Bench\" "
           "Version=\"1.0.0\" Manufacturer=\"Pakforge\" UpgradeCode=\"6f0c1c4e-0000-4a6b-9d3b-2d5c1f3e4a11\" "
           "Language=\"1033\"><Package InstallerVersion=\"200\" Compressed=\"yes\"/>"
           "<Media Id=\"1\" Cabinet=\"d.cab\" EmbedCab=\"yes\"/>"
        << binaries
        << "<Directory Id=\"TARGETDIR\" Name=\"SourceDir\"><Directory Id=\"ProgramFilesFolder\">"
           "<Directory Id=\"INSTALLDIR\" Name=\"Bench\">"
        << components << "</Directory></Directory></Directory><Feature Id=\"M\" Level=\"1\">" << refs
        << "</Feature></Product></Wix>\n";
    mustRun("cd " + quote(src.string()) + " && wixl -o " + quote(msi.string()) + " p.wxs");
    fs::remove_all(src);
    return msi;
}

struct Run {
    double seconds = 1e30;
    double cpuSeconds = 0; // user + system, all threads
    double peakMegabytes = 0;
    std::uintmax_t size = 0;
};

// One build in a forked child; the parent times it and reads its rusage.
Run buildInChild(const fs::path& msi, const pakforge::DeflateOptions& options) {
    const fs::path output = workDir() / "out.exe";
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            pakforge::BuildRequest r;
            r.package = msi;
            r.output = output;
            r.container = container();
            r.verbose = false;
            r.compression = options;
            pakforge::build(r);
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
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("build failed");
    const auto cpu = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return {std::chrono::duration<double>(end - start).count(), cpu(usage.ru_utime) + cpu(usage.ru_stime),
            static_cast<double>(usage.ru_maxrss) / 1024.0, fs::file_size(output)};
}

struct Variant {
    const char* name;
    pakforge::DeflateOptions options;
};

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int processors = pakforge::deflateJobs(0);
    const std::vector<Variant> variants{
        {"default", {}},
        {"--jobs 1", {.chunked = true, .jobs = 1}},
        {"--jobs 2", {.chunked = true, .jobs = 2}},
        {"--fast --jobs 1", {.chunked = true, .level = 1, .jobs = 1, .adaptive = true}},
        {"--fast", {.chunked = true, .level = 1, .jobs = 0, .adaptive = true}},
    };
    try {
        container();
        for (const std::string kind : {"compressed", "compressible"}) {
            const fs::path msi = package(kind);
            // A warm cache for every variant alike.
            mustRun("cat " + quote(msi.string()) + " > /dev/null");
            std::vector<Run> best(variants.size());
            // Rounds over all variants, so that each meets the same machine state.
            for (int round = 0; round < runs; ++round) {
                for (std::size_t i = 0; i < variants.size(); ++i) {
                    const Run r = buildInChild(msi, variants[i].options);
                    if (r.seconds < best[i].seconds) best[i].cpuSeconds = r.cpuSeconds;
                    best[i].seconds = std::min(best[i].seconds, r.seconds);
                    best[i].peakMegabytes = std::max(best[i].peakMegabytes, r.peakMegabytes);
                    best[i].size = r.size;
                }
            }
            double load[1] = {0};
            ::getloadavg(load, 1);
            std::printf("\n%s package: %.1f MB, %d processors, load average %.2f, best of %d runs\n",
                        kind.c_str(), static_cast<double>(fs::file_size(msi)) / (1 << 20), processors,
                        load[0], runs);
            // CPU seconds above the wall time show the threads at work; on a
            // machine shared with other jobs the wall time cannot.
            std::printf("  %-16s %9s %9s %11s %8s %8s %9s\n", "build", "seconds", "cpu s", "output MB",
                        "time", "size", "peak MB");
            for (std::size_t i = 0; i < variants.size(); ++i) {
                std::printf("  %-16s %9.3f %9.3f %11.2f %7.3fx %7.4fx %9.1f\n", variants[i].name,
                            best[i].seconds, best[i].cpuSeconds,
                            static_cast<double>(best[i].size) / (1 << 20), best[i].seconds / best[0].seconds,
                            static_cast<double>(best[i].size) / static_cast<double>(best[0].size),
                            best[i].peakMegabytes);
            }
            if (kind == "compressed")
                std::printf("  goal: --fast <= 0.2x time and <= 1.015x size of the default\n");
            else
                std::printf("  goal: --jobs 2 <= 0.6x time of the default (on 2 cores)\n");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fast_build_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
