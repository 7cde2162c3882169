// Version numbers as a server may answer them: the answer is trimmed and
// compared with the program's own version. The comparison raises only
// EConvertError, never says both sides are newer, and trims idempotently.
#include "core/Utf16.h"
#include "update/getversion.h"
#include "update/getwebdata.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pakforge;
    // The server's bytes up to the first zero, decoded as the worker does;
    // the rest, if any, stands for the program's own version.
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t zero = bytes.find('\0');
    const std::u16string a = utf8ToUtf16(bytes.substr(0, zero));
    std::u16string b = zero == std::string_view::npos ? u"" : utf8ToUtf16(bytes.substr(zero + 1));
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
