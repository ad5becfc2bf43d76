#include "probe/Probe.h"

#include "avbind/FFLoad.h"
#include "tests/support/LogCatcher.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using namespace probe;
using avbind::avformat;
using testing::HasSubstr;

using zctest::TLogCatcher;

// Media written once for the whole suite.
class ProbeTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Dir = new zctest::TTempDir;
        auto make = [](const std::string& name, zctest::TMediaRecipe mediaRecipe) {
            std::string error;
            const std::string path = Dir->File(name);
            if (!zctest::WriteTestMedia(path, mediaRecipe, error)) ADD_FAILURE() << name << ": " << error;
            Files[name] = path;
        };
        make("clip.mp4", {.Format = "mp4", .AudioCodec = "aac"});
        make("clip.avi", {.Format = "avi", .FrameRate = {30000, 1001}});
        make("clip.mkv", {.Format = "matroska", .VideoFirst = false, .Width = 352, .Height = 288});
        make("clip.ts", {.Format = "mpegts", .Seconds = 2, .StartOffsetMicros = 3000000});
        make("programs.ts", {.Format = "mpegts", .Seconds = 0.5, .Programs = 3});
        make("sound.wav", {.Format = "wav", .Video = false, .Channels = 1, .AudioCodec = "pcm_s16le"});
        make("noduration.mkv", {.Format = "matroska", .Audio = false, .NoDuration = true});
        make("tagged.mkv", {.Format = "matroska",
                            .Seconds = 0.4,
                            .Metadata = {{"title", "Tagged clip"},
                                         {"comment", "line one"},
                                         {"year", "1999"},
                                         {"track", "not a number"},
                                         {"creation_time", "2021-03-04T05:06:07.000000Z"}}});
    }
    static void TearDownTestSuite() {
        delete Dir;
        Dir = nullptr;
    }
    static std::string File(const std::string& name) { return Files.at(name); }

    static inline zctest::TTempDir* Dir = nullptr;
    static inline std::map<std::string, std::string> Files;

    TLogCatcher Log;
    TFFDecoder Decoder;
};

TEST_F(ProbeTest, ContainersStreamsAndRates) {
    struct TCase {
        const char* File;
        const char* Format;
        int Width, Height;
        double Fps;
        int Channels;
        const char* AudioCodec;
    };
    const TCase cases[] = {
        {"clip.mp4", "mov,mp4,m4a,3gp,3g2,mj2", 320, 240, 25, 2, "aac("},
        {"clip.avi", "avi", 320, 240, 30000.0 / 1001, 2, "mp2("},
        {"clip.mkv", "matroska,webm", 352, 288, 25, 2, "mp2("},
        {"clip.ts", "mpegts", 320, 240, 25, 2, "mp2("},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.File);
        ASSERT_TRUE(Decoder.LoadFile(File(c.File))) << Decoder.LastErrMsg();
        EXPECT_EQ(Decoder.FormatName(), c.Format);
        EXPECT_FALSE(Decoder.FormatLongName().empty());
        EXPECT_EQ(Decoder.FileName(), File(c.File));
        EXPECT_EQ(Decoder.FileSize(), static_cast<std::int64_t>(std::filesystem::file_size(File(c.File))));
        EXPECT_EQ(Decoder.StreamCount(), 2);
        EXPECT_EQ(Decoder.VideoStreamCount(), 1);
        EXPECT_EQ(Decoder.AudioStreamCount(), 1);
        EXPECT_EQ(Decoder.SubtitleStreamCount(), 0);
        EXPECT_EQ(Decoder.FirstSubtitleStreamIndex(), -1);

        const TFileStreamInfo file = Decoder.FileStreamInfo();
        const double seconds = std::string(c.File) == "clip.ts" ? 2.0 : 1.0;
        EXPECT_NEAR(file.Duration / 1e6, seconds, 0.05);
        EXPECT_GT(file.BitRate, 0);

        const TVideoStreamInfo video = Decoder.FirstVideoStreamInfo();
        EXPECT_EQ(video.Width, c.Width);
        EXPECT_EQ(video.Height, c.Height);
        EXPECT_EQ(video.PixFmt, AV_PIX_FMT_YUV420P);
        EXPECT_NEAR(av_q2d(video.FrameRate), c.Fps, 0.01);
        EXPECT_NEAR(video.AspectRatio, static_cast<double>(c.Width) / c.Height, 0.001);
        EXPECT_THAT(video.CodecName, HasSubstr("mpeg4("));

        const TAudioStreamInfo audio = Decoder.FirstAudioStreamInfo();
        EXPECT_EQ(audio.Channels, c.Channels);
        EXPECT_EQ(audio.SampleRate, 44100);
        EXPECT_NE(audio.SampleFormat, AV_SAMPLE_FMT_NONE);
        EXPECT_GT(audio.BitRate, 0);
        EXPECT_THAT(audio.CodecName, HasSubstr(c.AudioCodec));
        if (audio.Duration != -1) {
            EXPECT_NEAR(audio.DurationScaled / 1e6, seconds, 0.05);
            AVStream* st = Decoder.FileHandle()->streams[Decoder.FirstAudioStreamIndex()];
            EXPECT_EQ(audio.DurationScaled, avbind::avutil.av_rescale_q(audio.Duration, st->time_base, AVRational{1, 1000000}));
        }
    }
}

