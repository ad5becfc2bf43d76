#include "engine/Engine.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

using namespace engine;
using avbind::avcodec;
using avbind::avformat;
using avbind::avutil;

namespace {

struct TProbed {
    int Width = 0, Height = 0, SampleRate = 0, Channels = 0;
    AVRational FrameRate{0, 1};
    double VideoSeconds = 0, AudioSeconds = 0;
    int VideoPackets = 0;
    std::vector<double> KeyFrames;  // seconds
};

TProbed ProbeFile(const std::string& path) {
    TProbed r;
    AVFormatContext* raw = nullptr;
    if (avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return r;
    avbind::TAVInputContextPtr ic(raw);
    avformat.avformat_find_stream_info(raw, nullptr);
    std::vector<double> first(raw->nb_streams, 1e9), end(raw->nb_streams, 0);
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        const AVCodecParameters* par = raw->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            r.Width = par->width;
            r.Height = par->height;
            r.FrameRate = raw->streams[i]->avg_frame_rate;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            r.SampleRate = par->sample_rate;
            r.Channels = par->ch_layout.nb_channels;
        }
    }
    avbind::TAVPacketPtr pkt(avcodec.av_packet_alloc());
    while (avformat.av_read_frame(raw, pkt.get()) >= 0) {
        const unsigned s = static_cast<unsigned>(pkt->stream_index);
        const AVStream* st = raw->streams[s];
        const double tb = av_q2d(st->time_base);
        const std::int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (ts != AV_NOPTS_VALUE) {
            first[s] = std::min(first[s], ts * tb);
            end[s] = std::max(end[s], (ts + pkt->duration) * tb);
        }
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            ++r.VideoPackets;
            if ((pkt->flags & AV_PKT_FLAG_KEY) && ts != AV_NOPTS_VALUE) r.KeyFrames.push_back(ts * tb);
        }
        avcodec.av_packet_unref(pkt.get());
    }
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        const double length = end[i] > first[i] ? end[i] - first[i] : 0;
        if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) r.VideoSeconds = length;
        if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) r.AudioSeconds = length;
    }
    return r;
}

// The first decoded picture (as given by the decoder) or the peak sample of
// a whole audio stream, read back through the libraries.
avbind::TAVFramePtr FirstPicture(const std::string& path) {
    avbind::TAVFramePtr result;
    AVFormatContext* raw = nullptr;
    if (avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return result;
    avbind::TAVInputContextPtr ic(raw);
    avformat.avformat_find_stream_info(raw, nullptr);
    const int index = avformat.av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return result;
    const AVCodec* codec = avcodec.avcodec_find_decoder(raw->streams[index]->codecpar->codec_id);
    avbind::TAVCodecContextPtr dec(avcodec.avcodec_alloc_context3(codec));
    avcodec.avcodec_parameters_to_context(dec.get(), raw->streams[index]->codecpar);
    if (avcodec.avcodec_open2(dec.get(), codec, nullptr) < 0) return result;
    avbind::TAVPacketPtr pkt(avcodec.av_packet_alloc());
    result.reset(avutil.av_frame_alloc());
    while (avformat.av_read_frame(raw, pkt.get()) >= 0) {
        if (pkt->stream_index == index) avcodec.avcodec_send_packet(dec.get(), pkt.get());
        avcodec.av_packet_unref(pkt.get());
        if (avcodec.avcodec_receive_frame(dec.get(), result.get()) >= 0) return result;
    }
    avcodec.avcodec_send_packet(dec.get(), nullptr);
    if (avcodec.avcodec_receive_frame(dec.get(), result.get()) >= 0) return result;
    return {};
}

double PeakOfS16Wav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The samples follow the "data" chunk header; other chunks may come before it.
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t data = text.find("data", 12);
    if (data == std::string::npos) return 0;
    double peak = 0;
    for (std::size_t i = data + 8; i + 1 < bytes.size(); i += 2) {
        const auto sample = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[i]) |
                                                      static_cast<unsigned char>(bytes[i + 1]) << 8);
        peak = std::max(peak, std::fabs(static_cast<double>(sample)));
    }
    return peak;
}

