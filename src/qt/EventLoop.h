// The Qt event loop's primitives for the shared window machinery: posting to
// the GUI thread, turning the loop with input kept or dropped, the dialogs
// and the desktop's handlers.
#pragma once

#include "ui/Toolkit.h"

#include <QObject>

namespace pakforge::qt {

// Swallows every click, key and close request while installed.
class InputBlocker : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    // Counts what was swallowed, so one can see that input was refused.
    int swallowed() const { return swallowed_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    int swallowed_ = 0;
};

class EventLoop : public ui::WindowThread {
  public:
    // The GUI thread's, made on first use there; it lives as long as the process.
    static EventLoop& instance();

    void post(std::function<void()> fn) override;
    void pump(const std::function<bool()>& finished, ui::Input input) override;
    ui::Answer dialog(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon,
                      ui::Buttons buttons) override;
    bool openWithDesktop(std::u16string_view fileOrUrl) override;

    // Swallowed input of the running (or last) pump that dropped it.
    int swallowedInput() const { return swallowed_; }

  private:
    EventLoop() = default;
    QObject receiver_; // lives on the GUI thread
    int swallowed_ = 0;
};

} // namespace pakforge::qt
