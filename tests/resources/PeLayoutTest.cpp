// Layouts the loader would refuse: the validator catches each broken rule,
// the writer repairs the two shapes it used to get wrong (raw data past the
// last section's virtual size; an unaligned resource SizeOfRawData), and a
// save whose result the validator refuses writes nothing. Every output is
// checked by our validator, by pefile's warnings and by both readers.
#include "PeFixtures.h"
#include "core/ByteIO.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceUpdate.h"
#include "resources/pe/ResourceWriter.h"
#include "resources/unitNTModule.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

using namespace pakforge;
using namespace pakforge::pe;
using test::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

constexpr std::size_t kVirtualSize = 8, kVirtualAddress = 12, kSizeOfRawData = 16, kPointerToRawData = 20;

// A PE image in memory with setters for the fields the cases change.
struct Editable {
    std::vector<std::uint8_t> bytes;

    PeHeaders headers() const { return parseHeaders(bytes); }
    void section(std::size_t index, std::size_t field, std::uint32_t value) {
        storeLE32(bytes.data() + headers().sectionTableOffset + kSectionHeaderSize * index + field, value);
    }
    void directory(std::uint32_t index, std::uint32_t rva, std::uint32_t size) {
        const auto at = headers().dataDirectoryOffset + 8 * index;
        storeLE32(bytes.data() + at, rva);
        storeLE32(bytes.data() + at + 4, size);
    }
    void optional32(std::size_t offset, std::uint32_t value) {
        storeLE32(bytes.data() + headers().optionalOffset + offset, value);
    }
    void fixCheckSum() {
        const auto at = headers().checkSumOffset();
        storeLE32(bytes.data() + at, computeCheckSum(bytes, at));
    }
};

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

std::vector<std::uint8_t> directoryBytes(const std::vector<std::uint8_t>& bytes, std::uint32_t index) {
    const auto h = parseHeaders(bytes);
    const auto d = h.directory(index);
    const auto& s = h.sections[static_cast<std::size_t>(h.sectionOfRva(d.rva))];
    const auto start = s.pointerToRawData + (d.rva - s.virtualAddress);
    return {bytes.begin() + start, bytes.begin() + start + d.size};
}

void addResource(const std::filesystem::path& file, const std::u16string& name,
                 const std::vector<std::uint8_t>& bytes) {
    TNTModule module;
    module.LoadFromFile(file);
    module.AddResource(
        TResourceDetails::Create<TResourceDetails>(&module, 0, name, u"10", bytes.size(), bytes.data()));
    module.SaveToFile(file);
}

void removeResource(const std::filesystem::path& file, const std::u16string& name) {
    TNTModule module;
    module.LoadFromFile(file);
    for (int i = 0; i < module.ResourceCount(); ++i)
        if (module.ResourceDetails(i)->ResourceName() == name) module.DeleteResource(i);
    module.SaveToFile(file);
}

// .text, .data0, .reloc; the raw data of .reloc, the last section, runs
// 0x2000 bytes past the one page its VirtualSize takes. The loader maps only
// that page, so the image is valid.
std::vector<std::uint8_t> rawDataPastVirtualSize(bool pe32Plus) {
    Editable img{test::makeTinyPe(pe32Plus, 1, false, true)};
    const auto last = img.headers().sections.size() - 1;
    const auto tail = test::randomBytes(0x2000, 21);
    img.bytes.insert(img.bytes.end(), tail.begin(), tail.end());
    img.section(last, kSizeOfRawData, img.headers().sections[last].sizeOfRawData + 0x2000);
    img.fixCheckSum();
    return img.bytes;
}

