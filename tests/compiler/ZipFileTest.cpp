// The appended archive: layout, field values and failure behaviour, checked
// with our own bounded parser and with Python's zipfile, unzip and zlib.
#include "compiler/ZipFile.h"
#include "Fixtures.h"
#include "core/ByteIO.h"
#include "core/Streams.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

// Appends the archive of one package to a copy of `stub`, as the build does.
std::vector<std::uint8_t> appendArchive(const TempDir& dir, const std::vector<std::uint8_t>& stub,
                                        const fs::path& package, const std::string& outName = "out.exe") {
    const fs::path out = dir / outName;
    writeFile(out, stub);
    {
        FileStream stream(out, FileStream::Mode::OpenWrite, FileStream::Share::DenyWrite);
        stream.seek(0, SeekOrigin::End);
        TZipFile zip;
        zip.open(stream);
        zip.addFile(package, {}, 8);
        zip.close();
    }
    return readFile(out);
}

void setMtime(const fs::path& path, std::time_t when) {
    timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(ZipFileLayout, NineByteNameOnStubGivesTheDocumentedOffsets) {
    TempDir dir;
    const auto stub = randomBytes(5000, 1);
    for (const auto& content :
         {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{'a', 'b', 'c'}, randomBytes(300000, 2)}) {
        const fs::path package = dir / "setup.msi"; // 9 bytes
        writeFile(package, content);
        const auto file = appendArchive(dir, stub, package);
        const std::uint64_t L = stub.size();
        const auto a = parseArchive(file);
        const std::uint64_t c = a.compressedSize;

        EXPECT_TRUE(std::equal(stub.begin(), stub.end(), file.begin())) << "bytes before the archive changed";
        EXPECT_EQ(a.localOffset, L);
        EXPECT_EQ(a.centralOffset, L + 39 + c);
        EXPECT_EQ(a.centralSize, 55u);
        EXPECT_EQ(loadLE32(file.data() + L + 94 + c), 0x06054B50u);
        EXPECT_EQ(file.size(), L + 116 + c);
        EXPECT_EQ(a.entries, 1);
        EXPECT_EQ(a.name, "setup.msi");
        EXPECT_EQ(a.flag, 0x0800);
        EXPECT_EQ(a.method, 8);
        EXPECT_EQ(a.madeBy, 20);
        EXPECT_EQ(a.needed, 20);
        // Extra field, comment, disk number, attributes: all zero; the end
        // record names disk 0 for both of its disk fields.
        EXPECT_EQ(loadLE16(a.localFixed.data() + 24), 0);
        EXPECT_EQ(std::vector<std::uint8_t>(a.centralFixed.begin() + 26, a.centralFixed.begin() + 38),
                  std::vector<std::uint8_t>(12, 0));
        EXPECT_EQ(loadLE32(file.data() + L + 94 + c + 4), 0u);
        // Local fixed part equals the central one's bytes 2..27, field by field.
        EXPECT_EQ(a.localFixed,
                  std::vector<std::uint8_t>(a.centralFixed.begin() + 2, a.centralFixed.begin() + 28));
        EXPECT_EQ(a.uncompressedSize, content.size());
        EXPECT_EQ(a.crc, referenceCrc(content));
        EXPECT_EQ(a.data, referenceDeflate(content));
        if (content.empty()) {
            EXPECT_EQ(a.data, (std::vector<std::uint8_t>{0x03, 0x00}));
            EXPECT_EQ(a.crc, 0u);
        }
    }
}

TEST(ZipFileLayout, IndependentReadersAcceptTheArchiveInPlace) {
    TempDir dir;
    const auto stub = randomBytes(12345, 3);
    auto content = randomBytes(200000, 4);
    const std::string text(100000, 'x');
    content.insert(content.end(), text.begin(), text.end());
    const fs::path package = dir / "Product Setup.msi";
    writeFile(package, content);
    appendArchive(dir, stub, package);

    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", referenceCrc(content));
    const auto info = pythonZipInfo(dir / "out.exe");
    EXPECT_EQ(info.substr(0, info.find('|')), "Product Setup.msi") << info;
    EXPECT_NE(info.find(std::string("|") + crc + "|"), std::string::npos) << info;
    EXPECT_NE(info.find("|" + std::to_string(content.size()) + "|12345|ok"), std::string::npos) << info;
    std::string unzipOutput;
    EXPECT_TRUE(unzipTestPasses(dir / "out.exe", &unzipOutput)) << unzipOutput;
}

TEST(ZipFileFields, NonAsciiNameIsUtf8CountedInBytes) {
    TempDir dir;
    const std::string name = "Gr\xC3\xBC\xC3\x9F"
                             "e \xE6\x97\xA5\xE6\x9C\xAC.msi"; // "Grüße 日本.msi"
    const fs::path package = dir / name;
    writeFile(package, randomBytes(1000, 5));
    const auto a = parseArchive(appendArchive(dir, randomBytes(100, 6), package));
    EXPECT_EQ(a.name, name);
    EXPECT_EQ(loadLE16(a.localFixed.data() + 22), name.size());
    EXPECT_EQ(a.flag, 0x0800);
    const auto info = pythonZipInfo(dir / "out.exe");
    EXPECT_EQ(info.substr(0, info.find('|')), name) << info;
}

TEST(ZipFileFields, NameIsWhatFollowsTheLastSeparator) {
    EXPECT_EQ(archiveNameOf("/a/b/setup.msi"), u"setup.msi");
    EXPECT_EQ(archiveNameOf("/a/x:setup.msi"), u"setup.msi");
    EXPECT_EQ(archiveNameOf("/a/x\\y\\setup.msi"), u"setup.msi");
}

TEST(ZipFileFields, DosTimeRules) {
    std::tm t{};
    t.tm_year = 2021 - 1900;
    t.tm_mon = 6; // July
    t.tm_mday = 15;
    t.tm_hour = 13;
    t.tm_min = 45;
    t.tm_sec = 31; // odd: rounded down to 30
    const std::uint32_t expectTime = 15 + 45 * 32 + 13 * 2048;
    const std::uint32_t expectDate = 15 + 7 * 32 + (2021 - 1980) * 512;
    EXPECT_EQ(dosDateTime(t), (expectDate << 16) | expectTime);

    // A leap second stays a valid time: 59 s, not 60.
    t.tm_sec = 60;
    EXPECT_EQ(dosDateTime(t) & 0x1F, 29u);
    t.tm_sec = 31;

    t.tm_year = 1979 - 1900;
    EXPECT_EQ(dosDateTime(t), 0u);
    t.tm_year = 2108 - 1900;
    EXPECT_EQ(dosDateTime(t), 0u);
    t.tm_year = 2107 - 1900;
    EXPECT_NE(dosDateTime(t), 0u);
    t.tm_year = 1980 - 1900;
    EXPECT_NE(dosDateTime(t), 0u);
}

TEST(ZipFileFields, TimeComesFromThePackagesLocalLastWriteTime) {
    TempDir dir;
    const fs::path package = dir / "p.msi";
    writeFile(package, {1, 2, 3});
    const std::time_t when = 1600000001; // odd seconds
    setMtime(package, when);
    std::tm local{};
    localtime_r(&when, &local);
    const auto a = parseArchive(appendArchive(dir, {}, package));
    EXPECT_EQ(a.dosTime, dosDateTime(local));
    EXPECT_EQ(a.dosTime & 1u, (local.tm_sec / 2) & 1u);

    setMtime(package, 100000000); // 1973
    EXPECT_EQ(parseArchive(appendArchive(dir, {}, package)).dosTime, 0u);
}

TEST(ZipFileProgress, ReportsEveryBlockUpToTheTotal) {
    TempDir dir;
    const fs::path package = dir / "p.msi";
    writeFile(package, randomBytes(1000000, 7));
    MemoryStream out;
    TZipFile zip;
    std::vector<std::uint64_t> seen;
    zip.onProgress = [&](std::uint64_t done, std::uint64_t total) {
        EXPECT_EQ(total, 1000000u);
        seen.push_back(done);
    };
    zip.open(out);
    zip.addFile(package);
    zip.close();
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 1000000u);
}