class EngineOutputPaths : public testing::Test {
protected:
    zctest::TTempDir FDir;
    zctest::TLogCatcher FLog;

    std::string Source(const std::string& name, const zctest::TMediaRecipe& mediaRecipe) {
        return zctest::MakeTestMedia(FDir.File(name), mediaRecipe);
    }
    std::string Clip(double seconds = 1, int sampleRate = 48000, const std::string& audioCodec = "pcm_s16le") {
        zctest::TMediaRecipe mediaRecipe;
        mediaRecipe.Format = "matroska";
        mediaRecipe.Seconds = seconds;
        mediaRecipe.SampleRate = sampleRate;
        mediaRecipe.AudioCodec = audioCodec;
        return Source("clip-" + std::to_string(seconds) + "-" + audioCodec + ".mkv", mediaRecipe);
    }
    // Converts with the options (name, value) given before the output.
    std::string Convert(const std::vector<std::string>& inputs, const std::string& output,
                        const std::vector<std::pair<std::string, std::string>>& options,
                        const std::function<void(TCustomFFmpeg&)>& prepare = nullptr) {
        TCustomFFmpeg e(4);
        for (const std::string& in : inputs)
            if (!e.OpenInputFile(in)) return e.LastErrMsg();
        for (const auto& [name, value] : options) e.SetExtOption(name, value);
        if (e.OpenOutputFile(output, false) < 0) return e.LastErrMsg();
        if (prepare) prepare(e);
        e.StartConvert(false);
        FDrops = e.DroppedFrames();
        FDups = e.DuplicatedFrames();
        return e.Finished() ? "" : e.FatalMessage();
    }
    int FDrops = 0, FDups = 0;
};

bool HaveEncoders(std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (!avcodec.avcodec_find_encoder_by_name(name)) return false;
    return true;
}

} // namespace

TEST_F(EngineOutputPaths, DevicePresetsProduceWhatWasAsked) {
    const std::string source = Clip(1);
    struct TCase {
        const char* File;
        const char* Video;
        const char* Audio;
        const char* Size;
        int Width, Height;
    };
    const TCase cases[] = {
        {"x264.mp4", "libx264", "aac", "320x240", 320, 240},
        {"mpeg4.mp4", "mpeg4", "aac", "320x240", 320, 240},
        {"mp3.avi", "mpeg4", "libmp3lame", "320x240", 320, 240},
        {"default.mkv", "mpeg4", "mp2", "320x240", 320, 240},
        {"vp8.webm", "libvpx", "libopus", "320x240", 320, 240},
        {"phone.3gp", "h263", "aac", "176x144", 176, 144},
        {"stream.ts", "mpeg2video", "mp2", "320x240", 320, 240},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.File);
        if (!HaveEncoders({c.Video, c.Audio})) continue;
        const std::string out = FDir.File(c.File);
        const std::string rate = std::string(c.Audio) == "libopus" ? "48000" : "44100";
        ASSERT_EQ(Convert({source}, out,
                          {{"vcodec", c.Video}, {"acodec", c.Audio}, {"s", c.Size}, {"r", "25"}, {"ar", rate},
                           {"ac", "2"}, {"b", "400k"}, {"ab", "96k"}}),
                  "");
        const TProbed p = ProbeFile(out);
        EXPECT_EQ(p.Width, c.Width);
        EXPECT_EQ(p.Height, c.Height);
        EXPECT_NEAR(av_q2d(p.FrameRate), 25, 0.5);
        EXPECT_EQ(p.SampleRate, std::stoi(rate));
        EXPECT_EQ(p.Channels, 2);
        EXPECT_NEAR(p.VideoSeconds, 1.0, 0.08);
        EXPECT_NEAR(p.AudioSeconds, p.VideoSeconds, 0.05);
    }
}

