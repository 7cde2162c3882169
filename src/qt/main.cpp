// pakforge: the desktop program. The main window, then the About window
// (it reads the main window's update component), then the event loop.
#include "pakforge/Version.h"
#include "qt/AboutWindow.h"
#include "qt/Application.h"
#include "qt/MainWindow.h"
#include "qt/QtSupport.h"
#include "qt/QtVersionCheckUi.h"
#include "ui/UpdateVersionCheck.h"

#include <clocale>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    using namespace pakforge;
    // These answer without a display.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(qt::usageText(), stdout);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
        std::printf("pakforge %s\n", PAKFORGE_VERSION);
        return 0;
    }

    qt::Application app(argc, argv);
    // The build's log shows the time in the user's regional format.
    std::setlocale(LC_TIME, "");

    // Qt has taken its own options out by now.
    std::vector<std::u16string> arguments;
    for (const QString& argument : app.arguments().mid(1)) arguments.push_back(qt::fromQString(argument));

    // The update check's dialogs and hand-over; it outlives the main window's
    // component, which waits for a running check when it goes.
    QtVersionCheckUi updateUi;
    ui::MainFormSettings settings;
    settings.versionCheck = [&updateUi] { return std::make_unique<ui::UpdateVersionCheck>(updateUi); };
    settings.handOver = &updateUi;
    qt::MainWindow mainform(std::move(settings));
    mainform.AfterConstruction(arguments);
    qt::AboutWindow about(*mainform.form().FVersionCheck(), &mainform);
    mainform.setAboutWindow(&about);

    // A command-line build that succeeded ends here, without showing the
    // window; one that failed leaves it open, and the process reports the
    // failure when the user closes it.
    if (mainform.quitRequested()) return 0;
    mainform.show();
    const int status = app.exec();
    mainform.FormDestroy();
    if (mainform.form().commandLineBuildFailed()) return 1;
    return status;
}
