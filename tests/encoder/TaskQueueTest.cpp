#include "encoder/TaskQueue.h"
#include "encoder/Previewer.h"
#include "avhelpers/StreamProtocol.h"

#include "tests/support/MediaFixtures.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <sys/resource.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <chrono>
#include <thread>

using namespace encoder;
using namespace std::chrono_literals;
using testing::ElementsAre;

namespace {

std::vector<std::pair<std::string, std::string>> Pairs(const std::vector<TOptionLine>& lines) {
    std::vector<std::pair<std::string, std::string>> result;
    for (const TOptionLine& l : lines) result.emplace_back(l.Key, l.Value);
    return result;
}

// Pumps the main-thread queue until the condition holds or time runs out.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        avbind::PumpMainThreadQueue(5ms);
    }
    return true;
}

class EncoderTest : public testing::Test {
protected:
    zctest::TTempDir FDir;
    TFFEncoder FEncoder;
    std::mutex FLock;
    std::vector<TTerminateInfo> FEnds;

    void SetUp() override {
        FEncoder.OnTerminate = [this](TCustomEncoder*, const TTerminateInfo& info) {
            std::lock_guard lock(FLock);
            FEnds.push_back(info);
        };
    }
    void TearDown() override {
        FEncoder.Stop(true);
        WaitFor([&] { return !FEncoder.Working() || FEncoder.Terminated(); }, 5s);
    }
    std::string Clip(const std::string& name, double seconds = 1, bool audio = true, int width = 64, int height = 48) {
        zctest::TMediaRecipe mediaRecipe;
        mediaRecipe.Format = "matroska";
        mediaRecipe.Seconds = seconds;
        mediaRecipe.Audio = audio;
        mediaRecipe.Width = width;
        mediaRecipe.Height = height;
        const std::string path = FDir.File(name);
        std::string error;
        EXPECT_TRUE(zctest::WriteTestMedia(path, mediaRecipe, error)) << error;
        return path;
    }
    std::vector<TTerminateInfo> Ends() {
        std::lock_guard lock(FLock);
        return FEnds;
    }
    bool RunEnded() {
        const auto ends = Ends();
        return !ends.empty() && ends.back().TaskIndex == -1;
    }
    // A task converting `input` into `output` with the given output option text.
    int AddConversion(const std::string& input, const std::string& output, const std::string& outputText = "",
                      const std::string& inputText = "") {
        const int index = FEncoder.AddTask(input, inputText);
        EXPECT_GE(index, 0) << FEncoder.LastErrMsg();
        if (index >= 0) {
            EXPECT_TRUE(FEncoder.SetOutputFile(index, output, outputText)) << FEncoder.LastErrMsg();
        }
        return index;
    }
};

} // namespace

TEST(OptionText, LinesKeysAndValues) {
    EXPECT_TRUE(ParseOptionText(" \t\r\n ").empty());
    EXPECT_THAT(Pairs(ParseOptionText("  ACodec=aac<CRLF>vf=scale=1:2<CRLF>")),
                ElementsAre(std::pair<std::string, std::string>{"acodec", "aac"},
                            std::pair<std::string, std::string>{"vf", "scale=1:2"}));
    EXPECT_THAT(Pairs(ParseOptionText("a=1\r\n\r\nb\rc=")),
                ElementsAre(std::pair<std::string, std::string>{"a", "1"}, std::pair<std::string, std::string>{"", ""},
                            std::pair<std::string, std::string>{"b", ""},
                            std::pair<std::string, std::string>{"c", ""}));
    EXPECT_THAT(Pairs(ParseOptionText("x= spaced value ")),
                ElementsAre(std::pair<std::string, std::string>{"x", " spaced value"}));
}

TEST_F(EncoderTest, QueuedCodecsFeedTheAdditionalStreams) {
    const std::string in = Clip("in.mkv");
    auto audioCodecs = [&](int task) {
        std::vector<AVCodecID> ids;
        for (const auto& ost : FEncoder.Task(task).OutputStreams(0))
            if (ost->st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) ids.push_back(ost->st->codecpar->codec_id);
        return ids;
    };
    const int first = AddConversion(in, FDir.File("queued.mkv"),
                                    "acodec=mp2<CRLF>newaudio=<CRLF>acodec=ac3<CRLF>newaudio=");
    EXPECT_THAT(audioCodecs(first), ElementsAre(AV_CODEC_ID_MP2, AV_CODEC_ID_MP2, AV_CODEC_ID_AC3));

    const int second = FEncoder.AddTask(in, nullptr);
    TOutputOptions options;
    options.AudioCodec = "aac";
    options.ExtOptions = "acodec=mp2\nnewaudio=";
    ASSERT_TRUE(FEncoder.SetOutputFile(second, FDir.File("record.mkv"), &options)) << FEncoder.LastErrMsg();
    EXPECT_THAT(audioCodecs(second), ElementsAre(AV_CODEC_ID_AAC, AV_CODEC_ID_MP2));
    EXPECT_EQ(options.FileName, FDir.File("record.mkv"));  // filled in for the caller
}

