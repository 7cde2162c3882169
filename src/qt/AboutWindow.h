// The About window drawn with Qt Widgets from the layout table; its
// behaviour is TAboutForm's.
#pragma once

#include "ui/AboutForm.h"
#include "ui/View.h"

#include <QDialog>

#include <map>

namespace pakforge::qt {

class AboutWindow : public QDialog, public ui::AboutView {
    Q_OBJECT
  public:
    // Made hidden at start-up; the update component is the main window's.
    explicit AboutWindow(ui::VersionCheck& versionCheck, QWidget* mainWindow = nullptr);

    // ui::View
    void messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) override;
    bool openWithDesktop(std::u16string_view fileOrUrl) override;
    // ui::AboutView
    void setVersionLine(std::u16string_view text) override;
    void hideWindow() override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    ui::TAboutForm form_;
    std::map<int, QWidget*> controls_;
};

} // namespace pakforge::qt