TEST_F(EngineOutputPaths, EncoderPrivateOptionsReachTheEncoder) {
    // Private options of the encoders are kept aside while tasks wait and
    // given to the encoder when it opens; "profile" also names a public one.
    if (!HaveEncoders({"libx264", "aac"})) GTEST_SKIP() << "no H.264 encoder";
    const std::string source = Clip(1);
    const std::string out = FDir.File("main.mp4");
    ASSERT_EQ(Convert({source}, out,
                      {{"vcodec", "libx264"}, {"profile", "baseline"}, {"acodec", "aac"},
                       {"aac_coder", "fast"}, {"s", "160x120"}}),
              "");
    AVFormatContext* raw = nullptr;
    ASSERT_GE(avbind::avformat.avformat_open_input(&raw, out.c_str(), nullptr, nullptr), 0);
    avbind::TAVInputContextPtr ic(raw);
    ASSERT_GE(avbind::avformat.avformat_find_stream_info(raw, nullptr), 0);
    bool sawVideo = false;
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            // Without the option this encoder writes High.
            EXPECT_EQ(raw->streams[i]->codecpar->profile, FF_PROFILE_H264_CONSTRAINED_BASELINE);
            sawVideo = true;
        }
    EXPECT_TRUE(sawVideo);
}

TEST_F(EngineOutputPaths, FrameRateKeepingDropsAndDuplicates) {
    const std::string source = Clip(2);
    ASSERT_EQ(Convert({source}, FDir.File("half.avi"), {{"vcodec", "mpeg4"}, {"an", ""}, {"r", "12.5"}}), "");
    // Every second picture goes; the clock settles within a picture of the start.
    EXPECT_NEAR(FDrops, 25, 1);
    EXPECT_EQ(ProbeFile(FDir.File("half.avi")).VideoPackets, 50 - FDrops);

    ASSERT_EQ(Convert({source}, FDir.File("double.avi"),
                      {{"vcodec", "mpeg4"}, {"an", ""}, {"r", "50"}, {"v", "3"}}),
              "");
    EXPECT_NEAR(FDups, 50, 2);
    EXPECT_EQ(ProbeFile(FDir.File("double.avi")).VideoPackets, 50 + FDups);
    EXPECT_TRUE(FLog.Contains("*** 1 dup!"));

    ASSERT_EQ(Convert({source}, FDir.File("same.avi"), {{"vcodec", "mpeg4"}, {"an", ""}, {"vsync", "0"}}), "");
    EXPECT_EQ(FDrops + FDups, 0);
    EXPECT_EQ(ProbeFile(FDir.File("same.avi")).VideoPackets, 50);
}

TEST_F(EngineOutputPaths, ResamplingAndDownmixing) {
    const std::string source = Clip(1, 48000);
    ASSERT_EQ(Convert({source}, FDir.File("mono.mka"), {{"vn", ""}, {"acodec", "mp2"}, {"ar", "44100"}, {"ac", "1"}}),
              "");
    const TProbed p = ProbeFile(FDir.File("mono.mka"));
    EXPECT_EQ(p.SampleRate, 44100);
    EXPECT_EQ(p.Channels, 1);
    EXPECT_NEAR(p.AudioSeconds, 1.0, 0.05);
}

TEST_F(EngineOutputPaths, AudioSyncInsertsSilenceForLateAudio) {
    zctest::TMediaRecipe mediaRecipe;
    mediaRecipe.Format = "matroska";
    mediaRecipe.Seconds = 1;
    mediaRecipe.Width = 64;
    mediaRecipe.Height = 48;
    mediaRecipe.AudioCodec = "pcm_s16le";
    mediaRecipe.AudioDelayMicros = 500000;
    const std::string late = Source("late.mkv", mediaRecipe);

    ASSERT_EQ(
        Convert({late}, FDir.File("synced.wav"), {{"vn", ""}, {"acodec", "pcm_s16le"}, {"async", "1"}, {"v", "3"}}),
        "");
    const auto lines = FLog.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) {
        return l.Msg.rfind("adding ", 0) == 0 && l.Msg.find("audio samples of silence") != std::string::npos;
    }));
    EXPECT_NEAR(ProbeFile(FDir.File("synced.wav")).AudioSeconds, 1.5, 0.03);  // 0.5 s of silence, then the sound

    // Without audio sync the samples are only placed on the clock: nothing is added.
    ASSERT_EQ(Convert({late}, FDir.File("plain.wav"), {{"vn", ""}, {"acodec", "pcm_s16le"}}), "");
    EXPECT_NEAR(ProbeFile(FDir.File("plain.wav")).AudioSeconds, 1.0, 0.03);
}