TEST_F(EncoderTest, RecordFieldsAndTextFlags) {
    const std::string a = Clip("a.mkv"), b = Clip("b.mkv");
    TInputOptions input;
    input.ExtOptions = "itsoffset=1";
    const int task = FEncoder.AddTask(a, &input);
    ASSERT_GE(task, 0);
    EXPECT_EQ(input.FileName, a);
    ASSERT_TRUE(FEncoder.AddInputFile(task, b, "TimeStart=500000"));
    ASSERT_TRUE(FEncoder.SetOutputFile(task, FDir.File("joined.mkv"), "Join=<CRLF>vcodec=mpeg4<CRLF>ab=64k"));
    TFFmpeg& engine = FEncoder.Task(task);
    EXPECT_EQ(engine.nb_output_files(), 2);  // the join made one entry per input
    EXPECT_EQ(engine.FOutputOptions[0].Join, true);
    EXPECT_EQ(engine.OutputStreams(0)[0]->enc->id, AV_CODEC_ID_MPEG4);

    const int other = FEncoder.AddTask(a, nullptr);
    TOutputOptions options;
    options.VideoCodec = "mpeg4";
    options.VideoBitrate = 300000;
    options.FrameSize = "32x24";
    options.Info.Title = "Holiday";
    options.ExtOptions = "vb=900k";  // the record's field wins
    ASSERT_TRUE(FEncoder.SetOutputFile(other, FDir.File("fields.mkv"), &options));
    const auto& video = *FEncoder.Task(other).OutputStreams(0)[0];
    EXPECT_EQ(video.enc_ctx->bit_rate, 300000);
    EXPECT_EQ(video.enc_ctx->width, 32);
    EXPECT_STREQ(
        avbind::avutil.av_dict_get(FEncoder.Task(other).OutputContext(0)->metadata, "title", nullptr, 0)->value,
        "Holiday");
}

TEST_F(EncoderTest, FailuresReportAndKeepTheListUnchanged) {
    EXPECT_EQ(FEncoder.AddTask(FDir.File("missing.mkv"), nullptr), -1);
    EXPECT_EQ(FEncoder.LastErrMsg(), FDir.File("missing.mkv") + ": No such file or directory");
    EXPECT_EQ(FEncoder.AddTask(Clip("x.mkv"), "qscale=0"), -1);
    EXPECT_EQ(FEncoder.LastErrMsg(), "qscale must be > 0.0 and <= 255");
    EXPECT_EQ(FEncoder.TasksCount(), 0);

    FEncoder.CustomMaxFiles = 1;
    const int task = FEncoder.AddTask(Clip("y.mkv"), nullptr);
    EXPECT_FALSE(FEncoder.AddInputFile(task, Clip("z.mkv"), nullptr));
    EXPECT_EQ(FEncoder.LastErrMsg(), "max input files 1 reached");
    EXPECT_FALSE(FEncoder.SetOutputFile(task, FDir.File("no/dir/out.mkv"), nullptr));
    EXPECT_EQ(FEncoder.LastErrMsg(), FDir.File("no/dir/out.mkv") + ": No such file or directory");
    EXPECT_TRUE(FEncoder.SetOutputFile(task, FDir.File("out.mkv"), nullptr));
    EXPECT_FALSE(FEncoder.SetOutputFile(task, FDir.File("out2.mkv"), nullptr));
    EXPECT_EQ(FEncoder.LastErrMsg(), "max output files 1 reached");

    // A limit the engine cannot take is refused like any other failure.
    FEncoder.CustomMaxFiles = 0;
    EXPECT_EQ(FEncoder.AddTask(Clip("w.mkv"), nullptr), -1);
    EXPECT_EQ(FEncoder.LastErrMsg(), "The maximum number of files must be 1 to 512, not 0");
    // A name as a string literal is a file name, whatever the other argument.
    FEncoder.CustomMaxFiles = 20;
    const std::string literal = Clip("literal.mkv");
    EXPECT_GE(FEncoder.AddTask(literal.c_str(), std::string("re=")), 0);
}

TEST_F(EncoderTest, ThreeTasksGiveThreeEventsThenOneFinalEvent) {
    const std::string in = Clip("in.mkv");
    for (int i = 0; i < 3; ++i) AddConversion(in, FDir.File("out" + std::to_string(i) + ".mkv"), "vcodec=mpeg4");
    std::atomic<int> progress{0};
    FEncoder.OnProgress = [&](TCustomEncoder*, TProgressInfo* info) {
        EXPECT_GE(info->TaskIndex, 0);
        ++progress;
    };
    FEncoder.Start(3);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    std::this_thread::sleep_for(50ms);
    avbind::PumpMainThreadQueue();
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 4u);
    std::vector<int> indexes;
    for (std::size_t i = 0; i < 3; ++i) {
        indexes.push_back(ends[i].TaskIndex);
        EXPECT_TRUE(ends[i].Finished);
        EXPECT_FALSE(ends[i].Exception);
    }
    EXPECT_THAT(indexes, testing::UnorderedElementsAre(0, 1, 2));
    EXPECT_EQ(ends[3].TaskIndex, -1);
    EXPECT_TRUE(ends[3].Finished);
    EXPECT_GE(progress, 3);  // at least each task's final report
    EXPECT_TRUE(FEncoder.Terminated());

    // The busy rule holds until the list is cleared.
    try {
        FEncoder.AddTask(in, nullptr);
        ADD_FAILURE() << "a task was added after the run";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot AddTask while working.");
    }
    FEncoder.ClearTasks();
    EXPECT_FALSE(FEncoder.Working());
    EXPECT_GE(FEncoder.AddTask(in, nullptr), 0);
}

TEST_F(EncoderTest, OneThreadRunsTasksOneAfterAnotherAndZeroRunsThemHere) {
    const std::string in = Clip("in.mkv");
    for (int i = 0; i < 3; ++i) AddConversion(in, FDir.File("seq" + std::to_string(i) + ".mkv"), "vcodec=mpeg4");
    FEncoder.Start(1);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 4u);
    EXPECT_EQ(ends[0].TaskIndex, 0);  // each finishing task started the next
    EXPECT_EQ(ends[1].TaskIndex, 1);
    EXPECT_EQ(ends[2].TaskIndex, 2);

    FEncoder.ClearTasks();
    {
        std::lock_guard lock(FLock);
        FEnds.clear();
    }
    for (int i = 0; i < 2; ++i) AddConversion(in, FDir.File("sync" + std::to_string(i) + ".mkv"), "vcodec=mpeg4");
    FEncoder.Start(0);  // returns when everything has ended
    const auto syncEnds = Ends();
    ASSERT_EQ(syncEnds.size(), 3u);
    EXPECT_EQ(syncEnds[2].TaskIndex, -1);
}

