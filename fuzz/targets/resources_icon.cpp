// Icon and cursor files: read, write back, read again. The second read must
// give the same images the first one did.
#include "core/Streams.h"
#include "resources/unitExIcon.h"

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

using namespace pakforge;

void roundTrip(TExIconCursor& first, TExIconCursor& second, const std::uint8_t* data, std::size_t size) {
    MemoryStream in(std::vector<std::uint8_t>(data, data + size));
    try {
        first.LoadFromStream(in);
    } catch (const Exception&) {
        return;
    }
    (void)first.GetPalette();
    MemoryStream out;
    try {
        first.SaveToStream(out);
    } catch (const Exception&) {
        return; // e.g. an image wider than a directory entry can say
    }
    out.setPosition(0);
    second.LoadFromStream(out);
    if (second.ImageCount() != first.ImageCount()) std::abort();
    for (int i = 0; i < first.ImageCount(); ++i) {
        const auto a = first.GetImage(i);
        const auto b = second.GetImage(i);
        if (std::as_const(*a->Data).vector() != std::as_const(*b->Data).vector() || a->IsPng != b->IsPng)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the reader: icon or cursor files.
    if (data[0] & 1) {
        TExCursor first, second;
        roundTrip(first, second, data + 1, size - 1);
    } else {
        TExIcon first, second;
        roundTrip(first, second, data + 1, size - 1);
    }
    return 0;
}
