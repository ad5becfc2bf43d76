#include "engine/Engine.h"

#include "avbind/Text.h"
#include "tests/engine/EngineTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace engine;
using testing::ElementsAre;

namespace {

class EngineOptions : public testing::Test {
protected:
    TCustomFFmpeg FEngine{4};
    zctest::TLogCatcher FLog;

    void Set(const std::string& name, const std::string& value) { FEngine.SetExtOption(name, value); }
    // The FFmpegException text of an option, or "" when it was accepted.
    std::string ErrorOf(const std::string& name, const std::string& value) {
        try {
            FEngine.SetExtOption(name, value);
        } catch (const FFmpegException& e) {
            return e.what();
        }
        return "";
    }
};

} // namespace

TEST_F(EngineOptions, StartsAtTheResetValues) {
    EXPECT_EQ(FEngine.FileOptions().frame_pix_fmt, AV_PIX_FMT_NONE);
    EXPECT_EQ(FEngine.FileOptions().audio_sample_fmt, AV_SAMPLE_FMT_NONE);
    EXPECT_EQ(FEngine.FileOptions().max_frames[3], 2147483647);
    EXPECT_EQ(FEngine.FileOptions().recording_time, INT64_MAX);
    EXPECT_EQ(FEngine.TaskOptions().video_sync_method, -1);
    EXPECT_EQ(FEngine.TaskOptions().audio_volume, 256);
    EXPECT_FLOAT_EQ(FEngine.FileOptions().audio_qscale, -99999.0f);
    EXPECT_FLOAT_EQ(FEngine.FileOptions().mux_max_delay, 0.7f);
    EXPECT_EQ(FEngine.FileOptions().intra_dc_precision, 8);
    EXPECT_EQ(FEngine.TotalOutputDuration(), -1);
    EXPECT_EQ(FEngine.ReadTimeout(), 10000);
    EXPECT_TRUE(FEngine.HaltOnInvalidOption());
    EXPECT_EQ(FEngine.InputVideoHook().BitsPixel(), 24);
}

// Each file and stream forgets what it consumed, and only that: a setting
// given for one file must not reach the next, nor be lost before its file.
TEST(FileOptions, FilesAndStreamsForgetWhatTheyConsumed) {
    TFileOptions pending;
    pending.frame_width = 640, pending.frame_height = 480, pending.frame_rate = {30, 1};
    pending.audio_sample_rate = 22050, pending.audio_channels = 1;
    pending.video_codec_name = "mpeg4", pending.autorotate = false;
    pending.forced_key_frames = "0", pending.audio_language = "eng";
    pending.ForgetAfterInput();
    EXPECT_EQ(pending.frame_width, 0);
    EXPECT_EQ(pending.frame_rate.num, 0);
    EXPECT_EQ(pending.audio_sample_rate, 0);
    EXPECT_EQ(pending.audio_channels, 0);
    EXPECT_TRUE(pending.video_codec_name.empty());
    EXPECT_TRUE(pending.autorotate);
    EXPECT_EQ(pending.forced_key_frames, "0");  // an output's, kept for it
    EXPECT_EQ(pending.audio_language, "eng");

    pending.forced_key_frames = "1";
    pending.audio_codec_name = "mp2";
    pending.ForgetAfterStream(AVMEDIA_TYPE_VIDEO);
    EXPECT_TRUE(pending.forced_key_frames.empty());
    EXPECT_EQ(pending.audio_codec_name, "mp2");  // for the audio stream still to come
    pending.ForgetAfterStream(AVMEDIA_TYPE_AUDIO);
    EXPECT_TRUE(pending.audio_codec_name.empty());

    pending.metadata.Set("title", "x");
    EXPECT_EQ(pending.Take(&TFileOptions::metadata).Count(), 1);
    EXPECT_EQ(pending.metadata.Count(), 0);
}

