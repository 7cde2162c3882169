#include "update/VersionCheckUi.h"

namespace pakforge {

void TQueuedHandOver::Synchronize(const std::function<void()>& call) {
    Pending pending{&call};
    std::unique_lock lock(mutex_);
    queue_.push_back(&pending);
    changed_.notify_all();
    changed_.wait(lock, [&] { return pending.done; });
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
        while (!queue_.empty()) {
            Pending* pending = queue_.front();
            queue_.pop_front();
            lock.unlock();
            (*pending->call)();
            lock.lock();
            pending->done = true;
            changed_.notify_all();
        }
        if (finished()) return true;
        const auto ready = [&] { return !queue_.empty() || woken_; };
        if (!deadline)
            changed_.wait(lock, ready);
        else if (!changed_.wait_until(lock, *deadline, ready))
            return false;
        woken_ = false;
    }
}

void TQueuedHandOver::WakeUp() {
    std::lock_guard lock(mutex_);
    woken_ = true;
    changed_.notify_all();
}

} // namespace pakforge
