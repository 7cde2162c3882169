#include "update/VersionCheckUi.h"

namespace pakforge {

void TQueuedHandOver::Synchronize(const std::function<void()>& call) {
    enqueue(call, false);
}

void TQueuedHandOver::enqueue(const std::function<void()>& call, bool evenWhenHeld) {
    Pending pending{&call, evenWhenHeld};
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(&pending);
        changed_.notify_all();
    }
    post();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pending.done; });
}

TQueuedHandOver::Pending* TQueuedHandOver::nextRunnable() {
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (held_ && !(*it)->evenWhenHeld) continue;
        Pending* pending = *it;
        queue_.erase(it);
        return pending;
    }
    return nullptr;
}

void TQueuedHandOver::runWaiting(std::unique_lock<std::mutex>& lock) {
    while (Pending* pending = nextRunnable()) {
        lock.unlock();
        (*pending->call)();
        lock.lock();
        pending->done = true;
        changed_.notify_all();
    }
}

void TQueuedHandOver::serveWaiting() {
    std::unique_lock lock(mutex_);
    runWaiting(lock);
}

void TQueuedHandOver::ServeUntil(const std::function<bool()>& finished) {
    serve(finished, nullptr);
}

bool TQueuedHandOver::ServeUntil(const std::function<bool()>& finished,
                                 std::chrono::steady_clock::time_point deadline) {
    return serve(finished, &deadline);
}

bool TQueuedHandOver::serve(const std::function<bool()>& finished,
                            const std::chrono::steady_clock::time_point* deadline) {
    std::unique_lock lock(mutex_);
    for (;;) {
        runWaiting(lock);
        if (finished()) return true;
        const auto ready = [&] {
            for (const Pending* pending : queue_)
                if (!held_ || pending->evenWhenHeld) return true;
            return woken_;
        };
        if (!deadline)
            changed_.wait(lock, ready);
        else if (!changed_.wait_until(lock, *deadline, ready))
            return false;
        woken_ = false;
    }
}

void TQueuedHandOver::WakeUp() {
    {
        const std::lock_guard lock(mutex_);
        woken_ = true;
        changed_.notify_all();
    }
    post();
}

TQueuedHandOver::Hold::Hold(TQueuedHandOver* handOver) : handOver_(handOver) {
    if (!handOver_) return;
    const std::lock_guard lock(handOver_->mutex_);
    handOver_->held_ = true;
}

TQueuedHandOver::Hold::~Hold() {
    if (!handOver_) return;
    bool waiting = false;
    {
        const std::lock_guard lock(handOver_->mutex_);
        handOver_->held_ = false;
        waiting = !handOver_->queue_.empty();
        handOver_->changed_.notify_all();
    }
    // Posted rather than run here, where a failed build's error may still
    // be on its way to the failure box.
    if (waiting) handOver_->post();
}

} // namespace pakforge
