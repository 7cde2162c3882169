// The image checksum of a file read piece by piece, for files too large to
// hold in memory (an executable with an installer appended). Gives what
// computeCheckSum gives on the whole file.
#pragma once

#include <cstdint>
#include <span>

namespace pakforge::pe {

class CheckSumAccumulator {
  public:
    explicit CheckSumAccumulator(std::uint64_t checkSumOffset) : checkSumOffset_(checkSumOffset) {}

    // The next piece of the file; pieces come in order from the file's start.
    void add(std::span<const std::uint8_t> piece);
    std::uint32_t finish() const;

  private:
    std::uint64_t checkSumOffset_;
    std::uint64_t position_ = 0;
    // A sum of 16-bit words folded at the end equals one folded word by word,
    // so low and high bytes can be summed apart, in any piece sizes.
    std::uint64_t lowBytes_ = 0;
    std::uint64_t highBytes_ = 0;
};

} // namespace pakforge::pe
