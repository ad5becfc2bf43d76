#include "engine/Engine.h"

#include "avhelpers/InProgramFilters.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using namespace engine;
using avbind::avcodec;
using avbind::avformat;
using testing::HasSubstr;

namespace {

// What a file holds, read back through the libraries.
struct TStreamSummary {
    AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID Codec = AV_CODEC_ID_NONE;
    int Packets = 0;
    double FirstSeconds = 0, EndSeconds = 0;  // first timestamp, last timestamp + duration
    bool Monotonic = true;                     // decoding timestamps never go back
    int Width = 0, Height = 0, SampleRate = 0, Channels = 0;
};

std::vector<TStreamSummary> Summarize(const std::string& path) {
    std::vector<TStreamSummary> result;
    AVFormatContext* raw = nullptr;
    if (avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return result;
    avbind::TAVInputContextPtr ic(raw);
    if (avformat.avformat_find_stream_info(raw, nullptr) < 0) return result;
    result.resize(raw->nb_streams);
    std::vector<std::int64_t> lastDts(raw->nb_streams, AV_NOPTS_VALUE);
    std::vector<bool> seen(raw->nb_streams, false);
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        const AVCodecParameters* par = raw->streams[i]->codecpar;
        result[i].Type = par->codec_type;
        result[i].Codec = par->codec_id;
        result[i].Width = par->width;
        result[i].Height = par->height;
        result[i].SampleRate = par->sample_rate;
        result[i].Channels = par->ch_layout.nb_channels;
    }
    avbind::TAVPacketPtr pkt(avcodec.av_packet_alloc());
    while (avformat.av_read_frame(raw, pkt.get()) >= 0) {
        const unsigned s = static_cast<unsigned>(pkt->stream_index);
        TStreamSummary& summary = result[s];
        const double tb = av_q2d(raw->streams[s]->time_base);
        const std::int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        ++summary.Packets;
        if (ts != AV_NOPTS_VALUE) {
            if (!seen[s] || ts * tb < summary.FirstSeconds) summary.FirstSeconds = ts * tb;
            summary.EndSeconds = std::max(summary.EndSeconds, (ts + pkt->duration) * tb);
            seen[s] = true;
        }
        if (pkt->dts != AV_NOPTS_VALUE) {
            if (lastDts[s] != AV_NOPTS_VALUE && pkt->dts < lastDts[s]) summary.Monotonic = false;
            lastDts[s] = pkt->dts;
        }
        avcodec.av_packet_unref(pkt.get());
    }
    return result;
}

class EngineTranscode : public testing::Test {
protected:
    zctest::TTempDir FDir;
    zctest::TLogCatcher FLog;

    std::string Media(const std::string& name, const zctest::TMediaRecipe& mediaRecipe) {
        return zctest::MakeTestMedia(FDir.File(name), mediaRecipe);
    }
    std::string Clip(const std::string& name = "in.mkv", double seconds = 2, bool video = true, bool audio = true) {
        zctest::TMediaRecipe mediaRecipe;
        mediaRecipe.Format = "matroska";
        mediaRecipe.Seconds = seconds;
        mediaRecipe.Video = video;
        mediaRecipe.Audio = audio;
        mediaRecipe.Width = 160;
        mediaRecipe.Height = 120;
        mediaRecipe.AudioCodec = "aac";
        return Media(name, mediaRecipe);
    }
    // Runs the engine synchronously; returns its fatal message ("" when it finished).
    static std::string Run(TCustomFFmpeg& e) {
        e.StartConvert(false);
        if (e.Finished()) return "";
        return e.FatalMessage().empty() ? "did not finish" : e.FatalMessage();
    }
};

} // namespace