TEST_F(EncoderTest, StopWithStartedAndUnstartedTasks) {
    const std::string in = Clip("long.mkv", 20);
    for (int i = 0; i < 5; ++i)
        AddConversion(in, FDir.File("stop" + std::to_string(i) + ".mkv"), "vcodec=mpeg4", "re=");
    std::atomic<int> progress{0};
    FEncoder.SetProgressInterval(50);
    EXPECT_EQ(FEncoder.ProgressInterval(), 100);
    FEncoder.OnProgress = [&](TCustomEncoder*, TProgressInfo*) { ++progress; };
    FEncoder.Start(2);
    ASSERT_TRUE(WaitFor([&] { return progress > 2; }));
    const auto stopped = std::chrono::steady_clock::now();
    FEncoder.Stop(true);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    const auto latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopped);
    std::printf("stop to final event: %lld ms\n", static_cast<long long>(latency.count()));
    EXPECT_LT(latency, 2s);
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 6u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_FALSE(ends[i].Finished) << ends[i].TaskIndex;
    EXPECT_EQ(ends[5].TaskIndex, -1);
    // Started outputs keep what was written; none is left empty.
    int kept = 0;
    for (int i = 0; i < 5; ++i) {
        const std::string name = FDir.File("stop" + std::to_string(i) + ".mkv");
        if (!std::filesystem::exists(name)) continue;
        EXPECT_GT(std::filesystem::file_size(name), 0u) << name;
        ++kept;
    }
    EXPECT_GE(kept, 2);
}

TEST_F(EncoderTest, PauseHoldsProgressAndResumeContinues) {
    const std::string in = Clip("paced.mkv", 6);
    AddConversion(in, FDir.File("paused0.mkv"), "vcodec=mpeg4", "re=");
    AddConversion(in, FDir.File("paused1.mkv"), "vcodec=mpeg4", "re=");
    std::atomic<std::int64_t> position{0};
    FEncoder.SetProgressInterval(100);
    FEncoder.OnProgress = [&](TCustomEncoder*, TProgressInfo* info) {
        position = std::max<std::int64_t>(position, info->CurrentDuration);
    };
    FEncoder.Pause();  // not working: nothing happens
    EXPECT_FALSE(FEncoder.Paused());
    FEncoder.Start(2);
    ASSERT_TRUE(WaitFor([&] { return position > 300000; }));
    FEncoder.Pause();
    FEncoder.Pause();
    EXPECT_TRUE(FEncoder.Paused());
    WaitFor([] { return false; }, 300ms);  // serve what was queued before the pause
    const std::int64_t held = position;
    WaitFor([] { return false; }, 700ms);
    EXPECT_EQ(position, held);
    FEncoder.Resume();
    EXPECT_FALSE(FEncoder.Paused());
    ASSERT_TRUE(WaitFor([&] { return position > held + 200000; }));
    try {
        FEncoder.ClearTasks();
        ADD_FAILURE() << "cleared while converting";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot ClearTasks while working.");
    }
    // A stop while paused ends both tasks, once each.
    FEncoder.Pause();
    const auto stopped = std::chrono::steady_clock::now();
    FEncoder.Stop(true);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
    EXPECT_EQ(Ends().size(), 3u);
    FEncoder.ClearTasks();
}

TEST_F(EncoderTest, HooksCarryTheTaskIndex) {
    const std::string in = Clip("in.mkv");
    AddConversion(in, FDir.File("unhooked.mkv"), "vcodec=mpeg4");
    AddConversion(in, FDir.File("hooked.mkv"), "vcodec=mpeg4<CRLF>VideoOutputHook=<CRLF>AudioHook=1");
    std::atomic<int> video{0}, audio{0};
    std::atomic<int> wrongIndex{0};
    FEncoder.OnVideoOutputHook = [&](TCustomEncoder*, THookInfo* info) {
        if (info->TaskIndex != 1) ++wrongIndex;
        EXPECT_TRUE(info->Update);
        ++video;
    };
    FEncoder.OnAudioHook = [&](TCustomEncoder*, int task, std::int64_t, std::uint8_t*, int size, int, int,
                               AVSampleFormat) {
        if (task != 1 || size <= 0) ++wrongIndex;
        ++audio;
    };
    FEncoder.Start(2);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    EXPECT_EQ(video, 25);
    EXPECT_GT(audio, 0);
    EXPECT_EQ(wrongIndex, 0);
}

namespace {

// A stream object over a byte buffer.
class TMemoryStream : public avhelpers::TMediaStream {
public:
    std::vector<std::uint8_t> Bytes;
    std::size_t Position = 0;

    int Read(std::uint8_t* buffer, int size) override {
        const std::size_t n = std::min(static_cast<std::size_t>(size), Bytes.size() - std::min(Position, Bytes.size()));
        std::memcpy(buffer, Bytes.data() + Position, n);
        Position += n;
        return static_cast<int>(n);
    }
    int Write(const std::uint8_t* buffer, int size) override {
        if (Position + static_cast<std::size_t>(size) > Bytes.size())
            Bytes.resize(Position + static_cast<std::size_t>(size));
        std::memcpy(Bytes.data() + Position, buffer, static_cast<std::size_t>(size));
        Position += static_cast<std::size_t>(size);
        return size;
    }
    std::int64_t Seek(std::int64_t offset, int whence) override {
        const std::int64_t base = whence == SEEK_CUR ? static_cast<std::int64_t>(Position)
                                  : whence == SEEK_END ? static_cast<std::int64_t>(Bytes.size())
                                                       : 0;
        if (base + offset < 0) return AVERROR(EINVAL);
        Position = static_cast<std::size_t>(base + offset);
        return static_cast<std::int64_t>(Position);
    }
    std::int64_t Size() override { return static_cast<std::int64_t>(Bytes.size()); }
};

} // namespace