TEST_F(ProbeTest, StreamOrderAndKinds) {
    ASSERT_TRUE(Decoder.LoadFile(File("clip.mp4")));
    EXPECT_EQ(Decoder.FirstVideoStreamIndex(), 0);
    EXPECT_EQ(Decoder.FirstAudioStreamIndex(), 1);
    EXPECT_TRUE(Decoder.IsVideoStream(0));
    EXPECT_FALSE(Decoder.IsVideoStream(1));
    EXPECT_TRUE(Decoder.IsAudioStream(1));
    EXPECT_FALSE(Decoder.IsSubtitleStream(0));

    ASSERT_TRUE(Decoder.LoadFile(File("clip.mkv")));
    EXPECT_EQ(Decoder.FirstAudioStreamIndex(), 0);
    EXPECT_EQ(Decoder.FirstVideoStreamIndex(), 1);
    TAudioStreamInfo audio;
    EXPECT_TRUE(Decoder.GetAudioStreamInfo(0, audio));
    EXPECT_EQ(audio.SampleRate, 44100);
}

TEST_F(ProbeTest, UnanswerableQueriesReport) {
    ASSERT_TRUE(Decoder.LoadFile(File("sound.wav")));
    ASSERT_EQ(Decoder.StreamCount(), 1);

    TVideoStreamInfo video;
    video.Width = 99;
    EXPECT_FALSE(Decoder.GetVideoStreamInfo(-1, video));
    EXPECT_EQ(Decoder.LastErrMsg(), "no video stream.");
    EXPECT_EQ(video.Width, -1);
    EXPECT_EQ(video.PixFmt, AV_PIX_FMT_NONE);
    EXPECT_EQ(video.AspectRatio, -1.0f);
    EXPECT_EQ(video.FrameRate.num, -1);
    EXPECT_EQ(video.FrameRate.den, -1);
    EXPECT_TRUE(video.CodecName.empty());
    const TLogCatcher::TLine line = Log.LastFrom(&Decoder);
    EXPECT_EQ(line.Msg, "no video stream.");
    EXPECT_EQ(line.Level, avbind::llError);

    EXPECT_FALSE(Decoder.IsAudioStream(Decoder.StreamCount()));
    EXPECT_EQ(Decoder.LastErrMsg(), "stream index #1 is invalid.");
    EXPECT_FALSE(Decoder.IsAudioStream(-1));
    EXPECT_EQ(Decoder.LastErrMsg(), "stream index #-1 is invalid.");
    EXPECT_FALSE(Decoder.GetVideoStreamInfo(0, video));
    EXPECT_EQ(Decoder.LastErrMsg(), "stream #0 is not video stream.");
    TAudioStreamInfo audio;
    EXPECT_FALSE(Decoder.GetAudioStreamInfo(5, audio));
    EXPECT_EQ(Decoder.LastErrMsg(), "stream index #5 is invalid.");
    TSubtitleStreamInfo subtitle;
    EXPECT_FALSE(Decoder.GetSubtitleStreamInfo(-1, subtitle));
    EXPECT_EQ(Decoder.LastErrMsg(), "no subtitle stream.");

    // A stream without a start time keeps -1 in both fields.
    audio = Decoder.FirstAudioStreamInfo();
    EXPECT_EQ(audio.Channels, 1);
    EXPECT_EQ(audio.StartTime, -1);
    EXPECT_EQ(audio.StartTimeScaled, -1);
    EXPECT_EQ(audio.DurationScaled, 1000000);
    EXPECT_EQ(Decoder.FileStreamInfo().StartTime, -1);
}

