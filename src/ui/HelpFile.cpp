#include "ui/HelpFile.h"

#include "core/Utf16.h"

namespace pakforge::ui {

namespace {

// A link counts when what it names exists; a folder is no help file.
bool isFile(const std::filesystem::path& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    return std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

} // namespace

std::filesystem::path htmlHelpPage(const std::filesystem::path& helpFile, std::u16string_view topic) {
    const auto folder = helpFile.parent_path() / "help";
    return topic.empty() ? folder / "index.html" : folder / pathFromUtf16(topic);
}

void OpenHelpFile(View& view, const std::filesystem::path& helpFile, std::u16string_view topic) {
    if (view.hasHelpViewer()) {
        const std::u16string suffix = topic.empty() ? std::u16string() : u"::" + std::u16string(topic);
        if (isFile(helpFile) && view.startHelpViewer(helpFile, suffix)) return;
        throw Exception("Unable to open help file " + utf16ToUtf8(pathToUtf16(helpFile)));
    }
    if (isFile(helpFile) && view.openWithDesktop(pathToUtf16(helpFile))) return;
    const auto page = htmlHelpPage(helpFile, topic);
    if (isFile(page) && view.openWithDesktop(pathToUtf16(page))) return;
    throw Exception("Unable to open help file " + pathToUtf8(helpFile));
}

} // namespace pakforge::ui