TEST_F(EncoderTest, StreamObjectsAsInputAndOutput) {
    const std::string file = Clip("source.mkv");
    TMemoryStream input, output;
    {
        std::ifstream in(file, std::ios::binary);
        input.Bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    avhelpers::RegisterStreamObject(&input);
    avhelpers::RegisterStreamObject(&output);
    const int task = FEncoder.AddStreamTask(&input, "source.mkv", nullptr);
    ASSERT_GE(task, 0) << FEncoder.LastErrMsg();
    TOutputOptions options;
    options.VideoCodec = "mpeg4";
    ASSERT_TRUE(FEncoder.SetOutputStream(task, &output, &options, "result.mkv")) << FEncoder.LastErrMsg();
    FEncoder.Start(1);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    EXPECT_TRUE(Ends().front().Finished) << Ends().front().ExceptionMsg;
    FEncoder.ClearTasks();
    avhelpers::UnregisterStreamObject(&input);
    avhelpers::UnregisterStreamObject(&output);

    ASSERT_GT(output.Bytes.size(), 1000u);
    const std::string copy = FDir.File("from-stream.mkv");
    std::ofstream(copy, std::ios::binary).write(reinterpret_cast<const char*>(output.Bytes.data()),
                                                static_cast<std::streamsize>(output.Bytes.size()));
    probe::TFFDecoder probe;
    ASSERT_TRUE(probe.LoadFile(copy)) << probe.LastErrMsg();
    EXPECT_EQ(probe.VideoStreamCount(), 1);
    EXPECT_EQ(probe.AudioStreamCount(), 1);

    // A key that names no registered object is refused like a missing file.
    TMemoryStream unknown;
    EXPECT_EQ(FEncoder.AddStreamTask(&unknown, "x", nullptr), -1);
    EXPECT_THAT(FEncoder.LastErrMsg(), testing::EndsWith(": No such file or directory"));
}

TEST_F(EncoderTest, PreviewWindowClosedByTheUserEndsThePreviewOnly) {
    // A window that the user closes after two pictures.
    struct TFakeWindow : TPreviewWindow {
        explicit TFakeWindow(std::atomic<int>& shown) : Shown(shown) {}
        void Show(const avhelpers::TBitmap& bitmap, const std::string& caption) override {
            EXPECT_EQ(bitmap.Width(), 64);
            EXPECT_THAT(caption, testing::MatchesRegex("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}"));
            ++Shown;
        }
        bool Closed() const override { return Shown >= 2; }
        std::atomic<int>& Shown;
    };
    std::atomic<int> shown{0};
    std::atomic<bool> onMainThread{true};
    SetPreviewWindowFactory([&] {
        onMainThread = onMainThread && avbind::IsMainThread();
        return std::make_unique<TFakeWindow>(shown);
    });
    const std::string in = Clip("in.mkv", 2);
    FEncoder.SetPreview(true);
    AddConversion(in, FDir.File("previewed.mkv"), "vcodec=mpeg4", "re=");
    FEncoder.Start(1);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    SetPreviewWindowFactory(nullptr);
    EXPECT_EQ(shown, 2);  // nothing painted after the window was closed
    EXPECT_TRUE(onMainThread);
    EXPECT_TRUE(Ends().front().Finished);  // the conversion went on
    EXPECT_FALSE(FEncoder.Task(0).PostHooks().count(engine::TPostHook::phPreview));
}

namespace {

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

} // namespace

TEST_F(EncoderTest, DescriptorsReturnAfterFinishedFailedAndStoppedTasks) {
    const std::string shortClip = Clip("short.mkv", 0.5);
    const std::string longClip = Clip("long.mkv", 20);
    // An empty list ends at once with the final event alone.
    FEncoder.Start(2);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    EXPECT_EQ(Ends().size(), 1u);
    FEncoder.ClearTasks();
    {
        std::lock_guard lock(FLock);
        FEnds.clear();
    }
    const int before = OpenDescriptors();

    AddConversion(shortClip, FDir.File("a.mkv"), "vcodec=mpeg4");
    AddConversion(shortClip, FDir.File("b.mp4"), "vcodec=mpeg4<CRLF>acodec=aac");
    EXPECT_EQ(FEncoder.AddTask(FDir.File("missing.mkv"), nullptr), -1);
    const int refused = FEncoder.AddTask(shortClip, nullptr);
    EXPECT_FALSE(FEncoder.SetOutputFile(refused, FDir.File("no/dir/out.mkv"), nullptr));
    FEncoder.Start(2);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    FEncoder.ClearTasks();
    EXPECT_EQ(OpenDescriptors(), before) << "after finished and refused tasks";

    FEnds.clear();
    for (int i = 0; i < 3; ++i)
        AddConversion(longClip, FDir.File("stop" + std::to_string(i) + ".mkv"), "vcodec=mpeg4", "re=");
    std::atomic<int> progress{0};
    FEncoder.OnProgress = [&](TCustomEncoder*, TProgressInfo*) { ++progress; };
    FEncoder.Start(2);
    ASSERT_TRUE(WaitFor([&] { return progress > 1; }));
    FEncoder.Stop(true);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    FEncoder.ClearTasks();
    EXPECT_EQ(OpenDescriptors(), before) << "after stopped tasks";
}

namespace {

// Damaged copies of a good file: cut at many places, bytes overwritten, the
// header trashed. Deterministic, so a failure can be reproduced.
std::vector<std::string> DamagedCopies(const std::string& source, const std::string& folder, int scale) {
    const std::string data = zctest::ReadAll(source);
    std::vector<std::string> names;
    const std::string stem = std::filesystem::path(source).stem().string();
    const std::string ext = std::filesystem::path(source).extension().string();
    auto write = [&](const std::string& name, const std::string& bytes) {
        names.push_back((std::filesystem::path(folder) / name).string());
        std::ofstream(names.back(), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    const int cuts = 8 * scale;
    for (int i = 0; i < cuts; ++i)
        write(stem + "-cut" + std::to_string(i) + ext,
              data.substr(0, data.size() * static_cast<std::size_t>(i) / cuts));
    for (int i = 0; i < 6 * scale; ++i) {
        std::string bytes = data;
        const std::size_t at = next() % bytes.size();
        for (std::size_t k = at; k < std::min(bytes.size(), at + 1 + next() % 64); ++k)
            bytes[k] = static_cast<char>(next() >> 16);
        write(stem + "-hit" + std::to_string(i) + ext, bytes);
    }
    std::string header = data;
    for (std::size_t k = 0; k < std::min<std::size_t>(256, header.size()); ++k)
        header[k] = static_cast<char>(next() >> 16);
    write(stem + "-header" + ext, header);
    write(stem + "-lying" + (ext == ".mkv" ? ".mp4" : ".mkv"), data);
    return names;
}

} // namespace

TEST_F(EncoderTest, DamagedMediaEndsEveryTaskWithAnEvent) {
    // ZC_CORPUS_SCALE sets the corpus size (10: some 570 files).
    const char* scaleText = std::getenv("ZC_CORPUS_SCALE");
    const int scale = std::max(1, scaleText ? std::atoi(scaleText) : 10);
    std::vector<std::string> corpus{FDir.File("empty.mkv")};
    std::ofstream(corpus.front()).flush();
    for (const std::string format : {"matroska", "mp4", "avi", "mpegts"}) {
        zctest::TMediaRecipe mediaRecipe;
        mediaRecipe.Format = format;
        mediaRecipe.Seconds = 0.5;
        mediaRecipe.Width = 64;
        mediaRecipe.Height = 48;
        if (mediaRecipe.Format == "mp4") mediaRecipe.AudioCodec = "aac";
        const std::string ext = format == "matroska" ? ".mkv" : format == "mpegts" ? ".ts" : "." + mediaRecipe.Format;
        const std::string source = zctest::MakeTestMedia(FDir.File("source-" + mediaRecipe.Format + ext), mediaRecipe);
        for (const std::string& name : DamagedCopies(source, FDir.Path().string(), scale)) corpus.push_back(name);
    }
    // Good files with streams the chosen encoders cannot take: six channels
    // for a two-channel encoder, a picture size the encoder refuses.
    std::vector<std::string> outputTexts(corpus.size(), "vcodec=mpeg4<CRLF>acodec=mp2");
    zctest::TMediaRecipe sixChannels;
    sixChannels.Format = "matroska";
    sixChannels.Seconds = 0.5;
    sixChannels.Width = 64;
    sixChannels.Height = 48;
    sixChannels.Channels = 6;
    sixChannels.AudioCodec = "pcm_s16le";
    corpus.push_back(zctest::MakeTestMedia(FDir.File("six-channels.mkv"), sixChannels));
    outputTexts.push_back("vcodec=mpeg4<CRLF>acodec=mp2<CRLF>ac=6");
    corpus.push_back(corpus.back());
    outputTexts.push_back("vcodec=h263<CRLF>an=");
    int refused = 0;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        const int task = FEncoder.AddTask(corpus[i], nullptr);
        if (task < 0) {
            EXPECT_FALSE(FEncoder.LastErrMsg().empty()) << corpus[i];
            ++refused;
            continue;
        }
        if (!FEncoder.SetOutputFile(task, FDir.File("out" + std::to_string(i) + ".mkv"), outputTexts[i])) {
            EXPECT_FALSE(FEncoder.LastErrMsg().empty()) << corpus[i];
            ++refused;
        }
    }
    const int tasks = FEncoder.TasksCount();
    FEncoder.Start(2);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }, 120s)) << "the run did not end";
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), static_cast<std::size_t>(tasks) + 1);
    int finished = 0;
    for (std::size_t i = 0; i + 1 < ends.size(); ++i) {
        if (ends[i].Finished) ++finished;
        else EXPECT_FALSE(ends[i].ExceptionMsg.empty()) << "task " << ends[i].TaskIndex << " failed without a message";
    }
    std::printf("damaged media: %zu files, %d refused when added, %d finished, %d ended with an error\n", corpus.size(),
                refused, finished, tasks - finished);
    // The two unencodable ones are the last tasks; neither may pass as finished.
    ASSERT_GE(ends.size(), 3u);
    for (const TTerminateInfo& end : ends)
        if (end.TaskIndex >= tasks - 2) {
            EXPECT_FALSE(end.Finished) << "task " << end.TaskIndex;
            std::printf("unencodable: %s\n", end.ExceptionMsg.c_str());
        }
}

