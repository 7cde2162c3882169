// Rewriting resources of PE files nobody here wrote (Debian's NSIS stubs,
// mingw-w64 programs and DLLs) and of synthetic layouts: the same resources
// come back in the same order, independent readers agree, and the layout
// passes the loader's rules, also when the section must grow or be added.
#include "PeFixtures.h"
#include "core/ByteIO.h"
#include "core/Utf16.h"
#include "resources/pe/PeImage.h"
#include "resources/unitNTModule.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pakforge;
using pakforge::test::TempDir;
using ::testing::IsEmpty;

namespace {

#define REQUIRE_PATH(path, what) PAKFORGE_REQUIRE_TOOL(!(path).empty(), what)

std::filesystem::path copyInto(const TempDir& dir, const std::filesystem::path& source) {
    const auto copy = dir / source.filename().string();
    std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing);
    return copy;
}

// Load, save, and compare with what was there, through three readers.
void expectRoundTrip(const std::filesystem::path& file) {
    SCOPED_TRACE(file.filename().string());
    const auto before = test::listWithOurReader(file);
    ASSERT_EQ(test::listWithPefile(file), before);      // our reader agrees with pefile on the input
    ASSERT_THAT(test::layoutProblems(file), IsEmpty()); // and our validator accepts what linkers write
    TNTModule module;
    module.LoadFromFile(file);
    ASSERT_EQ(module.ResourceCount(), static_cast<int>(before.size()));
    module.SaveToFile(file);
    const auto after = test::listWithOurReader(file);
    EXPECT_EQ(after, before);
    EXPECT_EQ(test::listWithPefile(file), after);
    EXPECT_EQ(test::listWithWrestool(file), test::reduceForWrestool(after));
    EXPECT_THAT(test::layoutProblems(file), IsEmpty());
}

void addResource(const std::filesystem::path& file, const std::u16string& type, const std::u16string& name,
                 int language, const std::vector<std::uint8_t>& bytes) {
    TNTModule module;
    module.LoadFromFile(file);
    module.AddResource(TResourceDetails::Create<TResourceDetails>(&module, language, name, type, bytes.size(),
                                                                  bytes.data()));
    module.SaveToFile(file);
}

pe::PeHeaders headersOf(const std::filesystem::path& file) {
    return pe::parseHeaders(test::readFile(file));
}

std::vector<std::string> sectionNames(const pe::PeHeaders& h) {
    std::vector<std::string> names;
    for (const auto& s : h.sections) names.push_back(s.nameText());
    return names;
}

std::vector<std::uint8_t> directoryBytes(const std::filesystem::path& file, std::uint32_t index) {
    const auto bytes = test::readFile(file);
    const auto h = pe::parseHeaders(bytes);
    const auto d = h.directory(index);
    const auto& s = h.sections[static_cast<std::size_t>(h.sectionOfRva(d.rva))];
    const auto start = s.pointerToRawData + (d.rva - s.virtualAddress);
    return {bytes.begin() + start, bytes.begin() + start + d.size};
}

bool pefileChecksumOk(const std::filesystem::path& file) {
    std::string out;
    test::runCommand("/usr/bin/python3 -c 'import pefile,sys; p=pefile.PE(sys.argv[1]); "
                     "print(p.OPTIONAL_HEADER.CheckSum == p.generate_checksum())' " +
                         test::shellQuote(file.string()),
                     &out);
    return out.rfind("True", 0) == 0;
}

} // namespace

TEST(PeRoundTrip, NsisStubsPe32AndPe32Plus) {
    const auto stubs = test::nsisStubs();
    PAKFORGE_REQUIRE_TOOL(!stubs.empty(), "the NSIS stubs (nsis)");
    TempDir dir;
    int pe32Plus = 0;
    for (const auto& stub : stubs) {
        const auto file = copyInto(dir, stub);
        if (headersOf(file).pe32Plus) ++pe32Plus;
        expectRoundTrip(file);
    }
    EXPECT_GT(pe32Plus, 0);
}

TEST(PeRoundTrip, MingwProgramsAndDll) {
    const auto fixtures = test::mingwFixtures();
    REQUIRE_PATH(fixtures, "i686-w64-mingw32-gcc");
    TempDir dir;
    for (const char* name : {"hello.exe", "hello-stripped.exe", "library.dll"})
        expectRoundTrip(copyInto(dir, fixtures / name));
}