TEST_F(EngineOptions, FlagsAreOnUnlessTheValueIsZero) {
    Set("vn", "0");
    EXPECT_FALSE(FEngine.FileOptions().video_disable);
    Set("vn", "");
    EXPECT_TRUE(FEngine.FileOptions().video_disable);
    Set("an", "yes");
    EXPECT_TRUE(FEngine.FileOptions().audio_disable);
    Set("shortest", "00");  // only exactly "0" switches off
    EXPECT_TRUE(FEngine.TaskOptions().opt_shortest);
}

TEST_F(EngineOptions, NamesMatchExactlyAndCaseSensitively) {
    EXPECT_EQ(ErrorOf("-vcodec", "mpeg4"), "Unrecognized option \"-vcodec\"");
    EXPECT_EQ(ErrorOf("VCODEC", "mpeg4"), "Unrecognized option \"VCODEC\"");
    EXPECT_EQ(ErrorOf("", "x"), "Unrecognized option \"\"");
    EXPECT_TRUE(FEngine.FileOptions().video_codec_name.empty());
    FEngine.SetHaltOnInvalidOption(false);
    EXPECT_EQ(ErrorOf("no_such_option", "1"), "");
}

TEST_F(EngineOptions, NumbersAndTimes) {
    Set("fs", "5000000000");
    EXPECT_EQ(FEngine.TaskOptions().limit_filesize, 5000000000LL);
    Set("vframes", "100");
    Set("aframes", "7");
    Set("dframes", "3");
    EXPECT_THAT(FEngine.FileOptions().max_frames, ElementsAre(100, 7, 3, 2147483647));
    Set("adrift_threshold", "0.25");
    EXPECT_FLOAT_EQ(FEngine.TaskOptions().audio_drift_threshold, 0.25f);
    EXPECT_THROW(Set("vsync", "fast"), avbind::EConvertError);
    EXPECT_THROW(Set("muxdelay", "soon"), avbind::EConvertError);

    Set("t", "1:02.5");
    EXPECT_EQ(FEngine.FileOptions().recording_time, 62500000);
    EXPECT_EQ(FEngine.TotalOutputDuration(), 62500000);
    Set("ss", "3");
    EXPECT_EQ(FEngine.FileOptions().start_time, 3000000);
    Set("itsoffset", "-0.5");
    EXPECT_EQ(FEngine.FileOptions().input_ts_offset, -500000);
    Set("timestamp", "2000-01-01 00:00:00.6Z");
    EXPECT_EQ(FEngine.FileOptions().recording_timestamp, 946684801);  // rounded to the nearest second
    EXPECT_EQ(ErrorOf("t", "soon"), "Invalid duration specification for t: soon");
    EXPECT_EQ(ErrorOf("timestamp", "yesterday"), "Invalid date specification for timestamp: yesterday");

    Set("ar", "0");
    Set("ac", "-2");
    EXPECT_EQ(FEngine.FileOptions().audio_sample_rate, 0);
    EXPECT_EQ(FEngine.FileOptions().audio_channels, 0);
    Set("ar", "44100");
    Set("ac", "2");
    EXPECT_EQ(FEngine.FileOptions().audio_sample_rate, 44100);
    EXPECT_EQ(FEngine.FileOptions().audio_channels, 2);
}

TEST_F(EngineOptions, AspectRatio) {
    Set("aspect", "16:9");
    EXPECT_NEAR(FEngine.FileOptions().frame_aspect_ratio, 16.0 / 9.0, 1e-6);
    Set("aspect", "1.5");
    EXPECT_FLOAT_EQ(FEngine.FileOptions().frame_aspect_ratio, 1.5f);
    for (const char* bad : {"4:0", "0", "wide", ":3"})
        EXPECT_EQ(ErrorOf("aspect", bad), "Incorrect aspect ratio specification.") << bad;
    EXPECT_FLOAT_EQ(FEngine.FileOptions().frame_aspect_ratio, 1.5f);
    Set("aspect", "");
    EXPECT_FLOAT_EQ(FEngine.FileOptions().frame_aspect_ratio, 1.5f);
}

