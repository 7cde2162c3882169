// pakforge.exe: the desktop program on Windows. The main window, then the
// About window (it reads the main window's update component), then the
// message loop.
#include "ui/MainForm.h"
#include "ui/UpdateVersionCheck.h"
#include "ui/WindowRules.h"
#include "win32/AboutWindow.h"
#include "win32/CommandLine.h"
#include "win32/MainWindow.h"
#include "win32/Win32Support.h"
#include "win32/Win32VersionCheckUi.h"

#include <windows.h>

#include <commctrl.h>

namespace {

class StartUpFailure : public pakforge::ui::View {
  public:
    void messageBox(std::u16string_view caption, std::u16string_view text,
                    pakforge::ui::MessageIcon icon) override {
        pakforge::win32::showMessageBox(nullptr, caption, text, icon);
    }
    bool openWithDesktop(std::u16string_view) override { return false; }
};

int run(int showCommand) {
    using namespace pakforge;
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const win32::GdiPlusSession gdiPlus;
    const win32::Pictures pictures;

    std::vector<std::u16string> arguments = win32::splitCommandLine(win32::utf16(GetCommandLineW()));
    if (!arguments.empty()) arguments.erase(arguments.begin());

    // The update check's dialogs and hand-over; it outlives the main window's
    // component, which waits for a running check when it goes.
    win32::Win32VersionCheckUi updateUi;
    ui::MainFormSettings settings;
    settings.versionCheck = [&updateUi] { return std::make_unique<ui::UpdateVersionCheck>(updateUi); };
    settings.handOver = &updateUi;
    win32::MainWindow mainform(pictures, std::move(settings));
    updateUi.setOwner(mainform.handle());
    mainform.AfterConstruction(arguments);
    win32::AboutWindow about(pictures, *mainform.form().FVersionCheck(), mainform.handle());
    mainform.setAboutWindow(&about);

    // A command-line build that succeeded ends here, without showing the
    // window; one that failed leaves it open, and the process reports the
    // failure when the user closes it.
    if (mainform.quitRequested()) {
        mainform.FormDestroy();
        return 0;
    }
    mainform.show(showCommand);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (about.dialogMessage(message) || mainform.dialogMessage(message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    mainform.FormDestroy();
    if (mainform.form().commandLineBuildFailed()) return 1;
    return static_cast<int>(message.wParam);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    try {
        return run(showCommand);
    } catch (...) {
        // Only start-up itself can fail here; the handlers report their own.
        StartUpFailure view;
        pakforge::ui::showException(view, std::current_exception());
        return 1;
    }
}
