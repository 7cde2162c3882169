// The chunked, parallel and adaptive deflate: the same bytes whatever the
// number of threads, a stream zlib's own inflater and the ZIP readers take,
// and today's single stream when no option is given.
#include "Archive.h"
#include "Fixtures.h"
#include "compiler/ParallelDeflate.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;
using Bytes = std::vector<std::uint8_t>;

Bytes textBytes(std::size_t count) {
    const std::string line = "Pakforge test line: the quick brown fox jumps over the lazy dog\n";
    Bytes out;
    for (std::size_t i = 0; out.size() < count; ++i) {
        const std::string numbered = std::to_string(i) + " " + line;
        out.insert(out.end(), numbered.begin(), numbered.end());
    }
    out.resize(count);
    return out;
}

// Inflates one raw stream with zlib; fails unless the stream ends exactly
// at the end of the bytes.
Bytes inflateAll(const Bytes& stream, std::size_t expected) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    Bytes out(expected + 1);
    z.next_in = const_cast<std::uint8_t*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    EXPECT_EQ(rc, Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u) << "bytes after the final block";
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

struct Deflated {
    Bytes stream;
    std::uint32_t crc = 0;
};

Deflated deflateWith(const Bytes& data, DeflateOptions options, int jobs) {
    options.chunked = true;
    options.jobs = jobs;
    MemoryStream source(data);
    MemoryStream out;
    Deflated d;
    d.crc = chunkedDeflate(source, data.size(), out, options);
    d.stream = out.release();
    return d;
}

TEST(ChunkedDeflate, AnyJobsGiveTheSameStreamThatInflatesBack) {
    const std::size_t chunk = kDeflateChunk;
    Bytes mixed = randomBytes(chunk * 2 + 999, 7);
    const Bytes text = textBytes(chunk * 2);
    mixed.insert(mixed.end(), text.begin(), text.end());
    const std::vector<std::pair<std::string, Bytes>> inputs{
        {"empty", {}},
        {"one byte", {'x'}},
        {"two whole chunks of text", textBytes(chunk * 2)},
        {"random, one byte past three chunks", randomBytes(chunk * 3 + 1, 3)},
        {"random then text", mixed},
    };
    struct Variant {
        std::string name;
        DeflateOptions options;
    };
    const std::vector<Variant> variants{
        {"level 0", {.level = 0}},
        {"level 1", {.level = 1}},
        {"default level", {}},
        {"level 9", {.level = 9}},
        {"fast", {.level = 1, .adaptive = true}},
    };
    for (const auto& [inputName, data] : inputs) {
        for (const auto& v : variants) {
            SCOPED_TRACE(inputName + ", " + v.name);
            const auto one = deflateWith(data, v.options, 1);
            EXPECT_EQ(deflateWith(data, v.options, 2).stream, one.stream);
            EXPECT_EQ(deflateWith(data, v.options, 7).stream, one.stream);
            EXPECT_EQ(one.crc, referenceCrc(data));
            EXPECT_EQ(inflateAll(one.stream, data.size()), data);
            EXPECT_LE(one.stream.size(), chunkedDeflateBound(data.size()));
            if (v.options.level == 0) {
                EXPECT_GE(one.stream.size(), data.size());
            }
        }
    }
}

TEST(ChunkedDeflate, FastStoresRandomChunksAndDeflatesText) {
    const Bytes random = randomBytes(kDeflateChunk * 6, 11);
    const Bytes text = textBytes(kDeflateChunk * 6);
    const DeflateOptions fast{.level = 1, .adaptive = true};
    const auto r = deflateWith(random, fast, 2);
    // Stored blocks: 5 bytes a 64 KiB block, a sync flush a chunk.
    EXPECT_LE(r.stream.size(), random.size() + 6 * 20 + 8);
    EXPECT_LT(deflateWith(random, {.level = 6}, 2).stream.size() - random.size(), 6 * 64u)
        << "the chunked stream must not grow random data beyond zlib's own stored blocks";
    const auto t = deflateWith(text, fast, 2);
    EXPECT_LT(t.stream.size(), text.size() / 4);
    // Primed with the bytes before: no worse than a cold start per chunk.
    EXPECT_LT(deflateWith(text, {.level = 9}, 2).stream.size(), t.stream.size());
}

TEST(ChunkedDeflate, ThrowingProgressStopsTheWorkersAndLeaves) {
    const Bytes data = randomBytes(kDeflateChunk * 20, 5);
    MemoryStream source(data);
    MemoryStream out;
    int calls = 0;
    struct Stop {};
    const auto progress = [&](std::uint64_t done) {
        EXPECT_EQ(done, static_cast<std::uint64_t>(calls + 1) * kDeflateChunk);
        if (++calls == 3) throw Stop{};
    };
    EXPECT_THROW(chunkedDeflate(source, data.size(), out, {.chunked = true, .jobs = 4}, progress), Stop);
    EXPECT_EQ(calls, 3);
    // What was written is the start of the whole stream, chunk by chunk in order.
    const auto whole = deflateWith(data, {}, 4).stream;
    ASSERT_GT(out.size(), 0);
    ASSERT_LT(static_cast<std::size_t>(out.size()), whole.size());
    EXPECT_TRUE(std::equal(out.vector().begin(), out.vector().end(), whole.begin()));
    // A short source is a read error, not a short stream.
    MemoryStream shortSource(Bytes(1000, 'a'));
    MemoryStream out2;
    EXPECT_THROW(chunkedDeflate(shortSource, 5000, out2, {.chunked = true, .jobs = 2}), Exception);
}