TEST_F(EncoderTest, AFullDiskEndsTheTaskWithAnError) {
    const std::string in = Clip("big.mkv", 4);
    AddConversion(in, FDir.File("full.mkv"), "vcodec=mpeg4<CRLF>acodec=mp2<CRLF>qscale=2");
    // A file-size limit stands in for a full disk: writes past it fail with EFBIG.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 32 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    FEncoder.Start(1);
    const bool ended = WaitFor([&] { return RunEnded(); }, 60s);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);
    ASSERT_TRUE(ended);
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_FALSE(ends[0].Finished);
    EXPECT_FALSE(ends[0].ExceptionMsg.empty());
    std::printf("full disk: %s\n", ends[0].ExceptionMsg.c_str());
}

TEST_F(EncoderTest, StopInJoinModeEndsOnceAndKeepsTheOutput) {
    const std::string a = Clip("ja.mkv", 20), b = Clip("jb.mkv", 20);
    const int task = FEncoder.AddTask(a, "re=");
    ASSERT_GE(task, 0);
    ASSERT_TRUE(FEncoder.AddInputFile(task, b, "re="));
    ASSERT_TRUE(FEncoder.SetOutputFile(task, FDir.File("joined.mkv"), "Join=<CRLF>vcodec=mpeg4<CRLF>acodec=mp2"));
    std::atomic<int> progress{0};
    FEncoder.OnProgress = [&](TCustomEncoder*, TProgressInfo*) { ++progress; };
    FEncoder.Start(1);
    ASSERT_TRUE(WaitFor([&] { return progress > 1; }));
    const auto stopped = std::chrono::steady_clock::now();
    FEncoder.Stop(true);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_FALSE(ends[0].Finished);
    // What was written before the stop reads back.
    AVFormatContext* raw = nullptr;
    ASSERT_GE(avbind::avformat.avformat_open_input(&raw, FDir.File("joined.mkv").c_str(), nullptr, nullptr), 0);
    avbind::TAVInputContextPtr ic(raw);
    EXPECT_GE(avbind::avformat.avformat_find_stream_info(raw, nullptr), 0);
    EXPECT_EQ(raw->nb_streams, 2u);
}

