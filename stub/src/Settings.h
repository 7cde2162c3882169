// The settings a builder gave the executable (built-in properties, user
// interface level, log, restart, transforms), stored as one small record in
// the executable's resources: RT_RCDATA "SETTINGS", language neutral, the
// transforms beside it as RT_RCDATA "TRANSFORM1", "TRANSFORM2", ...
//
// Layout, little-endian: "PFST", u16 version (1), u16 flags, u8 ui, u8 0,
// u16 property count, u16 transform count, u16 log name length, the log
// name; each property: u16 name length, name, u32 value length, value; each
// transform: u16 name length, name, u32 size, u32 CRC-32. Lengths count
// UTF-16 units; text is UTF-16LE. Nothing may follow the last transform.
//
// The reader is plain C++ without allocation, shared by the stub, the host
// programs and the fuzz target; it checks the whole record once, after which
// the items can be walked without further failure.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace stub {

constexpr uint32_t kSettingsVersion = 1;
constexpr uint32_t kMaxSettingsBytes = 128 * 1024;
constexpr uint32_t kMaxProperties = 256;
constexpr uint32_t kMaxTransforms = 16;
constexpr uint32_t kMaxFileNameUnits = 200;
constexpr uint32_t kMaxPropertyNameUnits = 64;
constexpr uint32_t kMaxPropertyValueUnits = 32767;

enum SettingsFlag : uint16_t { kFlagLog = 1, kFlagNoRestart = 2, kFlagElevate = 4 };

// msiexec's levels; 0 when the builder chose none.
enum class UiLevel : uint8_t { NotChosen = 0, Full, Reduced, Basic, Passive, None };

// UTF-16LE text inside the record.
struct Utf16View {
    const uint8_t* bytes = nullptr;
    uint32_t length = 0; // in units
    uint16_t at(uint32_t i) const { return static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)); }
};

struct Settings {
    const uint8_t* record = nullptr;
    uint32_t size = 0;
    uint16_t flags = 0;
    UiLevel ui = UiLevel::NotChosen;
    uint16_t propertyCount = 0;
    uint16_t transformCount = 0;
    Utf16View logName;
    uint32_t propertiesAt = 0; // offset of the first property
    uint32_t transformsAt = 0; // offset of the first transform
    bool has(SettingsFlag flag) const { return (flags & flag) != 0; }
};

struct Property {
    Utf16View name;
    Utf16View value;
};

struct Transform {
    Utf16View name;
    uint32_t size = 0;
    uint32_t crc32 = 0;
};

// Checks every rule of the record; false on anything damaged, `out` then
// unusable.
bool parseSettings(const uint8_t* record, size_t size, Settings& out);

// The items of a record that parseSettings accepted, by position.
Property propertyAt(const Settings& settings, uint32_t index);
Transform transformAt(const Settings& settings, uint32_t index);

// The rules the record holds its text to.
// Public property names: A-Z, 0-9, '_' and '.', starting with A-Z or '_'.
bool isPublicPropertyName(const Utf16View& name);
// One plain component: no separators, no "..", no control characters and
// nothing else Windows refuses in a file name.
bool isBareFileName(const Utf16View& name);
bool sameTextIgnoringCase(const Utf16View& a, const Utf16View& b);

// Each level's word (as the build's --ui takes it) and msiexec's switch, by
// UiLevel; NotChosen has neither.
struct UiLevelName {
    const wchar_t* word;
    const wchar_t* msiexecSwitch;
};
constexpr UiLevelName kUiLevelNames[] = {{nullptr, nullptr}, {L"full", L"/qf"},         {L"reduced", L"/qr"},
                                         {L"basic", L"/qb"}, {L"passive", L"/passive"}, {L"none", L"/qn"}};

// msiexec's switch for a level ("/qn"), or null for NotChosen.
inline const wchar_t* uiSwitch(UiLevel level) {
    const auto index = static_cast<size_t>(level);
    return index < sizeof kUiLevelNames / sizeof kUiLevelNames[0] ? kUiLevelNames[index].msiexecSwitch
                                                                  : nullptr;
}

} // namespace stub
