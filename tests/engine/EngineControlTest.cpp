#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

using namespace engine;
using namespace std::chrono_literals;
using zctest::TScriptedFFmpeg;

namespace {

// Counts termination events and remembers what the engine said at the time.
struct TTerminations {
    std::atomic<int> Count{0};
    bool Fatal = false;
    bool Finished = false;
    std::string Message;

    void Attach(TCustomFFmpeg& e) {
        e.SetOnTerminate([this](TCustomFFmpeg* sender) {
            Fatal = sender->FatalException();
            Finished = sender->Finished();
            Message = sender->FatalMessage();
            ++Count;
        });
    }
};

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        avbind::PumpMainThreadQueue(5ms);
    }
    return true;
}

} // namespace

TEST(EngineLifecycle, MaximumFilesIsChecked) {
    EXPECT_THROW(TCustomFFmpeg(0), std::invalid_argument);
    EXPECT_THROW(TCustomFFmpeg(513), std::invalid_argument);
    TCustomFFmpeg largest(512);
    EXPECT_EQ(largest.MaxFiles(), 512);
}

TEST(EngineLifecycle, NoOutputEndsOnceWithTheFatalMessage) {
    zctest::TLogCatcher log;
    TCustomFFmpeg engine(2);
    TTerminations t;
    t.Attach(engine);
    EXPECT_FALSE(engine.StartConvert(true));
    EXPECT_EQ(t.Count, 1);
    EXPECT_TRUE(t.Fatal);
    EXPECT_FALSE(t.Finished);
    EXPECT_EQ(t.Message, "At least one output file must be specified");
    EXPECT_TRUE(engine.Terminated());
    EXPECT_TRUE(log.Contains("At least one output file must be specified"));  // logged at llQuiet

    EXPECT_FALSE(engine.StartConvert(true));  // a task runs at most once
    engine.StopOrTerminate(true);
    EXPECT_EQ(t.Count, 1);
}

TEST(EngineLifecycle, NoInputEndsWithItsOwnMessage) {
    TScriptedFFmpeg engine;
    TTerminations t;
    t.Attach(engine);
    engine.PretendFiles(0, 1);
    EXPECT_FALSE(engine.StartConvert(false));
    EXPECT_EQ(t.Count, 1);
    EXPECT_EQ(t.Message, "At least one input file must be specified");
    EXPECT_EQ(engine.nb_output_files(), 0);  // cleaned up
}

TEST(EngineLifecycle, StopOrTerminateOnANeverStartedTaskTerminatesExactlyOnce) {
    TCustomFFmpeg engine(1);
    TTerminations t;
    t.Attach(engine);
    engine.StopOrTerminate(true);
    EXPECT_EQ(t.Count, 1);
    EXPECT_FALSE(t.Finished);
    EXPECT_FALSE(t.Fatal);
    EXPECT_TRUE(engine.Terminated());
    engine.StopOrTerminate(true);
    engine.StopOrTerminate(false);
    EXPECT_EQ(t.Count, 1);
}

// A stop from another thread while the task is being started: the task
// either runs (and stops) or is terminated, never both at once.
TEST(EngineLifecycle, AStartAndATerminationThatMeetEndTheTaskOnce) {
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        std::atomic<int> ends{0};
        bool finished = true;
        {
            TScriptedFFmpeg engine;
            engine.PretendFiles(1, 1);
            engine.Script = [](TScriptedFFmpeg& e) {
                while (e.KeepGoing()) std::this_thread::sleep_for(std::chrono::microseconds(200));
            };
            engine.SetOnTerminate([&](TCustomFFmpeg*) { ++ends; });
            std::atomic<bool> go{false};
            std::thread stopper([&] {
                while (!go) std::this_thread::yield();
                engine.StopOrTerminate(false);
            });
            go = true;
            engine.StartConvert(true);
            stopper.join();
            engine.StopOrTerminate(true);
            engine.Stop(true);
            finished = engine.Finished();
        }  // every thread of the engine is joined here: no notice can come later
        ASSERT_EQ(ends, 1);
        EXPECT_FALSE(finished);
    }
}

TEST(EngineLifecycle, SynchronousRunFinishesInTheCallingThread) {
    TScriptedFFmpeg engine;
    TTerminations t;
    t.Attach(engine);
    std::thread::id ranOn;
    engine.Script = [&](TScriptedFFmpeg& e) {
        ranOn = std::this_thread::get_id();
        e.MarkFinished();
    };
    engine.PretendFiles(1, 1);
    EXPECT_FALSE(engine.StartConvert(false));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(t.Count, 1);
    EXPECT_TRUE(t.Finished);
    EXPECT_FALSE(t.Fatal);
    EXPECT_FALSE(engine.Converting());
}