TEST_F(EngineTranscode, StreamCopyKeepsEveryPacket) {
    const std::string in = Clip();
    for (const char* ext : {"mp4", "avi", "ts", "mkv"}) {
        const std::string out = FDir.File(std::string("copy.") + ext);
        TCustomFFmpeg e(4);
        ASSERT_TRUE(e.OpenInputFile(in)) << e.LastErrMsg();
        e.SetExtOption("vcodec", "copy");
        e.SetExtOption("acodec", "copy");
        ASSERT_GT(e.OpenOutputFile(out, false), 0) << e.LastErrMsg();
        EXPECT_EQ(Run(e), "") << ext;
        const auto source = Summarize(in);
        const auto copy = Summarize(out);
        ASSERT_EQ(copy.size(), 2u) << ext;
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(copy[i].Type, source[i].Type) << ext;
            EXPECT_EQ(copy[i].Codec, source[i].Codec) << ext;
            EXPECT_EQ(copy[i].Packets, source[i].Packets) << ext << " stream " << i;
            EXPECT_NEAR(copy[i].EndSeconds - copy[i].FirstSeconds, source[i].EndSeconds - source[i].FirstSeconds, 0.1)
                << ext << " stream " << i;
            EXPECT_TRUE(copy[i].Monotonic) << ext;
        }
    }
}

TEST_F(EngineTranscode, EncodingConvertsSizeRateAndChannels) {
    const std::string in = Clip();
    const std::string out = FDir.File("enc.mp4");
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(in));
    e.SetExtOption("vcodec", "mpeg4");
    e.SetExtOption("s", "96x64");
    e.SetExtOption("acodec", "aac");
    e.SetExtOption("ar", "22050");
    e.SetExtOption("ac", "1");
    ASSERT_GT(e.OpenOutputFile(out, false), 0) << e.LastErrMsg();
    int reports = 0, lastFileIndex = 0, lastFrames = 0;
    e.SetOnProgress([&](TCustomFFmpeg*, int fileIndex, int frames, int, float, double, std::int64_t, std::int64_t,
                        std::int64_t) {
        ++reports;
        lastFileIndex = fileIndex;
        lastFrames = frames;
    });
    EXPECT_EQ(Run(e), "");
    const auto result = Summarize(out);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].Codec, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(result[0].Width, 96);
    EXPECT_EQ(result[0].Packets, 50);  // 2 s at 25 frames per second
    EXPECT_EQ(result[1].SampleRate, 22050);
    EXPECT_EQ(result[1].Channels, 1);
    EXPECT_NEAR(result[1].EndSeconds, 2.0, 0.1);
    EXPECT_GE(reports, 1);
    EXPECT_EQ(lastFileIndex, -1);  // the final report
    EXPECT_EQ(lastFrames, 50);
}

TEST_F(EngineTranscode, InProgramFiltersBetweenLibraryFilters) {
    avhelpers::RegisterNativeFilters();
    const std::string in = Clip("in.mkv", 1, true, false);
    const auto convert = [&](const std::string& name, const std::string& filters) {
        TCustomFFmpeg e(4);
        EXPECT_TRUE(e.OpenInputFile(in));
        e.SetExtOption("vcodec", "mpeg4");
        e.SetExtOption("vf", filters);
        EXPECT_GT(e.OpenOutputFile(FDir.File(name), false), 0) << e.LastErrMsg();
        return Run(e);
    };
    EXPECT_EQ(convert("turned.mkv", "rotate=90"), "");
    auto result = Summarize(FDir.File("turned.mkv"));
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].Width, 120);
    EXPECT_EQ(result[0].Height, 160);
    EXPECT_EQ(result[0].Packets, 25);

    // Library filters before, between and after the system's own.
    EXPECT_EQ(convert("mixed.mkv", "scale=320:240,rotate=90,nativehue=0:-100,nativeeq=10:10,hue=s=0,pad=w=iw+16"), "");
    result = Summarize(FDir.File("mixed.mkv"));
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].Width, 256);
    EXPECT_EQ(result[0].Height, 320);
    EXPECT_EQ(result[0].Packets, 25);

    EXPECT_THAT(convert("refused.mkv", "nativeeq=bright"), HasSubstr("Error opening filters"));
    EXPECT_THAT(convert("labelled.mkv", "[in]nativeeq=5[out]"), HasSubstr("Error opening filters"));
}

