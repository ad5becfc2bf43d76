#include "avbind/MainThread.h"

#include "avbind/FFLog.h"  // CurrentThreadID

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace avbind {

namespace {

struct TQueuedCall {
    const std::function<void()>* Call;
    bool Done = false;
    std::exception_ptr Error;
    std::unique_ptr<std::function<void()>> Posted;  // a posted call owns its function; nobody waits for it
};

struct TMainQueue {
    std::mutex Lock;
    std::condition_variable Arrived;
    std::condition_variable Done;
    std::deque<TQueuedCall*> Calls;
    std::atomic<std::uint32_t> MainThread{0};
    std::function<void()> Wakeup;
};

TMainQueue& MainQueue() {
    static TMainQueue queue;
    return queue;
}

void RunCalls(TMainQueue& q, std::deque<TQueuedCall*>& calls) {
    for (TQueuedCall*& item : calls) {
        try {
            (*item->Call)();
        } catch (...) {
            item->Error = std::current_exception();
        }
        if (item->Posted) {
            delete item;  // its poster does not wait; an error of it is dropped
            item = nullptr;
        }
    }
    std::lock_guard lock(q.Lock);
    for (TQueuedCall* item : calls)
        if (item) item->Done = true;
    q.Done.notify_all();
}

// Queues the item and wakes the main thread; false when the main thread went
// away meanwhile (the caller then runs the call itself).
bool Enqueue(TMainQueue& q, TQueuedCall* item) {
    std::function<void()> wakeup;
    {
        std::lock_guard lock(q.Lock);
        if (q.MainThread == 0) return false;
        q.Calls.push_back(item);
        wakeup = q.Wakeup;
    }
    q.Arrived.notify_all();
    if (wakeup) wakeup();
    return true;
}

} // namespace

void SetMainThread() { MainQueue().MainThread = CurrentThreadID(); }

void ClearMainThread() {
    TMainQueue& q = MainQueue();
    std::deque<TQueuedCall*> calls;
    {
        std::lock_guard lock(q.Lock);
        q.MainThread = 0;
        calls.swap(q.Calls);
    }
    RunCalls(q, calls);
}

bool IsMainThread() { return MainQueue().MainThread == CurrentThreadID(); }

void CallInMainThread(const std::function<void()>& call) {
    TMainQueue& q = MainQueue();
    const std::uint32_t main = q.MainThread;
    if (main == 0 || main == CurrentThreadID()) {
        call();
        return;
    }
    TQueuedCall item{&call, false, nullptr, nullptr};
    if (!Enqueue(q, &item)) {
        call();
        return;
    }
    std::unique_lock lock(q.Lock);
    q.Done.wait(lock, [&] { return item.Done; });
    if (item.Error) std::rethrow_exception(item.Error);
}

void PostToMainThread(std::function<void()> call) {
    TMainQueue& q = MainQueue();
    if (q.MainThread == 0 || q.MainThread == CurrentThreadID()) {
        call();
        return;
    }
    auto item = std::make_unique<TQueuedCall>();
    item->Posted = std::make_unique<std::function<void()>>(std::move(call));
    item->Call = item->Posted.get();
    if (Enqueue(q, item.get()))
        item.release();  // the queue owns it now
    else
        (*item->Call)();
}

int PumpMainThreadQueue(std::chrono::milliseconds wait) {
    TMainQueue& q = MainQueue();
    if (q.MainThread != CurrentThreadID()) return 0;
    std::deque<TQueuedCall*> calls;
    {
        std::unique_lock lock(q.Lock);
        if (q.Calls.empty() && wait.count() > 0) q.Arrived.wait_for(lock, wait, [&] { return !q.Calls.empty(); });
        calls.swap(q.Calls);
    }
    RunCalls(q, calls);
    return static_cast<int>(calls.size());
}

void SetMainThreadWakeup(std::function<void()> wakeup) {
    TMainQueue& q = MainQueue();
    std::lock_guard lock(q.Lock);
    q.Wakeup = std::move(wakeup);
}

} // namespace avbind
