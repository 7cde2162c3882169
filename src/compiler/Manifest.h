// The fixed application manifest every built executable carries.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace pakforge {

// 909 bytes, CR LF between lines, one blank after the last tag, no
// terminator.
extern const std::string_view kManifestText;

// The manifest with requireAdministrator in place of asInvoker, for
// packages whose custom actions need administrator rights.
std::string elevatedManifestText();

// Stores the manifest (the elevated one when asked) as resource type 24,
// id 1, language 0, keeping every other resource. True when committed;
// never raises.
bool WriteManifestResource(const std::filesystem::path& executable, bool elevate = false) noexcept;

} // namespace pakforge
