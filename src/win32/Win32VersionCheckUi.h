// The Windows window's side of the update check: the hand-over's posts
// through a message-only window, MessageBoxW dialogs, and the shell for
// addresses. Create it on the GUI thread; it must outlive the
// TVersionCheck that uses it.
#pragma once

#include "ui/WindowHandOver.h"

#include <windows.h>

namespace pakforge::win32 {

class Win32VersionCheckUi : public ui::WindowHandOver {
  public:
    Win32VersionCheckUi();
    ~Win32VersionCheckUi() override;
    Win32VersionCheckUi(const Win32VersionCheckUi&) = delete;
    Win32VersionCheckUi& operator=(const Win32VersionCheckUi&) = delete;

    // The window the dialogs belong to while it is visible.
    void setOwner(HWND owner) { owner_ = owner; }

    void ServeUntil(const std::function<bool()>& finished) override;
    TModalResult MessageDlg(const std::u16string& text, TMsgDlgType type, TMsgDlgButtons buttons) override;
    void OpenURL(const std::u16string& url) override;

  protected:
    void post() override;

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND receiver_ = nullptr; // message-only, on the GUI thread
    HWND owner_ = nullptr;
};

} // namespace pakforge::win32
