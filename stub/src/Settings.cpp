#include "Settings.h"

namespace stub {
namespace {

constexpr uint32_t kHeaderBytes = 16;

// Reads forward through the record; every read checks the bounds in 64 bits
// and fails once it would run past the end.
class Reader {
  public:
    Reader(const uint8_t* data, uint64_t size, uint64_t at) : data_(data), size_(size), at_(at) {}
    bool u8(uint8_t& out) {
        if (!fits(1)) return false;
        out = data_[at_++];
        return true;
    }
    bool u16(uint16_t& out) {
        if (!fits(2)) return false;
        out = static_cast<uint16_t>(data_[at_] | (data_[at_ + 1] << 8));
        at_ += 2;
        return true;
    }
    bool u32(uint32_t& out) {
        if (!fits(4)) return false;
        out = static_cast<uint32_t>(data_[at_]) | (static_cast<uint32_t>(data_[at_ + 1]) << 8) |
              (static_cast<uint32_t>(data_[at_ + 2]) << 16) | (static_cast<uint32_t>(data_[at_ + 3]) << 24);
        at_ += 4;
        return true;
    }
    bool text(uint32_t units, Utf16View& out) {
        if (!fits(2ull * units)) return false;
        out.bytes = data_ + at_;
        out.length = units;
        at_ += 2ull * units;
        return true;
    }
    uint64_t at() const { return at_; }

