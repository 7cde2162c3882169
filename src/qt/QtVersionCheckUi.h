// The Qt window's side of the update check: the hand-over's posts through
// the event loop, QMessageBox dialogs, and QDesktopServices for URLs.
// Create it on the GUI thread; it must outlive the TVersionCheck that uses it.
#pragma once

#include "ui/WindowHandOver.h"

#include <QObject>
#include <QWidget>

#include <memory>

namespace pakforge {

class QtVersionCheckUi : public ui::WindowHandOver {
  public:
    // Dialogs are centred on parent when given, else on the screen.
    explicit QtVersionCheckUi(QWidget* parent = nullptr);
    ~QtVersionCheckUi() override;

    void ServeUntil(const std::function<bool()>& finished) override;
    TModalResult MessageDlg(const std::u16string& text, TMsgDlgType type, TMsgDlgButtons buttons) override;
    void OpenURL(const std::u16string& url) override;

  protected:
    void post() override;

  private:
    std::unique_ptr<QObject> receiver_; // lives on the GUI thread
    QWidget* parent_;
};

} // namespace pakforge
