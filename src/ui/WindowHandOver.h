// The update worker's and the build's hand-over to the window's thread, with
// the one rule both views keep: a check's call (it may open a dialog) never
// runs while a build holds the window, whose loop drops every click and key
// the dialog would need; it waits until the build has ended. The build's
// own calls run meanwhile.
#pragma once

#include "ui/Toolkit.h"
#include "update/VersionCheckUi.h"

#include <memory>
#include <thread>

namespace pakforge::ui {

// The update check's dialogs: caption and icon for each kind.
struct DialogStyle {
    std::u16string_view caption;
    MessageIcon icon;
};
DialogStyle dialogStyle(TMsgDlgType type);

class WindowHandOver : public TQueuedHandOver {
  public:
    // Made on the window's thread; window must outlive it.
    explicit WindowHandOver(WindowThread& window);
    ~WindowHandOver() override;
    WindowHandOver(const WindowHandOver&) = delete;
    WindowHandOver& operator=(const WindowHandOver&) = delete;

    void ServeUntil(const std::function<bool()>& finished) override;
    TModalResult MessageDlg(const std::u16string& text, TMsgDlgType type, TMsgDlgButtons buttons) override;
    void OpenURL(const std::u16string& url) override;

    // Any thread: runs fn on the window's thread, held or not, and waits;
    // rethrows what it threw.
    void runOnWindowThread(const std::function<void()>& fn);

  protected:
    void post() override;

  private:
    WindowThread& window_;
    const std::thread::id windowThread_;
    // What a post still queued looks at: gone with this object.
    std::shared_ptr<WindowHandOver*> alive_;
};

} // namespace pakforge::ui
