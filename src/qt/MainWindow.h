// The main window drawn with Qt Widgets from the layout table (logical
// pixels at 96 dots per inch), with the shared open-file dialog, the status
// log and the status bar. What the controls do is Tmainform's.
#pragma once

#include "ui/MainWindowBase.h"

#include <QWidget>

#include <map>

class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;

namespace pakforge::qt {

class LogDelegate;

// The most lines the log holds before it starts again; a Qt list takes any
// number, so this stands in for a list control that refuses one.
inline constexpr int kLogCapacity = 100000;

class MainWindow : public QWidget, public ui::MainWindowBase {
    Q_OBJECT
  public:
    explicit MainWindow(ui::MainFormSettings settings, QWidget* parent = nullptr);
    ~MainWindow() override;

    // With Qt's logical dots per inch.
    void AfterConstruction(const std::vector<std::u16string>& arguments) override;
    void setAboutWindow(QWidget* about) { about_ = about; }
    int logCapacity() const { return kLogCapacity; }
    // Input swallowed while the last build ran.
    int swallowedInput() const;

    // ui::View
    void messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) override;
    bool openWithDesktop(std::u16string_view fileOrUrl) override;
    // ui::MainView: the fields and labels, the dialog, the log
    std::u16string fieldText(ui::Field field) const override;
    void setFieldText(ui::Field field, std::u16string_view text) override;
    void setLabelText(ui::ProductLabel label, std::u16string_view text) override;
    bool executeOpenDialog(ui::TOpenDialog& dialog) override;
    void showAboutWindow() override;
    int logAdd(std::u16string_view line) override;
    void logClear() override;
    int logHorizontalExtent() const override;
    void logSetHorizontalExtent(int pixels) override;
    void logSetTopIndex(int index) override;
    void logRepaint() override;
    int logTextWidth(std::u16string_view text) const override;

  signals:
    // The progress bar's new value (0..1000).
    void progress(int permille);

  protected:
    void showEvent(QShowEvent* event) override;
    void setBusy(bool busy) override;
    void setProgress(int permille) override;
    void sizesChanged() override;

  private:
    void createStatusBar();
    QLineEdit* edit(ui::Field field) const;

    std::map<int, QWidget*> controls_;
    QFileDialog* openDialog_ = nullptr;
    QListWidget* statuslist_ = nullptr;
    LogDelegate* logDelegate_ = nullptr;
    QFrame* logBevel_ = nullptr;
    QWidget* statusBar_ = nullptr;
    QFrame* panels_[2] = {};
    QProgressBar* progress_ = nullptr;
    QWidget* about_ = nullptr;
    bool centred_ = false;
};

} // namespace pakforge::qt
