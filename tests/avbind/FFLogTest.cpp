#include "avbind/FFLog.h"

#include "avbind/FFLoad.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace avbind;
using testing::ElementsAre;

namespace {

struct TLine {
    const void* Sender;
    std::uint32_t ThreadID;
    TLogLevel Level;
    std::string Msg;
};

// Collects what the bridge delivers.
class TCollector {
public:
    void Attach(TFFLogger& logger) {
        logger.SetOnLog([this](const void* sender, std::uint32_t tid, TLogLevel level, const std::string& msg) {
            std::lock_guard lock(FLock);
            FLines.push_back({sender, tid, level, msg});
        });
    }
    std::vector<std::string> Texts() {
        std::lock_guard lock(FLock);
        std::vector<std::string> texts;
        for (const TLine& l : FLines) texts.push_back(l.Msg);
        return texts;
    }
    std::vector<TLine> Lines() {
        std::lock_guard lock(FLock);
        return FLines;
    }

private:
    std::mutex FLock;
    std::vector<TLine> FLines;
};

void LibLog(void* context, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogCallback(context, level, format, args);
    va_end(args);
}

// Ends any repeat run left by an earlier test, as the engine does at the end of a task.
void Flush() { LibLog(nullptr, 32, "%s", static_cast<const char*>(nullptr)); }

struct TFakeContext {
    const AVClass* Class;
    void* Parent;
};
const char* ChildName(void*) { return "child"; }
const char* ParentName(void*) { return "parent"; }

class LogBridgeTest : public testing::Test {
protected:
    void SetUp() override {
        Flush();
        FLogger = std::make_unique<TFFLogger>();
        FCollector.Attach(*FLogger);
    }
    void TearDown() override { FLogger.reset(); }

    std::unique_ptr<TFFLogger> FLogger;
    TCollector FCollector;
};

std::string Address(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

} // namespace

TEST(LogLevels, MapBothWays) {
    EXPECT_EQ(LogLevelToLibrary(llQuiet), -8);
    EXPECT_EQ(LogLevelToLibrary(llError), 16);
    EXPECT_EQ(LogLevelToLibrary(llDebug), 48);
    EXPECT_EQ(LibraryToLogLevel(-8), llQuiet);
    EXPECT_EQ(LibraryToLogLevel(-1), llPanic);  // toward zero, not down
    EXPECT_EQ(LibraryToLogLevel(-100), llQuiet);
    EXPECT_EQ(LibraryToLogLevel(20), llError);
    EXPECT_EQ(LibraryToLogLevel(56), llDebug);
}

TEST_F(LogBridgeTest, ThreeRepeatsAreCountedOnceTheTextChanges) {
    LibLog(nullptr, 32, "same line\n");
    LibLog(nullptr, 32, "same line\n");
    LibLog(nullptr, 32, "same line\n");
    LibLog(nullptr, 32, "other line\n");
    EXPECT_THAT(FCollector.Texts(), ElementsAre("same line", "    Last message repeated 2 times", "other line"));
}

TEST_F(LogBridgeTest, ASingleRepeatIsNotReported) {
    LibLog(nullptr, 32, "same line\n");
    LibLog(nullptr, 32, "same line\n");
    LibLog(nullptr, 32, "other line\n");
    EXPECT_THAT(FCollector.Texts(), ElementsAre("same line", "other line"));
}

TEST_F(LogBridgeTest, EmptyMessageDeliversThePendingRepeatCount) {
    for (int i = 0; i < 4; ++i) LibLog(nullptr, 32, "again %d\n", 1);
    Flush();
    LibLog(nullptr, 32, "again %d\n", 1);  // the last message was cleared: not a repeat
    EXPECT_THAT(FCollector.Texts(), ElementsAre("again 1", "    Last message repeated 3 times", "again 1"));
}

TEST_F(LogBridgeTest, FragmentsJoinWithThePrefixOfTheFirstOnly) {
    AVClass parentClass{};
    parentClass.class_name = "parent";
    parentClass.item_name = ParentName;
    AVClass childClass{};
    childClass.class_name = "child";
    childClass.item_name = ChildName;
    childClass.parent_log_context_offset = offsetof(TFakeContext, Parent);
    TFakeContext parent{&parentClass, nullptr};
    TFakeContext child{&childClass, &parent};

    LibLog(&child, 32, "Stream #%d: ", 0);
    LibLog(&child, 32, "%s\n", "Video");
    LibLog(&parent, 24, "done\n");
    const std::vector<TLine> lines = FCollector.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].Msg, "[parent @ " + Address(&parent) + "] [child @ " + Address(&child) + "]Stream #0: Video");
    EXPECT_EQ(lines[0].Level, llInfo);
    EXPECT_EQ(lines[0].Sender, FLogger.get());
    EXPECT_EQ(lines[0].ThreadID, CurrentThreadID());
    EXPECT_EQ(lines[1].Msg, "[parent @ " + Address(&parent) + "]done");
    EXPECT_EQ(lines[1].Level, llWarning);
}

