// What every main window does the same way over its toolkit: the presenter,
// the build's worker runner and hand-over, the sizes that follow the screen's
// density, and the quit request. A view adds its controls (drawn from the
// layout table), the log, the dialogs and the busy display.
#pragma once

#include "ui/Layout.h"
#include "ui/MainForm.h"
#include "ui/WindowHandOver.h"
#include "ui/WorkerRunner.h"

#include <memory>

namespace pakforge::ui {

// The sizes the density step scales, as they are now.
struct DensitySizes {
    int statusBarHeight = kStatusBarHeight;
    int panelWidths[2] = {kStatusPanelWidths[0], kStatusPanelWidths[1]};
    int glyphWidth = kGlyphSize;
    int glyphHeight = kGlyphSize;
};

class MainWindowBase : public MainView, protected BusyDisplay {
  public:
    // window must outlive this object.
    MainWindowBase(WindowThread& window, MainFormSettings settings);
    ~MainWindowBase() override;

    // The construction step with the view's density: the update component,
    // the command line, then the density step.
    virtual void AfterConstruction(const std::vector<std::u16string>& arguments) = 0;
    // The form's shut-down; later calls do nothing.
    virtual void FormDestroy();

    Tmainform& form() { return *form_; }
    bool quitRequested() const { return quitRequested_; }

    int statusBarHeight() const override { return sizes_.statusBarHeight; }
    void setStatusBarHeight(int pixels) override;
    int statusPanelCount() const override { return 2; }
    int statusPanelWidth(int panel) const override { return sizes_.panelWidths[panel]; }
    void setStatusPanelWidth(int panel, int pixels) override;
    int glyphWidth() const override { return sizes_.glyphWidth; }
    void setGlyphWidth(int pixels) override;
    int glyphHeight() const override { return sizes_.glyphHeight; }
    void setGlyphHeight(int pixels) override;
    void runBlocking(const std::function<void()>& work) override;
    void onWindowThread(const std::function<void()>& fn) override;
    void showProgress(std::uint64_t done, std::uint64_t total) override;
    void postQuitRequest() override { quitRequested_ = true; }

  protected:
    // The sizes changed: lay out the status bar, the log and the glyphs again.
    virtual void sizesChanged() = 0;
    const DensitySizes& sizes() const { return sizes_; }
    bool busy() const { return runner_.running(); }
    // Runs a click's handler under the top-level rule.
    void click(const ControlRow& row);

  private:
    std::unique_ptr<WindowHandOver> ownHandOver_; // when the settings bring none
    WindowHandOver* handOver_;
    WorkerRunner runner_;
    DensitySizes sizes_;
    bool quitRequested_ = false;
    std::unique_ptr<Tmainform> form_;
};

} // namespace pakforge::ui