namespace {

// Writes `data` into a pipe from its own thread; with `stallAt` it stops
// there and holds the pipe open until released.
class TPipeWriter {
public:
    TPipeWriter(std::string path, std::string data, std::size_t stallAt = std::string::npos)
        : FThread([this, path = std::move(path), data = std::move(data), stallAt] {
              const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
              if (fd < 0) return;
              const std::size_t end = std::min(stallAt, data.size());
              for (std::size_t at = 0; at < end;) {
                  const ssize_t n = ::write(fd, data.data() + at, end - at);
                  if (n <= 0) break;
                  at += static_cast<std::size_t>(n);
              }
              FStalled = true;
              std::unique_lock lock(FLock);
              FRelease.wait(lock, [this] { return FReleased; });
              ::close(fd);
          }) {}
    ~TPipeWriter() {
        Release();
        FThread.join();
    }
    void Release() {
        std::lock_guard lock(FLock);
        FReleased = true;
        FRelease.notify_all();
    }
    std::atomic<bool> FStalled{false};

private:
    std::mutex FLock;
    std::condition_variable FRelease;
    bool FReleased = false;
    std::thread FThread;  // last: starts once the rest is ready
};

} // namespace

TEST_F(EncoderTest, PipesThatNeverDeliverEndOnStopOrTimeout) {
    const std::string pipe = FDir.File("never.pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const int descriptors = OpenDescriptors();

    // No writer ever comes: a stop from another thread ends the open.
    int index = 0;
    std::string message;
    std::thread adder([&] {
        index = FEncoder.AddTask(pipe, "");
        message = FEncoder.LastErrMsg();
    });
    std::this_thread::sleep_for(300ms);
    auto stopped = std::chrono::steady_clock::now();
    FEncoder.Stop(true);
    adder.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
    EXPECT_EQ(index, -1);
    EXPECT_THAT(message, testing::HasSubstr("opening was stopped"));
    EXPECT_EQ(FEncoder.TasksCount(), 0);

    // A writer that never writes: the read timeout ends the wait.
    const int writer = ::open(pipe.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    FEncoder.ReadTimeout = 300;
    stopped = std::chrono::steady_clock::now();
    EXPECT_EQ(FEncoder.AddTask(pipe, ""), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
    EXPECT_THAT(FEncoder.LastErrMsg(), testing::HasSubstr("nothing was received for 300 ms"));
    ::close(writer);
    EXPECT_TRUE(Ends().empty()) << "no task was added, so no event";
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(EncoderTest, APipeConvertsAndAStalledPipeStopsQuickly) {
    const std::string clip = zctest::ReadAll(Clip("piped.mkv", 2));
    const std::string pipe = FDir.File("clip.pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    {
        TPipeWriter writer(pipe, clip);
        AddConversion(pipe, FDir.File("from-pipe.mkv"), "vcodec=mpeg4<CRLF>acodec=mp2");
        FEncoder.Start(1);
        writer.Release();
        ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    }
    auto ends = Ends();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_TRUE(ends[0].Finished) << ends[0].ExceptionMsg;

    // The writer stalls in the middle and keeps the pipe open: the stop still ends the task.
    FEncoder.ClearTasks();
    {
        std::lock_guard lock(FLock);
        FEnds.clear();
    }
    TPipeWriter stalling(pipe, clip, clip.size() / 2);
    AddConversion(pipe, FDir.File("stalled.mkv"), "vcodec=mpeg4<CRLF>acodec=mp2");
    FEncoder.Start(1);
    ASSERT_TRUE(WaitFor([&] { return stalling.FStalled.load(); }));
    std::this_thread::sleep_for(300ms);
    const auto stopped = std::chrono::steady_clock::now();
    FEncoder.Stop(true);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
    ends = Ends();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_FALSE(ends[0].Finished);
    const std::string out = FDir.File("stalled.mkv");
    if (std::filesystem::exists(out)) {
        EXPECT_GT(std::filesystem::file_size(out), 0u);
    }
    std::printf("stalled pipe: %s\n", ends[0].ExceptionMsg.c_str());
    FEncoder.ClearTasks();
    stalling.Release();
}

TEST_F(EncoderTest, AStopDuringTheDrainEndsOnceAndKeepsAReadableOutput) {
    // "reverse" holds every picture until the input ends, so output pictures
    // appear only in the drain; the hook slows them down to make the drain last.
    const std::string in = Clip("drain.mkv", 3, false);
    const std::string out = FDir.File("drained.mkv");
    AddConversion(in, out, "vcodec=mpeg4<CRLF>vf=reverse<CRLF>VideoOutputHook=");
    std::atomic<int> drained{0};
    FEncoder.OnVideoOutputHook = [&](TCustomEncoder*, THookInfo*) {
        ++drained;
        std::this_thread::sleep_for(20ms);
    };
    FEncoder.Start(1);
    ASSERT_TRUE(WaitFor([&] { return drained > 3; }));
    const auto stopped = std::chrono::steady_clock::now();
    FEncoder.Stop(true);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
    std::printf("pictures out before the stop took hold: %d of 75\n", drained.load());
    EXPECT_LT(drained, 75) << "the drain went on after the stop";
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_FALSE(ends[0].Finished);
    AVFormatContext* raw = nullptr;
    ASSERT_GE(avbind::avformat.avformat_open_input(&raw, out.c_str(), nullptr, nullptr), 0);
    avbind::TAVInputContextPtr ic(raw);
    EXPECT_GE(avbind::avformat.avformat_find_stream_info(raw, nullptr), 0);
}

TEST_F(EncoderTest, AStopLeavesAFinishedOutputAlone) {
    const std::string shortClip = Clip("short.mkv", 0.5), longClip = Clip("long.mkv", 20);
    const std::string done = FDir.File("done.mkv"), cut = FDir.File("cut.mkv");
    AddConversion(shortClip, done, "vcodec=mpeg4<CRLF>acodec=mp2");
    AddConversion(longClip, cut, "vcodec=mpeg4<CRLF>acodec=mp2", "re=");
    FEncoder.Start(2);
    ASSERT_TRUE(WaitFor([&] { return !Ends().empty(); }));
    ASSERT_TRUE(Ends().front().Finished);
    const std::string before = zctest::ReadAll(done);
    ASSERT_FALSE(before.empty());
    FEncoder.Stop(true);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 3u);
    EXPECT_FALSE(ends[1].Finished);
    EXPECT_EQ(zctest::ReadAll(done), before) << "the finished output changed";
    EXPECT_GT(std::filesystem::file_size(cut), 0u);
}

TEST_F(EncoderTest, TheTextKeepsWhatTheRecordLeavesAtItsDefaults) {
    const std::string in = Clip("in.mkv");
    const int task = FEncoder.AddTask(in, nullptr);
    ASSERT_TRUE(FEncoder.SetOutputFile(task, FDir.File("text.mkv"),
                                       "async=1<CRLF>vsync=2<CRLF>isync=1<CRLF>alang=fre<CRLF>vlang=ger"))
        << FEncoder.LastErrMsg();
    TFFmpeg& engine = FEncoder.Task(task);
    EXPECT_EQ(engine.TaskOptions().audio_sync_method, 1);
    EXPECT_EQ(engine.TaskOptions().video_sync_method, 2);
    EXPECT_TRUE(engine.TaskOptions().input_sync);
    auto language = [&](AVMediaType type) {
        for (const auto& ost : engine.OutputStreams(0))
            if (ost->st->codecpar->codec_type == type)
                if (const AVDictionaryEntry* e = avbind::avutil.av_dict_get(ost->st->metadata, "language", nullptr, 0))
                    return std::string(e->value);
        return std::string();
    };
    EXPECT_EQ(language(AVMEDIA_TYPE_AUDIO), "fre");
    EXPECT_EQ(language(AVMEDIA_TYPE_VIDEO), "ger");

    // Fields the caller did set still win.
    const int other = FEncoder.AddTask(in, nullptr);
    TOutputOptions options;
    options.AudioSyncMethod = 2;
    options.AudioLanguage = "eng";
    options.ExtOptions = "async=1\nalang=fre";
    ASSERT_TRUE(FEncoder.SetOutputFile(other, FDir.File("record.mkv"), &options)) << FEncoder.LastErrMsg();
    EXPECT_EQ(FEncoder.Task(other).TaskOptions().audio_sync_method, 2);
}

namespace {

// Threads of this process now.
int ProcessThreads() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

// Descriptors of this process open on the given file.
int DescriptorsOn(const std::string& path) {
    int count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec))
        if (std::filesystem::read_symlink(entry.path(), ec) == path) ++count;
    return count;
}

} // namespace

TEST_F(EncoderTest, CodecsUseTheCoresUnlessThreadsSaysOtherwise) {
    // Large enough pictures that the codecs start their threads.
    const std::string in = Clip("big.mkv", 3, true, 640, 480);
    auto peakThreads = [&](const std::string& inputText) {
        FEncoder.ClearTasks();
        FEnds.clear();
        AddConversion(in, FDir.File("t.mkv"), "vcodec=mpeg4", inputText);
        const int before = ProcessThreads();
        FEncoder.Start(1);
        int peak = 0;
        // Generous: sanitizer builds under load convert many times slower.
        EXPECT_TRUE(WaitFor([&] {
            peak = std::max(peak, ProcessThreads() - before);
            return RunEnded();
        }, 120s));
        return peak;
    };
    const int automatic = peakThreads("");
    const int one = peakThreads("threads=1");
    // One thread each for the decoder and the encoder beside the worker; the
    // libraries' own choice adds codec threads on a machine with more than one core.
    if (std::thread::hardware_concurrency() > 1) {
        EXPECT_GT(automatic, one);
    }
    EXPECT_LE(one, 3);
}

TEST_F(EncoderTest, DeferredTasksOpenTheirFilesOnlyWhenTheyStart) {
    std::vector<std::string> inputs;
    for (int i = 0; i < 5; ++i) inputs.push_back(Clip("in" + std::to_string(i) + ".mkv", 1.5));
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(FEncoder.AddDeferredTask([this, i, in = inputs[static_cast<std::size_t>(i)]](int task) {
            if (!FEncoder.AddInputFile(task, in)) throw std::runtime_error(FEncoder.LastErrMsg());
            if (!FEncoder.SetOutputFile(task, FDir.File("out" + std::to_string(i) + ".mkv"), "vcodec=mpeg4"))
                throw std::runtime_error(FEncoder.LastErrMsg());
        }),
                  i);
    // A failing set-up ends its task as failed, with its message.
    FEncoder.AddDeferredTask([](int) { throw std::runtime_error("no such thing"); });
    for (const std::string& in : inputs) EXPECT_EQ(DescriptorsOn(in), 0) << "opened before its task started";
    FEncoder.Start(2);
    int mostRunning = 0, mostOpen = 0;
    ASSERT_TRUE(WaitFor([&] {
        int running = 0, open = 0;
        for (int t = 0; t < 5; ++t) running += FEncoder.Task(t).Converting() ? 1 : 0;
        for (const std::string& in : inputs) open += DescriptorsOn(in) > 0 ? 1 : 0;
        mostRunning = std::max(mostRunning, running);
        mostOpen = std::max(mostOpen, open);
        return RunEnded();
    }, 60s));
    EXPECT_LE(mostRunning, 2);
    EXPECT_GE(mostRunning, 1);
    EXPECT_LE(mostOpen, 2);
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 7u);
    int finished = 0;
    for (const TTerminateInfo& end : ends) {
        if (end.TaskIndex >= 0 && end.TaskIndex < 5) finished += end.Finished ? 1 : 0;
        if (end.TaskIndex == 5) {
            EXPECT_TRUE(end.Exception);
            EXPECT_EQ(end.ExceptionMsg, "no such thing");
        }
    }
    EXPECT_EQ(finished, 5);
}

