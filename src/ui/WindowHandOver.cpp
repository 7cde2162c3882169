#include "ui/WindowHandOver.h"

namespace pakforge::ui {

void WindowHandOver::Synchronize(const std::function<void()>& call) {
    Pending pending{&call};
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(&pending);
    }
    post();
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return pending.done; });
}

void WindowHandOver::serve() {
    std::unique_lock lock(mutex_);
    while (!held_ && !queue_.empty()) {
        Pending* pending = queue_.front();
        queue_.pop_front();
        lock.unlock();
        (*pending->call)();
        lock.lock();
        pending->done = true;
        done_.notify_all();
    }
}

WindowHandOver::Hold::Hold(WindowHandOver* handOver) : handOver_(handOver) {
    if (!handOver_) return;
    const std::lock_guard lock(handOver_->mutex_);
    handOver_->held_ = true;
}

WindowHandOver::Hold::~Hold() {
    if (!handOver_) return;
    bool waiting = false;
    {
        const std::lock_guard lock(handOver_->mutex_);
        handOver_->held_ = false;
        waiting = !handOver_->queue_.empty();
    }
    // Posted rather than run here, where a failed build's error may still
    // be on its way to the failure box.
    if (waiting) handOver_->post();
}

} // namespace pakforge::ui
