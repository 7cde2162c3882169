// The Win32 message loop's primitives for the shared window machinery:
// posting to the GUI thread through a message-only window, turning the loop
// with input kept or dropped, MessageBoxW and the shell.
#pragma once

#include "ui/Toolkit.h"

#include <windows.h>

namespace pakforge::win32 {

class MessageLoop : public ui::WindowThread {
  public:
    // The GUI thread's, made on first use there; it lives as long as the process.
    static MessageLoop& instance();

    // The window the dialogs belong to while it is visible.
    void setOwner(HWND owner) { owner_ = owner; }

    void post(std::function<void()> fn) override;
    void pump(const std::function<bool()>& finished, ui::Input input) override;
    ui::Answer dialog(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon,
                      ui::Buttons buttons) override;
    bool openWithDesktop(std::u16string_view fileOrUrl) override;

  private:
    MessageLoop();
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND receiver_ = nullptr;
    HWND owner_ = nullptr;
};

} // namespace pakforge::win32