TEST_F(EngineTranscode, StartAndDurationCutACopyAtKeyFrames) {
    zctest::TMediaRecipe mediaRecipe;
    mediaRecipe.Format = "matroska";
    mediaRecipe.Seconds = 6;
    mediaRecipe.Width = 64;
    mediaRecipe.Height = 48;
    mediaRecipe.Audio = false;
    const std::string in = Media("long.mkv", mediaRecipe);
    const std::string out = FDir.File("cut.mkv");
    TCustomFFmpeg e(4);
    e.SetExtOption("ss", "2");
    ASSERT_TRUE(e.OpenInputFile(in));
    e.SetExtOption("vcodec", "copy");
    e.SetExtOption("t", "2");
    ASSERT_GT(e.OpenOutputFile(out, false), 0) << e.LastErrMsg();
    EXPECT_EQ(Run(e), "");
    const auto result = Summarize(out);
    ASSERT_EQ(result.size(), 1u);
    EXPECT_GT(result[0].Packets, 30);
    EXPECT_LT(result[0].Packets, 110);  // about 2 s, from the key frame before 2 s
    EXPECT_LE(result[0].EndSeconds - result[0].FirstSeconds, 4.1);
}

TEST_F(EngineTranscode, MapsSelectStreams) {
    const std::string in = Clip();
    const std::string out = FDir.File("audio.mkv");
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(in));
    e.SetExtOption("vn", "");
    e.SetExtOption("acodec", "copy");
    e.SetExtOption("map", "0.1");
    ASSERT_GT(e.OpenOutputFile(out, false), 0);
    EXPECT_EQ(Run(e), "");
    const auto result = Summarize(out);
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].Type, AVMEDIA_TYPE_AUDIO);
}

TEST_F(EngineTranscode, SetUpMessages) {
    const std::string in = Clip();
    auto attempt = [&](const std::vector<std::pair<std::string, std::string>>& options,
                       const std::function<void(TCustomFFmpeg&)>& prepare = nullptr) {
        TCustomFFmpeg e(4);
        EXPECT_TRUE(e.OpenInputFile(in));
        for (const auto& [name, value] : options) e.SetExtOption(name, value);
        EXPECT_GT(e.OpenOutputFile(FDir.File("out.mkv"), false), 0) << e.LastErrMsg();
        if (prepare) prepare(e);
        return Run(e);
    };
    EXPECT_EQ(attempt({{"map", "0.0"}}), "Number of stream maps must match number of output streams");
    EXPECT_EQ(attempt({{"map", "0.5"}, {"map", "0.1"}}), "Could not find input stream #0.5");
    EXPECT_EQ(attempt({{"map", "0.0:1.0"}, {"map", "0.1"}}), "Could not find sync stream #1.0");
    EXPECT_EQ(attempt({{"map", "0.1"}, {"map", "0.1"}}),
              "Codec type mismatch for mapping #0.1 (Audio) -> #0.0 (Video)");
    EXPECT_EQ(attempt({{"acodec", "copy"}, {"vol", "512"}}),
              "-acodec copy and -vol are incompatible (frames are not decoded)");
    EXPECT_EQ(attempt({{"vcodec", "copy"}},
                      [](TCustomFFmpeg& e) {
                          e.SetOnInputVideoHook([](TCustomFFmpeg*, avhelpers::TBitmap*, int, std::int64_t, bool&,
                                                   bool&) {});
                      }),
              "-vcodec copy and VideoHook are incompatible (frames are not decoded)");
    EXPECT_EQ(attempt({{"vn", ""}, {"an", ""}}), "Output file #0 does not contain any stream");
    EXPECT_EQ(attempt({{"vcodec", "mpeg4"}, {"s", "9000x16"}}),
              "Error while opening encoder for output stream #0.0 (Video) - maybe incorrect parameters such as "
              "bit_rate, rate, width or height. Please check error log message to find out more detail information. "
              "(dimensions too large for MPEG-4)");  // the codec's own reason ends it
    EXPECT_TRUE(FLog.Contains("Stream mapping:"));  // logged before the encoder failure
    EXPECT_EQ(attempt({{"map_metadata", "0,s3:0"}}), "Invalid stream index 3 while processing metadata maps");
    EXPECT_EQ(attempt({{"map_chapters", "0:5"}}), "Invalid input file index 5 in chapter mapping.");
    EXPECT_FALSE(std::filesystem::exists(FDir.File("out.mkv")));  // nothing written: removed again
}

