#include "engine/Engine.h"
#include "probe/Probe.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace engine;
using avbind::avcodec;
using avbind::avformat;
using testing::HasSubstr;

namespace {

class EngineExtras : public testing::Test {
protected:
    zctest::TTempDir FDir;
    zctest::TLogCatcher FLog;

    std::string Clip(const std::string& name, int width = 160, int height = 120) {
        zctest::TMediaRecipe mediaRecipe;
        mediaRecipe.Format = "matroska";
        mediaRecipe.Width = width;
        mediaRecipe.Height = height;
        return zctest::MakeTestMedia(FDir.File(name), mediaRecipe);
    }
    std::string ErrorOf(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
        try {
            e.SetExtOption(name, value);
        } catch (const FFmpegException& ex) {
            return ex.what();
        }
        return "";
    }
    struct TVideo {
        AVCodecID Codec = AV_CODEC_ID_NONE;
        int Width = 0, Height = 0;
        AVRational Rate{0, 1};
        AVCodecID Audio = AV_CODEC_ID_NONE;
        int SampleRate = 0;
        std::string Format;
    };
    static TVideo Probe(const std::string& path) {
        TVideo v;
        AVFormatContext* raw = nullptr;
        if (avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return v;
        avbind::TAVInputContextPtr ic(raw);
        avformat.avformat_find_stream_info(raw, nullptr);
        v.Format = raw->iformat->name;
        for (unsigned i = 0; i < raw->nb_streams; ++i) {
            const AVCodecParameters* par = raw->streams[i]->codecpar;
            if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
                v.Codec = par->codec_id;
                v.Width = par->width;
                v.Height = par->height;
                v.Rate = raw->streams[i]->r_frame_rate;
            } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
                v.Audio = par->codec_id;
                v.SampleRate = par->sample_rate;
            }
        }
        return v;
    }
    // Converts the input with the output options; "" or the fatal message.
    static std::string Convert(const std::string& in, const std::string& out,
                               const std::vector<std::pair<std::string, std::string>>& options) {
        TCustomFFmpeg e(2);
        if (!e.OpenInputFile(in)) return e.LastErrMsg();
        for (const auto& [n, v] : options) e.SetExtOption(n, v);
        if (e.OpenOutputFile(out, false) < 0) return e.LastErrMsg();
        e.StartConvert(false);
        return e.Finished() ? "" : e.FatalMessage();
    }
};

} // namespace

TEST_F(EngineExtras, TargetsSetTheirWholeOptionSet) {
    TCustomFFmpeg dvd(2);
    dvd.SetExtOption("target", "pal-dvd");
    EXPECT_EQ(dvd.FileOptions().video_codec_name, "mpeg2video");
    EXPECT_EQ(dvd.FileOptions().audio_codec_name, "ac3");
    EXPECT_EQ(dvd.FileOptions().last_asked_format, "dvd");
    EXPECT_EQ(dvd.FileOptions().frame_width, 720);
    EXPECT_EQ(dvd.FileOptions().frame_height, 576);
    EXPECT_EQ(dvd.FileOptions().frame_rate.num, 25);
    EXPECT_EQ(dvd.FileOptions().audio_sample_rate, 48000);
    EXPECT_NEAR(dvd.FileOptions().frame_aspect_ratio, 16.0 / 9, 1e-5);
    EXPECT_TRUE(FLog.Contains("Assuming 16:9 for aspect ratio"));

    TCustomFFmpeg guessed(2);
    guessed.SetExtOption("r", "25");
    guessed.SetExtOption("target", "vcd");
    EXPECT_EQ(guessed.FileOptions().frame_height, 288);  // PAL from the frame rate
    EXPECT_TRUE(FLog.Contains("Assuming PAL for target."));
    TCustomFFmpeg fallback(2);
    fallback.SetExtOption("target", "vcd");
    EXPECT_EQ(fallback.FileOptions().frame_height, 240);  // no rate, no input: NTSC

    TCustomFFmpeg dv(2);
    dv.SetExtOption("target", "ntsc-dv");
    EXPECT_EQ(dv.FileOptions().frame_pix_fmt, AV_PIX_FMT_YUV411P);
    TCustomFFmpeg dv50(2);
    dv50.SetExtOption("target", "pal-dv50");
    EXPECT_EQ(dv50.FileOptions().frame_pix_fmt, AV_PIX_FMT_YUV422P);
    EXPECT_EQ(ErrorOf(dv50, "target", "xyz"), "Unknown target type");
}

