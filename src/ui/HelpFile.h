// Opening the program's help.
#pragma once

#include "ui/View.h"

#include <filesystem>
#include <string_view>

namespace pakforge::ui {

inline constexpr const char* kHelpFileName = "pakforge.chm";

// The HTML help that is built from the same pages as the compiled file and
// lies beside it: help/index.html, or help/<topic> for a topic.
std::filesystem::path htmlHelpPage(const std::filesystem::path& helpFile, std::u16string_view topic);

// Opens the compiled help file with the system's help viewer where the view
// has one, and nothing else then. Otherwise with the desktop's handler; where
// no program takes it (most Linux desktops have no viewer for it), opens the
// HTML help in the browser instead. Raises "Unable to open help file %s", naming the
// path as passed, only when neither opens.
void OpenHelpFile(View& view, const std::filesystem::path& helpFile, std::u16string_view topic);

} // namespace pakforge::ui
