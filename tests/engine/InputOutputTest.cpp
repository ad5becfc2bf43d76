#include "engine/Engine.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace engine;
using avbind::avcodec;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

class EngineFiles : public testing::Test {
protected:
    zctest::TTempDir FDir;
    zctest::TLogCatcher FLog;

    // A generated clip in the test folder.
    std::string Media(const std::string& name, const zctest::TMediaRecipe& mediaRecipe) {
        return zctest::MakeTestMedia(FDir.File(name), mediaRecipe);
    }
    std::string VideoAudioMp4() {
        zctest::TMediaRecipe mediaRecipe;
        mediaRecipe.Format = "mp4";
        mediaRecipe.AudioCodec = "aac";
        return Media("va.mp4", mediaRecipe);
    }
    std::string AudioOnly() {
        zctest::TMediaRecipe mediaRecipe;
        mediaRecipe.Format = "matroska";
        mediaRecipe.Video = false;
        return Media("a.mka", mediaRecipe);
    }
    static std::vector<AVMediaType> StreamTypes(const AVFormatContext* oc) {
        std::vector<AVMediaType> types;
        for (unsigned i = 0; i < oc->nb_streams; ++i) types.push_back(oc->streams[i]->codecpar->codec_type);
        return types;
    }
    static std::vector<AVMediaType> EncoderTypes(TCustomFFmpeg& e, int f) {
        std::vector<AVMediaType> types;
        for (const auto& ost : e.OutputStreams(static_cast<std::size_t>(f)))
            types.push_back(ost->enc_ctx->codec_type);
        return types;
    }
};

} // namespace

// ---- Inputs ----

TEST_F(EngineFiles, InputRegistersItsStreamsAndResetsThePendingOptions) {
    const std::string file = VideoAudioMp4();
    TCustomFFmpeg e(4);
    e.SetExtOption("s", "640x480");
    e.SetExtOption("r", "30");
    e.SetExtOption("pix_fmt", "rgb24");
    e.SetExtOption("ar", "8000");
    e.SetExtOption("vcodec", "mpeg4");  // a forced decoder
    e.SetExtOption("g", "10");
    ASSERT_TRUE(e.OpenInputFile(file)) << e.LastErrMsg();

    EXPECT_EQ(e.nb_input_files(), 1);
    ASSERT_EQ(e.InputStreams().size(), 2u);
    EXPECT_EQ(e.InputFiles()[0].nb_streams, 2);
    EXPECT_EQ(e.InputFiles()[0].ist_index, 0);
    for (const auto& ist : e.InputStreams()) {
        EXPECT_EQ(ist->discard, 1);
        EXPECT_EQ(ist->file_index, 0);
        ASSERT_TRUE(ist->dec_ctx);
        EXPECT_EQ(ist->dec_ctx->codec_id, ist->st->codecpar->codec_id);
    }
    EXPECT_EQ(e.InputCodecs().size(), 2u);
    EXPECT_NEAR(static_cast<double>(e.TotalOutputDuration()), 1e6, 1e5);
    EXPECT_EQ(e.FileOptions().audio_sample_fmt, e.InputStreams()[1]->dec_ctx->sample_fmt);
    EXPECT_EQ(e.FileOptions().frame_width, 0);
    EXPECT_EQ(e.FileOptions().frame_rate.num, 0);
    EXPECT_EQ(e.FileOptions().frame_pix_fmt, AV_PIX_FMT_NONE);
    EXPECT_EQ(e.FileOptions().audio_sample_rate, 0);
    EXPECT_TRUE(e.FileOptions().video_codec_name.empty());
    EXPECT_EQ(e.LibOptions().opt_name_count(), 0);

    // A second input's streams follow the first's.
    ASSERT_TRUE(e.OpenInputFile(file)) << e.LastErrMsg();
    EXPECT_EQ(e.InputFiles()[1].ist_index, 2);
    EXPECT_EQ(e.InputStreams()[3]->file_index, 1);
}