TEST_F(EngineExtras, TargetOutputsHaveTheTablesParameters) {
    const std::string in = Clip("in.mkv");
    ASSERT_EQ(Convert(in, FDir.File("disc.mpg"), {{"target", "pal-dvd"}}), "");
    TVideo v = Probe(FDir.File("disc.mpg"));
    EXPECT_EQ(v.Codec, AV_CODEC_ID_MPEG2VIDEO);
    EXPECT_EQ(v.Width, 720);
    EXPECT_EQ(v.Height, 576);
    EXPECT_EQ(v.Rate.num * 1, 25 * v.Rate.den);
    EXPECT_EQ(v.Audio, AV_CODEC_ID_AC3);
    EXPECT_EQ(v.SampleRate, 48000);

    ASSERT_EQ(Convert(in, FDir.File("video.mpg"), {{"target", "ntsc-vcd"}}), "");
    v = Probe(FDir.File("video.mpg"));
    EXPECT_EQ(v.Codec, AV_CODEC_ID_MPEG1VIDEO);
    EXPECT_EQ(v.Height, 240);
    EXPECT_EQ(v.Audio, AV_CODEC_ID_MP2);
    EXPECT_EQ(v.SampleRate, 44100);

    ASSERT_EQ(Convert(in, FDir.File("camera.dv"), {{"target", "pal-dv"}}), "");
    v = Probe(FDir.File("camera.dv"));
    EXPECT_EQ(v.Format, "dv");
    EXPECT_EQ(v.Codec, AV_CODEC_ID_DVVIDEO);
    EXPECT_EQ(v.Width, 720);
    EXPECT_EQ(v.Height, 576);
}

TEST_F(EngineExtras, PresetFiles) {
    const std::string preset = FDir.Write("small.ffpreset", "  # encoder choice\nvcodec=mpeg4\n\n  g=12  \r\nqmin=3\n");
    TCustomFFmpeg e(2);
    e.SetExtOption("vpre", preset);
    EXPECT_EQ(e.FileOptions().video_codec_name, "mpeg4");
    EXPECT_THAT(e.LibOptions().opt_names, testing::ElementsAre("g", "qmin"));

    EXPECT_EQ(ErrorOf(e, "fpre", FDir.File("none.ffpreset")),
              "Preset file \"" + FDir.File("none.ffpreset") + "\" not found");
    // Devices, pipes and folders are not presets, nor is a file of megabytes.
    EXPECT_EQ(ErrorOf(e, "vpre", "/dev/zero"), "Preset file \"/dev/zero\" is not a regular file");
    EXPECT_EQ(ErrorOf(e, "vpre", FDir.Path().string()),
              "Preset file \"" + FDir.Path().string() + "\" is not a regular file");
    const std::string huge = FDir.Write("huge.ffpreset", std::string(2 << 20, '#'));
    EXPECT_EQ(ErrorOf(e, "vpre", huge), "Preset file \"" + huge + "\" is larger than 1 MiB");
    const std::string broken = FDir.Write("broken.ffpreset", "vcodec=mpeg4\nnovalue\n");
    EXPECT_EQ(ErrorOf(e, "apre", broken), broken + ": Invalid syntax: \"novalue\"");
    const std::string unknown = FDir.Write("unknown.ffpreset", "bogus_option=1\n");
    EXPECT_EQ(ErrorOf(e, "spre", unknown),
              "Unrecognized option \"bogus_option\"\r\n" + unknown +
                  ": Invalid option or argument: \"bogus_option=1\", parsed as \"bogus_option\" = \"1\"");
    e.SetHaltOnInvalidOption(false);
    EXPECT_EQ(ErrorOf(e, "spre", unknown), "");
}

