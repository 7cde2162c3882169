// The window side of the check for tests: the queued hand-over served by the
// test's own thread, dialogs recorded and answered from a script, URLs
// recorded instead of opened.
#pragma once

#include "update/VersionCheckUi.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace pakforge::test {

class FakeVersionCheckUi : public TQueuedHandOver {
  public:
    struct Dialog {
        std::u16string text;
        TMsgDlgType type;
        TMsgDlgButtons buttons;
        bool duringWait;        // shown while the check waited for a worker
        std::thread::id thread; // where it ran
    };

    void ServeUntil(const std::function<bool()>& finished) override {
        const bool outer = waiting;
        waiting = true;
        // A fault that never finishes must not hang the suite for ctest's
        // whole time-out.
        if (!TQueuedHandOver::ServeUntil(finished,
                                         std::chrono::steady_clock::now() + std::chrono::seconds(60))) {
            std::fputs("FakeVersionCheckUi: the worker did not finish within 60 s\n", stderr);
            std::abort();
        }
        waiting = outer;
    }

    TModalResult MessageDlg(const std::u16string& text, TMsgDlgType type, TMsgDlgButtons buttons) override {
        dialogs.push_back({text, type, buttons, waiting, std::this_thread::get_id()});
        events.push_back("dialog");
        return (buttons & mbYes) ? answer : TModalResult::mrOk;
    }
    void OpenURL(const std::u16string& url) override { opened.push_back(url); }

    TModalResult answer = TModalResult::mrNo; // for Yes/No dialogs
    std::vector<Dialog> dialogs;
    std::vector<std::u16string> opened;
    std::vector<std::string> events; // dialogs and the tests' own marks, in order
    bool waiting = false;
};

} // namespace pakforge::test
