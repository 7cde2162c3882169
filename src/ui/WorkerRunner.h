// Long work while the window goes on painting but takes no input: the work
// runs on its own thread, the window's thread turns its loop with input
// dropped (serving the work's hand-overs), and what the work throws comes
// out on the window's thread. Progress reports from the work merge while
// the window catches up, so the newest is what gets shown.
#pragma once

#include "ui/Toolkit.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace pakforge::ui {

// What the window shows of a running build.
class BusyDisplay {
  public:
    virtual ~BusyDisplay() = default;
    // Window's thread: the busy cursor and the progress bar, on or off.
    virtual void setBusy(bool busy) = 0;
    // Window's thread: 0..1000.
    virtual void setProgress(int permille) = 0;
};

class WorkerRunner {
  public:
    // Both must outlive this object.
    WorkerRunner(WindowThread& window, BusyDisplay& display);
    ~WorkerRunner();
    WorkerRunner(const WorkerRunner&) = delete;
    WorkerRunner& operator=(const WorkerRunner&) = delete;

    // Window's thread: returns when the work has ended; rethrows what it threw.
    void run(const std::function<void()>& work);
    // Any thread: the newest progress, shown once the window's thread gets
    // to it (calls in between are merged).
    void reportProgress(std::uint64_t done, std::uint64_t total);
    bool running() const { return running_; }

  private:
    WindowThread& window_;
    BusyDisplay& display_;
    bool running_ = false;
    std::atomic<int> permille_{0};
    std::atomic<bool> progressPending_{false};
    // What a post still queued looks at: gone with this object.
    std::shared_ptr<WorkerRunner*> alive_;
};

} // namespace pakforge::ui
