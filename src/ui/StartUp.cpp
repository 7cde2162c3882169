#include "ui/StartUp.h"

#include "ui/UpdateVersionCheck.h"

namespace pakforge::ui {

int runProgram(Desktop& desktop, const std::vector<std::u16string>& arguments) {
    // The hand-over outlives the main window's component, which waits for a
    // running check when it goes.
    WindowHandOver handOver(desktop.windowThread());
    MainFormSettings settings;
    settings.versionCheck = [&handOver] { return std::make_unique<UpdateVersionCheck>(handOver); };
    settings.handOver = &handOver;
    const std::unique_ptr<MainWindowBase> mainform = desktop.createMainWindow(std::move(settings));
    mainform->AfterConstruction(arguments);
    const std::unique_ptr<AboutView> about =
        desktop.createAboutWindow(*mainform->form().FVersionCheck(), *mainform);

    // A command-line build that succeeded ends here, without showing the
    // window; one that failed leaves it open, and the process reports the
    // failure when the user closes it.
    int status = 0;
    if (!mainform->quitRequested()) status = desktop.exec(*mainform);
    mainform->FormDestroy();
    return mainform->form().commandLineBuildFailed() ? 1 : status;
}

} // namespace pakforge::ui
