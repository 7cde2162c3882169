// Version numbers as a server may answer them: the answer is trimmed and
// compared with the program's own version. The comparison raises only
// EConvertError, never says both sides are newer, and trims idempotently.
#include "update/getversion.h"
#include "update/getwebdata.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pakforge;
    // Two strings split at the first zero byte; each byte one character.
    std::u16string a, b;
    std::size_t i = 0;
    for (; i < size && data[i] != 0; ++i) a.push_back(data[i]);
    for (++i; i < size; ++i) b.push_back(data[i]);
    if (b.empty()) b = u"3.3.0.0";

    const std::u16string trimmed = TrimControls(a);
    if (TrimControls(trimmed) != trimmed) std::abort();
    try {
        const bool newer = IsNewerVersion(trimmed, b);
        const bool older = IsNewerVersion(b, trimmed);
        if (newer && older) std::abort();
    } catch (const EConvertError&) {
    }
    return 0;
}