  private:
    bool fits(uint64_t n) const { return at_ <= size_ && n <= size_ - at_; }
    const uint8_t* data_;
    uint64_t size_;
    uint64_t at_;
};

uint16_t lowerUnit(uint16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<uint16_t>(c - u'A' + u'a') : c;
}

bool endsWithNoCase(const Utf16View& text, const char* tail, uint32_t tailLength) {
    if (text.length < tailLength) return false;
    for (uint32_t i = 0; i < tailLength; ++i)
        if (lowerUnit(text.at(text.length - tailLength + i)) != static_cast<uint16_t>(tail[i])) return false;
    return true;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, alone or before an extension.
bool isDeviceName(const Utf16View& name) {
    uint32_t stem = 0;
    while (stem < name.length && name.at(stem) != u'.') ++stem;
    char head[5] = {};
    if (stem < 3 || stem > 4) return false;
    for (uint32_t i = 0; i < stem; ++i) {
        const uint16_t c = lowerUnit(name.at(i));
        if (c > 0x7F) return false;
        head[i] = static_cast<char>(c);
    }
    const bool three = stem == 3 && ((head[0] == 'c' && head[1] == 'o' && head[2] == 'n') ||
                                     (head[0] == 'p' && head[1] == 'r' && head[2] == 'n') ||
                                     (head[0] == 'a' && head[1] == 'u' && head[2] == 'x') ||
                                     (head[0] == 'n' && head[1] == 'u' && head[2] == 'l'));
    const bool numbered = stem == 4 && head[3] >= '1' && head[3] <= '9' &&
                          ((head[0] == 'c' && head[1] == 'o' && head[2] == 'm') ||
                           (head[0] == 'l' && head[1] == 'p' && head[2] == 't'));
    return three || numbered;
}

bool readLogName(Reader& in, uint16_t flags, Settings& out) {
    uint16_t length = 0;
    if (!in.u16(length) || length > kMaxFileNameUnits || !in.text(length, out.logName)) return false;
    if (!(flags & kFlagLog)) return length == 0;
    return isBareFileName(out.logName) && endsWithNoCase(out.logName, ".log", 4) && length > 4;
}

// The fields only; checkProperty holds them to the rules.
bool readProperty(Reader& in, Property& out) {
    uint16_t nameLength = 0;
    uint32_t valueLength = 0;
    return in.u16(nameLength) && in.text(nameLength, out.name) && in.u32(valueLength) &&
           in.text(valueLength, out.value);
}

bool checkProperty(const Property& property) {
    if (property.name.length > kMaxPropertyNameUnits || !isPublicPropertyName(property.name) ||
        property.value.length > kMaxPropertyValueUnits)
        return false;
    // A zero would end the command line that carries the value.
    for (uint32_t i = 0; i < property.value.length; ++i)
        if (property.value.at(i) == 0) return false;
    return true;
}

bool readTransform(Reader& in, Transform& out) {
    uint16_t nameLength = 0;
    return in.u16(nameLength) && in.text(nameLength, out.name) && in.u32(out.size) && in.u32(out.crc32);
}

bool checkTransform(const Transform& transform) {
    return transform.name.length <= kMaxFileNameUnits && isBareFileName(transform.name);
}

bool readHeader(Reader& in, Settings& out) {
    uint8_t magic[4] = {};
    for (uint8_t& byte : magic)
        if (!in.u8(byte)) return false;
    uint16_t version = 0;
    uint8_t ui = 0;
    uint8_t reserved = 0;
    if (magic[0] != 'P' || magic[1] != 'F' || magic[2] != 'S' || magic[3] != 'T' || !in.u16(version) ||
        version != kSettingsVersion || !in.u16(out.flags) || !in.u8(ui) || !in.u8(reserved) ||
        !in.u16(out.propertyCount) || !in.u16(out.transformCount))
        return false;
    out.ui = static_cast<UiLevel>(ui);
    return (out.flags & ~(kFlagLog | kFlagNoRestart | kFlagElevate)) == 0 &&
           ui <= static_cast<uint8_t>(UiLevel::None) && reserved == 0 &&
           out.propertyCount <= kMaxProperties && out.transformCount <= kMaxTransforms;
}

} // namespace

bool isPublicPropertyName(const Utf16View& name) {
    if (name.length == 0) return false;
    for (uint32_t i = 0; i < name.length; ++i) {
        const uint16_t c = name.at(i);
        const bool lead = (c >= u'A' && c <= u'Z') || c == u'_';
        const bool rest = (c >= u'0' && c <= u'9') || c == u'.';
        if (!lead && !(i > 0 && rest)) return false;
    }
    return true;
}

bool isBareFileName(const Utf16View& name) {
    if (name.length == 0) return false;
    for (uint32_t i = 0; i < name.length; ++i) {
        const uint16_t c = name.at(i);
        if (c < 0x20 || c == 0x7F || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' ||
            c == u'"' || c == u'<' || c == u'>' || c == u'|')
            return false;
        if (c == u'.' && i + 1 < name.length && name.at(i + 1) == u'.') return false;
    }
    // Windows drops a trailing dot or blank, so the file would get another name.
    const uint16_t last = name.at(name.length - 1);
    return last != u'.' && last != u' ' && !isDeviceName(name);
}

bool sameTextIgnoringCase(const Utf16View& a, const Utf16View& b) {
    if (a.length != b.length) return false;
    for (uint32_t i = 0; i < a.length; ++i)
        if (lowerUnit(a.at(i)) != lowerUnit(b.at(i))) return false;
    return true;
}

bool parseSettings(const uint8_t* record, size_t size, Settings& out) {
    out = Settings();
    if (!record || size < kHeaderBytes || size > kMaxSettingsBytes) return false;
    Reader in(record, size, 0);
    if (!readHeader(in, out) || !readLogName(in, out.flags, out)) return false;
    out.record = record;
    out.size = static_cast<uint32_t>(size);
    out.propertiesAt = static_cast<uint32_t>(in.at());
    for (uint32_t i = 0; i < out.propertyCount; ++i) {
        Property property;
        if (!readProperty(in, property) || !checkProperty(property)) return false;
        // Each name once: which of two would msiexec take?
        Reader earlier(record, size, out.propertiesAt);
        Property other;
        for (uint32_t j = 0; j < i; ++j)
            if (!readProperty(earlier, other) || sameTextIgnoringCase(other.name, property.name))
                return false;
    }
    out.transformsAt = static_cast<uint32_t>(in.at());
    for (uint32_t i = 0; i < out.transformCount; ++i) {
        Transform transform;
        if (!readTransform(in, transform) || !checkTransform(transform)) return false;
        // Each is written to its own file beside the package.
        Reader earlier(record, size, out.transformsAt);
        Transform other;
        for (uint32_t j = 0; j < i; ++j)
            if (!readTransform(earlier, other) || sameTextIgnoringCase(other.name, transform.name))
                return false;
    }
    return in.at() == size;
}

Property propertyAt(const Settings& settings, uint32_t index) {
    Reader in(settings.record, settings.size, settings.propertiesAt);
    Property property;
    for (uint32_t i = 0; i <= index; ++i)
        if (!readProperty(in, property)) return Property();
    return property;
}

Transform transformAt(const Settings& settings, uint32_t index) {
    Reader in(settings.record, settings.size, settings.transformsAt);
    Transform transform;
    for (uint32_t i = 0; i <= index; ++i)
        if (!readTransform(in, transform)) return Transform();
    return transform;
}

} // namespace stub
