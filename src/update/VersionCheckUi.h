// What the update check needs from the program's window: the synchronous
// hand-over to the GUI thread, message dialogs and the desktop's URL
// handler. The Qt window, the Windows window and the command line each
// supply one; the check itself stays free of any toolkit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace pakforge {

enum class TMsgDlgType { mtError, mtInformation, mtConfirmation };
enum TMsgDlgBtn : unsigned { mbYes = 1, mbNo = 2, mbOK = 4 };
using TMsgDlgButtons = unsigned;
enum class TModalResult { mrNone, mrOk, mrYes, mrNo };

class TVersionCheckUi {
  public:
    virtual ~TVersionCheckUi() = default;

    // Worker thread: runs call on the GUI thread and returns once it has run
    // there. call raises nothing.
    virtual void Synchronize(const std::function<void()>& call) = 0;
    // GUI thread: runs handed-over calls until finished() is true. finished
    // is looked at again after every call and after every WakeUp.
    virtual void ServeUntil(const std::function<bool()>& finished) = 0;
    // Any thread: makes a ServeUntil look at its finished() again.
    virtual void WakeUp() = 0;

    // GUI thread: a modal message dialog at the default position; the
    // button chosen.
    virtual TModalResult MessageDlg(const std::u16string& text, TMsgDlgType type, TMsgDlgButtons buttons) = 0;
    // GUI thread: opens an address with the desktop's handler; a failure is
    // not reported.
    virtual void OpenURL(const std::u16string& url) = 0;
};

// The one hand-over between a worker and the thread that serves it: calls
// queue up and run in order on the serving thread, inside ServeUntil (the
// command line, tests) or from a window's event loop (post() below), while
// the worker waits. A Hold keeps the update check's calls waiting (a window
// whose loop drops input cannot show their dialogs); calls queued with
// evenWhenHeld (a build's own) still run.
class TQueuedHandOver : public TVersionCheckUi {
  public:
    void Synchronize(const std::function<void()>& call) override;
    void ServeUntil(const std::function<bool()>& finished) override;
    void WakeUp() override;
    // As ServeUntil, giving up at the deadline; false then.
    bool ServeUntil(const std::function<bool()>& finished, std::chrono::steady_clock::time_point deadline);

    class Hold {
      public:
        // Null holds nothing.
        explicit Hold(TQueuedHandOver* handOver);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

      private:
        TQueuedHandOver* handOver_;
    };

  protected:
    // Any thread: queues call and waits until the serving thread has run it.
    void enqueue(const std::function<void()>& call, bool evenWhenHeld);
    // Any thread: something was queued, released or woken. A window's
    // event loop then has serveWaiting() run soon; ServeUntil needs nothing.
    virtual void post() {}
    // Serving thread: runs the calls that may run now.
    void serveWaiting();

  private:
    struct Pending {
        const std::function<void()>* call;
        bool evenWhenHeld = false;
        bool done = false;
    };
    Pending* nextRunnable();
    void runWaiting(std::unique_lock<std::mutex>& lock);
    bool serve(const std::function<bool()>& finished, const std::chrono::steady_clock::time_point* deadline);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Pending*> queue_;
    bool woken_ = false;
    bool held_ = false;
};

} // namespace pakforge
