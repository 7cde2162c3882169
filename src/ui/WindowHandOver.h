// The update worker's hand-over to the window's thread, with the one rule
// both views keep: a handed-over call (it may open a dialog) never runs
// while a build holds the window, whose loop drops every click and key the
// dialog would need; it waits until the build has ended. A view supplies
// the dialogs, its waiting loop and one primitive of its event loop.
#pragma once

#include "update/VersionCheckUi.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace pakforge::ui {

class WindowHandOver : public TVersionCheckUi {
  public:
    // Worker thread: waits until the window's thread has run call.
    void Synchronize(const std::function<void()>& call) final;
    void WakeUp() final { post(); }

    // Window's thread: while a Hold lives, handed-over calls wait; they run
    // from the event loop once it has gone. Nothing waits for a check
    // (ServeUntil) meanwhile: the held window takes no click that could.
    class Hold {
      public:
        // Null holds nothing.
        explicit Hold(WindowHandOver* handOver);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

      private:
        WindowHandOver* handOver_;
    };

  protected:
    // Any thread: has the window's thread call serve() from its event loop
    // soon, also from a loop that waits (ServeUntil) or drops input.
    virtual void post() = 0;
    // Window's thread: runs the waiting calls, unless held.
    void serve();

  private:
    struct Pending {
        const std::function<void()>* call;
        bool done = false;
    };

    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<Pending*> queue_;
    bool held_ = false;
};

} // namespace pakforge::ui
