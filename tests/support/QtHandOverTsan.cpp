// Linked into the Qt test programs under ThreadSanitizer, with the linker
// option --wrap for QMetaObject::invokeMethodImpl (tests/CMakeLists.txt).
//
// Qt's libraries are not built with ThreadSanitizer, and the hand-over behind
// QMetaObject::invokeMethod (QtCore's futex-based mutex and semaphore) is
// invisible to it: every value handed to the window's thread, and every one
// handed back by a blocking call, would be reported as a race. This tells
// ThreadSanitizer what Qt guarantees, and no more: what the calling thread did
// before invokeMethod happens before the call runs, and for a blocking call,
// the call's end happens before invokeMethod returns.
#include <QObject>

#include <sanitizer/tsan_interface.h>

#define PAKFORGE_REAL_INVOKE                                                                                 \
    __real__ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv
#define PAKFORGE_WRAP_INVOKE                                                                                 \
    __wrap__ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv

extern "C" bool PAKFORGE_REAL_INVOKE(QObject* object, QtPrivate::QSlotObjectBase* slot,
                                     Qt::ConnectionType type, void* ret);

namespace {

// Wraps the slot Qt queues: acquires what the caller released before the
// call runs and before it is destroyed, releases when the call has run.
class TracedSlot : public QtPrivate::QSlotObjectBase {
  public:
    TracedSlot(QtPrivate::QSlotObjectBase* inner, void* done)
        : QSlotObjectBase(&impl), inner_(inner), done_(done) {
        __tsan_release(this);
    }

  private:
    static void impl(int which, QSlotObjectBase* base, QObject* receiver, void** args, bool* ret) {
        auto* self = static_cast<TracedSlot*>(base);
        __tsan_acquire(self);
        switch (which) {
        case Destroy:
            self->inner_->destroyIfLastRef();
            delete self;
            return;
        case Call: {
            self->inner_->call(receiver, args);
            // Released last: the caller may free this object right after.
            void* done = self->done_;
            if (done) __tsan_release(done);
            __tsan_release(self);
            return;
        }
        case Compare:
            *ret = self->inner_->compare(args);
            return;
        default:
            return;
        }
    }

    QtPrivate::QSlotObjectBase* inner_;
    void* done_; // the blocked caller's, while it waits
};

} // namespace

extern "C" bool PAKFORGE_WRAP_INVOKE(QObject* object, QtPrivate::QSlotObjectBase* slot,
                                     Qt::ConnectionType type, void* ret) {
    int done = 0;
    const bool blocking = type == Qt::BlockingQueuedConnection;
    const bool invoked =
        PAKFORGE_REAL_INVOKE(object, new TracedSlot(slot, blocking ? &done : nullptr), type, ret);
    if (blocking) __tsan_acquire(&done);
    return invoked;
}
