#include "resources/pe/PeCheckSum.h"

namespace pakforge::pe {

void CheckSumAccumulator::add(std::span<const std::uint8_t> piece) {
    std::uint64_t even = 0;
    std::uint64_t odd = 0;
    const std::size_t n = piece.size();
    // Which of the piece's bytes sit at even file offsets.
    const std::size_t first = position_ % 2;
    std::size_t i = 0;
    for (; i + 1 < n; i += 2) {
        even += piece[i];
        odd += piece[i + 1];
    }
    if (i < n) even += piece[i];
    lowBytes_ += first == 0 ? even : odd;
    highBytes_ += first == 0 ? odd : even;

    // The checksum field itself does not count (two whole words; a field at
    // an odd offset is no word of its own, and the loader's sum skips none).
    if (checkSumOffset_ % 2 == 0)
        for (std::uint64_t at = checkSumOffset_; at < checkSumOffset_ + 4; ++at)
            if (at >= position_ && at < position_ + n) {
                const std::uint8_t b = piece[static_cast<std::size_t>(at - position_)];
                (at % 2 == 0 ? lowBytes_ : highBytes_) -= b;
            }
    position_ += n;
}

std::uint32_t CheckSumAccumulator::finish() const {
    std::uint64_t sum = lowBytes_ + (highBytes_ << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + position_);
}

} // namespace pakforge::pe
