// The PE reader refuses malformed files with a clear error and never reads
// outside the file; the directory builder lays tables out as the loader wants.
#include "PeFixtures.h"
#include "core/ByteIO.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceWriter.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

using namespace pakforge;
using namespace pakforge::pe;
using ::testing::HasSubstr;

namespace {

// Offsets inside the tiny image's resource section (see buildResourceSection):
// root table, TINY's name table at 24, its language table at 48, the data
// entry at 72, the name "TINY" at 88.
constexpr std::size_t kRootEntry = 16;
constexpr std::size_t kNameEntry = 24 + 16;
constexpr std::size_t kLanguageEntry = 48 + 16;
constexpr std::size_t kDataEntry = 72;

struct Tiny {
    std::vector<std::uint8_t> bytes = test::makeTinyPe(false, 1, true);
    PeHeaders headers = parseHeaders(bytes);
    std::size_t rsrc() const {
        const auto& s = headers.sections[static_cast<std::size_t>(
            headers.sectionOfRva(headers.directory(kDirResource).rva))];
        return s.pointerToRawData;
    }
    void set32(std::size_t at, std::uint32_t v) { storeLE32(bytes.data() + at, v); }
    void set16(std::size_t at, std::uint16_t v) { storeLE16(bytes.data() + at, v); }
};

std::vector<ResourceEntry> readAll(const std::vector<std::uint8_t>& bytes) {
    const auto headers = parseHeaders(bytes);
    std::vector<ResourceEntry> entries;
    forEachResource(bytes, headers, [&](const ResourceEntry& e) { entries.push_back(e); });
    return entries;
}

// The refusal is an OS error with ERROR_BAD_EXE_FORMAT and says why.
void expectRefusal(const std::vector<std::uint8_t>& bytes, const std::string& reason) {
    try {
        readAll(bytes);
        ADD_FAILURE() << "accepted; expected: " << reason;
    } catch (const EOSError& e) {
        EXPECT_EQ(e.errorCode(), kBadExeFormat);
        EXPECT_THAT(e.message(), HasSubstr("System Error.  Code: 193."));
        EXPECT_THAT(e.message(), HasSubstr(reason));
    }
}

} // namespace

TEST(PeReader, ReadsTheTinyImage) {
    Tiny tiny;
    const auto entries = readAll(tiny.bytes);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].type, ResId::number(10));
    EXPECT_EQ(entries[0].name, ResId::named(u"TINY"));
    EXPECT_EQ(entries[0].language, 1033);
    EXPECT_EQ(std::string(entries[0].data.begin(), entries[0].data.end()), "tiny resource");
}

TEST(PeReader, RefusesBrokenHeaders) {
    expectRefusal({'M', 'Z'}, "the DOS header runs past the end of the file");
    expectRefusal(std::vector<std::uint8_t>(512, 0), "no MZ signature");
    {
        Tiny t;
        t.set32(0x3C, 0xFFFFFFF0);
        expectRefusal(t.bytes, "runs past the end of the file");
    }
    {
        Tiny t;
        t.bytes[0x40] = 'N';
        expectRefusal(t.bytes, "no PE signature");
    }
    {
        Tiny t;
        t.set16(t.headers.optionalOffset, 0x1234);
        expectRefusal(t.bytes, "unknown optional header magic");
    }
    {
        Tiny t;
        t.set16(t.headers.coffOffset + 2, 0);
        expectRefusal(t.bytes, "no sections");
    }
    {
        Tiny t;
        t.set16(t.headers.coffOffset + 2, 4000);
        expectRefusal(t.bytes, "the section table runs past the end of the file");
    }
    {
        Tiny t;
        t.set32(t.headers.optionalOffset + 36, 0); // FileAlignment
        expectRefusal(t.bytes, "alignment");
    }
    {
        Tiny t;
        t.set16(t.headers.coffOffset + 16, 0x60); // optional header too short for its directories
        expectRefusal(t.bytes, "data directories");
    }
}

TEST(PeReader, RefusesBrokenResourceDirectories) {
    {
        Tiny t; // the type entry points back at the root
        t.set32(t.rsrc() + kRootEntry + 4, 0x80000000u);
        expectRefusal(t.bytes, "refers to itself");
    }
    {
        Tiny t; // a language entry claims a fourth level
        t.set32(t.rsrc() + kLanguageEntry + 4, 0x80000000u | 24);
        expectRefusal(t.bytes, "deeper than three levels");
        t.set32(t.rsrc() + kLanguageEntry + 4, 0x80000000u | 200);
        expectRefusal(t.bytes, "deeper than three levels");
    }
    {
        Tiny t; // a type entry without a subdirectory
        t.set32(t.rsrc() + kRootEntry + 4, kDataEntry);
        expectRefusal(t.bytes, "lacks its subdirectory");
    }
    {
        Tiny t; // inflated entry counts
        t.set16(t.rsrc() + 12, 0xFFFF);
        t.set16(t.rsrc() + 14, 0xFFFF);
        expectRefusal(t.bytes, "the resource directory runs past the end");
    }
    {
        Tiny t; // a name far outside the section
        t.set32(t.rsrc() + kNameEntry, 0x80000000u | 0x7FFFFFF0u);
        expectRefusal(t.bytes, "a resource name runs past the end");
    }
    {
        Tiny t; // data larger than anything the file holds
        t.set32(t.rsrc() + kDataEntry + 4, 0xFFFFFFF0u);
        expectRefusal(t.bytes, "larger than the file can hold");
        t.set32(t.rsrc() + kDataEntry + 4, 5000);
        expectRefusal(t.bytes, "outside the file");
    }
    {
        Tiny t; // data at an address no section holds
        t.set32(t.rsrc() + kDataEntry, 0x7FFFFFF0u);
        expectRefusal(t.bytes, "outside every section");
    }
    {
        Tiny t; // the directory itself outside every section
        t.set32(t.headers.dataDirectoryOffset + 8 * kDirResource, 0x900000);
        expectRefusal(t.bytes, "outside every section");
    }
    {
        Tiny t; // an identifier wider than 16 bits
        t.set32(t.rsrc() + kRootEntry, 0x10010);
        expectRefusal(t.bytes, "exceeds 16 bits");
    }
}

