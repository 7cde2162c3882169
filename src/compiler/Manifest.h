// The fixed application manifest every built executable carries.
#pragma once

#include <filesystem>
#include <string_view>

namespace pakforge {

// 909 bytes, CR LF between lines, one blank after the last tag, no
// terminator.
extern const std::string_view kManifestText;

// Stores the manifest as resource type 24, id 1, language 0, keeping every
// other resource. True when committed; never raises.
bool WriteManifestResource(const std::filesystem::path& executable) noexcept;

} // namespace pakforge