TEST_F(EngineOutputPaths, VolumeScalesIntegerAndFloatSamplesAlike) {
    for (const char* codec : {"pcm_s16le", "pcm_f32le"}) {
        SCOPED_TRACE(codec);
        const std::string source = Clip(1, 48000, codec);
        const std::string plain = FDir.File(std::string("plain-") + codec + ".wav");
        const std::string loud = FDir.File(std::string("loud-") + codec + ".wav");
        const std::string quiet = FDir.File(std::string("quiet-") + codec + ".wav");
        ASSERT_EQ(Convert({source}, plain, {{"vn", ""}, {"acodec", "pcm_s16le"}}), "");
        ASSERT_EQ(Convert({source}, loud, {{"vn", ""}, {"acodec", "pcm_s16le"}, {"vol", "512"}}), "");
        ASSERT_EQ(Convert({source}, quiet, {{"vn", ""}, {"acodec", "pcm_s16le"}, {"vol", "64"}}), "");
        const double base = PeakOfS16Wav(plain);
        ASSERT_GT(base, 10000);
        EXPECT_NEAR(PeakOfS16Wav(loud), std::min(2 * base, 32768.0), 0.02 * base);  // doubled, clamped at full scale
        EXPECT_NEAR(PeakOfS16Wav(quiet), base / 4, 0.02 * base);
    }
}

TEST_F(EngineOutputPaths, ForcedKeyFramesAndVideoStatistics) {
    const std::string source = Clip(3);
    const std::string stats = FDir.File("vstats.log");
    ASSERT_EQ(Convert({source}, FDir.File("keys.avi"),
                      {{"vcodec", "mpeg4"}, {"an", ""}, {"g", "1000"}, {"force_key_frames", "0,1,2"},
                       {"vstats_file", stats}}),
              "");
    const TProbed p = ProbeFile(FDir.File("keys.avi"));
    ASSERT_EQ(p.KeyFrames.size(), 3u);
    EXPECT_NEAR(p.KeyFrames[0], 0, 0.01);
    EXPECT_NEAR(p.KeyFrames[1], 1, 0.05);
    EXPECT_NEAR(p.KeyFrames[2], 2, 0.05);

    std::ifstream in(stats);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 75u);
    EXPECT_THAT(lines[0], testing::MatchesRegex("frame= +1 q= [0-9.]+ f_size= +[0-9]+ s_size= +[0-9]+kB time= "
                                                "0\\.0[0-9]+ br= +[0-9.]+kbits/s avg_br= +[0-9.]+kbits/s type= I"));
}

TEST_F(EngineOutputPaths, OutputVideoHookPaintsIntoTheEncodedPicture) {
    const std::string source = Clip(1);
    const std::string out = FDir.File("painted.nut");
    int calls = 0;
    ASSERT_EQ(Convert({source}, out, {{"vcodec", "rawvideo"}, {"pix_fmt", "bgr24"}, {"an", ""}, {"s", "64x48"}},
                      [&](TCustomFFmpeg& e) {
                          e.SetOnOutputVideoHook([&](TCustomFFmpeg*, avhelpers::TBitmap* bitmap, int, std::int64_t,
                                                     bool& update, bool&) {
                              ++calls;
                              for (int y = 8; y < 24; ++y)
                                  std::memset(bitmap->ScanLine(y) + 8 * 3, 0xFF, 16 * 3);  // a white square
                              update = true;
                          });
                      }),
              "");
    EXPECT_EQ(calls, 25);
    const auto picture = FirstPicture(out);
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->format, AV_PIX_FMT_BGR24);
    const std::uint8_t* inside = picture->data[0] + 16 * picture->linesize[0] + 16 * 3;
    EXPECT_EQ(inside[0], 0xFF);
    EXPECT_EQ(inside[1], 0xFF);
    EXPECT_EQ(inside[2], 0xFF);
}

