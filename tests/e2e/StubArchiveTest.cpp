// The stub's archive reader on the host: what it accepts, what it refuses,
// and that no damaged archive ever inflates to something that passes.
#include "Archive.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

class MemorySource final : public stub::Source {
  public:
    explicit MemorySource(const Bytes& bytes) : bytes_(bytes) {}
    bool readAt(std::uint64_t offset, void* buffer, std::uint32_t length) override {
        if (offset > bytes_.size() || length > bytes_.size() - offset) {
            ADD_FAILURE() << "read outside the file at " << offset << " + " << length;
            return false;
        }
        std::memcpy(buffer, bytes_.data() + offset, length);
        return true;
    }
    std::uint64_t size() const override { return bytes_.size(); }

  private:
    const Bytes& bytes_;
};

class MemorySink final : public stub::Sink {
  public:
    bool write(const void* data, std::uint32_t length) override {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + length);
        return !fail;
    }
    Bytes bytes;
    bool fail = false;
};

void put16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Bytes& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

Bytes rawDeflate(const Bytes& data) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, data.size()) + 16);
    z.next_in = const_cast<Bytes::value_type*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct Layout {
    std::size_t local = 0, data = 0, central = 0, end = 0;
};

// Appends the archive as the pipeline lays it out; `deflated` overrides the data.
Layout appendArchive(Bytes& file, const Bytes& package, const std::string& name,
                     const Bytes* deflated = nullptr) {
    const Bytes data = deflated ? *deflated : rawDeflate(package);
    const auto crc = static_cast<std::uint32_t>(crc32(0, package.data(), static_cast<uInt>(package.size())));
    Layout at;
    Bytes fixed;
    put16(fixed, 20);
    put16(fixed, 0x0800);
    put16(fixed, 8);
    put32(fixed, 0x5A8B6C21);
    put32(fixed, crc);
    put32(fixed, static_cast<std::uint32_t>(data.size()));
    put32(fixed, static_cast<std::uint32_t>(package.size()));
    put16(fixed, static_cast<std::uint32_t>(name.size()));
    put16(fixed, 0);
    at.local = file.size();
    put32(file, 0x04034B50);
    file.insert(file.end(), fixed.begin(), fixed.end());
    file.insert(file.end(), name.begin(), name.end());
    at.data = file.size();
    file.insert(file.end(), data.begin(), data.end());
    at.central = file.size();
    put32(file, 0x02014B50);
    put16(file, 20);
    file.insert(file.end(), fixed.begin(), fixed.end());
    for (int i = 0; i < 3; ++i) put16(file, 0);
    put32(file, 0);
    put32(file, static_cast<std::uint32_t>(at.local));
    file.insert(file.end(), name.begin(), name.end());
    at.end = file.size();
    put32(file, 0x06054B50);
    put32(file, 0);
    put16(file, 1);
    put16(file, 1);
    put32(file, static_cast<std::uint32_t>(at.end - at.central));
    put32(file, static_cast<std::uint32_t>(at.central));
    put16(file, 0);
    return at;
}

// A minimal PE32 header whose certificate directory the test fills in.
constexpr std::size_t kCertDirectory = 0x80 + 24 + 96 + 4 * 8;
Bytes peStub(std::size_t size = 1024) {
    Bytes pe(size, 0);
    pe[0] = 'M';
    pe[1] = 'Z';
    pe[0x3C] = 0x80;
    std::memcpy(&pe[0x80], "PE\0\0", 4);
    pe[0x80 + 20] = 224;  // SizeOfOptionalHeader
    pe[0x80 + 24] = 0x0B; // PE32 magic
    pe[0x80 + 25] = 0x01;
    pe[0x80 + 24 + 92] = 16; // NumberOfRvaAndSizes
    return pe;
}

