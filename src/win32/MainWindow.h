// The main window as a native Win32 window drawn from the layout table
// (pixels at 96 dots per inch, scaled by the window's density), with the
// shared open-file dialog, the status log and the status bar. What the
// controls do is Tmainform's.
#pragma once

#include "ui/MainWindowBase.h"
#include "win32/Win32Support.h"

#include <windows.h>

namespace pakforge::win32 {

class AboutWindow;

class MainWindow : public ui::MainWindowBase {
  public:
    MainWindow(const Pictures& pictures, ui::MainFormSettings settings);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // The thread's COM apartment, then the form's construction step at the
    // window's density.
    void AfterConstruction(const std::vector<std::u16string>& arguments) override;
    // The form's shut-down, then the end of the COM apartment.
    void FormDestroy() override;

    HWND handle() const { return window_; }
    int dpi() const { return dpi_; }
    void setAboutWindow(AboutWindow* about) { about_ = about; }
    // Centred on the desktop's work area and shown.
    void show(int showCommand);
    // Keyboard navigation between the controls; true when it took the message.
    bool dialogMessage(MSG& message);

    // ui::View
    void messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) override;
    bool openWithDesktop(std::u16string_view fileOrUrl) override;
    bool hasHelpViewer() const override { return true; }
    bool startHelpViewer(const std::filesystem::path& helpFile, std::u16string_view suffix) override;
    // ui::MainView: the fields and labels, the dialog, the log
    void setFieldText(ui::Field field, std::u16string_view text) override;
    std::u16string fieldText(ui::Field field) const override;
    void setLabelText(ui::ProductLabel label, std::u16string_view text) override;
    void showAboutWindow() override;
    bool executeOpenDialog(ui::TOpenDialog& dialog) override;
    void logClear() override;
    int logAdd(std::u16string_view line) override;
    void logRepaint() override;
    void logSetTopIndex(int index) override;
    int logTextWidth(std::u16string_view text) const override;
    int logHorizontalExtent() const override;
    void logSetHorizontalExtent(int pixels) override;

  protected:
    void setBusy(bool busy) override;
    void setProgress(int permille) override;
    void sizesChanged() override;

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void createStatusBar();
    HWND control(int id) const { return GetDlgItem(window_, id); }
    HWND edit(ui::Field field) const;
    HWND progressBar() const;

    const Pictures& pictures_;
    HWND window_ = nullptr;
    int dpi_ = 96;
    std::unique_ptr<Controls> controls_;
    Brush bannerBrush_;
    std::map<int, PictureArea> areas_;
    Icon glyphIcon_;
    Icon bigIcon_, smallIcon_;
    AboutWindow* about_ = nullptr;
    HCURSOR previousCursor_ = nullptr;
    bool comInitialised_ = false;
};

} // namespace pakforge::win32