TEST_F(EngineOutputPaths, HooksThatStopOrThrow) {
    const std::string source = Clip(1);
    int stopping = 0, throwing = 0;
    ASSERT_EQ(Convert({source}, FDir.File("hooked.avi"), {{"vcodec", "mpeg4"}, {"an", ""}},
                      [&](TCustomFFmpeg& e) {
                          e.SetOnInputVideoHook([&](TCustomFFmpeg*, avhelpers::TBitmap*, int, std::int64_t, bool&,
                                                    bool& stop) {
                              ++stopping;
                              stop = true;
                          });
                          e.SetOnOutputVideoHook([&](TCustomFFmpeg*, avhelpers::TBitmap*, int, std::int64_t, bool&,
                                                     bool&) {
                              ++throwing;
                              throw std::runtime_error("brush broke");
                          });
                      }),
              "");
    EXPECT_EQ(stopping, 1);
    EXPECT_EQ(throwing, 25);  // the hook stays active; every picture is still encoded
    EXPECT_TRUE(FLog.Contains("Error occurs VideoHook event: brush broke"));
    EXPECT_EQ(ProbeFile(FDir.File("hooked.avi")).VideoPackets, 25);
}

TEST_F(EngineOutputPaths, PreviewBitmapsAreRateLimited) {
    const std::string source = Clip(2);
    int previews = 0;
    ASSERT_EQ(Convert({source}, FDir.File("preview.avi"), {{"vcodec", "mpeg4"}, {"an", ""}, {"re", ""}},
                      [&](TCustomFFmpeg& e) {
                          e.SetPreviewInterval(400000);
                          e.SetPostHooks({TPostHook::phBitmap});
                          e.SetOnPreviewBitmap([&](TCustomFFmpeg*, avhelpers::TBitmap* bitmap, int, std::int64_t) {
                              EXPECT_EQ(bitmap->Width(), 320);
                              ++previews;
                          });
                      }),
              "");
    // Two seconds of paced conversion with one preview per 0.4 s at most.
    EXPECT_GE(previews, 3);
    EXPECT_LE(previews, 6);
}

TEST_F(EngineOutputPaths, DeinterlacingKeepsEveryPicture) {
    const std::string source = Clip(1);
    ASSERT_EQ(Convert({source}, FDir.File("progressive.avi"), {{"vcodec", "mpeg4"}, {"an", ""}, {"deinterlace", ""}}),
              "");
    EXPECT_EQ(ProbeFile(FDir.File("progressive.avi")).VideoPackets, 25);
    EXPECT_FALSE(FLog.Contains("Deinterlacing failed."));
}

TEST_F(EngineOutputPaths, AudioHookSeesInterleavedSamplesAndItsChangesAreEncoded) {
    const std::string source = Clip(1, 48000, "mp2");  // decodes to planar samples
    AVSampleFormat seen = AV_SAMPLE_FMT_NONE;
    int channels = 0;
    ASSERT_EQ(Convert({source}, FDir.File("muted.wav"), {{"vn", ""}, {"acodec", "pcm_s16le"}},
                      [&](TCustomFFmpeg& e) {
                          e.SetOnAudioHook([&](TCustomFFmpeg*, std::int64_t, std::uint8_t* samples, int size, int,
                                               int ch, AVSampleFormat format) {
                              seen = format;
                              channels = ch;
                              std::memset(samples, 0, static_cast<std::size_t>(size));  // silence it
                          });
                      }),
              "");
    EXPECT_EQ(seen, AV_SAMPLE_FMT_S16);  // the packed form of the decoder's s16p
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(PeakOfS16Wav(FDir.File("muted.wav")), 0);
}