void set32(Bytes& file, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Signs the way signing tools do: zero padding to 8, then the table.
void appendCertificateTable(Bytes& file, std::size_t padding, std::uint32_t tableSize = 64) {
    file.insert(file.end(), padding, 0);
    set32(file, kCertDirectory, static_cast<std::uint32_t>(file.size()));
    set32(file, kCertDirectory + 4, tableSize);
    file.insert(file.end(), tableSize, 0x30);
}

enum class Outcome { Refused, Damaged, Extracted };

Outcome extract(const Bytes& file, Bytes* out = nullptr, stub::Entry* info = nullptr) {
    MemorySource source(file);
    stub::Entry entry;
    if (!stub::locateEntry(source, entry)) return Outcome::Refused;
    MemorySink sink;
    const auto result = stub::inflateEntry(source, entry, sink);
    if (result != stub::InflateResult::Ok) return Outcome::Damaged;
    if (out) *out = sink.bytes;
    if (info) *info = entry;
    return Outcome::Extracted;
}

Bytes package(std::size_t size = 5000) {
    Bytes bytes = pakforge::test::randomBytes(size / 2, 7);
    bytes.resize(size, 'a'); // half compressible, half not
    return bytes;
}

TEST(StubArchive, ExtractsWhatThePipelineAppends) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{70000}, std::size_t{300000}}) {
        SCOPED_TRACE(size);
        Bytes file = peStub();
        const Bytes pkg = package(size);
        appendArchive(file, pkg, "setup.msi");
        Bytes out;
        stub::Entry entry;
        ASSERT_EQ(extract(file, &out, &entry), Outcome::Extracted);
        EXPECT_EQ(out, pkg);
        EXPECT_STREQ(entry.name, "setup.msi");
        EXPECT_EQ(entry.uncompressedSize, size);
    }
    // Not a PE file at all: the archive is still found at the end.
    Bytes plain(100, 0x11);
    appendArchive(plain, package(), "x.msi");
    EXPECT_EQ(extract(plain), Outcome::Extracted);
}

TEST(StubArchive, FindsTheArchiveBeforeACertificateTable) {
    for (std::size_t padding = 0; padding < 8; ++padding) {
        SCOPED_TRACE(padding);
        Bytes file = peStub();
        const Bytes pkg = package();
        appendArchive(file, pkg, "signed.msi");
        appendCertificateTable(file, padding);
        Bytes out;
        ASSERT_EQ(extract(file, &out), Outcome::Extracted);
        EXPECT_EQ(out, pkg);
    }
    Bytes base = peStub();
    appendArchive(base, package(), "signed.msi");
    {
        Bytes file = base;
        file.insert(file.end(), 3, 0);
        file.back() = 1; // padding that is not zero
        appendCertificateTable(file, 0);
        EXPECT_EQ(extract(file), Outcome::Refused);
    }
    {
        Bytes file = base;
        appendCertificateTable(file, 8); // more padding than any signer writes
        EXPECT_EQ(extract(file), Outcome::Refused);
    }
    {
        Bytes file = base;
        appendCertificateTable(file, 0);
        file.push_back(0); // something after the table
        EXPECT_EQ(extract(file), Outcome::Refused);
    }
    {
        Bytes file = base;
        appendCertificateTable(file, 0, 64);
        set32(file, kCertDirectory + 4, 0xFFFFFFF0u); // size running past the end
        EXPECT_EQ(extract(file), Outcome::Refused);
        set32(file, kCertDirectory, 0xFFFFFFF0u);
        set32(file, kCertDirectory + 4, 0x20); // offset + size wraps in 32 bits
        EXPECT_EQ(extract(file), Outcome::Refused);
    }
}