TEST(PeRoundTrip, MingwPe32PlusProgramAndDll) {
    const auto fixtures = test::mingwFixtures();
    REQUIRE_PATH(fixtures, "i686-w64-mingw32-gcc");
    PAKFORGE_REQUIRE_TOOL(std::filesystem::exists(fixtures / "hello64.exe"), "x86_64-w64-mingw32-gcc");
    TempDir dir;
    for (const char* name : {"hello64.exe", "library64.dll"}) {
        const auto file = copyInto(dir, fixtures / name);
        ASSERT_TRUE(headersOf(file).pe32Plus);
        expectRoundTrip(file);
        // Growing past .reloc and the debug sections works the same way in PE32+.
        const auto big = test::randomBytes(150000, 9);
        addResource(file, u"10", u"BIG", 0, big);
        EXPECT_THAT(test::listWithPefile(file),
                    ::testing::Contains("10 BIG 0 150000 " + test::crc32Hex(big)));
        EXPECT_THAT(test::layoutProblems(file), IsEmpty());
    }
}

TEST(PeRoundTrip, LargeResourceMovesRelocationsAndDebugSections) {
    const auto fixtures = test::mingwFixtures();
    REQUIRE_PATH(fixtures, "i686-w64-mingw32-gcc");
    TempDir dir;
    const auto file = copyInto(dir, fixtures / "hello.exe");
    const auto before = headersOf(file);
    const auto relocs = directoryBytes(file, pe::kDirBaseReloc);
    // Symbol names only: the addresses of symbols in moved sections change.
    const std::string nm = "i686-w64-mingw32-nm " + test::shellQuote(file.string()) + " | awk '{print $NF}'";
    std::string symbols;
    test::runCommand(nm, &symbols);
    ASSERT_FALSE(symbols.empty());
    ASSERT_NE(before.checkSum, 0u);

    const auto big = test::randomBytes(200000, 3);
    addResource(file, u"10", u"BIG", 0, big);

    const auto after = headersOf(file);
    EXPECT_EQ(sectionNames(after), sectionNames(before)); // grown in place, nothing appended
    const int rsrc = after.sectionOfRva(after.directory(pe::kDirResource).rva);
    ASSERT_GE(rsrc, 0);
    EXPECT_EQ(after.sections[rsrc].nameText(), ".rsrc");
    EXPECT_GT(after.sections[rsrc + 1].virtualAddress, before.sections[rsrc + 1].virtualAddress);
    EXPECT_EQ(directoryBytes(file, pe::kDirBaseReloc), relocs);
    std::string symbolsAfter;
    test::runCommand(nm, &symbolsAfter);
    EXPECT_TRUE(symbolsAfter == symbols) << "PointerToSymbolTable lost the symbol table"; // (long output)
    EXPECT_THAT(test::layoutProblems(file), IsEmpty());
    EXPECT_TRUE(pefileChecksumOk(file));
    const auto listed = test::listWithPefile(file);
    EXPECT_THAT(listed, ::testing::Contains("10 BIG 0 200000 " + test::crc32Hex(big)));
    EXPECT_EQ(test::listWithOurReader(file), listed);
}

TEST(PeRoundTrip, FileWithoutResourcesGetsANewSection) {
    const auto fixtures = test::mingwFixtures();
    REQUIRE_PATH(fixtures, "i686-w64-mingw32-gcc");
    TempDir dir;
    const auto file = copyInto(dir, fixtures / "plain.exe");
    const auto before = headersOf(file);
    ASSERT_EQ(before.directory(pe::kDirResource).rva, 0u);
    addResource(file, u"24", u"1", 1033, {'<', 'x', '/', '>'});
    const auto after = headersOf(file);
    ASSERT_EQ(after.sections.size(), before.sections.size() + 1);
    EXPECT_EQ(after.sections.back().nameText(), ".rsrc");
    EXPECT_EQ(after.directory(pe::kDirResource).rva, after.sections.back().virtualAddress);
    EXPECT_EQ(test::listWithPefile(file), test::listWithOurReader(file));
    EXPECT_THAT(test::listWithOurReader(file), ::testing::ElementsAre(::testing::StartsWith("24 1 1033 4 ")));
    EXPECT_THAT(test::layoutProblems(file), IsEmpty());
}

TEST(PeRoundTrip, OverlayIsKept) {
    const auto fixtures = test::mingwFixtures();
    REQUIRE_PATH(fixtures, "i686-w64-mingw32-gcc");
    TempDir dir;
    const auto file = copyInto(dir, fixtures / "hello-stripped.exe");
    const auto overlay = test::randomBytes(5000, 9);
    auto bytes = test::readFile(file);
    bytes.insert(bytes.end(), overlay.begin(), overlay.end());
    test::writeFile(file, bytes);

    addResource(file, u"10", u"BIG", 0, test::randomBytes(100000, 4));
    const auto out = test::readFile(file);
    ASSERT_GT(out.size(), overlay.size());
    EXPECT_TRUE(std::equal(overlay.begin(), overlay.end(), out.end() - overlay.size()));
    EXPECT_THAT(test::layoutProblems(file), IsEmpty());
    expectRoundTrip(file);
    const auto again = test::readFile(file);
    EXPECT_TRUE(std::equal(overlay.begin(), overlay.end(), again.end() - overlay.size()));
}

