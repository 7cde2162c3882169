// Version blocks made from arbitrary package properties: any text either
// makes a block that reads back to the same versions and strings, or is
// refused with an exception; never a crash or a block that reads otherwise.
#include "compiler/VersionResource.h"
#include "core/Exceptions.h"
#include "resources/unitResourceVersionInfo.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pakforge;
    // UTF-16LE fields separated by 0: name, version, manufacturer, file name.
    std::vector<std::u16string> fields(1);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0 && fields.size() < 4)
            fields.emplace_back();
        else
            fields.back().push_back(c);
    }
    fields.resize(4);
    const VersionStrings strings{fields[0], fields[1], fields[2], fields[3]};

    std::vector<std::uint8_t> block;
    try {
        block = MakeVersionBlock(strings);
    } catch (const Exception&) {
        return 0; // a version that is no version, or text too long for the format
    }
    const auto parts = ParseProductVersion(strings.productVersion);
    const TVersionInfoBlock read(block);
    const auto fixed = read.FixedFileInfo();
    if (!fixed || fixed->FileVersion() != parts || fixed->ProductVersion() != parts) __builtin_trap();
    if (read.Translations() != std::vector<std::uint32_t>{kNeutralUnicodeTranslation}) __builtin_trap();
    // Text stops at its first 0, as every reader of the format does.
    const auto upToZero = [](const std::u16string& text) { return text.substr(0, text.find(u'\0')); };
    const std::pair<const char16_t*, std::u16string> expected[] = {
        {u"CompanyName", strings.manufacturer},
        {u"ProductName", strings.productName},
        {u"ProductVersion", strings.productVersion},
        {u"OriginalFilename", strings.originalFilename},
    };
    for (const auto& [key, value] : expected)
        if (read.StringValue(key, kNeutralUnicodeTranslation) != upToZero(value)) __builtin_trap();
    return 0;
}