TEST_F(EncoderTest, ASetUpCutShortByAStopEndsItsTaskStoppedNotFailed) {
    // The set-up waits for the stop, then fails the way an interrupted open does.
    std::atomic<bool> started{false};
    FEncoder.AddDeferredTask([&](int task) {
        started = true;
        while (!FEncoder.Task(task).StopRequested()) std::this_thread::sleep_for(5ms);
        throw std::runtime_error("out.mkv: Immediate exit requested");
    });
    FEncoder.Start(1);
    ASSERT_TRUE(WaitFor([&] { return started.load(); }));
    FEncoder.Stop(false);
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].TaskIndex, 0);
    EXPECT_FALSE(ends[0].Finished);
    EXPECT_FALSE(ends[0].Exception) << ends[0].ExceptionMsg;
}

TEST_F(EncoderTest, AFinalNoticeHandlerMayClearTheList) {
    // On the main thread (the default) and on the delivery thread: the handler
    // clears the list from inside its own delivery without waiting for itself.
    for (const bool inMainThread : {true, false}) {
        SCOPED_TRACE(inMainThread);
        FEncoder.TriggerEventInMainThread = inMainThread;
        AddConversion(Clip("c.mkv", 0.2), FDir.File("c-out.mkv"), "vcodec=mpeg4");
        std::atomic<bool> cleared{false};
        FEncoder.OnTerminate = [&](TCustomEncoder* encoder, const TTerminateInfo& info) {
            if (info.TaskIndex != -1) return;
            encoder->ClearTasks();
            cleared = true;
        };
        FEncoder.Start(1);
        ASSERT_TRUE(WaitFor([&] { return cleared.load(); }, 20s)) << "the handler waited for itself";
        EXPECT_EQ(FEncoder.TasksCount(), 0);
    }
}

