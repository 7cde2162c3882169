// The About window as a native Win32 window drawn from the layout table;
// its behaviour is TAboutForm's.
#pragma once

#include "ui/AboutForm.h"
#include "ui/View.h"
#include "win32/Win32Support.h"

#include <windows.h>

namespace pakforge::win32 {

class AboutWindow : public ui::AboutView {
  public:
    // Made hidden at start-up, owned by the main window; the update
    // component is the main window's.
    AboutWindow(const Pictures& pictures, ui::VersionCheck& versionCheck, HWND mainWindow);
    ~AboutWindow() override;
    AboutWindow(const AboutWindow&) = delete;
    AboutWindow& operator=(const AboutWindow&) = delete;

    HWND handle() const { return window_; }
    // Over the centre of the main window, not modal.
    void show();
    bool dialogMessage(MSG& message);

    // ui::View
    void messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) override;
    bool openWithDesktop(std::u16string_view fileOrUrl) override;
    // ui::AboutView
    void setVersionLine(std::u16string_view text) override;
    void hideWindow() override;

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void handle(void (ui::TAboutForm::*handler)());

    ui::TAboutForm form_;
    HWND owner_;
    HWND window_ = nullptr;
    std::unique_ptr<Controls> controls_;
    Brush bannerBrush_;
    std::map<int, PictureArea> areas_;
};

} // namespace pakforge::win32