TEST_F(EngineTranscode, MetadataMapsAndAutocopy) {
    zctest::TMediaRecipe mediaRecipe;
    mediaRecipe.Format = "matroska";
    mediaRecipe.Metadata = {{"title", "Holiday"}, {"comment", "beach"}};
    mediaRecipe.Width = 64;
    mediaRecipe.Height = 48;
    const std::string in = Media("tagged.mkv", mediaRecipe);
    const std::string out = FDir.File("tagged-out.mkv");
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(in));
    e.SetExtOption("vcodec", "copy");
    e.SetExtOption("acodec", "copy");
    e.SetExtOption("metadata", "comment=own");
    ASSERT_GT(e.OpenOutputFile(out, false), 0);
    EXPECT_EQ(Run(e), "");
    AVFormatContext* raw = nullptr;
    ASSERT_GE(avformat.avformat_open_input(&raw, out.c_str(), nullptr, nullptr), 0);
    avbind::TAVInputContextPtr ic(raw);
    auto value = [&](const char* key) {
        const AVDictionaryEntry* entry = avbind::avutil.av_dict_get(raw->metadata, key, nullptr, 0);
        return std::string(entry ? entry->value : "");
    };
    EXPECT_EQ(value("title"), "Holiday");  // copied from input 0
    EXPECT_EQ(value("comment"), "own");    // not overwritten
}

TEST_F(EngineTranscode, SizeLimitEndsWithAValidFile) {
    const std::string in = Clip("in.mkv", 4);
    const std::string out = FDir.File("limited.mkv");
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(in));
    e.SetExtOption("vcodec", "copy");
    e.SetExtOption("acodec", "copy");
    e.SetExtOption("fs", "60000");
    ASSERT_GT(e.OpenOutputFile(out, false), 0);
    EXPECT_EQ(Run(e), "");
    const auto size = std::filesystem::file_size(out);
    EXPECT_GE(size, 60000u);
    EXPECT_LT(size, std::filesystem::file_size(in));
    const auto result = Summarize(out);
    ASSERT_EQ(result.size(), 2u);  // the trailer was written: the file reads back
    EXPECT_GT(result[0].Packets, 0);
}

TEST_F(EngineTranscode, ShortestEndsAtTheFirstEndOfInput) {
    const std::string video = Clip("v.mkv", 3, true, false);
    const std::string audio = Clip("a.mkv", 1, false, true);
    const std::string out = FDir.File("shortest.mkv");
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(video));
    ASSERT_TRUE(e.OpenInputFile(audio));
    e.SetExtOption("vcodec", "copy");
    e.SetExtOption("acodec", "copy");
    e.SetExtOption("shortest", "");
    ASSERT_GT(e.OpenOutputFile(out, false), 0);
    EXPECT_EQ(Run(e), "");
    const auto result = Summarize(out);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_LT(result[0].EndSeconds, 2.0);
}