TEST_F(EngineFiles, AudioOnlyInputAndTheLibraryInputDevice) {
    TCustomFFmpeg e(4);
    e.SetExtOption("s", "320x240");
    ASSERT_TRUE(e.OpenInputFile(AudioOnly())) << e.LastErrMsg();
    ASSERT_EQ(e.InputStreams().size(), 1u);
    EXPECT_EQ(e.InputStreams()[0]->st->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(e.FileOptions().frame_width, 0);

    e.SetExtOption("f", "lavfi");
    ASSERT_TRUE(e.OpenInputFile("testsrc=duration=1:size=160x120:rate=10")) << e.LastErrMsg();
    EXPECT_EQ(e.InputStreams()[1]->st->codecpar->width, 160);
    EXPECT_TRUE(e.FileOptions().last_asked_format.empty());
}

TEST_F(EngineFiles, StartPositionSeeksFromTheContainerStartAndSetsTheOffset) {
    zctest::TMediaRecipe mediaRecipe;
    mediaRecipe.Format = "mpegts";
    mediaRecipe.Audio = false;
    mediaRecipe.Width = 64;
    mediaRecipe.Height = 48;
    mediaRecipe.FrameRate = {5, 1};
    mediaRecipe.Seconds = 12;
    mediaRecipe.StartOffsetMicros = 1400000;
    const std::string file = Media("late.ts", mediaRecipe);

    TCustomFFmpeg e(4);
    e.SetExtOption("ss", "10");
    e.SetExtOption("itsoffset", "2");
    ASSERT_TRUE(e.OpenInputFile(file)) << e.LastErrMsg();
    const std::int64_t start = e.InputFiles()[0].ctx->start_time;
    EXPECT_NEAR(static_cast<double>(start), 1.4e6, 2e5);
    EXPECT_EQ(e.InputFiles()[0].ts_offset, 2000000 - (10000000 + start));
    EXPECT_EQ(e.FileOptions().start_time, 0);

    e.SetExtOption("copyts", "");
    e.SetExtOption("itsoffset", "3");
    ASSERT_TRUE(e.OpenInputFile(file)) << e.LastErrMsg();
    EXPECT_EQ(e.InputFiles()[1].ts_offset, 3000000);
}

TEST_F(EngineFiles, ProgramSelection) {
    zctest::TMediaRecipe mediaRecipe;
    mediaRecipe.Format = "mpegts";
    mediaRecipe.Programs = 2;
    const std::string file = Media("programs.ts", mediaRecipe);
    TCustomFFmpeg e(4);
    e.SetExtOption("programid", "99");
    EXPECT_FALSE(e.OpenInputFile(file));
    EXPECT_EQ(e.LastErrMsg(), "Specified program id not found");
    EXPECT_EQ(e.nb_input_files(), 0);
    EXPECT_TRUE(e.InputStreams().empty());

    const int id = [&] {
        TCustomFFmpeg probe(1);
        EXPECT_TRUE(probe.OpenInputFile(file));
        return probe.InputFiles()[0].ctx->programs[1]->id;
    }();
    e.SetExtOption("programid", std::to_string(id));
    ASSERT_TRUE(e.OpenInputFile(file)) << e.LastErrMsg();
    const AVFormatContext* ic = e.InputFiles()[0].ctx.get();
    int kept = 0;
    for (unsigned i = 0; i < ic->nb_streams; ++i) kept += ic->streams[i]->discard != AVDISCARD_ALL;
    EXPECT_EQ(kept, 2);
    EXPECT_EQ(e.FileOptions().opt_programid, 0);
}

TEST_F(EngineFiles, InputFailuresRegisterNothing) {
    const std::string file = VideoAudioMp4();
    TCustomFFmpeg e(4);
    e.SetExtOption("vcodec", "srt");
    e.SetExtOption("s", "vga");
    EXPECT_FALSE(e.OpenInputFile(file));
    EXPECT_EQ(e.LastErrMsg(), "Invalid decoder type 'srt'");
    EXPECT_TRUE(e.FileOptions().video_codec_name.empty());
    EXPECT_EQ(e.FileOptions().frame_width, 640);  // other pending options stay

    e.SetExtOption("acodec", "nope");
    EXPECT_FALSE(e.OpenInputFile(file));
    EXPECT_EQ(e.LastErrMsg(), "Unknown decoder 'nope'");

    EXPECT_FALSE(e.OpenInputFile(FDir.File("missing.mp4")));
    EXPECT_EQ(e.LastErrMsg(), FDir.File("missing.mp4") + ": No such file or directory");

    const std::string junk = FDir.Write("junk.bin", std::string(4096, '\x5a'));
    EXPECT_FALSE(e.OpenInputFile(junk));
    EXPECT_THAT(e.LastErrMsg(), StartsWith(junk + ": "));

    e.SetExtOption("f", "nope");
    try {
        e.OpenInputFile(file);
        ADD_FAILURE() << "an unknown format was taken";
    } catch (const FFmpegException& ex) {
        EXPECT_STREQ(ex.what(), "Unknown input format: \"nope\"");
    }
    EXPECT_EQ(e.nb_input_files(), 0);
    EXPECT_TRUE(e.InputStreams().empty());
    EXPECT_TRUE(e.InputCodecs().empty());
}

// ---- Outputs ----

TEST_F(EngineFiles, OutputGetsTheKindsTheInputsHave) {
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(AudioOnly()));
    const std::string out = FDir.File("out.mp4");
    EXPECT_EQ(e.OpenOutputFile(out, false), 1) << e.LastErrMsg();
    EXPECT_EQ(StreamTypes(e.OutputContext(0)), std::vector<AVMediaType>{AVMEDIA_TYPE_AUDIO});
    EXPECT_TRUE(std::filesystem::exists(out));
}