TEST_F(LogBridgeTest, LongMessagesAndSeveralLinesInOneCall) {
    const std::string big(5000, 'x');
    LibLog(nullptr, 32, "%s|%d\nsecond\nthird-", big.c_str(), 5);
    LibLog(nullptr, 32, "end\n");
    EXPECT_THAT(FCollector.Texts(), ElementsAre(big + "|5", "second", "third-end"));
}

TEST_F(LogBridgeTest, LinesAboveTheLibraryLevelAreDropped) {
    LibLog(nullptr, LibraryLogLevel() + 8, "too detailed\n");
    LibLog(nullptr, LibraryLogLevel(), "just right\n");
    EXPECT_THAT(FCollector.Texts(), ElementsAre("just right"));
}

TEST_F(LogBridgeTest, FragmentsOfTwoThreadsStayApart) {
    // Each thread writes its line in three fragments, interleaved with the other.
    std::mutex m;
    std::condition_variable cv;
    int turn = 0;
    auto writer = [&](int me, const char* name) {
        for (int part = 0; part < 3; ++part) {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return turn % 2 == me; });
            LibLog(nullptr, 32, part < 2 ? "%s-%d " : "%s-%d\n", name, part);
            ++turn;
            cv.notify_all();
        }
    };
    // Worker lines go straight to the handler: the main thread is busy joining.
    FLogger->SetTriggerEventInMainThread(false);
    std::thread a(writer, 0, "a"), b(writer, 1, "b");
    a.join();
    b.join();
    EXPECT_THAT(FCollector.Texts(), testing::UnorderedElementsAre("a-0 a-1 a-2", "b-0 b-1 b-2"));
    const auto lines = FCollector.Lines();
    EXPECT_NE(lines[0].ThreadID, lines[1].ThreadID);
}

TEST_F(LogBridgeTest, OwnMessagesAreGatedByLevelWithVerboseExcept) {
    FLogger->SetLogLevel(llError);
    FLogger->Log(this, llWarning, "dropped");
    FLogger->Log(this, llVerbose, "progress %d%%", 50);
    FLogger->Log(this, llError, std::string("100% kept"));  // a plain text is never a format
    FLogger->SetLogLevel(llQuiet);
    FLogger->Log(this, llVerbose, "dropped too");
    FLogger->Log(this, llQuiet, "always");
    EXPECT_THAT(FCollector.Texts(), ElementsAre("progress 50%", "100% kept", "always"));
    EXPECT_EQ(FCollector.Lines()[0].Sender, this);
}

TEST_F(LogBridgeTest, OptLogLevelTakesNamesAndNumbers) {
    FLogger->OptLogLevel("Warning");
    EXPECT_EQ(FLogger->LogLevel(), llWarning);
    FLogger->OptLogLevel("20");
    EXPECT_EQ(FLogger->LogLevel(), llError);
    FLogger->OptLogLevel("-8");
    EXPECT_EQ(FLogger->LogLevel(), llQuiet);
    FLogger->OptLogLevel("DEBUG");
    EXPECT_EQ(FLogger->LogLevel(), llDebug);
    try {
        FLogger->OptLogLevel("loud");
        ADD_FAILURE() << "text that is no level was taken";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "'loud' is not a valid integer value");
    }
    EXPECT_THROW(FLogger->OptLogLevel("20x"), std::invalid_argument);
    EXPECT_EQ(FLogger->LogLevel(), llDebug);
}

TEST_F(LogBridgeTest, LevelReachesTheLoadedLibraryAndItsLinesArriveWhole) {
    ASSERT_TRUE(FFLoader().Load(TLibrary::avUtil)) << FFLoader().LastErrMsg();
    FLogger->SetLogLevel(llWarning);
    EXPECT_EQ(avutil.av_log_get_level(), 24);
    EXPECT_EQ(LibraryLogLevel(), 24);
    avutil.av_log(nullptr, AV_LOG_INFO, "hidden\n");
    avutil.av_log(nullptr, AV_LOG_WARNING, "part one, ");
    avutil.av_log(nullptr, AV_LOG_ERROR, "part two\n");
    FLogger->SetLogLevel(llInfo);  // the library level is process-wide: leave it as found
    FFLoader().Unload(TLibrary::avUtil);
    EXPECT_THAT(FCollector.Texts(), ElementsAre("part one, part two"));
    EXPECT_EQ(FCollector.Lines()[0].Level, llError);  // the level of the fragment that ended the line
}

TEST(LoggerInstances, OnlyOneExplicitLoggerAndAutoCreatedOnesGiveWay) {
    TFFLogger& autoLogger = FFLogger();
    EXPECT_TRUE(autoLogger.AutoCreated());
    EXPECT_EQ(&FFLogger(), &autoLogger);
    {
        TFFLogger explicitLogger;  // frees the auto-created one
        EXPECT_EQ(&FFLogger(), &explicitLogger);
        EXPECT_FALSE(explicitLogger.AutoCreated());
        try {
            TFFLogger second;
            ADD_FAILURE() << "a second logger was created";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
        }
    }
    EXPECT_TRUE(FFLogger().AutoCreated());
}