TEST_F(EngineTranscode, JoinAppendsInputsWithContinuousTimestamps) {
    const std::string first = Clip("one.mkv", 1);
    const std::string second = Clip("two.mkv", 1);
    const std::string out = FDir.File("joined.mp4");
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(first));
    ASSERT_TRUE(e.OpenInputFile(second));
    e.SetExtOption("vcodec", "mpeg4");
    e.SetExtOption("acodec", "aac");
    ASSERT_EQ(e.OpenOutputFile(out, true), 1) << e.LastErrMsg();
    e.ExpandJoinedOutput();
    ASSERT_EQ(e.nb_output_files(), 2);
    std::vector<int> fileIndexes;
    e.SetOnProgress([&](TCustomFFmpeg*, int fileIndex, int, int, float, double, std::int64_t, std::int64_t,
                        std::int64_t) { fileIndexes.push_back(fileIndex); });
    const std::string failure = Run(e);
    EXPECT_EQ(failure, "");
    if (!failure.empty())
        for (const auto& line : FLog.Lines()) std::printf("log: %s\n", line.Msg.c_str());
    const auto result = Summarize(out);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_NEAR(result[0].Packets, 50, 1);  // the frame-rate keeping may repeat one picture at the seam
    EXPECT_NEAR(result[0].EndSeconds, 2.0, 0.1);
    EXPECT_NEAR(result[1].EndSeconds, 2.0, 0.15);
    EXPECT_TRUE(result[0].Monotonic);
    EXPECT_TRUE(result[1].Monotonic);
    ASSERT_FALSE(fileIndexes.empty());
    EXPECT_EQ(fileIndexes.back(), -1);
}

TEST_F(EngineTranscode, StopEndsWithATrailerAndNotFinished) {
    zctest::TMediaRecipe mediaRecipe;
    mediaRecipe.Format = "matroska";
    mediaRecipe.Seconds = 30;
    mediaRecipe.Width = 320;
    mediaRecipe.Height = 240;
    const std::string in = Media("long.mkv", mediaRecipe);
    const std::string out = FDir.File("stopped.mkv");
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(in));
    e.SetExtOption("vcodec", "mpeg4");
    e.SetExtOption("acodec", "mp2");
    ASSERT_GT(e.OpenOutputFile(out, false), 0);
    std::atomic<int> frames{0};
    e.SetOnProgress([&](TCustomFFmpeg*, int, int f, int, float, double, std::int64_t, std::int64_t, std::int64_t) {
        frames = f;
    });
    e.SetReportInterval(1000);
    std::atomic<bool> ended{false};
    e.SetOnTerminate([&](TCustomFFmpeg*) { ended = true; });
    ASSERT_TRUE(e.StartConvert(true));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (frames < 10 && !ended && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    e.Stop(true);
    EXPECT_TRUE(ended);
    EXPECT_FALSE(e.Finished());
    EXPECT_FALSE(e.FatalException());
    const auto result = Summarize(out);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_GT(result[0].Packets, 0);
    EXPECT_LT(result[0].Packets, 750);  // stopped well before the end of 30 s
}

TEST_F(EngineTranscode, TwoPassStatisticsFiles) {
    const std::string in = Clip("in.mkv", 1, true, false);
    const std::string prefix = FDir.File("stats");
    {
        TCustomFFmpeg e(4);
        ASSERT_TRUE(e.OpenInputFile(in));
        e.SetExtOption("vcodec", "mpeg4");
        e.SetExtOption("pass", "1");
        e.SetExtOption("passlogfile", prefix);
        ASSERT_GT(e.OpenOutputFile(FDir.File("p1.avi"), false), 0);
        EXPECT_EQ(Run(e), "");
    }
    EXPECT_GT(std::filesystem::file_size(prefix + "-0.log"), 0u);
    {
        TCustomFFmpeg e(4);
        ASSERT_TRUE(e.OpenInputFile(in));
        e.SetExtOption("vcodec", "mpeg4");
        e.SetExtOption("pass", "2");
        e.SetExtOption("passlogfile", prefix);
        ASSERT_GT(e.OpenOutputFile(FDir.File("p2.avi"), false), 0);
        EXPECT_EQ(Run(e), "");
        EXPECT_EQ(Summarize(FDir.File("p2.avi")).at(0).Packets, 25);
    }
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(in));
    e.SetExtOption("vcodec", "mpeg4");
    e.SetExtOption("pass", "2");
    e.SetExtOption("passlogfile", FDir.File("missing"));
    ASSERT_GT(e.OpenOutputFile(FDir.File("p3.avi"), false), 0);
    EXPECT_EQ(Run(e), "Cannot read file: Error reading log file \"" + FDir.File("missing") +
                          "-0.log\" for pass-2 encoding");
}

