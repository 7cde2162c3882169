// Running long work while the window goes on painting but takes no input:
// the work runs on its own thread, the window's thread turns its event loop
// with every click, key and close request swallowed, and what the work wants
// shown is handed back to the window's thread.
#pragma once

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>

namespace pakforge::qt {

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

class BlockingRunner : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // Returns when the work has ended; rethrows what it threw.
    void run(const std::function<void()>& work);
    // From any thread: runs fn on the window's thread and waits for it.
    void onWindowThread(const std::function<void()>& fn);
    // From any thread: the newest progress, shown once the window's thread
    // gets to it (calls in between are merged).
    void reportProgress(std::uint64_t done, std::uint64_t total);

    bool running() const { return running_; }
    // Swallowed input of the running (or last) run.
    int swallowedInput() const { return swallowed_; }

  signals:
    void started();
    void progress(int permille);
    void finished();

  private:
    bool running_ = false;
    int swallowed_ = 0;
    std::atomic<int> permille_{0};
    std::atomic<bool> progressPending_{false};
};

} // namespace pakforge::qt