// Failures -------------------------------------------------------------

void expectEmptyEndRecordAt(const std::vector<std::uint8_t>& file, std::uint64_t L) {
    ASSERT_GE(file.size(), L + 22);
    ByteReader r(std::span<const std::uint8_t>(file).subspan(static_cast<std::size_t>(L), 22));
    EXPECT_EQ(r.u32(), 0x06054B50u);
    EXPECT_EQ(r.u32(), 0u);
    EXPECT_EQ(r.u16(), 0);
    EXPECT_EQ(r.u16(), 0);
    EXPECT_EQ(r.u32(), 0u);
    EXPECT_EQ(r.u32(), static_cast<std::uint32_t>(L));
    EXPECT_EQ(r.u16(), 0);
}

TEST(ZipFileFailures, MissingOrLockedPackageLeavesAnEmptyEndRecord) {
    TempDir dir;
    const auto stub = randomBytes(777, 8);
    const fs::path locked = dir / "locked.msi";
    writeFile(locked, {1, 2, 3});
    FileStream holder(locked, FileStream::Mode::OpenRead, FileStream::Share::DenyWrite);

    for (const fs::path& package : {dir / "missing.msi", locked}) {
        MemoryStream out;
        out.write(stub.data(), stub.size());
        TZipFile zip;
        zip.open(out);
        try {
            zip.addFile(package);
            FAIL() << "no error for " << package;
        } catch (const EFOpenError& e) {
            EXPECT_EQ(e.message().rfind("Cannot open file \"" + package.string() + "\". ", 0), 0u)
                << e.message();
        }
        zip.close();
        EXPECT_EQ(out.size(), static_cast<std::int64_t>(stub.size() + 22));
        expectEmptyEndRecordAt(out.vector(), stub.size());
    }
}