// The built program's own archive reader (host build of the stub's code):
// finds the entry in the file and inflates it with its checks.
Bytes extractAsTheStubDoes(const Bytes& file) {
    struct Source final : stub::Source {
        explicit Source(const Bytes& b) : bytes(b) {}
        bool readAt(std::uint64_t offset, void* buffer, std::uint32_t length) override {
            if (offset > bytes.size() || length > bytes.size() - offset) return false;
            std::memcpy(buffer, bytes.data() + offset, length);
            return true;
        }
        std::uint64_t size() const override { return bytes.size(); }
        const Bytes& bytes;
    } source(file);
    struct Sink final : stub::Sink {
        bool write(const void* data, std::uint32_t length) override {
            const auto* p = static_cast<const std::uint8_t*>(data);
            bytes.insert(bytes.end(), p, p + length);
            return true;
        }
        Bytes bytes;
    } sink;
    stub::Entry entry;
    EXPECT_TRUE(stub::locateEntry(source, entry));
    EXPECT_EQ(stub::inflateEntry(source, entry, sink), stub::InflateResult::Ok);
    return sink.bytes;
}

CliResult cli(const fs::path& container, const std::string& args) {
    return runCli(fs::current_path(), container, args);
}

TEST(FastBuildCli, EveryVariantIsReadByIndependentReaders) {
    TempDir dir;
    const auto container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
    Bytes text = textBytes(300000);
    const auto msi =
        makeMsi(dir.path(), "Fast.msi", {}, {{"random.bin", randomBytes(500000, 9)}, {"notes.txt", text}});
    const Bytes package = readFile(msi);
    const auto q = [](const fs::path& p) { return shellQuote(p.string()); };

    std::map<std::string, ParsedArchive> built;
    for (const std::string options : {"", "--level 0", "--level=9", "--jobs 1", "--jobs 2", "--jobs=7",
                                      "--fast", "--fast --jobs 1", "--level 1 --jobs 2"}) {
        SCOPED_TRACE("options: " + options);
        const fs::path out = dir / ("out" + std::to_string(built.size()) + ".exe");
        const auto r = cli(container, options + " " + q(msi) + " '' " + q(out));
        ASSERT_EQ(r.status, 0) << r.err;
        const Bytes file = readFile(out);
        EXPECT_EQ(extractAsTheStubDoes(file), package);
        const auto a = parseArchive(file);
        EXPECT_EQ(a.method, 8);
        EXPECT_EQ(a.crc, referenceCrc(package));
        EXPECT_EQ(inflateAll(a.data, package.size()), package);
        const auto info = pythonZipInfo(out);
        EXPECT_NE(info.find("|ok"), std::string::npos) << info;
        std::string unzipOutput;
        EXPECT_TRUE(unzipTestPasses(out, &unzipOutput)) << unzipOutput;
        built[options] = a;
    }
    // No option: today's single stream, byte for byte.
    EXPECT_EQ(built[""].data, referenceDeflate(package));
    // The default level in chunks differs from it, and not by the jobs.
    EXPECT_NE(built["--jobs 1"].data, built[""].data);
    EXPECT_EQ(built["--jobs 2"].data, built["--jobs 1"].data);
    EXPECT_EQ(built["--jobs=7"].data, built["--jobs 1"].data);
    EXPECT_EQ(built["--fast --jobs 1"].data, built["--fast"].data);
    EXPECT_GE(built["--level 0"].data.size(), package.size());
    EXPECT_LT(built["--level=9"].data.size(), built["--level 1 --jobs 2"].data.size());
    EXPECT_LE(built["--fast"].data.size(), built[""].data.size() * 1015 / 1000);
}

TEST(FastBuildCli, InterruptStopsTheThreadsAndRemovesTheTemporaryFile) {
    TempDir dir;
    const auto container = makeContainer(dir / "pakforge.dat", readFile(stubExe()));
    makeMsi(dir.path(), "big.msi", {}, {{"data.bin", randomBytes(30u << 20, 6)}});
    EXPECT_EQ(signalMidBuild(dir.path(), container, "--level 9 --jobs 3", "INT"), "130\n");
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().extension(), ".tmp") << "left behind: " << entry.path();
}

TEST(FastBuildCli, BadNumbersAreUsageErrors) {
    TempDir dir;
    const auto container = dir / "none.dat";
    for (const std::string args : {"--level 10 a b c", "--level -1 a b c", "--level x a b c",
                                   "--jobs 0 a b c", "--jobs=3x a b c", "--jobs 257 a b c", "--level"}) {
        SCOPED_TRACE(args);
        const auto r = cli(container, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.err.find("takes a number from") != std::string::npos ||
                    r.err.find("needs a number") != std::string::npos)
            << r.err;
        EXPECT_FALSE(fs::exists(dir / "c"));
    }
}

} // namespace
} // namespace pakforge
