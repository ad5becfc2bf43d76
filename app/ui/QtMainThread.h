// Makes Qt's event loop run the calls that other threads queue for the main
// thread (progress, termination, log lines, preview pictures).
#pragma once

namespace ui {

// Installs the wake-up hook for as long as it lives. Create it on the main
// thread after the QApplication and destroy it before the QApplication goes.
class TMainThreadWakeup {
public:
    TMainThreadWakeup();
    ~TMainThreadWakeup();
    TMainThreadWakeup(const TMainThreadWakeup&) = delete;
    TMainThreadWakeup& operator=(const TMainThreadWakeup&) = delete;
};

} // namespace ui
