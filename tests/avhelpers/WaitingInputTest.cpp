#include "avhelpers/WaitingInput.h"

#include "avbind/AVPtr.h"
#include "avbind/FFLoad.h"
#include "avbind/FFLog.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using avhelpers::OpenWaitingInput;
using avhelpers::TCustomIOPtr;
using namespace std::chrono_literals;

namespace {

// Asks the registry of this thread to interrupt once `flag` is set.
struct TFlagCheck {
    explicit TFlagCheck(const std::atomic<bool>& flag) : Flag(flag) {
        avbind::InterruptCB().Add(avbind::CurrentThreadID(), this, Check);
    }
    ~TFlagCheck() { avbind::InterruptCB().Remove(avbind::CurrentThreadID(), this, Check); }
    static bool Check(void* self) { return static_cast<TFlagCheck*>(self)->Flag.load(); }
    const std::atomic<bool>& Flag;
};

} // namespace

TEST(WaitingInput, OnlyLocalFilesThatAreNotRegularAreTaken) {
    zctest::TTempDir dir;
    const std::string regular = dir.Write("clip.mkv", "data");
    const std::string pipe = dir.File("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    TCustomIOPtr io;
    EXPECT_EQ(OpenWaitingInput(regular, io), 0);
    EXPECT_EQ(OpenWaitingInput(dir.Path().string(), io), 0);
    EXPECT_EQ(OpenWaitingInput(dir.File("missing"), io), 0);
    EXPECT_EQ(OpenWaitingInput("http://example.invalid/x", io), 0);
    EXPECT_EQ(OpenWaitingInput("pipe:0", io), 0) << "a protocol name, not a local file";
    EXPECT_FALSE(io);
    EXPECT_EQ(OpenWaitingInput("file:" + pipe, io), 1);
    EXPECT_TRUE(io);
    EXPECT_EQ(OpenWaitingInput(pipe, io), 1);
}

TEST(WaitingInput, ADeviceAtItsEndAndAPipeWhoseWriterLeftEnd) {
    // /dev/null is always readable and always at its end: no endless waiting.
    TCustomIOPtr io;
    ASSERT_EQ(OpenWaitingInput("/dev/null", io), 1);
    std::uint8_t buffer[16];
    EXPECT_EQ(avbind::avformat.avio_read(io.get(), buffer, sizeof buffer), AVERROR_EOF);

    zctest::TTempDir dir;
    const std::string pipe = dir.File("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    TCustomIOPtr piped;
    ASSERT_EQ(OpenWaitingInput(pipe, piped), 1);
    std::thread writer([&] {
        const int fd = ::open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
        std::this_thread::sleep_for(150ms);  // the reader waits meanwhile
        EXPECT_EQ(::write(fd, "abc", 3), 3);
        ::close(fd);
    });
    EXPECT_EQ(avbind::avformat.avio_read(piped.get(), buffer, sizeof buffer), 3);
    EXPECT_EQ(avbind::avformat.avio_read(piped.get(), buffer, sizeof buffer), AVERROR_EOF);
    writer.join();
}

TEST(WaitingInput, AWaitEndsWhenTheThreadsCheckSaysSo) {
    zctest::TTempDir dir;
    const std::string pipe = dir.File("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    TCustomIOPtr io;
    ASSERT_EQ(OpenWaitingInput(pipe, io), 1);
    std::atomic<bool> stop{false};
    const TFlagCheck check(stop);
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        stop = true;
    });
    const auto started = std::chrono::steady_clock::now();
    std::uint8_t buffer[16];
    EXPECT_EQ(avbind::avformat.avio_read(io.get(), buffer, sizeof buffer), AVERROR_EXIT);
    const auto waited = std::chrono::steady_clock::now() - started;
    stopper.join();
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 1s);
}