TEST(PeReader, TruncatedAndMutatedFilesNeverCrash) {
    Tiny tiny;
    for (std::size_t size = 0; size < tiny.bytes.size(); size += 3) {
        const std::vector<std::uint8_t> cut(tiny.bytes.begin(), tiny.bytes.begin() + size);
        try {
            readAll(cut);
            replaceResources(cut, {});
        } catch (const Exception&) {
        }
    }
    std::mt19937 random(1234);
    int refused = 0;
    for (int round = 0; round < 3000; ++round) {
        auto bytes = tiny.bytes;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) {
            // Mostly the headers and the resource directory, where the offsets are.
            const std::size_t at = random() % 2 ? random() % 0x200 : tiny.rsrc() + random() % 112;
            bytes[at] = static_cast<std::uint8_t>(random());
        }
        try {
            readAll(bytes);
            ResourceTree tree;
            tree[ResId::number(3)][ResId::number(1)][0] = test::randomBytes(5000, round);
            const auto out = replaceResources(bytes, tree);
            EXPECT_EQ(readAll(out).size(), 1u);
        } catch (const Exception&) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 0);
}

TEST(PeResourceSection, TablesFollowTheLoadersOrder) {
    ResourceTree tree;
    auto put = [&](ResId type, ResId name, std::uint16_t language, const std::string& text) {
        tree[type][name][language].assign(text.begin(), text.end());
    };
    put(ResId::number(14), ResId::number(1), 0, "a");
    put(ResId::named(u"ZETA"), ResId::number(2), 0, "bb");
    put(ResId::number(3), ResId::number(9), 1033, "ccc");
    put(ResId::number(3), ResId::number(9), 7, "dddd");
    put(ResId::named(u"ALPHA"), ResId::named(u"B"), 0, "e");
    put(ResId::named(u"ALPHA"), ResId::named(u"AB"), 0, "f");
    put(ResId::named(u"ALPHA"), ResId::named(u"A"), 0, "g");
    const std::uint32_t base = 0x5000;
    const auto section = buildResourceSection(tree, base);
    ByteReader r(section);

    auto readTable = [&](std::uint32_t offset) {
        r.seek(offset + 12);
        const int named = r.u16(), ids = r.u16();
        std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
        for (int i = 0; i < named + ids; ++i) {
            const std::uint32_t name = r.u32(), target = r.u32();
            EXPECT_EQ(i < named, (name & 0x80000000u) != 0);
            entries.emplace_back(name, target);
        }
        return entries;
    };
    auto nameAt = [&](std::uint32_t field) {
        r.seek(field & 0x7FFFFFFFu);
        return r.utf16(r.u16());
    };
    const auto root = readTable(0);
    ASSERT_EQ(root.size(), 4u);
    EXPECT_EQ(nameAt(root[0].first), u"ALPHA");
    EXPECT_EQ(nameAt(root[1].first), u"ZETA");
    EXPECT_EQ(root[2].first, 3u);
    EXPECT_EQ(root[3].first, 14u);
    for (const auto& e : root) EXPECT_TRUE(e.second & 0x80000000u);
    const auto alpha = readTable(root[0].second & 0x7FFFFFFFu);
    ASSERT_EQ(alpha.size(), 3u);
    EXPECT_EQ(nameAt(alpha[0].first), u"A");
    EXPECT_EQ(nameAt(alpha[1].first), u"AB");
    EXPECT_EQ(nameAt(alpha[2].first), u"B");
    const auto three = readTable(root[2].second & 0x7FFFFFFFu);
    const auto languages = readTable(three[0].second & 0x7FFFFFFFu);
    ASSERT_EQ(languages.size(), 2u);
    EXPECT_EQ(languages[0].first, 7u);
    EXPECT_EQ(languages[1].first, 1033u);
    // Data entries hold RVAs of 8-aligned data.
    for (const auto& lang : languages) {
        EXPECT_FALSE(lang.second & 0x80000000u);
        r.seek(lang.second);
        const std::uint32_t rva = r.u32(), size = r.u32();
        EXPECT_EQ((rva - base) % 8, 0u);
        EXPECT_EQ(size, lang.first == 7 ? 4u : 3u);
        EXPECT_EQ(section[rva - base], lang.first == 7 ? 'd' : 'c');
    }
}

TEST(PeChecksum, MatchesTheImageHelpersSum) {
    // The linker filled in the sum; ours must agree.
    const auto fixtures = test::mingwFixtures();
    PAKFORGE_REQUIRE_TOOL(!fixtures.empty(), "i686-w64-mingw32-gcc");
    const auto bytes = test::readFile(fixtures / "hello.exe");
    const auto headers = parseHeaders(bytes);
    ASSERT_NE(headers.checkSum, 0u);
    EXPECT_EQ(computeCheckSum(bytes, headers.checkSumOffset()), headers.checkSum);
}
