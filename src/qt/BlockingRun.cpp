#include "qt/BlockingRun.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>

#include <exception>
#include <thread>

namespace pakforge::qt {

bool InputBlocker::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::Drop:
    case QEvent::InputMethod:
        ++swallowed_;
        return true;
    case QEvent::Close:
        // The window stays until its work is done.
        ++swallowed_;
        event->ignore();
        return true;
    default:
        return QObject::eventFilter(watched, event);
    }
}

void BlockingRunner::run(const std::function<void()>& work) {
    InputBlocker blocker;
    qApp->installEventFilter(&blocker);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    running_ = true;
    permille_ = 0;
    emit started();

    QEventLoop loop;
    std::exception_ptr error;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();

    running_ = false;
    swallowed_ = blocker.swallowed();
    qApp->removeEventFilter(&blocker);
    QApplication::restoreOverrideCursor();
    emit finished();
    if (error) std::rethrow_exception(error);
}

void BlockingRunner::onWindowThread(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    std::exception_ptr error;
    QMetaObject::invokeMethod(
        this,
        [&] {
            try {
                fn();
            } catch (...) {
                error = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (error) std::rethrow_exception(error);
}

void BlockingRunner::reportProgress(std::uint64_t done, std::uint64_t total) {
    const int value = total == 0 ? 1000 : static_cast<int>(done * 1000 / total);
    permille_ = value;
    if (progressPending_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            progressPending_ = false;
            emit progress(permille_);
        },
        Qt::QueuedConnection);
}

} // namespace pakforge::qt