// A stream whose n-th write (1-based) moves nothing.
class FailingStream : public MemoryStream {
  public:
    explicit FailingStream(int failAt) : failAt_(failAt) {}
    std::size_t write(const void* buffer, std::size_t count) override {
        if (++writes_ == failAt_) return 0;
        return MemoryStream::write(buffer, count);
    }

  private:
    int failAt_;
    int writes_ = 0;
};

TEST(ZipFileFailures, ShortHeaderWriteRaisesZipError) {
    TempDir dir;
    const fs::path package = dir / "p.msi";
    writeFile(package, {1, 2, 3});
    for (int failAt : {1, 2, 3}) { // signature, fixed part, name
        FailingStream out(failAt);
        TZipFile zip;
        zip.open(out);
        try {
            zip.addFile(package);
            FAIL();
        } catch (const EZipException& e) {
            EXPECT_EQ(e.message(), "Error writing zip file");
        }
        zip.close();
        expectEmptyEndRecordAt(out.vector(), 0);
    }
}

TEST(ZipFileFailures, FailedDataWriteLeavesEndRecordOverPartialEntry) {
    TempDir dir;
    const fs::path package = dir / "p.msi"; // n = 5
    writeFile(package, randomBytes(200000, 9));
    const std::vector<std::uint8_t> stub(64, 0xAB);
    // Write #1 is the stub; the writer's are signature, fixed part, name, then
    // the first block of deflate data.
    FailingStream fresh(5);
    fresh.write(stub.data(), stub.size());
    TZipFile zip;
    zip.open(fresh);
    EXPECT_THROW(zip.addFile(package), EWriteError);
    zip.close();
    const auto& bytes = fresh.vector();
    // The 35-byte local header stays in part behind the 22-byte end record.
    EXPECT_EQ(bytes.size(), stub.size() + 35);
    expectEmptyEndRecordAt(bytes, stub.size());
    EXPECT_EQ(bytes[stub.size() + 34], 'i'); // last byte of "p.msi"
    // The header as first written already held the package's size.
    EXPECT_EQ(loadLE32(bytes.data() + stub.size() + 22), 200000u);
    EXPECT_EQ(loadLE16(bytes.data() + stub.size() + 26), 5u);
}

TEST(ZipFileFailures, RefusesFourGigabytePackagesBeforeWriting) {
    TempDir dir;
    const fs::path package = dir / "huge.msi";
    {
        FileStream f(package, FileStream::Mode::Create);
        f.setSize(std::int64_t{1} << 32); // sparse
    }
    MemoryStream out;
    TZipFile zip;
    zip.open(out);
    try {
        zip.addFile(package);
        FAIL();
    } catch (const EZipException& e) {
        EXPECT_NE(e.message().find("too large"), std::string::npos) << e.message();
        EXPECT_NE(e.message().find(package.string()), std::string::npos) << e.message();
    }
    zip.close();
    EXPECT_EQ(out.size(), 22);
}

TEST(ZipFileFailures, RefusesOffsetsPastFourGigabytes) {
    TempDir dir;
    const fs::path package = dir / "p.msi";
    writeFile(package, randomBytes(100, 10));
    const fs::path outPath = dir / "big.exe";
    FileStream out(outPath, FileStream::Mode::Create);
    out.setSize(0xFFFFFFC0); // sparse stub just under 4 GiB
    out.seek(0, SeekOrigin::End);
    TZipFile zip;
    zip.open(out);
    EXPECT_THROW(zip.addFile(package), EZipException);
    EXPECT_EQ(out.size(), 0xFFFFFFC0);
}

TEST(ZipFileState, CloseIsIdempotentAndAddNeedsAnOpenWriter) {
    TempDir dir;
    const fs::path package = dir / "p.msi";
    writeFile(package, {1});
    MemoryStream out;
    TZipFile zip;
    EXPECT_THROW(zip.addFile(package), EZipException);
    zip.open(out);
    zip.addFile(package);
    EXPECT_EQ(zip.entries().size(), 1u);
    zip.close();
    const auto size = out.size();
    zip.close();
    EXPECT_EQ(out.size(), size);
    EXPECT_EQ(zip.mode(), TZipFile::Mode::Closed);
    EXPECT_TRUE(zip.entries().empty());
}

} // namespace
} // namespace pakforge