TEST(EngineLifecycle, AFailingRunStillCleansUpAndTerminates) {
    zctest::TLogCatcher log;
    TScriptedFFmpeg engine;
    TTerminations t;
    t.Attach(engine);
    engine.Script = [](TScriptedFFmpeg&) { throw FFmpegException("Codec exploded"); };
    engine.PretendFiles(1, 1);
    ASSERT_TRUE(engine.StartConvert(true));
    ASSERT_TRUE(WaitUntil([&] { return t.Count == 1; }));
    engine.Stop(true);
    EXPECT_TRUE(t.Fatal);
    EXPECT_FALSE(t.Finished);
    EXPECT_EQ(t.Message, "Codec exploded");
    EXPECT_EQ(engine.nb_input_files(), 0);
    const auto lines = log.Lines();
    const bool loggedQuiet = std::any_of(lines.begin(), lines.end(), [&](const auto& l) {
        return l.Msg == "Codec exploded" && l.Level == avbind::llQuiet && l.Sender == &engine;
    });
    EXPECT_TRUE(loggedQuiet);
}

TEST(EngineLifecycle, PauseHoldsTheWorkerAndStopReleasesIt) {
    TScriptedFFmpeg engine;
    TTerminations t;
    t.Attach(engine);
    std::atomic<int> passes{0};
    engine.Script = [&](TScriptedFFmpeg& e) {
        while (e.KeepGoing()) {
            ++passes;
            std::this_thread::sleep_for(1ms);
        }
        e.MarkFinished();
    };
    engine.PretendFiles(1, 1);
    ASSERT_TRUE(engine.StartConvert(true));
    ASSERT_TRUE(WaitUntil([&] { return passes > 5; }));
    engine.Pause();
    std::this_thread::sleep_for(20ms);  // let a pass in flight reach the gate
    const int held = passes;
    std::this_thread::sleep_for(50ms);
    EXPECT_LE(passes - held, 1);
    engine.Resume();
    ASSERT_TRUE(WaitUntil([&] { return passes > held + 5; }));
    engine.Pause();
    engine.Stop(true);  // resumes the paused worker, which sees the stop
    EXPECT_EQ(t.Count, 1);
    EXPECT_FALSE(t.Finished);
    EXPECT_FALSE(engine.Converting());
    EXPECT_TRUE(engine.Terminated());
}

TEST(EngineLifecycle, StopWaitsWhileServingTheWorkersMainThreadCalls) {
    TScriptedFFmpeg engine;
    TTerminations t;
    t.Attach(engine);
    std::atomic<int> served{0};
    engine.Script = [&](TScriptedFFmpeg& e) {
        // Each pass hands something to the main thread and waits for it, as
        // progress and log deliveries do.
        while (e.KeepGoing()) avbind::CallInMainThread([&] { ++served; });
    };
    engine.PretendFiles(1, 1);
    ASSERT_TRUE(engine.StartConvert(true));
    ASSERT_TRUE(WaitUntil([&] { return served > 3; }));
    engine.Stop(true);  // must not deadlock although the worker waits for this thread
    EXPECT_EQ(t.Count, 1);
}

TEST(EngineLifecycle, DestroyingARunningEngineStopsAndJoinsIt) {
    std::atomic<bool> left{false};
    {
        TScriptedFFmpeg engine;
        engine.Script = [&](TScriptedFFmpeg& e) {
            while (e.KeepGoing()) std::this_thread::sleep_for(1ms);
            left = true;
        };
        engine.PretendFiles(1, 1);
        ASSERT_TRUE(engine.StartConvert(true));
    }
    EXPECT_TRUE(left);
}

