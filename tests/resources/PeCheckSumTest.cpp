// The piecewise checksum gives the whole-file one, whatever the pieces.
#include "resources/pe/PeCheckSum.h"
#include "resources/pe/PeImage.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <random>

using namespace pakforge;

TEST(PeCheckSum, PiecesInAnySizesGiveTheWholeFileChecksum) {
    std::mt19937 random(7);
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, std::size_t{215}, std::size_t{4096}, std::size_t{100001}}) {
        auto file = test::randomBytes(size, static_cast<std::uint32_t>(size));
        // Runs of 0xFF drive the folded sum through its carries.
        for (std::size_t i = 0; i < size / 3; ++i) file[i] = 0xFF;
        for (const std::uint32_t offset : {0u, 1u, 88u, 4093u}) {
            const std::uint32_t expected = pe::computeCheckSum(file, offset);
            for (int trial = 0; trial < 5; ++trial) {
                pe::CheckSumAccumulator sum(offset);
                std::size_t at = 0;
                while (at < size) {
                    const std::size_t n = std::min<std::size_t>(size - at, 1 + random() % 700);
                    sum.add({file.data() + at, n});
                    at += n;
                }
                EXPECT_EQ(sum.finish(), expected) << size << " bytes, field at " << offset;
            }
        }
    }
}
