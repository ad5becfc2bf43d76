#include "app/ui/QtMainThread.h"

#include "avbind/FFLog.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>

namespace ui {

namespace {
// One posted pump at a time is enough: it runs everything queued so far, and
// a call queued after it started posts the next one.
std::atomic<bool> GPumpPosted{false};
} // namespace

TMainThreadWakeup::TMainThreadWakeup() {
    avbind::SetMainThreadWakeup([] {
        if (GPumpPosted.exchange(true)) return;
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) {
            GPumpPosted = false;
            return;
        }
        QMetaObject::invokeMethod(
            app,
            [] {
                GPumpPosted = false;
                avbind::PumpMainThreadQueue();
            },
            Qt::QueuedConnection);
    });
}

TMainThreadWakeup::~TMainThreadWakeup() {
    avbind::SetMainThreadWakeup(nullptr);
    avbind::PumpMainThreadQueue();
}

} // namespace ui