TEST_F(EngineFiles, VideoDisableSuppressesVideoUntilNewVideo) {
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(VideoAudioMp4()));
    e.SetExtOption("vn", "");
    e.SetExtOption("b", "300k");
    ASSERT_EQ(e.OpenOutputFile(FDir.File("out.mp4"), false), 1) << e.LastErrMsg();
    AVFormatContext* oc = e.OutputContext(0);
    EXPECT_EQ(StreamTypes(oc), std::vector<AVMediaType>{AVMEDIA_TYPE_AUDIO});
    EXPECT_EQ(e.OutputStreams(0)[0]->enc_ctx->bit_rate, 300000);
    EXPECT_EQ(e.LibOptions().opt_name_count(), 0);

    e.SetExtOption("vcodec", "mpeg4");
    e.SetExtOption("newvideo", "");
    EXPECT_EQ(StreamTypes(oc), (std::vector<AVMediaType>{AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_VIDEO}));
    const auto& video = e.OutputStreams(0)[1];
    EXPECT_EQ(video->index, 1);
    EXPECT_EQ(video->enc->id, AV_CODEC_ID_MPEG4);
    EXPECT_FALSE(e.FileOptions().video_disable);
    EXPECT_TRUE(e.FileOptions().video_codec_name.empty());
}

TEST_F(EngineFiles, VideoEncodingSettingsReachTheStream) {
    TCustomFFmpeg e(4);
    e.SetExtOption("vcodec", "mpeg4");
    e.SetExtOption("s", "352x288");
    e.SetExtOption("r", "15");
    e.SetExtOption("aspect", "16:9");
    e.SetExtOption("vf", "hflip");
    e.SetExtOption("qscale", "4");
    e.SetExtOption("force_key_frames", "1,2.5");
    e.SetExtOption("rc_override", "0,10,3/20,30,-50");
    e.SetExtOption("vlang", "fra");
    e.SetExtOption("streamid", "0:256");
    e.SetExtOption("an", "");
    ASSERT_EQ(e.OpenOutputFile(FDir.File("v.avi"), false), 1) << e.LastErrMsg();
    const auto& ost = *e.OutputStreams(0)[0];
    const AVCodecContext* ctx = ost.enc_ctx.get();
    EXPECT_EQ(ctx->width, 352);
    EXPECT_EQ(ctx->height, 288);
    EXPECT_EQ(ost.frame_rate.num, 15);
    EXPECT_NEAR(ost.frame_aspect_ratio, 16.0 / 9.0, 1e-5);
    EXPECT_EQ(ost.avfilter, "hflip");
    EXPECT_TRUE(ctx->flags & AV_CODEC_FLAG_QSCALE);
    EXPECT_EQ(ctx->global_quality, 4 * FF_QP2LAMBDA);
    EXPECT_EQ(ost.forced_kf_count, 2);
    EXPECT_THAT(ost.forced_kf_pts, testing::ElementsAre(1000000, 2500000));
    ASSERT_EQ(ctx->rc_override_count, 2);
    EXPECT_EQ(ctx->rc_override[0].qscale, 3);
    EXPECT_EQ(ctx->rc_override[1].qscale, 0);
    EXPECT_FLOAT_EQ(ctx->rc_override[1].quality_factor, 0.5f);
    EXPECT_STREQ(avbind::avutil.av_dict_get(ost.st->metadata, "language", nullptr, 0)->value, "fra");
    EXPECT_EQ(ost.st->id, 256);
    EXPECT_TRUE(e.FileOptions().vfilters.empty());
    EXPECT_FLOAT_EQ(e.FileOptions().frame_aspect_ratio, 0);

    // The stream-id map is not consumed: the next output's first stream gets it too.
    e.SetExtOption("vcodec", "mpeg4");
    ASSERT_EQ(e.OpenOutputFile(FDir.File("w.avi"), false), 2) << e.LastErrMsg();
    EXPECT_EQ(e.OutputContext(1)->streams[0]->id, 256);
}

