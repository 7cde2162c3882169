#include "SettingsWriter.h"

#include <cwchar>
#include <stdexcept>

namespace stub {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void putText(std::vector<std::uint8_t>& out, const std::u16string& text) {
    for (const char16_t unit : text) put16(out, unit);
}

std::u16string fromView(const Utf16View& view) {
    std::u16string text;
    for (std::uint32_t i = 0; i < view.length; ++i) text.push_back(static_cast<char16_t>(view.at(i)));
    return text;
}

std::uint16_t flagsOf(const SettingsRecord& s) {
    return static_cast<std::uint16_t>((s.log ? kFlagLog : 0) | (s.noRestart ? kFlagNoRestart : 0) |
                                      (s.elevate ? kFlagElevate : 0));
}

} // namespace

std::vector<std::uint8_t> writeSettings(const SettingsRecord& s) {
    if (s.properties.size() > kMaxProperties || s.transforms.size() > kMaxTransforms ||
        s.logName.size() > kMaxFileNameUnits)
        throw std::invalid_argument("too many settings");
    std::vector<std::uint8_t> out = {'P', 'F', 'S', 'T'};
    put16(out, kSettingsVersion);
    put16(out, flagsOf(s));
    out.push_back(static_cast<std::uint8_t>(s.ui));
    out.push_back(0);
    put16(out, static_cast<std::uint32_t>(s.properties.size()));
    put16(out, static_cast<std::uint32_t>(s.transforms.size()));
    put16(out, static_cast<std::uint32_t>(s.logName.size()));
    putText(out, s.logName);
    for (const auto& property : s.properties) {
        if (property.name.size() > 0xFFFF || property.value.size() > kMaxPropertyValueUnits)
            throw std::invalid_argument("property too long");
        put16(out, static_cast<std::uint32_t>(property.name.size()));
        putText(out, property.name);
        put32(out, static_cast<std::uint32_t>(property.value.size()));
        putText(out, property.value);
    }
    for (const auto& transform : s.transforms) {
        if (transform.name.size() > 0xFFFF) throw std::invalid_argument("transform name too long");
        put16(out, static_cast<std::uint32_t>(transform.name.size()));
        putText(out, transform.name);
        put32(out, transform.size);
        put32(out, transform.crc32);
    }
    // The stub's own parser is the judge of what may be written.
    Settings parsed;
    if (!parseSettings(out.data(), out.size(), parsed))
        throw std::invalid_argument("the settings break a rule of the record");
    return out;
}

std::optional<SettingsRecord> readSettings(std::span<const std::uint8_t> record) {
    Settings parsed;
    if (!parseSettings(record.data(), record.size(), parsed)) return std::nullopt;
    SettingsRecord s;
    s.log = parsed.has(kFlagLog);
    s.noRestart = parsed.has(kFlagNoRestart);
    s.elevate = parsed.has(kFlagElevate);
    s.ui = parsed.ui;
    s.logName = fromView(parsed.logName);
    for (std::uint32_t i = 0; i < parsed.propertyCount; ++i) {
        const Property p = propertyAt(parsed, i);
        s.properties.push_back({fromView(p.name), fromView(p.value)});
    }
    for (std::uint32_t i = 0; i < parsed.transformCount; ++i) {
        const Transform t = transformAt(parsed, i);
        s.transforms.push_back({fromView(t.name), t.size, t.crc32});
    }
    return s;
}

std::u16string transformResourceName(std::size_t index) {
    std::u16string name = u"TRANSFORM";
    for (const char c : std::to_string(index + 1)) name.push_back(static_cast<char16_t>(c));
    return name;
}

std::string uiLevelWord(UiLevel level) {
    const wchar_t* word = kUiLevelNames[static_cast<size_t>(level)].word;
    return word ? std::string(word, word + std::wcslen(word)) : std::string();
}

std::optional<UiLevel> uiLevelOf(std::string_view word) {
    for (size_t i = 1; i < sizeof kUiLevelNames / sizeof kUiLevelNames[0]; ++i)
        if (uiLevelWord(static_cast<UiLevel>(i)) == word) return static_cast<UiLevel>(i);
    return std::nullopt;
}

std::u16string logFileName(const std::u16string& productName, const std::u16string& productVersion) {
    std::u16string stem = productName.empty() ? u"Setup" : productName;
    if (!productVersion.empty()) stem += u" " + productVersion;
    for (char16_t& c : stem) {
        if (c < 0x20 || c == 0x7F || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' ||
            c == u'"' || c == u'<' || c == u'>' || c == u'|')
            c = u'_';
    }
    // Room for ".log"; a surrogate pair is not cut in half.
    constexpr std::size_t kStem = kMaxFileNameUnits - 4;
    if (stem.size() > kStem) {
        stem.resize(kStem);
        if (stem.back() >= 0xD800 && stem.back() <= 0xDBFF) stem.pop_back();
    }
    // "..", a trailing dot or blank, or a device name would be refused.
    for (std::size_t at = stem.find(u".."); at != std::u16string::npos; at = stem.find(u"..", at))
        stem[at] = u'_';
    while (!stem.empty() && (stem.back() == u'.' || stem.back() == u' ')) stem.back() = u'_';
    std::u16string name = stem + u".log";
    Utf16View view;
    std::vector<std::uint8_t> bytes;
    putText(bytes, name);
    view.bytes = bytes.data();
    view.length = static_cast<std::uint32_t>(name.size());
    return isBareFileName(view) ? name : u"Setup " + name;
}

} // namespace stub