TEST_F(ProbeTest, ClosedProbeAnswersEmpty) {
    EXPECT_EQ(Decoder.StreamCount(), -1);
    EXPECT_EQ(Decoder.FileSize(), -1);
    EXPECT_EQ(Decoder.FirstVideoStreamIndex(), -1);
    EXPECT_FALSE(Decoder.IsVideoStream(0));
    EXPECT_EQ(Decoder.LastErrMsg(), "file not loaded.");
    EXPECT_EQ(Log.LastFrom(&Decoder).Level, avbind::llWarning);
    const TFileStreamInfo file = Decoder.FileStreamInfo();
    EXPECT_EQ(file.Duration, -1);
    EXPECT_EQ(file.BitRate, -1);
    EXPECT_EQ(file.Year, -1);
    EXPECT_EQ(Decoder.FileInfoText(), "");
    EXPECT_EQ(Decoder.FileName(), "");
    EXPECT_EQ(Decoder.FirstAudioStreamInfo().SampleRate, -1);
    EXPECT_EQ(Decoder.LastErrMsg(), "file not loaded.");

    // Closing forgets everything the file gave.
    ASSERT_TRUE(Decoder.LoadFile(File("clip.avi"), "avi"));
    EXPECT_EQ(Decoder.ForceFormat(), "avi");
    Decoder.CloseFile();
    EXPECT_EQ(Decoder.FileHandle(), nullptr);
    EXPECT_EQ(Decoder.ForceFormat(), "");
    EXPECT_EQ(Decoder.StreamCount(), -1);
    EXPECT_EQ(Decoder.AudioStreamCount(), -1);
    EXPECT_EQ(Decoder.FirstAudioStreamIndex(), -1);
    EXPECT_EQ(Decoder.ProgramCount(), -1);
}

TEST_F(ProbeTest, ContainerTimes) {
    ASSERT_TRUE(Decoder.LoadFile(File("noduration.mkv")));
    EXPECT_EQ(Decoder.FileStreamInfo().Duration, -1);
    EXPECT_THAT(Decoder.FileInfoText(), HasSubstr("\nDuration: N/A\n"));
    EXPECT_EQ(Decoder.FirstVideoStreamInfo().DurationScaled, -1);

    // The audio encoder's delay puts the start a little before the offset.
    ASSERT_TRUE(Decoder.LoadFile(File("clip.ts")));
    const TFileStreamInfo file = Decoder.FileStreamInfo();
    EXPECT_NEAR(file.StartTime / 1e6, 3.0, 0.02);
    EXPECT_NEAR(Decoder.FirstVideoStreamInfo().StartTimeScaled / 1e6, 3.0, 0.02);
    EXPECT_THAT(Decoder.FileInfoText(), testing::ContainsRegex("\nStartTime: 2\\.9[89][0-9]{4}\n"));
}

TEST_F(ProbeTest, ContainerMetadata) {
    ASSERT_TRUE(Decoder.LoadFile(File("tagged.mkv")));
    const TFileStreamInfo file = Decoder.FileStreamInfo();
    EXPECT_EQ(file.Title, "Tagged clip");
    EXPECT_EQ(file.Comment, "line one");
    EXPECT_EQ(file.Year, 1999);
    EXPECT_EQ(file.Track, 0);  // not a number
    EXPECT_EQ(file.Author, "");
    EXPECT_EQ(file.TimeStamp, INT64_C(1614834367000000));

    std::time_t when = 1614834367;
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_THAT(Decoder.FileInfoText(), HasSubstr(std::string("\nTime Stamp: ") + stamp + "\n"));

    ASSERT_TRUE(Decoder.LoadFile(File("clip.avi")));
    EXPECT_EQ(Decoder.FileStreamInfo().TimeStamp, 0);
    EXPECT_EQ(Decoder.FileStreamInfo().Year, 0);
    EXPECT_THAT(Decoder.FileInfoText(), testing::Not(HasSubstr("Time Stamp:")));
}