TEST_F(EngineOptions, QScalePassAndRemovedOptions) {
    EXPECT_EQ(ErrorOf("qscale", "0"), "qscale must be > 0.0 and <= 255");
    EXPECT_EQ(ErrorOf("qscale", "256"), "qscale must be > 0.0 and <= 255");
    Set("qscale", "255");
    EXPECT_FLOAT_EQ(FEngine.FileOptions().video_qscale, 255.0f);
    EXPECT_EQ(ErrorOf("pass", "3"), "pass number can be only 1 or 2");
    Set("pass", "2");
    EXPECT_EQ(FEngine.TaskOptions().do_pass, 2);
    EXPECT_EQ(ErrorOf("croptop", "1"), "Removed, use the crop filter instead");
    EXPECT_EQ(ErrorOf("cropright", ""), "Removed, use the crop filter instead");
    EXPECT_EQ(ErrorOf("padcolor", "000000"), "Removed, use the pad filter instead");
    EXPECT_EQ(ErrorOf("timelimit", "10"), "");
    EXPECT_TRUE(FLog.Contains("Warning: -timelimit is not implemented: the option is ignored"));
    EXPECT_EQ(ErrorOf("y", ""), "");
    EXPECT_TRUE(FLog.Contains("Do nothing: option - y"));
}

TEST_F(EngineOptions, BitrateWarnsWhenItLooksLikeKilobits) {
    Set("b", "64");
    EXPECT_TRUE(FLog.Contains(
        "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s"));
    EXPECT_THAT(FEngine.LibOptions().opt_names, ElementsAre("b"));

    zctest::TLogCatcher fresh;
    Set("ab", "64k");
    EXPECT_FALSE(fresh.Contains(
        "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s"));
    EXPECT_THAT(FEngine.LibOptions().opt_names, ElementsAre("b", "ab"));
    EXPECT_EQ(FEngine.LibOptions().avcodec_opts[AVMEDIA_TYPE_AUDIO]->bit_rate, 64000);
    EXPECT_EQ(ErrorOf("vb", "lots"), "Invalid value \"lots\" for option \"vb\"");
}

TEST_F(EngineOptions, FrameRateSizeAndFormats) {
    Set("r", "ntsc");
    EXPECT_EQ(FEngine.FileOptions().frame_rate.num, 30000);
    EXPECT_EQ(FEngine.FileOptions().frame_rate.den, 1001);
    EXPECT_EQ(ErrorOf("r", "fast"), "Incorrect frame rate");
    Set("s", "vga");
    EXPECT_EQ(FEngine.FileOptions().frame_width, 640);
    EXPECT_EQ(FEngine.FileOptions().frame_height, 480);
    Set("s", "320x240");
    EXPECT_EQ(FEngine.FileOptions().frame_width, 320);
    EXPECT_EQ(ErrorOf("s", "12"), "Incorrect frame size");

    Set("pix_fmt", "yuv422p");
    EXPECT_EQ(FEngine.FileOptions().frame_pix_fmt, AV_PIX_FMT_YUV422P);
    EXPECT_EQ(ErrorOf("pix_fmt", "bogus"), "Unknown pixel format requested: bogus");
    EXPECT_EQ(FEngine.FileOptions().frame_pix_fmt, AV_PIX_FMT_NONE);  // stored before the check
    Set("sample_fmt", "s16");
    EXPECT_EQ(FEngine.FileOptions().audio_sample_fmt, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(ErrorOf("sample_fmt", "bogus"), "Invalid sample format \"bogus\"");

    Set("pix_fmt", "list");
    const auto lines = FLog.Lines();
    ASSERT_GT(lines.size(), static_cast<std::size_t>(AV_PIX_FMT_NB) - 1);
    EXPECT_THAT(lines[0].Msg, testing::StartsWith("name"));  // the header line
    EXPECT_EQ(lines[0].Level, avbind::llInfo);
}

TEST_F(EngineOptions, CodecNamesTagsAndStreamCopy) {
    Set("vcodec", "mpeg4");
    EXPECT_EQ(FEngine.FileOptions().video_codec_name, "mpeg4");
    Set("vcodec", "copy");
    EXPECT_EQ(FEngine.FileOptions().video_stream_copy, 1);
    EXPECT_TRUE(FEngine.FileOptions().video_codec_name.empty());
    Set("acodec", "");
    EXPECT_EQ(FEngine.FileOptions().audio_stream_copy, 0);
    Set("dcodec", "copy");
    EXPECT_EQ(FEngine.FileOptions().data_stream_copy, 1);
    EXPECT_THROW(FEngine.SetCodecName("xcodec", "mpeg4"), FFmpegException);

    Set("vtag", "xvid");
    EXPECT_EQ(FEngine.FileOptions().video_codec_tag, MKTAG('x', 'v', 'i', 'd'));
    EXPECT_EQ(FEngine.FileOptions().video_codec_tag & 0xFF, static_cast<unsigned>('x'));
    Set("atag", "12");
    EXPECT_EQ(FEngine.FileOptions().audio_codec_tag, 12u);
    EXPECT_EQ(ErrorOf("stag", "xvi"), "tag parameter must be 4 chars or int value");
    try {
        FEngine.SetCodecTag("dtag", "abcd");
        ADD_FAILURE();
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "Invalid tag parmeter dtag");
    }
}

