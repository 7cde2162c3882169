#include "qt/EventLoop.h"

#include "qt/QtSupport.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>

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

EventLoop& EventLoop::instance() {
    static EventLoop* const loop = new EventLoop;
    return *loop;
}

void EventLoop::post(std::function<void()> fn) {
    // A posted call also ends the wait in processEvents.
    QMetaObject::invokeMethod(&receiver_, std::move(fn), Qt::QueuedConnection);
}

void EventLoop::pump(const std::function<bool()>& finished, ui::Input input) {
    if (input == ui::Input::keep) {
        while (!finished())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                            QEventLoop::WaitForMoreEvents);
        return;
    }
    InputBlocker blocker;
    qApp->installEventFilter(&blocker);
    while (!finished()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        swallowed_ = blocker.swallowed();
    }
    qApp->removeEventFilter(&blocker);
}

ui::Answer EventLoop::dialog(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon,
                             ui::Buttons buttons) {
    return showMessageBox(nullptr, toQString(caption), toQString(text), icon, buttons);
}

bool EventLoop::openWithDesktop(std::u16string_view fileOrUrl) {
    return qt::openWithDesktop(toQString(fileOrUrl));
}

} // namespace pakforge::qt
