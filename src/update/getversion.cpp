#include "update/getversion.h"

#include "core/Utf16.h"
#include "resources/unitResourceVersionInfo.h"
#include "services/OwnVersionBlock.h"

#include <limits>
#include <vector>

namespace pakforge {

namespace {

std::int32_t partToInt(std::u16string_view part) {
    const auto invalid = [&] {
        return EConvertError("'" + utf16ToUtf8(part) + "' is not a valid integer value");
    };
    std::size_t i = 0;
    bool negative = false;
    if (i < part.size() && (part[i] == u'+' || part[i] == u'-')) negative = part[i++] == u'-';
    if (i == part.size()) throw invalid();
    std::int64_t value = 0;
    for (; i < part.size(); ++i) {
        if (part[i] < u'0' || part[i] > u'9') throw invalid();
        value = value * 10 + (part[i] - u'0');
        if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) throw invalid();
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) throw invalid();
    return static_cast<std::int32_t>(value);
}

// The parts carry into each other as the format defines (a x 1,000,000 +
// b x 10,000 + c x 100 + d); summed in 64 bits so that a first part above
// 2147 still compares as the larger number instead of wrapping around.
std::int64_t versionValue(std::u16string_view version) {
    std::vector<std::u16string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t stop = version.find(u'.', start);
        parts.push_back(version.substr(start, stop == std::u16string_view::npos ? std::u16string_view::npos
                                                                                : stop - start));
        if (stop == std::u16string_view::npos) break;
        start = stop + 1;
    }
    if (parts.size() < 4)
        throw EConvertError("'" + utf16ToUtf8(version) + "' is not a version number of four parts");
    return std::int64_t{partToInt(parts[0])} * 1000000 + std::int64_t{partToInt(parts[1])} * 10000 +
           std::int64_t{partToInt(parts[2])} * 100 + partToInt(parts[3]);
}

} // namespace

bool GetVersionInfo(std::span<const std::uint8_t> block, std::u16string& fileVersion,
                    std::u16string& productName, std::u16string& fileDescription) {
    fileVersion.clear();
    productName.clear();
    fileDescription.clear();
    if (block.empty()) return false;
    TVersionInfoBlock info;
    try {
        info = TVersionInfoBlock(block);
    } catch (const EVersionInfoError&) {
        return false;
    }
    // Without a translation there is no table to look in: the block was
    // read, its strings are just not found.
    const auto translations = info.Translations();
    if (translations.empty()) return true;
    const std::u16string table = u"StringFileInfo\\" + TranslationKey(translations.front()) + u"\\";
    if (auto value = info.QueryString(table + u"FileVersion")) fileVersion = *value;
    if (auto value = info.QueryString(table + u"ProductName")) productName = *value;
    if (auto value = info.QueryString(table + u"FileDescription")) fileDescription = *value;
    return true;
}

bool GetVersionInfo(std::u16string& fileVersion, std::u16string& productName,
                    std::u16string& fileDescription) {
    return GetVersionInfo(services::OwnVersionBlock(), fileVersion, productName, fileDescription);
}

bool IsNewerVersion(std::u16string_view candidate, std::u16string_view current) {
    if (candidate.find(u'.') == std::u16string_view::npos) return false;
    if (current.find(u'.') == std::u16string_view::npos) return false;
    const std::int64_t candidateValue = versionValue(candidate);
    return versionValue(current) < candidateValue;
}

} // namespace pakforge