TEST_F(ProbeTest, OpenFailures) {
    ASSERT_TRUE(Decoder.LoadFile(File("clip.avi")));
    EXPECT_FALSE(Decoder.LoadFile(File("clip.avi"), "xyz"));
    EXPECT_EQ(Decoder.LastErrMsg(), "Unknown input format: xyz");
    EXPECT_EQ(Decoder.FileHandle(), nullptr);  // the previous file was closed first
    EXPECT_EQ(Decoder.StreamCount(), -1);

    const std::string missing = Dir->File("missing.avi");
    EXPECT_FALSE(Decoder.LoadFile(missing));
    EXPECT_EQ(Decoder.LastErrMsg(), missing + ": No such file or directory");
    const TLogCatcher::TLine line = Log.LastFrom(&Decoder);
    EXPECT_EQ(line.Msg, Decoder.LastErrMsg());
    EXPECT_EQ(line.Level, avbind::llError);

    const std::string junk = Dir->Write("junk.bin", std::string(4096, '\x01'));
    EXPECT_FALSE(Decoder.LoadFile(junk));
    EXPECT_EQ(Decoder.LastErrMsg(), junk + ": Invalid data found when processing input");
    EXPECT_EQ(Decoder.FileHandle(), nullptr);
    EXPECT_EQ(Decoder.ForceFormat(), "");
}