TEST_F(EngineOptions, StreamMaps) {
    Set("map", "0.1");
    Set("map", "0:1:0:0");
    Set("map", "0x1:010");
    ASSERT_EQ(FEngine.TaskOptions().stream_maps.size(), 3u);
    const auto& m = FEngine.TaskOptions().stream_maps;
    EXPECT_EQ(std::vector<int>({m[0].file_index, m[0].stream_index, m[0].sync_file_index, m[0].sync_stream_index}),
              std::vector<int>({0, 1, 0, 1}));
    EXPECT_EQ(std::vector<int>({m[1].file_index, m[1].stream_index, m[1].sync_file_index, m[1].sync_stream_index}),
              std::vector<int>({0, 1, 0, 0}));
    EXPECT_EQ(m[2].file_index, 1);
    EXPECT_EQ(m[2].stream_index, 8);  // leading zero: octal

    Set("map_chapters", "1:2");
    ASSERT_EQ(FEngine.TaskOptions().chapter_maps.size(), 1u);
    EXPECT_EQ(FEngine.TaskOptions().chapter_maps[0].out_file, 1);
    EXPECT_EQ(FEngine.TaskOptions().chapter_maps[0].in_file, 2);
}

TEST_F(EngineOptions, MetadataMapsClearTheMatchingAutocopy) {
    Set("map_metadata", "0,s0:0");
    EXPECT_EQ(FEngine.TaskOptions().metadata_streams_autocopy, 0);
    EXPECT_EQ(FEngine.TaskOptions().metadata_global_autocopy, 0);  // the input side has no type: global
    EXPECT_EQ(FEngine.TaskOptions().metadata_chapters_autocopy, 1);
    const auto& pair = FEngine.TaskOptions().meta_data_maps.at(0);
    EXPECT_EQ(pair[0].type_, 's');
    EXPECT_EQ(pair[0].index, 0);
    EXPECT_EQ(pair[1].type_, 'g');

    TCustomFFmpeg other(1);
    other.SetExtOption("map_metadata", "1,s2:3,s4");
    EXPECT_EQ(other.TaskOptions().metadata_global_autocopy, 1);
    EXPECT_EQ(other.TaskOptions().metadata_streams_autocopy, 0);
    other.SetExtOption("map_meta_data", "1,g:2,c3");  // deprecated spelling still works
    const auto& p = other.TaskOptions().meta_data_maps.at(1);
    EXPECT_EQ(p[0].file_idx, 1);
    EXPECT_EQ(p[1].file_idx, 2);  // the file after a global side is read, not skipped
    EXPECT_EQ(p[1].type_, 'c');
    EXPECT_EQ(p[1].index, 3);
    EXPECT_EQ(other.TaskOptions().metadata_chapters_autocopy, 0);
    EXPECT_TRUE(FLog.Contains("-map_meta_data is deprecated and will be removed soon. Use -map_metadata instead."));
    EXPECT_EQ(ErrorOf("map_metadata", "0,x:0"), "Invalid metadata type x.");
}

