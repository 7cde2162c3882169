// The settings a builder gives the executable (properties, user interface
// level, log, restart, elevation, transforms), written into its resources
// as the record the stub reads (stub/src/Settings.h).
#pragma once

#include "SettingsWriter.h"

#include <filesystem>
#include <string>
#include <vector>

namespace pakforge {

struct BuiltInSettings {
    std::vector<stub::SettingsRecord::Property> properties;
    std::vector<std::filesystem::path> transforms;
    stub::UiLevel ui = stub::UiLevel::NotChosen;
    bool log = false;
    bool noRestart = false;
    bool elevate = false;
    // False: the build writes no record and the output is what it was
    // before settings existed.
    bool any() const {
        return !properties.empty() || !transforms.empty() || ui != stub::UiLevel::NotChosen || log ||
               noRestart || elevate;
    }
};

inline constexpr char16_t kSettingsResourceName[] = u"SETTINGS";
inline constexpr std::uint16_t kRcDataType = 10;

// True when the file starts with the compound-file signature that every
// transform (and package) has.
bool isCompoundFile(const std::filesystem::path& file);

// Writes the record (type 10, "SETTINGS", language 0, like our other
// resources) and each transform (type 10, "TRANSFORM1", ...), keeping every
// other resource. The log's name comes from the package's ProductName and
// ProductVersion. Raises on failure; the executable is then unchanged.
void WriteSettingsResources(const std::filesystem::path& executable, const std::filesystem::path& package,
                            const BuiltInSettings& settings);

} // namespace pakforge
