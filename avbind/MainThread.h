// The main-thread call queue: worker threads hand calls to the thread that
// started the binding (the window's thread), which runs them when it pumps
// the queue (the toolkit's wakeup hook makes it pump).
#pragma once

#include <chrono>
#include <functional>

namespace avbind {

// Makes the calling thread the main thread (done by the binding's start-up).
void SetMainThread();
// Forgets the main thread after running what is still queued; calls then run directly.
void ClearMainThread();
bool IsMainThread();
// Runs the call on the main thread and blocks until it has run; on the main
// thread (or without one) runs it directly. An exception of the call is
// rethrown in the caller.
void CallInMainThread(const std::function<void()>& call);
// Queues the call for the main thread and returns at once (on the main
// thread, or without one, runs it directly).
void PostToMainThread(std::function<void()> call);
// Runs queued calls on the main thread; waits up to `wait` for the first one.
// Returns how many ran. Every wait loop of the main thread calls this.
int PumpMainThreadQueue(std::chrono::milliseconds wait = std::chrono::milliseconds(0));
// A toolkit's hook, called (from any thread) when a call was queued.
void SetMainThreadWakeup(std::function<void()> wakeup);

} // namespace avbind