TEST_F(ProbeTest, PipesAreReadAndOneThatNeverDeliversTimesOut) {
    const std::string pipe = Dir->File("probe.pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    Decoder.SetReadTimeout(300);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(Decoder.LoadFile(pipe));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(Decoder.LastErrMsg(), pipe + ": nothing was received for 300 ms");

    // A writer delivering a whole clip: the probe reads it like a file.
    const std::string clip = zctest::ReadAll(File("clip.mkv"));
    std::thread writer([&] {
        std::ofstream out(pipe, std::ios::binary);
        out.write(clip.data(), static_cast<std::streamsize>(clip.size()));
    });
    // The probe may stop reading before the writer is done; the writer then
    // fails with EPIPE when the probe closes, rather than killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    Decoder.SetReadTimeout(5000);
    const bool loaded = Decoder.LoadFile(pipe);
    const int width = loaded ? Decoder.FirstVideoStreamInfo().Width : 0;
    Decoder.CloseFile();
    writer.join();
    ASSERT_TRUE(loaded) << Decoder.LastErrMsg();
    EXPECT_EQ(width, 352);
    std::filesystem::remove(pipe);
}

TEST_F(ProbeTest, ForeignContextStaysOpen) {
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(avformat.avformat_open_input(&raw, File("clip.mkv").c_str(), nullptr, nullptr), 0);
    avbind::TAVInputContextPtr foreign(raw);
    ASSERT_GE(avformat.avformat_find_stream_info(raw, nullptr), 0);
    {
        TFFDecoder attached;
        attached.SetFileHandle(raw);
        EXPECT_EQ(attached.FileHandle(), raw);
        EXPECT_EQ(attached.StreamCount(), 2);
        EXPECT_EQ(attached.FirstVideoStreamIndex(), 1);
        EXPECT_EQ(attached.FileSize(), static_cast<std::int64_t>(std::filesystem::file_size(File("clip.mkv"))));
        EXPECT_EQ(attached.FirstVideoStreamInfo().Width, 352);
        attached.CloseFile();
        EXPECT_EQ(attached.FileHandle(), nullptr);
        EXPECT_EQ(attached.StreamCount(), -1);

        // Opening another file or going away does not close it either.
        attached.SetFileHandle(raw);
        ASSERT_TRUE(attached.LoadFile(File("clip.avi")));
        attached.SetFileHandle(raw);
    }
    avbind::TAVPacketPtr packet(avbind::avcodec.av_packet_alloc());
    EXPECT_EQ(avformat.av_read_frame(raw, packet.get()), 0);
}

TEST_F(ProbeTest, BeforeFindStreamInfoEvent) {
    int calls = 0;
    Decoder.SetOnBeforeFindStreamInfo([&](TCustomDecoder* sender, AVFormatContext* context) {
        ++calls;
        EXPECT_EQ(sender, &Decoder);
        EXPECT_EQ(context, Decoder.FileHandle());
    });
    ASSERT_TRUE(Decoder.LoadFile(File("clip.avi")));
    EXPECT_EQ(calls, 1);

    // From another thread the event waits for the main thread.
    std::uint32_t eventThread = 0;
    Decoder.SetOnBeforeFindStreamInfo([&](TCustomDecoder*, AVFormatContext*) {
        eventThread = avbind::CurrentThreadID();
    });
    std::atomic<bool> done{false};
    bool loaded = false;
    std::thread worker([&] {
        loaded = Decoder.LoadFile(File("clip.mkv"));
        done = true;
    });
    while (!done) avbind::PumpMainThreadQueue(std::chrono::milliseconds(10));
    worker.join();
    EXPECT_TRUE(loaded);
    EXPECT_EQ(eventThread, avbind::CurrentThreadID());

    // An exception of the handler leaves no half-opened file behind.
    Decoder.SetTriggerEventInMainThread(false);
    Decoder.SetOnBeforeFindStreamInfo([](TCustomDecoder*, AVFormatContext*) { throw std::runtime_error("stop"); });
    EXPECT_THROW(Decoder.LoadFile(File("clip.avi")), std::runtime_error);
    EXPECT_EQ(Decoder.FileHandle(), nullptr);
}

TEST_F(ProbeTest, ProgramsInInfoText) {
    ASSERT_TRUE(Decoder.LoadFile(File("programs.ts")));
    EXPECT_EQ(Decoder.ProgramCount(), 3);
    EXPECT_EQ(Decoder.StreamCount(), 6);
    const std::string text = Decoder.FileInfoText();
    // Each program lists its pair of streams right after its header.
    const std::regex program(
        "Program ([123]) [^@\n]+@Service \\1\n(  .*\n)*Stream #\\d+\\[0x1\\d\\d\\], 1/90000: Video: .*\n"
        "Stream #\\d+\\[0x1\\d\\d\\], 1/90000: Audio: .*\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), program), std::sregex_iterator()), 3)
        << text;
}

TEST_F(ProbeTest, ChaptersInInfoText) {
    // The library's metadata text format carries chapters without any stream.
    const std::string path = Dir->Write("chapters.txt",
                                        ";FFMETADATA1\ntitle=Book\n"
                                        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1500\ntitle=Opening\n"
                                        "[CHAPTER]\nTIMEBASE=1/10\nSTART=15\nEND=40\n");
    ASSERT_TRUE(Decoder.LoadFile(path, "ffmetadata")) << Decoder.LastErrMsg();
    EXPECT_EQ(Decoder.StreamCount(), 0);
    EXPECT_EQ(Decoder.ForceFormat(), "ffmetadata");
    EXPECT_THAT(Decoder.FileInfoText(), HasSubstr("Metadata:\n  title           : Book\n"
                                                  "Chapter #0: start 0.000000, end 1.500000\n"
                                                  "  Metadata:\n    title           : Opening\n"
                                                  "Chapter #1: start 1.500000, end 4.000000\n"));
}

TEST_F(ProbeTest, InfoTextLineShapes) {
    ASSERT_TRUE(Decoder.LoadFile(File("tagged.mkv")));
    const std::string text = Decoder.FileInfoText();
    const std::vector<std::string> shapes = {
        std::regex_replace(File("tagged.mkv"), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)").insert(0, "File Name: "),
        "Format Name: matroska,webm",
        "Format Long Name: Matroska / WebM",
        R"(File Size: \d+\.\d\d KB)",
        R"(Duration: 00:00:00\.4\d\d)",
        R"(StartTime: 0\.0\d{5})",
        R"(Bit Rate: \d+ kb/s)",
        R"(Time Stamp: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d)",
        "Metadata:",
        "  title           : Tagged clip",  // in the reader's order and spelling
        "  YEAR            : 1999",
        R"(  creation_time   : 2021-03-04T05:06:07\.0+Z)",
        "  COMMENT         : line one",
        "  track           : not a number",
        R"(  ENCODER         : Lavf[\d.]+)",
        R"(Stream #0, 1/1000: Video: mpeg4 \(Simple Profile\), yuv420p, 320x240 \[SAR 1:1 DAR 4:3\], 25 tbr, 1k tbn, StartTime: 0\.\d{6}, Duration: N/A)",
        "  Metadata:",
        R"(    DURATION        : 00:00:00\.\d+)",
        R"(Stream #1, 1/1000: Audio: mp2, 44100 Hz, stereo, s16p, 128 kb/s, StartTime: 0\.\d{6}, Duration: N/A)",
        "  Metadata:",
        R"(    DURATION        : 00:00:00\.\d+)",
    };
    std::istringstream lines(text);
    std::string line;
    std::size_t i = 0;
    for (; std::getline(lines, line); ++i) {
        ASSERT_LT(i, shapes.size()) << "extra line: " << line << "\n" << text;
        EXPECT_TRUE(std::regex_match(line, std::regex(shapes[i]))) << line << "\n  vs " << shapes[i];
    }
    EXPECT_EQ(i, shapes.size()) << text;
    EXPECT_EQ(text.back(), '\n');
}

} // namespace