TEST_F(EngineOptions, InputTimestampScales) {
    EXPECT_EQ(ErrorOf("itsscale", "1024:2"), "stream index over MAX_STREAMS(1024)");
    EXPECT_EQ(ErrorOf("itsscale", "-1:2"), "stream index over MAX_STREAMS(1024)");
    Set("itsscale", "1:0.5");
    EXPECT_THAT(FEngine.FileOptions().ts_scale, ElementsAre(0.0, 0.5));
}

TEST_F(EngineOptions, GlobalMetadata) {
    EXPECT_EQ(ErrorOf("metadata", "title"), "Missing =");
    EXPECT_EQ(ErrorOf("metadata", "=x"), "wrong parameter of metadata");
    Set("metadata", "title=");
    ASSERT_NE(FEngine.FileOptions().metadata.Get("title"), nullptr);
    EXPECT_STREQ(FEngine.FileOptions().metadata.Get("title"), "");
    Set("metadata", "comment=a=b");
    EXPECT_STREQ(FEngine.FileOptions().metadata.Get("comment"), "a=b");
    Set("metadata", "title=second");
    EXPECT_STREQ(FEngine.FileOptions().metadata.Get("title"), "second");
}

TEST_F(EngineOptions, QuantizerMatrices) {
    std::string text;
    for (int i = 1; i <= 63; ++i) text += (i > 1 ? "," : "") + std::to_string(i);
    EXPECT_EQ(ErrorOf("intra_matrix", text), "Syntax error in matrix \"" + text + "\" at coeff 62");
    text += ",64";
    Set("inter_matrix", text);
    ASSERT_TRUE(FEngine.FileOptions().inter_matrix);
    EXPECT_EQ(FEngine.FileOptions().inter_matrix.get()[0], 1);
    EXPECT_EQ(FEngine.FileOptions().inter_matrix.get()[63], 64);
    Set("inter_matrix", "9" + std::string(63, ','));  // reuse clears the old coefficients
    EXPECT_EQ(FEngine.FileOptions().inter_matrix.get()[0], 9);
    EXPECT_EQ(FEngine.FileOptions().inter_matrix.get()[63], 0);
}

TEST_F(EngineOptions, StreamIds) {
    Set("streamid", "0:5");
    Set("streamid", "2:7");
    EXPECT_THAT(FEngine.TaskOptions().streamid_map, ElementsAre(5, 0, 7));
    const std::string syntax = "\", required syntax is \"index:value\"";
    EXPECT_EQ(ErrorOf("streamid", "a:1"), "Invalid value \"a:1\" for option \"streamid" + syntax);
    EXPECT_EQ(ErrorOf("streamid", "3"), "Invalid value \"3\" for option \"streamid" + syntax);
    EXPECT_EQ(ErrorOf("streamid", "-1:3"), "Invalid value \"-1:3\" for option \"streamid" + syntax);
    // No output stream has such an index; nothing is allocated for it.
    EXPECT_EQ(ErrorOf("streamid", "500000000:1"), "stream index over MAX_STREAMS(1024)");
    EXPECT_EQ(FEngine.TaskOptions().streamid_map.size(), 3u);
    try {
        Set("streamid", "2000000000:1");
        ADD_FAILURE() << "a huge stream index was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Array too big.");
    }
}