TEST(PeRoundTrip, CertificateTableIsDroppedCleanly) {
    const auto fixtures = test::mingwFixtures();
    REQUIRE_PATH(fixtures, "i686-w64-mingw32-gcc");
    TempDir dir;
    const auto file = copyInto(dir, fixtures / "hello-stripped.exe");
    {
        // Laid out by us once, so that an unchanged save is recognisable.
        TNTModule module;
        module.LoadFromFile(file);
        module.SaveToFile(file);
    }
    auto bytes = test::readFile(file);
    const auto overlay = test::randomBytes(3000, 5);
    bytes.insert(bytes.end(), overlay.begin(), overlay.end());
    bytes.resize(pe::alignUp(bytes.size(), 8), 0);
    const auto certStart = bytes.size();
    // WIN_CERTIFICATE: length, revision 2.0, PKCS#7 signed data, then the blob.
    std::vector<std::uint8_t> cert;
    ByteWriter w(cert);
    w.u32(8 + 1000), w.u16(0x0200), w.u16(0x0002);
    w.bytes(test::randomBytes(1000, 6));
    bytes.insert(bytes.end(), cert.begin(), cert.end());
    auto h = pe::parseHeaders(bytes);
    storeLE32(bytes.data() + h.dataDirectoryOffset + 8 * pe::kDirSecurity,
              static_cast<std::uint32_t>(certStart));
    storeLE32(bytes.data() + h.dataDirectoryOffset + 8 * pe::kDirSecurity + 4,
              static_cast<std::uint32_t>(cert.size()));
    test::writeFile(file, bytes);
    const auto resources = test::listWithOurReader(file);

    // Unchanged resources: the signed file stays as it is.
    {
        TNTModule module;
        module.LoadFromFile(file);
        module.SaveToFile(file);
        EXPECT_EQ(test::readFile(file), bytes);
    }
    addResource(file, u"10", u"NEW", 0, {1, 2, 3});
    const auto out = test::readFile(file);
    h = pe::parseHeaders(out);
    EXPECT_EQ(h.directory(pe::kDirSecurity).rva, 0u);
    EXPECT_EQ(h.directory(pe::kDirSecurity).size, 0u);
    // The overlay stays at the end (followed only by the padding that preceded the certificate).
    const auto at = std::search(out.begin(), out.end(), overlay.begin(), overlay.end());
    ASSERT_NE(at, out.end());
    EXPECT_LT(out.end() - (at + overlay.size()), 8);
    EXPECT_EQ(std::search(out.begin(), out.end(), cert.begin() + 8, cert.begin() + 64), out.end());
    EXPECT_EQ(test::listWithOurReader(file).size(), resources.size() + 1);
    EXPECT_THAT(test::layoutProblems(file), IsEmpty());
}