// The tiny image (.text, .data0, .rsrc, .reloc), optionally with a 50,001
// byte resource BIG, and .rsrc's SizeOfRawData cut to its VirtualSize, which
// is not a multiple of FileAlignment. .reloc stays where it was.
std::vector<std::uint8_t> unalignedResourceRawSize(bool pe32Plus, bool withBig) {
    Editable img{test::makeTinyPe(pe32Plus, 1, true, true)};
    if (withBig) {
        ResourceTree tree;
        const std::string text = "tiny resource";
        tree[ResId::number(10)][ResId::named(u"TINY")][1033].assign(text.begin(), text.end());
        tree[ResId::number(10)][ResId::named(u"BIG")][0] = test::randomBytes(50001, 22);
        img.bytes = replaceResources(img.bytes, tree);
    }
    const auto h = img.headers();
    const auto rsrc = static_cast<std::size_t>(h.sectionOfRva(h.directory(kDirResource).rva));
    img.section(rsrc, kSizeOfRawData, h.sections[rsrc].virtualSize);
    img.fixCheckSum();
    return img.bytes;
}

} // namespace

TEST(PeValidator, CatchesEachBrokenLoaderRule) {
    // The tiny image: .text 0x1000, .data0 0x2000, .rsrc 0x3000, .reloc 0x4000,
    // raw data at 0x200, 0x400, 0x600 and 0x800, FileAlignment 0x200.
    const Editable valid{test::makeTinyPe(false, 1, true, true)};
    ASSERT_THAT(validateLayout(valid.bytes), IsEmpty());
    struct Case {
        const char* rule;
        void (*breakIt)(Editable&);
    };
    const Case cases[] = {
        {"section 3 (.reloc): sections are not contiguous (VirtualAddress 0x5000, expected 0x4000)",
         [](Editable& e) {
             e.section(3, kVirtualAddress, 0x5000), e.directory(kDirBaseReloc, 0x5000, 12);
             e.optional32(56, 0x6000);
         }},
        {"section 3 (.reloc): VirtualAddress 0x4010 not aligned",
         [](Editable& e) { e.section(3, kVirtualAddress, 0x4010), e.directory(kDirBaseReloc, 0x4010, 12); }},
        {"SizeOfImage 0x6000 does not end at the last section (0x5000)",
         [](Editable& e) { e.optional32(56, 0x6000); }},
        {"SizeOfHeaders is not a multiple of FileAlignment", [](Editable& e) { e.optional32(60, 0x1F8); }},
        {"section 3 (.reloc): raw data runs past the end of the file",
         [](Editable& e) { e.bytes.resize(0x900); }},
        {"raw data of two sections overlaps", [](Editable& e) { e.section(1, kSizeOfRawData, 0x400); }},
        {"data directory 6 lies outside every section",
         [](Editable& e) { e.directory(kDirDebug, 0x9000, 28); }},
        {"data directory 6 runs past its section",
         [](Editable& e) { e.directory(kDirDebug, 0x2000, 0x2000); }},
        // .rsrc's raw data reaches 0x4200 in addresses: a reader going by raw
        // size finds the relocations at 0x4000 in .rsrc.
        {"data directory 5 lies in section 3 but the raw data of section 2 covers its address",
         [](Editable& e) {
             e.bytes.insert(e.bytes.begin() + 0x800, 0x1000, 0);
             e.section(2, kSizeOfRawData, 0x1200), e.section(3, kPointerToRawData, 0x1800);
         }},
        {"SectionAlignment below the page size without a matching FileAlignment",
         [](Editable& e) { e.optional32(32, 0x800); }},
        {"section 0 (.text): PointerToRawData differs from VirtualAddress below page alignment",
         [](Editable& e) { e.optional32(32, 0x200); }},
        {"FileAlignment below 512", [](Editable& e) { e.optional32(36, 0x100); }},
        {"CheckSum is wrong", [](Editable& e) { e.bytes[0x450] ^= 1; }},
        {"resource directory: ", [](Editable& e) { storeLE32(e.bytes.data() + 0x600 + 20, 0x80000000u); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        Editable broken = valid;
        c.breakIt(broken);
        EXPECT_THAT(joined(validateLayout(broken.bytes)), HasSubstr(c.rule));
    }
}

TEST(PeLayoutShapes, NewSectionStartsWhereTheLastSectionEndsInMemory) {
    PAKFORGE_REQUIRE_TOOL(test::havePefile(), "python3-pefile");
    TempDir dir;
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        const auto file = dir / "raw-past-virtual.exe";
        const auto original = rawDataPastVirtualSize(plus);
        test::writeFile(file, original);
        ASSERT_THAT(test::layoutProblems(file), IsEmpty());
        const auto before = parseHeaders(original);
        const SectionHeader last = before.sections.back();
        ASSERT_GT(last.sizeOfRawData, alignUp(last.virtualSize, before.sectionAlignment));

        const auto added = test::randomBytes(3000, 23);
        addResource(file, u"NEW", added);

        const auto out = test::readFile(file);
        const auto h = parseHeaders(out);
        ASSERT_EQ(h.sections.size(), before.sections.size() + 1);
        const SectionHeader& rsrc = h.sections.back();
        // Contiguous in memory, and no reader can take its addresses for .reloc's.
        EXPECT_EQ(rsrc.virtualAddress, alignUp(last.virtualAddress + last.virtualSize, h.sectionAlignment));
        EXPECT_EQ(h.rawSectionOfRva(rsrc.virtualAddress), static_cast<int>(h.sections.size() - 1));
        // .reloc's bytes all stay where they were, before the new raw data.
        EXPECT_GE(rsrc.pointerToRawData, last.pointerToRawData + last.sizeOfRawData);
        EXPECT_TRUE(std::equal(original.begin() + last.pointerToRawData, original.end(),
                               out.begin() + last.pointerToRawData));
        EXPECT_EQ(directoryBytes(out, kDirBaseReloc), directoryBytes(original, kDirBaseReloc));
        EXPECT_THAT(test::layoutProblems(file), IsEmpty());
        EXPECT_THAT(test::listWithOurReader(file), ElementsAre("10 NEW 0 3000 " + test::crc32Hex(added)));
        EXPECT_EQ(test::listWithPefile(file), test::listWithOurReader(file));
    }
}

TEST(PeLayoutShapes, SectionsAfterAnUnalignedResourceSectionMoveByWholeUnits) {
    PAKFORGE_REQUIRE_TOOL(test::havePefile(), "python3-pefile");
    TempDir dir;
    for (bool plus : {false, true})
        for (bool grow : {true, false}) {
            SCOPED_TRACE(std::string(plus ? "PE32+" : "PE32") + (grow ? ", growing" : ", shrinking"));
            const auto file = dir / "unaligned-rsrc.exe";
            const auto original = unalignedResourceRawSize(plus, !grow);
            test::writeFile(file, original);
            const auto before = parseHeaders(original);
            const auto problems = validateLayout(original);
            ASSERT_THAT(problems, ElementsAre("section 2 (.rsrc): SizeOfRawData not aligned"));
            const SectionHeader oldReloc = before.sections[3];

            if (grow)
                addResource(file, u"BIG", test::randomBytes(50000, 24));
            else
                removeResource(file, u"BIG");

            const auto out = test::readFile(file);
            const auto h = parseHeaders(out);
            ASSERT_EQ(h.sections.size(), 4u);
            const SectionHeader& rsrc = h.sections[2];
            const SectionHeader& reloc = h.sections[3];
            EXPECT_EQ(rsrc.sizeOfRawData % h.fileAlignment, 0u);
            EXPECT_EQ(reloc.pointerToRawData % h.fileAlignment, 0u);
            EXPECT_EQ(reloc.virtualAddress % h.sectionAlignment, 0u);
            EXPECT_GE(reloc.pointerToRawData, rsrc.pointerToRawData + rsrc.sizeOfRawData);
            if (grow)
                EXPECT_GT(reloc.virtualAddress, oldReloc.virtualAddress);
            else
                EXPECT_LT(reloc.pointerToRawData, oldReloc.pointerToRawData);
            EXPECT_TRUE(std::equal(original.begin() + oldReloc.pointerToRawData,
                                   original.begin() + oldReloc.pointerToRawData + oldReloc.sizeOfRawData,
                                   out.begin() + reloc.pointerToRawData));
            EXPECT_THAT(test::layoutProblems(file), IsEmpty());
            const auto listed = test::listWithOurReader(file);
            EXPECT_EQ(test::listWithPefile(file), listed);
            EXPECT_EQ(listed.size(), grow ? 2u : 1u);
        }
}

TEST(PeLayoutShapes, AnUnalignedResourceSectionLeftBehindIsRoundedUp) {
    // .reloc made writable data the image needs where it is: the resources
    // cannot grow in place and go to a new section instead.
    PAKFORGE_REQUIRE_TOOL(test::havePefile(), "python3-pefile");
    TempDir dir;
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        Editable img{unalignedResourceRawSize(plus, false)};
        img.section(3, 36, 0xC0000040);
        img.directory(kDirBaseReloc, 0, 0);
        img.fixCheckSum();
        const auto file = dir / "left-behind.exe";
        test::writeFile(file, img.bytes);
        const auto before = img.headers();

        addResource(file, u"BIG", test::randomBytes(50000, 26));

        const auto h = parseHeaders(test::readFile(file));
        ASSERT_EQ(h.sections.size(), 5u);
        EXPECT_EQ(h.sections[3].virtualAddress, before.sections[3].virtualAddress);
        EXPECT_EQ(h.sections[2].sizeOfRawData, alignUp(before.sections[2].sizeOfRawData, h.fileAlignment));
        EXPECT_EQ(h.directory(kDirResource).rva, h.sections[4].virtualAddress);
        EXPECT_THAT(test::layoutProblems(file), IsEmpty());
        const auto listed = test::listWithOurReader(file);
        EXPECT_EQ(test::listWithPefile(file), listed);
        EXPECT_EQ(listed.size(), 2u);
    }
}

