// Small thread primitives shared by the engine and the encoder.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace avbind {

// A manual-reset event: stays signalled until reset.
class TManualResetEvent {
public:
    explicit TManualResetEvent(bool signalled) : FSignalled(signalled) {}
    void Set() {
        std::lock_guard lock(FLock);
        FSignalled = true;
        FChanged.notify_all();
    }
    void Reset() {
        std::lock_guard lock(FLock);
        FSignalled = false;
    }
    bool IsSet() {
        std::lock_guard lock(FLock);
        return FSignalled;
    }
    void Wait() {
        std::unique_lock lock(FLock);
        FChanged.wait(lock, [this] { return FSignalled; });
    }
    // True when signalled within the time.
    bool WaitFor(std::chrono::milliseconds time) {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, time, [this] { return FSignalled; });
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FSignalled;
};

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Applies the priority to the calling thread as its nice value. Best effort:
// raising it needs privileges, and a refusal is ignored.
void SetCurrentThreadPriority(TThreadPriority priority);

} // namespace avbind
