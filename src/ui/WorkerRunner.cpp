#include "ui/WorkerRunner.h"

#include <exception>
#include <thread>

namespace pakforge::ui {

WorkerRunner::WorkerRunner(WindowThread& window, BusyDisplay& display)
    : window_(window), display_(display), alive_(std::make_shared<WorkerRunner*>(this)) {}

WorkerRunner::~WorkerRunner() = default;

void WorkerRunner::run(const std::function<void()>& work) {
    permille_ = 0;
    running_ = true;
    display_.setBusy(true);
    std::exception_ptr error;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
        // Wakes the loop, which then sees done.
        window_.post([] {});
    });
    window_.pump([&] { return done.load(); }, Input::drop);
    worker.join();
    // The loop may stop before it reaches the last report posted: the
    // display ends on the newest value all the same.
    if (progressPending_.exchange(false)) display_.setProgress(permille_);
    running_ = false;
    display_.setBusy(false);
    if (error) std::rethrow_exception(error);
}

void WorkerRunner::reportProgress(std::uint64_t done, std::uint64_t total) {
    permille_ = total == 0 ? 1000 : static_cast<int>(done * 1000 / total);
    if (progressPending_.exchange(true)) return;
    window_.post([alive = std::weak_ptr<WorkerRunner*>(alive_)] {
        const auto self = alive.lock();
        if (!self) return;
        (*self)->progressPending_ = false;
        (*self)->display_.setProgress((*self)->permille_);
    });
}

} // namespace pakforge::ui
