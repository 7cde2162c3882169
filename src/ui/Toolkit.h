// The few things the shared window machinery needs from a toolkit's event
// loop and dialogs. Each view (Qt, Win32) implements them once; the update
// check's hand-over, the build's worker runner and the start-up are written
// over them here.
#pragma once

#include "ui/View.h"

#include <functional>
#include <string_view>

namespace pakforge::ui {

enum class Input { keep, drop };
enum class Buttons { ok, yesNo };
enum class Answer { none, ok, yes, no };

class WindowThread {
  public:
    virtual ~WindowThread() = default;

    // Any thread: fn runs on the window's thread soon, from whatever loop
    // turns there (pump's included).
    virtual void post(std::function<void()> fn) = 0;
    // Window's thread: turns the event loop until finished(), looked at after
    // every event. Input::keep leaves clicks and keys queued for later (the
    // click that waits must not start another check or close the window
    // under it); Input::drop swallows them and refuses close requests. A quit
    // request meanwhile is kept for the main loop. A dialog shown meanwhile
    // runs its own loop and takes input as usual.
    virtual void pump(const std::function<bool()>& finished, Input input) = 0;
    // A modal box at the default place; the button chosen.
    virtual Answer dialog(std::u16string_view caption, std::u16string_view text, MessageIcon icon,
                          Buttons buttons) = 0;
    virtual bool openWithDesktop(std::u16string_view fileOrUrl) = 0;
};

} // namespace pakforge::ui