TEST_F(EngineFiles, CopiedVideoTakesItsAspectFromTheOptions) {
    TCustomFFmpeg e(4);
    e.SetExtOption("vcodec", "copy");
    e.SetExtOption("aspect", "16:9");
    e.SetExtOption("an", "");
    ASSERT_EQ(e.OpenOutputFile(FDir.File("c1.mkv"), false), 1) << e.LastErrMsg();
    AVStream* st = e.OutputContext(0)->streams[0];
    EXPECT_EQ(st->sample_aspect_ratio.num * 3, st->sample_aspect_ratio.den * 4);  // 4:3 geometry
    EXPECT_EQ(e.OutputStreams(0)[0]->stream_copy, 1);

    e.SetExtOption("vcodec", "copy");
    e.SetExtOption("s", "640x360");
    e.SetExtOption("an", "");
    ASSERT_EQ(e.OpenOutputFile(FDir.File("c2.mkv"), false), 2) << e.LastErrMsg();
    st = e.OutputContext(1)->streams[0];
    EXPECT_EQ(st->sample_aspect_ratio.num, st->sample_aspect_ratio.den);  // square pixels
}

TEST_F(EngineFiles, SubtitleAndDataStreams) {
    TCustomFFmpeg e(4);
    e.SetExtOption("scodec", "mov_text");
    ASSERT_EQ(e.OpenOutputFile(FDir.File("s.mp4"), false), 1) << e.LastErrMsg();
    const auto types = EncoderTypes(e, 0);
    ASSERT_EQ(types.back(), AVMEDIA_TYPE_SUBTITLE);
    EXPECT_EQ(e.OutputStreams(0).back()->enc_ctx->codec_id, AV_CODEC_ID_MOV_TEXT);

    e.SetExtOption("dcodec", "mpeg4");
    EXPECT_EQ(e.OpenOutputFile(FDir.File("d.mp4"), false), -1);
    EXPECT_EQ(e.LastErrMsg(), "new_data_stream fail: Data stream encoding not supported yet (only streamcopy)");
    EXPECT_EQ(e.nb_output_files(), 1);
    EXPECT_FALSE(std::filesystem::exists(FDir.File("d.mp4")));
}

TEST_F(EngineFiles, JoinMode) {
    const std::string file = VideoAudioMp4();
    {
        TCustomFFmpeg single(4);
        ASSERT_TRUE(single.OpenInputFile(file));
        EXPECT_EQ(single.OpenOutputFile(FDir.File("one.mp4"), true), 1);
        single.ExpandJoinedOutput();
        EXPECT_EQ(single.nb_output_files(), 1);
    }
    TCustomFFmpeg e(4);
    ASSERT_TRUE(e.OpenInputFile(file));
    ASSERT_TRUE(e.OpenInputFile(file));
    e.SetExtOption("vbsf", "null");
    EXPECT_EQ(e.OpenOutputFile(FDir.File("joined.mp4"), true), 1) << e.LastErrMsg();
    e.ExpandJoinedOutput();
    EXPECT_EQ(e.nb_output_files(), 2);
    EXPECT_EQ(e.OutputContext(0), e.OutputContext(1));
    ASSERT_EQ(e.OutputStreams(1).size(), e.OutputStreams(0).size());
    const auto& copy = *e.OutputStreams(1)[0];
    EXPECT_EQ(copy.file_index, 1);
    EXPECT_EQ(copy.enc, e.OutputStreams(0)[0]->enc);
    EXPECT_EQ(copy.bitstream_filters.size(), 1u);
    EXPECT_NE(copy.bitstream_filters[0].get(), e.OutputStreams(0)[0]->bitstream_filters[0].get());
    EXPECT_NEAR(static_cast<double>(e.TotalOutputDuration()), 2e6, 2e5);
    EXPECT_EQ(e.OpenOutputFile(FDir.File("again.mp4"), true), -1);
    EXPECT_EQ(e.LastErrMsg(), "Cannot join more than one output file.");
}

