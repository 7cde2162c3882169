#include "qt/Application.h"

#include "qt/QtSupport.h"
#include "ui/WindowRules.h"

namespace pakforge::qt {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("pakforge"));
    setDesktopFileName(QStringLiteral("pakforge"));
    setWindowIcon(svgIcon(QStringLiteral("pakforge")));
}

bool Application::notify(QObject* receiver, QEvent* event) {
    // The window's handlers report their own failures; this catches the
    // rest, so that no failure ends the program.
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ui::showException(*this, std::current_exception());
        return false;
    }
}

void Application::messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) {
    showMessageBox(activeWindow(), toQString(caption), toQString(text), icon);
}

bool Application::openWithDesktop(std::u16string_view fileOrUrl) {
    return qt::openWithDesktop(toQString(fileOrUrl));
}

const char* usageText() {
    return "Usage: pakforge [PACKAGE [ICON OUTPUT]]\n"
           "\n"
           "Opens the Pakforge window, which turns a Windows Installer package (.msi)\n"
           "into one Windows executable (.exe) with the icon you pick.\n"
           "\n"
           "With exactly three arguments it builds OUTPUT from PACKAGE and ICON at\n"
           "once and ends without showing the window; if the build fails, its message\n"
           "is shown and the window stays open. With one argument naming an existing\n"
           "file, the window opens with that file as its package, as if picked with\n"
           "its Browse... button. Any other number of arguments opens the window as\n"
           "usual. For scripts, pakforge-cli builds the same without a window.\n"
           "\n"
           "Options:\n"
           "  -h, --help     show this help and exit\n"
           "  -V, --version  show the version and exit\n"
           "\n"
           "Exit status: 0, or 1 when a three-argument build failed.\n";
}

} // namespace pakforge::qt