TEST(PeLayoutGuard, AnImageTheValidatorRefusesIsNeverWritten) {
    // A gap in memory between .text and .data0, which the writer keeps: every
    // save of this file would be refused by the loader.
    Editable img{test::makeTinyPe(false, 1, false)};
    img.section(1, kVirtualAddress, 0x3000), img.section(2, kVirtualAddress, 0x4000);
    img.directory(kDirBaseReloc, 0x4000, 12);
    img.optional32(56, 0x5000);
    ASSERT_THAT(joined(validateLayout(img.bytes)), HasSubstr("sections are not contiguous"));
    TempDir dir;
    const auto file = dir / "gap.exe";
    test::writeFile(file, img.bytes);

    auto expectRefusal = [&](const std::function<void()>& save) {
        try {
            save();
            ADD_FAILURE() << "saved a file the loader would refuse";
        } catch (const EOSError& e) {
            EXPECT_EQ(e.errorCode(), kBadExeFormat);
            EXPECT_THAT(e.message(), HasSubstr("The resources of \"" + file.string() + "\" were not saved"));
            EXPECT_THAT(e.message(),
                        HasSubstr("section 1 (.data0): sections are not contiguous (VirtualAddress 0x3000, "
                                  "expected 0x2000)"));
            EXPECT_THAT(e.message(),
                        HasSubstr("The file is unchanged. The original already breaks the loader's rules"));
        }
        EXPECT_EQ(test::readFile(file), img.bytes);
        // Nothing left beside it either.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    };
    // As the build saves the icon, and as the manifest is written.
    expectRefusal([&] { addResource(file, u"ICON", test::randomBytes(100, 25)); });
    expectRefusal([&] {
        ResourceUpdate update(file, false);
        const std::uint8_t manifest[] = {'<', 'a', '/', '>'};
        update.update(ResId::number(24), ResId::number(1), 0, manifest);
        update.commit();
    });
}
