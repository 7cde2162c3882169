// The main window drawn with Qt Widgets: every control at its place and size
// (logical pixels at 96 dots per inch), the shared open-file dialog, the
// status log and the status bar. What the controls do is Tmainform's.
#pragma once

#include "qt/BlockingRun.h"
#include "ui/MainForm.h"
#include "ui/View.h"

#include <QWidget>

#include <memory>
#include <vector>

class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace pakforge::qt {

class LogDelegate;

// The most lines the log holds before it starts again; a Qt list takes any
// number, so this stands in for a list control that refuses one.
inline constexpr int kLogCapacity = 100000;

class MainWindow : public QWidget, public ui::MainView {
    Q_OBJECT
  public:
    explicit MainWindow(ui::MainFormSettings settings, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Runs the construction step: the update component, the command line,
    // then the screen-density step with Qt's logical dots per inch.
    void AfterConstruction(const std::vector<std::u16string>& arguments);
    // Called by main before the window goes: the form's shut-down.
    void FormDestroy();

    ui::Tmainform& form() { return *form_; }
    bool quitRequested() const { return quitRequested_; }
    void setAboutWindow(QWidget* about) { about_ = about; }
    BlockingRunner& runner() { return runner_; }
    int logCapacity() const { return logCapacity_; }

    // ui::View
    void messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) override;
    bool openWithDesktop(std::u16string_view fileOrUrl) override;
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

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void createControls();
    void setTabOrder();
    void layoutBottom();
    void handle(void (ui::Tmainform::*handler)());
    QLineEdit* edit(ui::Field field) const;

    BlockingRunner runner_;
    std::unique_ptr<ui::Tmainform> form_;
    QFileDialog* openDialog_ = nullptr;
    QWidget* panel1_ = nullptr;
    QLineEdit* msiedit_ = nullptr;
    QLineEdit* appicon_ = nullptr;
    QLineEdit* exeedit_ = nullptr;
    QLabel* nameLabel_ = nullptr;
    QLabel* manufacturerLabel_ = nullptr;
    QLabel* versionLabel_ = nullptr;
    QPushButton* browseButtons_[3] = {};
    QPushButton* build_ = nullptr;
    QListWidget* statuslist_ = nullptr;
    LogDelegate* logDelegate_ = nullptr;
    QFrame* logBevel_ = nullptr;
    QWidget* statusBar_ = nullptr;
    QFrame* panels_[2] = {};
    QProgressBar* progress_ = nullptr;
    QWidget* about_ = nullptr;
    QSize glyph_{24, 24};
    int statusBarHeight_ = 19;
    int logCapacity_ = kLogCapacity;
    bool quitRequested_ = false;
    bool centred_ = false;
};

} // namespace pakforge::qt
