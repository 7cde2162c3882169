// pakforge.exe: the desktop program on Windows. The start-up order is
// ui::runProgram's; this supplies the native windows and the message loop.
#include "ui/CommandLine.h"
#include "ui/StartUp.h"
#include "ui/WindowRules.h"
#include "win32/AboutWindow.h"
#include "win32/MainWindow.h"
#include "win32/MessageLoop.h"
#include "win32/Win32Support.h"

#include <windows.h>

#include <commctrl.h>

namespace {

using namespace pakforge;

class Win32Desktop : public ui::Desktop, public ui::View {
  public:
    explicit Win32Desktop(int showCommand) : showCommand_(showCommand) {}

    ui::WindowThread& windowThread() override { return win32::MessageLoop::instance(); }
    std::unique_ptr<ui::MainWindowBase> createMainWindow(ui::MainFormSettings settings) override {
        auto window = std::make_unique<win32::MainWindow>(pictures_, std::move(settings));
        win32::MessageLoop::instance().setOwner(window->handle());
        main_ = window.get();
        return window;
    }
    std::unique_ptr<ui::AboutView> createAboutWindow(ui::VersionCheck& versionCheck,
                                                     ui::MainWindowBase&) override {
        auto about = std::make_unique<win32::AboutWindow>(pictures_, versionCheck, main_->handle());
        main_->setAboutWindow(about.get());
        about_ = about.get();
        return about;
    }
    int exec(ui::MainWindowBase&) override {
        main_->show(showCommand_);
        MSG message{};
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (about_->dialogMessage(message) || main_->dialogMessage(message)) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        return static_cast<int>(message.wParam);
    }

    // For a failure of start-up itself: a box without an owner.
    void messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) override {
        win32::showMessageBox(nullptr, caption, text, icon);
    }
    bool openWithDesktop(std::u16string_view) override { return false; }

  private:
    const win32::GdiPlusSession gdiPlus_;
    const win32::Pictures pictures_;
    int showCommand_;
    win32::MainWindow* main_ = nullptr;
    win32::AboutWindow* about_ = nullptr;
};

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    Win32Desktop desktop(showCommand);
    std::vector<std::u16string> arguments = ui::splitCommandLine(win32::utf16(GetCommandLineW()));
    if (!arguments.empty()) arguments.erase(arguments.begin());
    try {
        return ui::runProgram(desktop, arguments);
    } catch (...) {
        // Only start-up itself can fail here; the handlers report their own.
        ui::showException(desktop, std::current_exception());
        return 1;
    }
}