TEST(StubArchive, EveryCheckedHeaderByteIsGuarded) {
    Bytes good = peStub(512);
    const Bytes pkg = package();
    const Layout at = appendArchive(good, pkg, "setup.msi");
    // Fields nobody relies on: version made by, internal and external attributes.
    auto unchecked = [&](std::size_t i) {
        const std::size_t c = i - at.central;
        return i >= at.central && i < at.end && ((c >= 4 && c < 6) || (c >= 36 && c < 42));
    };
    auto inHeaders = [&](std::size_t i) { return (i >= at.local && i < at.data) || i >= at.central; };
    for (std::size_t i = at.local; i < good.size(); ++i) {
        if (!inHeaders(i)) continue;
        for (std::uint8_t flip : {std::uint8_t{0x01}, std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
            Bytes bad = good;
            bad[i] ^= flip;
            const Outcome outcome = extract(bad);
            if (unchecked(i))
                EXPECT_EQ(outcome, Outcome::Extracted) << "byte " << i - at.local;
            else
                EXPECT_NE(outcome, Outcome::Extracted) << "byte " << i - at.local << " flip " << int(flip);
        }
    }
}

TEST(StubArchive, EveryDamagedDataByteIsCaught) {
    Bytes good = peStub(512);
    const Bytes pkg = package(3000);
    const Layout at = appendArchive(good, pkg, "setup.msi");
    int harmless = 0;
    for (std::size_t i = at.data; i < at.central; ++i) {
        for (std::uint8_t flip : {std::uint8_t{0x01}, std::uint8_t{0x10}, std::uint8_t{0xFF}}) {
            Bytes bad = good;
            bad[i] ^= flip;
            Bytes out;
            if (extract(bad, &out) == Outcome::Extracted) {
                // Unused bits, or a back reference into a run of equal bytes
                // that reads the same: the package comes out unchanged.
                ++harmless;
                EXPECT_EQ(out, pkg) << "data byte " << i - at.data << " flip " << int(flip);
            }
        }
    }
    EXPECT_LT(harmless, 10);
}

TEST(StubArchive, RefusesArchivesOfAnyOtherShape) {
    const Bytes pkg = package();
    const Bytes data = rawDeflate(pkg);
    struct Case {
        const char* what;
        void (*change)(Bytes& file, const Layout& at);
    };
    const Case cases[] = {
        {"truncated", [](Bytes& f, const Layout&) { f.pop_back(); }},
        {"trailing byte", [](Bytes& f, const Layout&) { f.push_back(0); }},
        {"archive comment",
         [](Bytes& f, const Layout& at) {
             f[at.end + 20] = 3;
             f.insert(f.end(), {'a', 'b', 'c'});
         }},
        {"stored, not deflated",
         [](Bytes& f, const Layout& at) {
             f[at.local + 8] = 0;
             f[at.central + 10] = 0;
         }},
        {"encrypted",
         [](Bytes& f, const Layout& at) {
             f[at.local + 6] |= 1;
             f[at.central + 8] |= 1;
         }},
        {"data descriptor",
         [](Bytes& f, const Layout& at) {
             f[at.local + 6] |= 8;
             f[at.central + 8] |= 8;
         }},
        {"two entries counted",
         [](Bytes& f, const Layout& at) {
             f[at.end + 8] = 2;
             f[at.end + 10] = 2;
         }},
        {"zip64 version",
         [](Bytes& f, const Layout& at) {
             f[at.local + 4] = 45;
             f[at.central + 6] = 45;
         }},
        {"size declared smaller",
         [](Bytes& f, const Layout& at) {
             f[at.local + 22] -= 1;
             f[at.central + 24] -= 1;
         }},
        {"size declared larger",
         [](Bytes& f, const Layout& at) {
             f[at.local + 22] += 1;
             f[at.central + 24] += 1;
         }},
        {"local header past the central directory",
         [](Bytes& f, const Layout& at) {
             set32(f, at.central + 42, static_cast<std::uint32_t>(at.central));
         }},
        {"central directory offset wraps",
         [](Bytes& f, const Layout& at) { set32(f, at.end + 16, 0xFFFFFFFFu); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file = peStub(512);
        const Layout at = appendArchive(file, pkg, "setup.msi");
        c.change(file, at);
        EXPECT_NE(extract(file), Outcome::Extracted);
    }
    {
        SCOPED_TRACE("bytes after the deflate stream inside the entry");
        Bytes padded = data;
        padded.push_back(0);
        Bytes file = peStub(512);
        appendArchive(file, pkg, "setup.msi", &padded);
        EXPECT_EQ(extract(file), Outcome::Damaged);
    }
    {
        SCOPED_TRACE("deflate stream cut short");
        Bytes cut(data.begin(), data.end() - 1);
        Bytes file = peStub(512);
        appendArchive(file, pkg, "setup.msi", &cut);
        EXPECT_EQ(extract(file), Outcome::Damaged);
    }
    {
        SCOPED_TRACE("name holding a zero byte");
        Bytes file = peStub(512);
        appendArchive(file, pkg, std::string("a\0b.msi", 7));
        EXPECT_EQ(extract(file), Outcome::Refused);
    }
    {
        SCOPED_TRACE("a failing sink stops the extraction");
        Bytes file = peStub(512);
        appendArchive(file, pkg, "setup.msi");
        MemorySource source(file);
        stub::Entry entry;
        ASSERT_TRUE(stub::locateEntry(source, entry));
        MemorySink sink;
        sink.fail = true;
        EXPECT_EQ(stub::inflateEntry(source, entry, sink), stub::InflateResult::WriteFailed);
    }
}

TEST(StubArchive, RandomDamageNeverPassesOrReadsOutOfBounds) {
    Bytes good = peStub(512);
    const Bytes pkg = package(2000);
    appendArchive(good, pkg, "setup.msi");
    std::mt19937 engine(12345);
    int extracted = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes bad = good;
        const int changes = 1 + static_cast<int>(engine() % 4);
        for (int k = 0; k < changes; ++k) {
            // Mostly the archive, sometimes the PE header's certificate entry.
            const std::size_t at =
                engine() % 8 == 0 ? kCertDirectory + engine() % 8 : 512 + engine() % (bad.size() - 512);
            bad[at] = static_cast<std::uint8_t>(engine());
        }
        if (engine() % 16 == 0) bad.resize(engine() % bad.size());
        Bytes out;
        if (extract(bad, &out) == Outcome::Extracted) {
            ++extracted;
            EXPECT_EQ(out, pkg) << "round " << round;
        }
    }
    EXPECT_LT(extracted, 2000) << "most damage must be refused";
}

TEST(StubArchive, PlainFileNames) {
    const char* plain[] = {"setup.msi",
                           "Pr\xC3\xBC"
                           "fung \xE2\x82\xAC.msi",
                           "a b.msi",
                           "console.msi",
                           "com10.msi",
                           "lpt.msi",
                           "\xF0\x9F\x93\xA6.msi",
                           ".hidden.msi"};
    for (const char* name : plain)
        EXPECT_TRUE(stub::isPlainFileName(name, static_cast<std::uint32_t>(std::strlen(name)))) << name;
    const char* refused[] = {"",
                             ".",
                             "..",
                             "a\\b.msi",
                             "a/b.msi",
                             "C:x.msi",
                             "x:y",
                             "con",
                             "CON.msi",
                             "nul .msi",
                             "Aux.txt",
                             "com1",
                             "LPT9.msi",
                             "COM\xC2\xB9.msi",
                             "prn.",
                             "name.",
                             "name ",
                             "a\x01"
                             "b",
                             "a<b",
                             "a>b",
                             "a|b",
                             "a?b",
                             "a*b",
                             "a\"b",
                             "\xC0\xAF.msi",
                             "\xED\xA0\x80.msi",
                             "\xE2\x82",
                             "\xF5\x80\x80\x80",
                             "\xFF"};
    for (const char* name : refused)
        EXPECT_FALSE(stub::isPlainFileName(name, static_cast<std::uint32_t>(std::strlen(name)))) << name;
    EXPECT_TRUE(stub::isPlainFileName(std::string(200, 'a').c_str(), 200));
    EXPECT_FALSE(stub::isPlainFileName(std::string(201, 'a').c_str(), 201));
}

} // namespace