TEST(PeRoundTrip, SyntheticLayoutsPe32AndPe32Plus) {
    TempDir dir;
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        // .rsrc followed by .reloc: growth moves .reloc.
        {
            const auto file = dir / "tiny.exe";
            test::writeFile(file, test::makeTinyPe(plus, 1, true, true));
            ASSERT_THAT(test::layoutProblems(file), IsEmpty());
            const auto relocs = directoryBytes(file, pe::kDirBaseReloc);
            addResource(file, u"3", u"1", 1033, test::randomBytes(50000, 1));
            const auto h = headersOf(file);
            EXPECT_EQ(h.sections.size(), 4u); // .text .data0 .rsrc .reloc: grown in place
            EXPECT_EQ(h.sections[3].nameText(), ".reloc");
            EXPECT_GT(h.sections[3].virtualAddress, 0x4000u);
            EXPECT_EQ(h.pe32Plus, plus);
            EXPECT_EQ(directoryBytes(file, pe::kDirBaseReloc), relocs);
            EXPECT_THAT(test::layoutProblems(file), IsEmpty());
            expectRoundTrip(file);
        }
        // A section after .rsrc that must stay where it is: a new section instead.
        {
            const auto file = dir / "fixed.exe";
            auto bytes = test::makeTinyPe(plus, 1, true);
            auto h = pe::parseHeaders(bytes);
            const std::size_t last = h.sectionTableOffset + 40 * (h.sections.size() - 1);
            storeLE32(bytes.data() + last + 36, 0xC0000040); // writable data, not discardable
            storeLE32(bytes.data() + h.dataDirectoryOffset + 8 * pe::kDirBaseReloc, 0);
            storeLE32(bytes.data() + h.dataDirectoryOffset + 8 * pe::kDirBaseReloc + 4, 0);
            test::writeFile(file, bytes);
            addResource(file, u"3", u"1", 1033, test::randomBytes(50000, 1));
            h = headersOf(file);
            ASSERT_EQ(h.sections.size(), 5u);
            EXPECT_EQ(h.sections[3].virtualAddress, 0x4000u); // the fixed section did not move
            EXPECT_EQ(h.sections[4].nameText(), ".rsrc");
            EXPECT_EQ(h.directory(pe::kDirResource).rva, h.sections[4].virtualAddress);
            EXPECT_THAT(test::layoutProblems(file), IsEmpty());
            EXPECT_THAT(test::listWithOurReader(file),
                        ::testing::ElementsAre(::testing::StartsWith("3 1 1033 50000 "),
                                               ::testing::StartsWith("10 TINY 1033 ")));
        }
        // No resources and no room for another section header: raw data shifts.
        {
            const auto file = dir / "full.exe";
            const auto original = test::makeTinyPe(plus, plus ? 2 : 3, false, true);
            test::writeFile(file, original);
            ASSERT_THAT(test::layoutProblems(file), IsEmpty());
            const auto before = headersOf(file);
            ASSERT_GT(before.sectionTableOffset + 40 * (before.sections.size() + 1), before.sizeOfHeaders);
            addResource(file, u"MYTYPE", u"ONE", 0, {'x'});
            const auto h = headersOf(file);
            ASSERT_EQ(h.sections.size(), before.sections.size() + 1);
            EXPECT_GT(h.sizeOfHeaders, before.sizeOfHeaders);
            const auto out = test::readFile(file);
            // Every old section's bytes moved along with its header.
            for (std::size_t i = 0; i < before.sections.size(); ++i)
                EXPECT_TRUE(std::equal(original.begin() + before.sections[i].pointerToRawData,
                                       original.begin() + before.sections[i].pointerToRawData +
                                           before.sections[i].sizeOfRawData,
                                       out.begin() + h.sections[i].pointerToRawData));
            EXPECT_THAT(test::layoutProblems(file), IsEmpty());
            EXPECT_EQ(test::listWithPefile(file), test::listWithOurReader(file));
        }
    }
}

TEST(PeRoundTrip, DebugDirectoryFollowsMovedData) {
    // A debug directory in .data0 naming bytes inside .reloc, which moves.
    auto bytes = test::makeTinyPe(false, 1, true);
    auto h = pe::parseHeaders(bytes);
    const auto data = h.sections[1]; // copies: h is read again below
    const auto reloc = h.sections[3];
    std::uint8_t* entry = bytes.data() + data.pointerToRawData;
    std::fill(entry, entry + 28, 0);
    storeLE32(entry + 12, 2); // IMAGE_DEBUG_TYPE_CODEVIEW
    storeLE32(entry + 16, 8); // SizeOfData
    storeLE32(entry + 20, reloc.virtualAddress + 4);
    storeLE32(entry + 24, reloc.pointerToRawData + 4);
    storeLE32(bytes.data() + h.dataDirectoryOffset + 8 * pe::kDirDebug, data.virtualAddress);
    storeLE32(bytes.data() + h.dataDirectoryOffset + 8 * pe::kDirDebug + 4, 28);
    const std::vector<std::uint8_t> named(bytes.begin() + reloc.pointerToRawData + 4,
                                          bytes.begin() + reloc.pointerToRawData + 12);
    TempDir dir;
    const auto file = dir / "debug.exe";
    test::writeFile(file, bytes);
    addResource(file, u"10", u"BIG", 0, test::randomBytes(40000, 8));

    const auto out = test::readFile(file);
    h = pe::parseHeaders(out);
    ASSERT_GT(h.sections[3].virtualAddress, reloc.virtualAddress);
    const std::uint8_t* moved = out.data() + h.sections[1].pointerToRawData;
    EXPECT_EQ(loadLE32(moved + 20), h.sections[3].virtualAddress + 4);
    EXPECT_EQ(loadLE32(moved + 24), h.sections[3].pointerToRawData + 4);
    EXPECT_TRUE(std::equal(named.begin(), named.end(), out.begin() + loadLE32(moved + 24)));
    EXPECT_THAT(test::layoutProblems(file), IsEmpty());
}

TEST(PeRoundTrip, Pe32PlusStubGrowsAtTheEnd) {
    const auto stubs = test::nsisStubs();
    std::filesystem::path amd64;
    for (const auto& stub : stubs)
        if (stub.filename() == "zlib-amd64-unicode") amd64 = stub;
    REQUIRE_PATH(amd64, "the NSIS amd64 stub");
    TempDir dir;
    const auto file = copyInto(dir, amd64);
    addResource(file, u"3", u"900", 0, test::randomBytes(300000, 2));
    EXPECT_THAT(test::layoutProblems(file), IsEmpty());
    EXPECT_TRUE(headersOf(file).pe32Plus);
    expectRoundTrip(file);
}
