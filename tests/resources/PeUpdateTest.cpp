// The update API on its own, as the manifest writer uses it: keeping the
// file's resources, replacing one identity, removing one, discarding.
#include "PeFixtures.h"
#include "core/ByteIO.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceUpdate.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pakforge;
using namespace pakforge::pe;
using test::TempDir;
using ::testing::ElementsAre;
using ::testing::StartsWith;

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

TEST(PeUpdate, KeepingExistingResourcesReplacingAndRemoving) {
    TempDir dir;
    const auto file = dir / "tiny.exe";
    test::writeFile(file, test::makeTinyPe(false, 1, true));
    {
        ResourceUpdate update(file, false);
        const std::string manifest = "<assembly/>";
        update.update(ResId::number(24), ResId::number(1), 0, bytesOf("first"));
        update.update(ResId::number(24), ResId::number(1), 0, bytesOf(manifest)); // replaces
        update.update(ResId::number(6), ResId::number(1), 0, bytesOf("gone"));
        update.update(ResId::number(6), ResId::number(1), 0, {}); // removes again
        update.commit();
    }
    EXPECT_THAT(test::listWithOurReader(file),
                ElementsAre(StartsWith("10 TINY 1033 13 "), StartsWith("24 1 0 11 ")));
    EXPECT_THAT(test::layoutProblems(file), ::testing::IsEmpty());
    {
        ResourceUpdate update(file, false);
        update.update(ResId::number(10), ResId::named(u"TINY"), 1033, {}); // removes an existing one
        update.commit();
    }
    EXPECT_THAT(test::listWithOurReader(file), ElementsAre(StartsWith("24 1 0 11 ")));
}

TEST(PeUpdate, DiscardLeavesTheFileAndCommitIsOnce) {
    TempDir dir;
    const auto file = dir / "tiny.exe";
    const auto original = test::makeTinyPe(true, 1, true);
    test::writeFile(file, original);
    {
        ResourceUpdate update(file, true);
        update.update(ResId::number(3), ResId::number(1), 0, bytesOf("never written"));
    }
    EXPECT_EQ(test::readFile(file), original);
    ResourceUpdate update(file, true);
    update.commit();
    EXPECT_THROW(update.commit(), Exception);
    EXPECT_TRUE(test::listWithOurReader(file).empty());
}

TEST(PeUpdate, RefusesFilesItCannotEdit) {
    TempDir dir;
    test::writeText(dir / "notes.txt", "just text");
    EXPECT_THROW(ResourceUpdate(dir / "notes.txt", true), EOSError);
    try {
        ResourceUpdate(dir / "missing.exe", true);
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.errorCode(), 2);
    }
    // Raw data inside the headers: readable, but not safely editable.
    auto bytes = test::makeTinyPe(false, 1, true);
    auto h = parseHeaders(bytes);
    storeLE32(bytes.data() + h.sectionTableOffset + 20, 0x100);
    test::writeFile(dir / "odd.exe", bytes);
    EXPECT_THROW(ResourceUpdate(dir / "odd.exe", true), EOSError);
}

TEST(PeUpdate, LargeAndSmallCopiesInterleavedReadBackWhole) {
    // Copied bytes share blocks: a copy larger than a block must not take the
    // place of the block that small copies are still filling.
    TempDir dir;
    const auto file = dir / "tiny.exe";
    test::writeFile(file, test::makeTinyPe(false, 1, false));
    std::vector<std::vector<std::uint8_t>> payloads;
    for (std::uint32_t i = 0; i < 12; ++i) {
        const std::size_t size = (i % 4 == 1) ? 300000 + i * 1000 : 100 + i * 37;
        payloads.push_back(test::randomBytes(size, 40 + i));
    }
    {
        ResourceUpdate update(file, true);
        for (std::size_t i = 0; i < payloads.size(); ++i) {
            // Copied from a buffer that is overwritten right after, so only the
            // update's own copy can hold the right bytes.
            auto scratch = payloads[i];
            update.update(ResId::number(10), ResId::number(static_cast<std::uint16_t>(i + 1)), 0, scratch);
            std::fill(scratch.begin(), scratch.end(), 0xEE);
        }
        update.commit();
    }
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < payloads.size(); ++i)
        expected.push_back("10 " + std::to_string(i + 1) + " 0 " + std::to_string(payloads[i].size()) + " " +
                           test::crc32Hex(payloads[i]));
    EXPECT_EQ(test::listWithOurReader(file), expected);
    EXPECT_THAT(test::layoutProblems(file), ::testing::IsEmpty());
}