TEST_F(EngineFiles, OutputFailuresLeaveNothingBehind) {
    const std::string input = VideoAudioMp4();
    const auto inputSize = std::filesystem::file_size(input);
    TCustomFFmpeg e(2);
    ASSERT_TRUE(e.OpenInputFile(input));

    EXPECT_EQ(e.OpenOutputFile(input, false), -1);  // never over an input
    EXPECT_THAT(e.LastErrMsg(), HasSubstr("is the same file as input"));
    EXPECT_EQ(std::filesystem::file_size(input), inputSize);

    EXPECT_EQ(e.OpenOutputFile(FDir.File("no/such/dir/out.mp4"), false), -1);
    EXPECT_EQ(e.LastErrMsg(), FDir.File("no/such/dir/out.mp4") + ": No such file or directory");

    EXPECT_EQ(e.OpenOutputFile(FDir.File("out.unknownext"), false), -1);
    EXPECT_EQ(e.LastErrMsg(), FDir.File("out.unknownext") +
                                  ": Invalid argument / Invalid data found when processing input");

    e.SetExtOption("vcodec", "nope");
    EXPECT_EQ(e.OpenOutputFile(FDir.File("bad.mp4"), false), -1);
    EXPECT_EQ(e.LastErrMsg(), "new_video_stream fail: Unknown encoder 'nope'");
    EXPECT_TRUE(e.FileOptions().video_codec_name.empty());

    e.SetExtOption("vcodec", "mpeg4");
    e.SetExtOption("rc_override", "0,10");
    EXPECT_EQ(e.OpenOutputFile(FDir.File("bad.mp4"), false), -1);
    EXPECT_EQ(e.LastErrMsg(), "new_video_stream fail: error parsing rc_override");
    e.SetExtOption("rc_override", "");
    EXPECT_EQ(e.nb_output_files(), 0);
    EXPECT_TRUE(e.OutputStreams(0).empty());

    ASSERT_EQ(e.OpenOutputFile(FDir.File("a.mp4"), false), 1) << e.LastErrMsg();
    ASSERT_EQ(e.OpenOutputFile(FDir.File("b.mp4"), false), 2) << e.LastErrMsg();
    EXPECT_EQ(e.OpenOutputFile(FDir.File("c.mp4"), false), -1);
    EXPECT_EQ(e.LastErrMsg(), "Too many output files.");
    EXPECT_EQ(e.nb_output_files(), 2);
}

TEST_F(EngineFiles, ExperimentalEncodersNeedStrictExperimental) {
    const AVCodec* native = avcodec.avcodec_find_encoder_by_name("vorbis");
    if (!native || !(native->capabilities & AV_CODEC_CAP_EXPERIMENTAL)) GTEST_SKIP() << "no experimental encoder";
    std::string expected = "new_audio_stream fail: encoder 'vorbis' is experimental and might produce bad "
                           "results.\r\nAdd '-strict experimental' if you want to use it.";
    const AVCodec* usual = avcodec.avcodec_find_encoder(AV_CODEC_ID_VORBIS);
    if (usual && !(usual->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
        expected += "\r\nOr use the non experimental encoder '" + std::string(usual->name) + "'.";
    TCustomFFmpeg e(4);
    e.SetExtOption("acodec", "vorbis");
    e.SetExtOption("vn", "");
    EXPECT_EQ(e.OpenOutputFile(FDir.File("x.mka"), false), -1);
    EXPECT_EQ(e.LastErrMsg(), expected);

    e.SetExtOption("acodec", "vorbis");
    e.SetExtOption("strict", "experimental");
    EXPECT_EQ(e.OpenOutputFile(FDir.File("x.mka"), false), 1) << e.LastErrMsg();
}

TEST_F(EngineFiles, MetadataAndEmptyOutputsAtCleanUp) {
    const std::string out = FDir.File("meta.mkv");
    {
        TCustomFFmpeg e(4);
        e.SetExtOption("metadata", "title=Holiday");
        e.SetExtOption("timestamp", "2001-02-03 04:05:06Z");
        ASSERT_EQ(e.OpenOutputFile(out, false), 1) << e.LastErrMsg();
        const AVDictionary* m = e.OutputContext(0)->metadata;
        EXPECT_STREQ(avbind::avutil.av_dict_get(m, "title", nullptr, 0)->value, "Holiday");
        EXPECT_THAT(avbind::avutil.av_dict_get(m, "creation_time", nullptr, 0)->value,
                    StartsWith("2001-02-03T04:05:06"));
        EXPECT_EQ(e.FileOptions().metadata.Count(), 0);
        EXPECT_TRUE(std::filesystem::exists(out));
    }
    EXPECT_FALSE(std::filesystem::exists(out));  // nothing was written into it
}