TEST_F(EngineOptions, BitstreamFiltersJoinTheChainOfTheirType) {
    Set("absf", "aac_adtstoasc");
    Set("vbsf", "h264_mp4toannexb=ignored");
    Set("sbsf", "null");
    Set("vbsf", "=dump_extra");
    EXPECT_EQ(FEngine.BitstreamFilters(AVMEDIA_TYPE_AUDIO).size(), 1u);
    EXPECT_EQ(FEngine.BitstreamFilters(AVMEDIA_TYPE_VIDEO).size(), 1u);
    EXPECT_EQ(FEngine.BitstreamFilters(AVMEDIA_TYPE_SUBTITLE).size(), 1u);
    EXPECT_EQ(ErrorOf("vbsf", " nope "), "Unknown bitstream filter nope");
}

TEST_F(EngineOptions, LibraryFallbackAndItsRefusals) {
    Set("g", "250");
    Set("movflags", "+faststart");  // a muxer's private option
    EXPECT_THAT(FEngine.LibOptions().opt_names, ElementsAre("g", "movflags"));
    EXPECT_EQ(ErrorOf("g", "many"), "Invalid value \"many\" for option \"g\"");
    EXPECT_EQ(ErrorOf("no_such_option", "1"), "Unrecognized option \"no_such_option\"");
    EXPECT_EQ(FEngine.LibOptions().opt_name_count(), 2);
}

TEST_F(EngineOptions, MiscellaneousHandlers) {
    EXPECT_EQ(ErrorOf("newvideo", ""), "At least one output file must be specified");
    Set("loglevel", "Warning");
    EXPECT_EQ(avbind::FFLogger().LogLevel(), avbind::llWarning);
    avbind::FFLogger().SetLogLevel(avbind::llInfo);
    Set("threads", "3");
    EXPECT_EQ(FEngine.TaskOptions().thread_count, 3);
    Set("f", "mp4");
    Set("f", "");
    EXPECT_EQ(FEngine.FileOptions().last_asked_format, "mp4");
    Set("vf", "scale=320:240");
    Set("vfilters", "");
    EXPECT_EQ(FEngine.FileOptions().vfilters, "scale=320:240");
    Set("vstats", "1");
    EXPECT_THAT(FEngine.TaskOptions().vstats_filename,
                testing::MatchesRegex("vstats_[0-9]{6}\\.log"));  // in the current folder
    Set("vstats", "0");
    EXPECT_TRUE(FEngine.TaskOptions().vstats_filename.empty());
    Set("passlogfile", "/tmp/stats");
    EXPECT_EQ(FEngine.TaskOptions().pass_logfilename_prefix, "/tmp/stats");
    Set("top", "1");
    EXPECT_EQ(FEngine.FileOptions().top_field_first, 1);
    Set("vlang", "eng");
    EXPECT_EQ(FEngine.FileOptions().video_language, "eng");

    FEngine.SetRecordingTime(AV_NOPTS_VALUE);
    FEngine.SetProgramId(-1);
    FEngine.SetAudioVolume(-5);
    FEngine.SetMuxPreload(0);
    EXPECT_EQ(FEngine.FileOptions().recording_time, INT64_MAX);
    EXPECT_EQ(FEngine.FileOptions().opt_programid, 0);
    EXPECT_EQ(FEngine.TaskOptions().audio_volume, 256);
    EXPECT_FLOAT_EQ(FEngine.FileOptions().mux_preload, 0.5f);
    FEngine.SetHookBitsPixel(32);
    EXPECT_EQ(FEngine.InputVideoHook().BitsPixel(), 32);
    EXPECT_EQ(FEngine.OutputVideoHook().Converter->BitsPixel(), 32);
}

TEST(EngineOptionNames, ValuelessNamesForTheCommandLine) {
    EXPECT_TRUE(TCustomFFmpeg::IsValuelessOption("vn"));
    EXPECT_TRUE(TCustomFFmpeg::IsValuelessOption("newaudio"));
    EXPECT_TRUE(TCustomFFmpeg::IsValuelessOption("y"));
    EXPECT_FALSE(TCustomFFmpeg::IsValuelessOption("vcodec"));
    EXPECT_FALSE(TCustomFFmpeg::IsValuelessOption("loglevel"));
    EXPECT_FALSE(TCustomFFmpeg::IsValuelessOption("g"));
}
