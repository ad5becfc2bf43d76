#include "avbind/FFLog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

using namespace avbind;
using namespace std::chrono_literals;

namespace {

// Pumps the queue until `done` or a generous deadline.
void PumpUntil(const std::atomic<bool>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done && std::chrono::steady_clock::now() < deadline) PumpMainThreadQueue(5ms);
}

} // namespace

TEST(MainThreadCalls, WorkerCallRunsOnTheMainThreadAndWaitsForIt) {
    ASSERT_TRUE(IsMainThread());
    const std::uint32_t mainID = CurrentThreadID();
    std::atomic<bool> done{false};
    std::uint32_t ranOn = 0;
    bool sawResultAfterReturn = false;
    std::thread worker([&] {
        int value = 0;
        CallInMainThread([&] { ranOn = CurrentThreadID(); value = 42; });
        sawResultAfterReturn = value == 42;  // blocked until the call had run
        done = true;
    });
    PumpUntil(done);
    worker.join();
    EXPECT_EQ(ranOn, mainID);
    EXPECT_TRUE(sawResultAfterReturn);
}

TEST(MainThreadCalls, MainThreadCallsRunDirectlyAndExceptionsReachTheCaller) {
    int ran = 0;
    CallInMainThread([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(PumpMainThreadQueue(), 0);

    std::atomic<bool> done{false};
    std::string caught;
    std::thread worker([&] {
        try {
            CallInMainThread([] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        done = true;
    });
    PumpUntil(done);
    worker.join();
    EXPECT_EQ(caught, "handler failed");
}

TEST(MainThreadCalls, WakeupHookFiresAndPumpFromAnotherThreadRunsNothing) {
    std::atomic<int> wakeups{0};
    SetMainThreadWakeup([&] { ++wakeups; });
    std::atomic<bool> done{false};
    std::atomic<int> pumpedElsewhere{-1};
    std::thread worker([&] {
        pumpedElsewhere = PumpMainThreadQueue();
        CallInMainThread([] {});
        done = true;
    });
    PumpUntil(done);
    worker.join();
    SetMainThreadWakeup(nullptr);
    EXPECT_EQ(wakeups, 1);
    EXPECT_EQ(pumpedElsewhere, 0);
}

TEST(MainThreadCalls, WorkerLogLinesAreDeliveredOnTheMainThread) {
    TFFLogger logger;
    std::vector<std::uint32_t> handlerThreads;
    std::vector<std::uint32_t> reportedThreads;
    logger.SetOnLog([&](const void*, std::uint32_t tid, TLogLevel, const std::string&) {
        handlerThreads.push_back(CurrentThreadID());
        reportedThreads.push_back(tid);
    });
    std::atomic<bool> done{false};
    std::uint32_t workerID = 0;
    std::thread worker([&] {
        workerID = CurrentThreadID();
        logger.Log(nullptr, llError, "from the worker");
        done = true;
    });
    PumpUntil(done);
    worker.join();
    ASSERT_EQ(handlerThreads.size(), 1u);
    EXPECT_EQ(handlerThreads[0], CurrentThreadID());
    EXPECT_EQ(reportedThreads[0], workerID);  // the line still names the thread that logged it
}

TEST(MainThreadCalls, WithoutAMainThreadCallsRunDirectly) {
    ClearMainThread();
    std::uint32_t ranOn = 0, workerID = 0;
    std::thread worker([&] {
        workerID = CurrentThreadID();
        CallInMainThread([&] { ranOn = CurrentThreadID(); });
    });
    worker.join();
    SetMainThread();
    EXPECT_EQ(ranOn, workerID);
}
