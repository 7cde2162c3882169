// The main window as a native Win32 window: every control at its place and
// size (pixels at 96 dots per inch, scaled by the window's density), the
// shared open-file dialog, the status log and the status bar. What the
// controls do is Tmainform's.
#pragma once

#include "ui/MainForm.h"
#include "ui/View.h"
#include "win32/Win32Support.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

namespace pakforge::win32 {

class AboutWindow;

// Control ids of the main window, named after its controls.
namespace mainids {
enum : int {
    Panel1 = 100,
    Image1,
    Label3,
    Label5,
    Label1,
    msiedit,
    browsemsi,
    Label4,
    appicon,
    browseico,
    Label2,
    exeedit,
    browseexe,
    nameLabel,
    manufacturerLabel,
    versionLabel,
    Button1,
    statuslist,
    StatusBevel,
    StatusBar,
    BuildProgress,
};
} // namespace mainids

class MainWindow : public ui::MainView {
  public:
    MainWindow(const Pictures& pictures, ui::MainFormSettings settings);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // The construction step: the thread's COM apartment, then the form's
    // (the update component, the command line, the screen-density step).
    void AfterConstruction(const std::vector<std::u16string>& arguments);
    // The form's shut-down, then the end of the COM apartment.
    void FormDestroy();

    HWND handle() const { return window_; }
    int dpi() const { return dpi_; }
    ui::Tmainform& form() { return *form_; }
    bool quitRequested() const { return quitRequested_; }
    void setAboutWindow(AboutWindow* about) { about_ = about; }
    // Centred on the desktop's work area and shown.
    void show(int showCommand);
    // Keyboard navigation between the controls; true when it took the message.
    bool dialogMessage(MSG& message);
    bool busy() const { return busy_; }

    // ui::View
    void messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) override;
    bool openWithDesktop(std::u16string_view fileOrUrl) override;
    bool hasHelpViewer() const override { return true; }
    bool startHelpViewer(const std::filesystem::path& helpFile, std::u16string_view suffix) override;
    // ui::MainView
    std::u16string fieldText(ui::Field field) const override;
    void setFieldText(ui::Field field, std::u16string_view text) override;
    void setLabelText(ui::ProductLabel label, std::u16string_view text) override;
    bool executeOpenDialog(ui::TOpenDialog& dialog) override;
    void logClear() override;
    int logAdd(std::u16string_view line) override;
    void logSetTopIndex(int index) override;
    int logHorizontalExtent() const override;
    void logSetHorizontalExtent(int pixels) override;
    int logTextWidth(std::u16string_view text) const override;
    void logRepaint() override;
    int statusBarHeight() const override;
    void setStatusBarHeight(int pixels) override;
    int statusPanelCount() const override;
    int statusPanelWidth(int panel) const override;
    void setStatusPanelWidth(int panel, int pixels) override;
    int glyphWidth() const override;
    void setGlyphWidth(int pixels) override;
    int glyphHeight() const override;
    void setGlyphHeight(int pixels) override;
    void runBlocking(const std::function<void()>& work) override;
    void onWindowThread(const std::function<void()>& fn) override;
    void showProgress(std::uint64_t done, std::uint64_t total) override;
    void showAboutWindow() override;
    void postQuitRequest() override;

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void createControls();
    HWND label(int id, const wchar_t* text, int left, int top, HFONT font);
    void setLabel(HWND label, std::wstring_view text);
    void layoutBottom();
    void updateGlyphs();
    void command(int id, int code);
    void handle(void (ui::Tmainform::*handler)());
    HWND control(int id) const { return GetDlgItem(window_, id); }
    HWND edit(ui::Field field) const;
    HWND boxOwner() const;

    const Pictures& pictures_;
    std::unique_ptr<ui::Tmainform> form_;
    HWND window_ = nullptr;
    DWORD windowThread_ = 0;
    int dpi_ = 96;
    Font font_, editFont_, buttonFont_, buildFont_, linkFont_;
    Brush bannerBrush_, editBrush_;
    PictureArea panelArea_, bannerArea_;
    Icon glyphIcon_;
    Icon bigIcon_, smallIcon_;
    int glyphWidth_ = 24, glyphHeight_ = 24;
    int statusBarHeight_ = 19;
    int panelWidths_[2] = {300, 100};
    AboutWindow* about_ = nullptr;
    bool comInitialised_ = false;
    bool quitRequested_ = false;
    bool busy_ = false;
    std::atomic<int> permille_{0};
    std::atomic<bool> progressPending_{false};
};

} // namespace pakforge::win32