TEST_F(EngineExtras, FrameHookPluginsChangeThePictures) {
    const std::string in = Clip("in.mkv", 64, 48);
    const std::string plugin = std::string(ZC_PLUGIN_DIR) + "/invert.so";
    auto firstLuma = [](const std::string& path) {
        std::vector<int> luma;
        AVFormatContext* raw = nullptr;
        if (avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return luma;
        avbind::TAVInputContextPtr ic(raw);
        avformat.avformat_find_stream_info(raw, nullptr);
        const AVCodec* codec = avcodec.avcodec_find_decoder(raw->streams[0]->codecpar->codec_id);
        avbind::TAVCodecContextPtr dec(avcodec.avcodec_alloc_context3(codec));
        avcodec.avcodec_parameters_to_context(dec.get(), raw->streams[0]->codecpar);
        avcodec.avcodec_open2(dec.get(), codec, nullptr);
        avbind::TAVPacketPtr pkt(avcodec.av_packet_alloc());
        avbind::TAVFramePtr frame(avbind::avutil.av_frame_alloc());
        while (avformat.av_read_frame(raw, pkt.get()) >= 0) {
            avcodec.avcodec_send_packet(dec.get(), pkt.get());
            avcodec.av_packet_unref(pkt.get());
            if (avcodec.avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
                for (int x = 0; x < 64; x += 7) luma.push_back(frame->data[0][10 * frame->linesize[0] + x]);
                break;
            }
        }
        return luma;
    };
    const std::vector<std::pair<std::string, std::string>> raw = {
        {"vcodec", "rawvideo"}, {"pix_fmt", "yuv420p"}, {"an", ""}};
    ASSERT_EQ(Convert(in, FDir.File("plain.nut"), raw), "");
    auto hooked = raw;
    hooked.insert(hooked.begin(), {"vhook", plugin});
    ASSERT_EQ(Convert(in, FDir.File("hooked.nut"), hooked), "");
    const auto plain = firstLuma(FDir.File("plain.nut")), inverted = firstLuma(FDir.File("hooked.nut"));
    ASSERT_EQ(plain.size(), inverted.size());
    ASSERT_FALSE(plain.empty());
    for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_NEAR(inverted[i], 255 - plain[i], 2) << i;

    TCustomFFmpeg twice(2);
    twice.SetExtOption("vhook", plugin);
    twice.SetExtOption("vhook", plugin + "|argument");
    EXPECT_EQ(twice.FrameHooks().size(), 2u);  // one module, two entries
    // A copied stream is never decoded: a hook on it would be dropped unseen.
    EXPECT_EQ(Convert(in, FDir.File("copied.nut"), {{"vhook", plugin}, {"vcodec", "copy"}, {"an", ""}}),
              "-vcodec copy and -vhook are incompatible (frames are not decoded)");

    const std::string broken = std::string(ZC_PLUGIN_DIR) + "/noprocess.so";
    EXPECT_EQ(ErrorOf(twice, "vhook", broken), "Failed to add video hook function: " + broken);
    EXPECT_TRUE(FLog.Contains("Failed to find Process entrypoint in " + broken));
    EXPECT_EQ(ErrorOf(twice, "vhook", FDir.File("missing.so")),
              "Failed to add video hook function: " + FDir.File("missing.so"));
}

TEST_F(EngineExtras, UnicodeUrlsReadAndWriteFilesWithAnyName) {
    const std::string name = FDir.File("vidéo 日本.mkv");
    zctest::TMediaRecipe mediaRecipe;
    mediaRecipe.Format = "matroska";
    mediaRecipe.Width = 64;
    mediaRecipe.Height = 48;
    zctest::MakeTestMedia(name, mediaRecipe);
    const auto size = std::filesystem::file_size(name);
    const std::string output = FDir.File("sortie ü.mkv");
    ASSERT_EQ(Convert("unicode:" + name, "unicode://" + output, {{"vcodec", "mpeg4"}, {"acodec", "mp2"}}), "");
    EXPECT_EQ(std::filesystem::file_size(name), size);  // read only: the input is untouched
    const TVideo v = Probe(output);
    EXPECT_EQ(v.Width, 64);
    EXPECT_EQ(v.Audio, AV_CODEC_ID_MP2);

    probe::TFFDecoder probe;
    ASSERT_TRUE(probe.LoadFile("unicode:" + output)) << probe.LastErrMsg();
    EXPECT_EQ(probe.VideoStreamCount(), 1);
    EXPECT_EQ(probe.FileSize(), static_cast<std::int64_t>(std::filesystem::file_size(output)));  // the size query
    EXPECT_FALSE(probe.LoadFile("unicode:" + FDir.File("nowhere.mkv")));
    EXPECT_EQ(probe.LastErrMsg(), "unicode:" + FDir.File("nowhere.mkv") + ": No such file or directory");
}