TEST_F(EngineTranscode, ChaptersFollowTheCutAndTheMaps) {
    zctest::TMediaRecipe mediaRecipe;
    mediaRecipe.Format = "matroska";
    mediaRecipe.Seconds = 4;
    mediaRecipe.Width = 64;
    mediaRecipe.Height = 48;
    mediaRecipe.Audio = false;
    mediaRecipe.Chapters = {{0, 1}, {1, 2.5}, {2.5, 4}};
    const std::string chaptered = Media("chapters.mkv", mediaRecipe);
    mediaRecipe.Chapters.clear();
    const std::string plain = Media("plain.mkv", mediaRecipe);

    auto chapters = [](const std::string& path) {
        std::vector<std::pair<double, double>> result;
        AVFormatContext* raw = nullptr;
        if (avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return result;
        avbind::TAVInputContextPtr ic(raw);
        for (unsigned i = 0; i < raw->nb_chapters; ++i) {
            const AVChapter* c = raw->chapters[i];
            result.emplace_back(c->start * av_q2d(c->time_base), c->end * av_q2d(c->time_base));
        }
        return result;
    };
    ASSERT_EQ(chapters(chaptered).size(), 3u);

    // Without chapter maps the first input that has chapters gives them.
    {
        TCustomFFmpeg e(4);
        ASSERT_TRUE(e.OpenInputFile(plain));
        ASSERT_TRUE(e.OpenInputFile(chaptered));
        e.SetExtOption("vcodec", "copy");
        e.SetExtOption("map", "0.0");
        ASSERT_GT(e.OpenOutputFile(FDir.File("auto.mkv"), false), 0);
        EXPECT_EQ(Run(e), "");
        const auto copied = chapters(FDir.File("auto.mkv"));
        ASSERT_EQ(copied.size(), 3u);
        EXPECT_NEAR(copied[0].first, 0, 1e-3);
        EXPECT_NEAR(copied[0].second, 1, 1e-3);
    }
    // A start position shifts them and drops those that ended before it; a
    // duration limit ends them.
    {
        TCustomFFmpeg e(4);
        e.SetExtOption("ss", "1.5");
        ASSERT_TRUE(e.OpenInputFile(chaptered));
        e.SetExtOption("vcodec", "copy");
        e.SetExtOption("t", "1");
        ASSERT_GT(e.OpenOutputFile(FDir.File("cut.mkv"), false), 0);
        EXPECT_EQ(Run(e), "");
        const auto copied = chapters(FDir.File("cut.mkv"));
        ASSERT_EQ(copied.size(), 2u);
        EXPECT_NEAR(copied[0].first, 0, 0.05);   // 1..2.5 s starts before 1.5 s: clipped to 0
        EXPECT_NEAR(copied[0].second, 1, 0.05);  // ends at the 1 s limit
    }
    // An explicit chapter map from a file without chapters gives none.
    {
        TCustomFFmpeg e(4);
        ASSERT_TRUE(e.OpenInputFile(plain));
        ASSERT_TRUE(e.OpenInputFile(chaptered));
        e.SetExtOption("vcodec", "copy");
        e.SetExtOption("map", "0.0");
        e.SetExtOption("map_chapters", "0:0");
        ASSERT_GT(e.OpenOutputFile(FDir.File("none.mkv"), false), 0);
        EXPECT_EQ(Run(e), "");
        EXPECT_TRUE(chapters(FDir.File("none.mkv")).empty());
    }
}