TEST(EngineInterrupts, ReadTimeoutAndStopChecks) {
    zctest::TLogCatcher log;
    TScriptedFFmpeg engine;
    engine.SetReadTimeout(100);
    engine.SetLastRead(avbind::avutil.av_gettime());
    EXPECT_FALSE(TScriptedFFmpeg::ReadTimeoutCheck(&engine));
    engine.SetLastRead(avbind::avutil.av_gettime() - 200000);
    EXPECT_TRUE(TScriptedFFmpeg::ReadTimeoutCheck(&engine));
    EXPECT_TRUE(log.Contains("connecting/reading/writing timeout"));

    // A stop without a worker cancels the synchronous read in progress.
    EXPECT_FALSE(TScriptedFFmpeg::StopCheck(&engine));
    engine.Stop(false);
    EXPECT_EQ(engine.LastRead(), 0);
    EXPECT_TRUE(TScriptedFFmpeg::ReadTimeoutCheck(&engine));
    EXPECT_TRUE(log.Contains("connecting/reading/writing canceled"));
    EXPECT_TRUE(TScriptedFFmpeg::StopCheck(&engine));

    // The stop counts even when no timeout is set, and even after the time was renewed.
    engine.SetReadTimeout(0);
    engine.SetLastRead(avbind::avutil.av_gettime());
    EXPECT_TRUE(TScriptedFFmpeg::ReadTimeoutCheck(&engine));
    TScriptedFFmpeg quiet;
    quiet.SetReadTimeout(0);  // no watchdog at all
    quiet.SetLastRead(1);
    EXPECT_FALSE(TScriptedFFmpeg::ReadTimeoutCheck(&quiet));
}

TEST(EngineInterrupts, RegisteredCheckInterruptsABlockingOpen) {
    // The binding's callback asks the check registered for this thread.
    TScriptedFFmpeg engine;
    const AVIOInterruptCB cb = avbind::BindingInterruptCB();
    avbind::InterruptCB().Add(avbind::CurrentThreadID(), &engine, TScriptedFFmpeg::StopCheck);
    EXPECT_EQ(cb.callback(cb.opaque), 0);
    engine.Stop(false);
    EXPECT_EQ(cb.callback(cb.opaque), 1);
    avbind::InterruptCB().Remove(avbind::CurrentThreadID(), &engine, TScriptedFFmpeg::StopCheck);
}

TEST(EngineCleanUp, EmptyOutputsAreRemovedAndWrittenOnesKept) {
    zctest::TTempDir dir;
    const std::string empty = dir.File("empty.mp4");
    const std::string partial = dir.File("partial.mp4");
    TScriptedFFmpeg engine;
    // Two outputs opened as a conversion would, one of them never written.
    for (const std::string& name : {empty, partial}) {
        AVFormatContext* oc = nullptr;
        ASSERT_GE(avbind::avformat.avformat_alloc_output_context2(&oc, nullptr, nullptr, name.c_str()), 0);
        ASSERT_GE(avbind::avformat.avio_open2(&oc->pb, name.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
        engine.AdoptOutput(name == empty ? 0 : 1, oc);
    }
    avbind::avformat.avio_write(engine.OutputContext(1)->pb, reinterpret_cast<const unsigned char*>("data"), 4);
    engine.Script = [](TScriptedFFmpeg&) { throw FFmpegException("failed half way"); };
    engine.PretendFiles(1, 2);
    engine.StartConvert(false);
    EXPECT_FALSE(std::filesystem::exists(empty));
    ASSERT_TRUE(std::filesystem::exists(partial));
    EXPECT_EQ(std::filesystem::file_size(partial), 4u);
    EXPECT_FALSE(engine.OutputContext(0));
}

TEST(EnginePostHooks, RemovingThePreviewFreesThePreviewer) {
    struct TCountingPreviewer : TEnginePreviewer {
        explicit TCountingPreviewer(int& freed) : Freed(freed) {}
        ~TCountingPreviewer() override { ++Freed; }
        bool PaintFrame(const avhelpers::TBitmap&, int, std::int64_t) override { return true; }
        int& Freed;
    };
    int freed = 0;
    TScriptedFFmpeg engine;
    engine.SetPostHooks({TPostHook::phPreview, TPostHook::phBitmap});
    engine.InstallPreviewer(std::make_unique<TCountingPreviewer>(freed));
    engine.SetPostHooks({TPostHook::phPreview});
    EXPECT_EQ(freed, 0);
    engine.SetPostHooks({TPostHook::phBitmap});
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(engine.PostHooks(), TPostHooks({TPostHook::phBitmap}));
}

TEST(EngineTimes, ParseTimeSpecNamesTheKindAndTheOption) {
    EXPECT_EQ(ParseTimeSpec("ss", "01:00:01.25", true), 3601250000LL);
    EXPECT_EQ(ParseTimeSpec("t", "90", true), 90000000LL);
    try {
        ParseTimeSpec("ss", "later", true);
        ADD_FAILURE();
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "Invalid duration specification for ss: later");
    }
    EXPECT_THROW(ParseTimeSpec("timestamp", "13/13/13", false), FFmpegException);
}