TEST_F(EncoderTest, AHandlerOfARunWithoutThreadsMayStopIt) {
    // The handler's Stop ends the tasks not yet started (each on a thread of
    // its own); their notices still come one at a time, and the run ends once.
    const std::string in = Clip("s.mkv", 0.2);
    for (int i = 0; i < 3; ++i) AddConversion(in, FDir.File("s" + std::to_string(i) + ".mkv"), "vcodec=mpeg4");
    std::atomic<int> finals{0}, finished{0}, inside{0}, mostInside{0};
    FEncoder.TriggerEventInMainThread = false;
    FEncoder.OnTerminate = [&](TCustomEncoder* encoder, const TTerminateInfo& info) {
        const int now = ++inside;
        mostInside = std::max(mostInside.load(), now);
        if (info.TaskIndex == -1) ++finals;
        if (info.TaskIndex >= 0 && info.Finished) ++finished;
        if (info.TaskIndex == 0) encoder->Stop(false);
        std::this_thread::sleep_for(20ms);
        --inside;
    };
    FEncoder.Start(0);
    ASSERT_TRUE(WaitFor([&] { return finals > 0; }, 20s)) << "the run never ended";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(finals, 1);
    EXPECT_EQ(finished, 1);  // only the first task converted
    EXPECT_EQ(mostInside, 1) << "notices of one run overlapped";
    EXPECT_FALSE(std::filesystem::exists(FDir.File("s2.mkv")));
}

TEST_F(EncoderTest, PostedProgressNeverMakesAWorkerWaitForTheMainThread) {
    for (int i = 0; i < 4; ++i)
        AddConversion(Clip("p" + std::to_string(i) + ".mkv", 2), FDir.File("out" + std::to_string(i) + ".mkv"),
                      "vcodec=mpeg4");
    FEncoder.PostProgress = true;
    FEncoder.SetProgressInterval(100);
    std::map<int, int> reports;
    FEncoder.OnProgress = [&](TCustomEncoder*, TProgressInfo* info) { ++reports[info->TaskIndex]; };
    FEncoder.Start(4);
    // The main thread does not serve its queue: the workers still finish.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    auto allDone = [&] {
        for (int t = 0; t < 4; ++t)
            if (!FEncoder.Task(t).Terminated()) return false;
        return true;
    };
    while (!allDone() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(allDone()) << "a worker waited for the main thread";
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }));
    avbind::PumpMainThreadQueue();
    // The reports that piled up arrive merged: the newest of each task.
    EXPECT_EQ(reports.size(), 4u);
}
