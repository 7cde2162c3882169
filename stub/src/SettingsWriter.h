// The settings record of Settings.h written from standard types, for the
// build and the tests, and read back into them through the one parser.
#pragma once

#include "Settings.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace stub {

struct SettingsRecord {
    bool log = false;
    bool noRestart = false;
    bool elevate = false;
    UiLevel ui = UiLevel::NotChosen;
    std::u16string logName; // set when log is
    struct Property {
        std::u16string name;
        std::u16string value;
        bool operator==(const Property&) const = default;
    };
    struct Transform {
        std::u16string name;
        std::uint32_t size = 0;
        std::uint32_t crc32 = 0;
        bool operator==(const Transform&) const = default;
    };
    std::vector<Property> properties;
    std::vector<Transform> transforms;
    bool operator==(const SettingsRecord&) const = default;
};

// The record's bytes. Throws std::invalid_argument when the settings break
// a rule of the record, so that nothing the stub would refuse is written.
std::vector<std::uint8_t> writeSettings(const SettingsRecord& settings);

// The record's content, or nothing when it is damaged.
std::optional<SettingsRecord> readSettings(std::span<const std::uint8_t> record);

// The level a word of kUiLevelNames names ("none"), and a level's word.
std::optional<UiLevel> uiLevelOf(std::string_view word);
std::string uiLevelWord(UiLevel level);

// "TRANSFORM1" for the first (index 0).
std::u16string transformResourceName(std::size_t index);

// A log file name from the product's name and version: characters Windows
// does not allow in file names replaced, at most the record's length.
std::u16string logFileName(const std::u16string& productName, const std::u16string& productVersion);

} // namespace stub
