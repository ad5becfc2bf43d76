// The engine's option vocabulary: SetExtOption's table and the typed
// setters; and what files and streams consume of the options.
#include "engine/Engine.h"

#include "avbind/Text.h"

#include <cmath>

namespace engine {

using namespace avbind;

namespace {

bool FlagValue(const std::string& value) { return value != "0"; }

} // namespace

// ---- Dispatch ----

void TCustomFFmpeg::SetExtOption(const std::string& AName, const std::string& AValue) {
    using Handler = void (*)(TCustomFFmpeg&, const std::string& name, const std::string& value);
    struct TEntry {
        const char* Name;
        Handler Run;
    };
#define ZC_FLAG(field) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.field = FlagValue(v); }
#define ZC_INT(field) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.field = StrToInt(v); }
#define ZC_FLOAT(field) \
    [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.field = static_cast<float>(StrToFloat(v)); }
#define ZC_TEXT(field) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.field = v; }
#define ZC_CALL(call) [](TCustomFFmpeg& e, const std::string& n, const std::string& v) { (void)n; (void)v; e.call; }
#define ZC_NOTHING ZC_CALL(LogDoNothing(n))
#define ZC_RAISE(text) [](TCustomFFmpeg&, const std::string&, const std::string&) { RaiseFF(text); }
    // Recognition order is the table order.
    static const TEntry table[] = {
        {"L", ZC_NOTHING},
        {"l", ZC_NOTHING},  // "L" as option texts pass it: their names are lower-cased
        {"h", ZC_NOTHING},
        {"version", ZC_NOTHING},
        {"formats", ZC_NOTHING},
        {"codecs", ZC_NOTHING},
        {"bsfs", ZC_NOTHING},
        {"protocols", ZC_NOTHING},
        {"filters", ZC_NOTHING},
        {"loglevel", [](TCustomFFmpeg&, const std::string&, const std::string& v) { FFLogger().OptLogLevel(v); }},
        {"f", ZC_CALL(SetForcedFormat(v))},
        {"i", ZC_NOTHING},
        {"y", ZC_NOTHING},
        {"map", ZC_CALL(AddStreamMap(v))},
        {"map_meta_data",
         [](TCustomFFmpeg& e, const std::string&, const std::string& v) {
             FFLogger().Log(&e, llWarning,
                            "-map_meta_data is deprecated and will be removed soon. Use -map_metadata instead.");
             e.AddMetadataMap(v);
         }},
        {"map_metadata", ZC_CALL(AddMetadataMap(v))},
        {"map_chapters", ZC_CALL(AddChapterMap(v))},
        {"t", ZC_CALL(SetRecordingTime(ParseTimeSpec(n, v, true)))},
        {"fs", [](TCustomFFmpeg& e, const std::string&, const std::string& v) {
             e.FTaskOpts.limit_filesize = StrToInt64(v);
         }},
        {"ss", [](TCustomFFmpeg& e, const std::string& n, const std::string& v) {
             e.FFileOpts.start_time = ParseTimeSpec(n, v, true);
         }},
        {"itsoffset", [](TCustomFFmpeg& e, const std::string& n, const std::string& v) {
             e.FFileOpts.input_ts_offset = ParseTimeSpec(n, v, true);
         }},
        {"itsscale", ZC_CALL(SetInputTsScale(v))},
        {"timestamp",
         [](TCustomFFmpeg& e, const std::string& n, const std::string& v) {
             e.FFileOpts.recording_timestamp =
                 std::llround(static_cast<double>(ParseTimeSpec(n, v, false)) / 1000000.0);
         }},
        {"metadata", ZC_CALL(ParseMetadata(v))},
        {"dframes", ZC_INT(FFileOpts.max_frames[2])},
        {"benchmark", ZC_NOTHING},
        {"timelimit",
         [](TCustomFFmpeg& e, const std::string&, const std::string&) {
             FFLogger().Log(&e, llWarning, "Warning: -timelimit is not implemented: the option is ignored");
         }},
        {"dump", ZC_FLAG(FTaskOpts.do_pkt_dump)},
        {"hex", ZC_FLAG(FTaskOpts.do_hex_dump)},
        {"re", ZC_FLAG(FTaskOpts.rate_emu)},
        {"loop_input", ZC_FLAG(FFileOpts.loop_input)},
        {"loop_output", ZC_INT(FFileOpts.loop_output)},
        {"v", ZC_CALL(SetVerbose(StrToInt(v)))},
        {"target", ZC_CALL(SetTarget(v))},
        {"threads",
         [](TCustomFFmpeg& e, const std::string&, const std::string& v) {
             e.FTaskOpts.thread_count = StrToInt(v);
             if (e.FTaskOpts.verbose >= 0)
                 FFLogger().Log(&e, llVerbose,
                                "Warning: if the ffmpeg libraries were not compiled with thread support, it "
                                "would be using thread emulation.");
         }},
        {"vsync", ZC_INT(FTaskOpts.video_sync_method)},
        {"async", ZC_INT(FTaskOpts.audio_sync_method)},
        {"adrift_threshold", ZC_FLOAT(FTaskOpts.audio_drift_threshold)},
        {"copyts", ZC_FLAG(FTaskOpts.copy_ts)},
        {"copytb", ZC_FLAG(FTaskOpts.copy_tb)},
        {"shortest", ZC_FLAG(FTaskOpts.opt_shortest)},
        {"dts_delta_threshold", ZC_FLOAT(FTaskOpts.dts_delta_threshold)},
        {"programid", ZC_INT(FFileOpts.opt_programid)},
        {"xerror", ZC_FLAG(FTaskOpts.exit_on_error)},
        {"copyinkf", ZC_INT(FTaskOpts.copy_initial_nonkeyframes)},
        {"b", ZC_CALL(SetBitrate(n, v))},
        {"vb", ZC_CALL(SetBitrate(n, v))},
        {"vframes", ZC_INT(FFileOpts.max_frames[0])},
        {"r", ZC_CALL(SetFrameRate(v))},
        {"s", ZC_CALL(SetFrameSize(v))},
        {"aspect", ZC_CALL(SetAspectRatio(v))},
        {"pix_fmt", ZC_CALL(SetPixelFormat(v))},
        {"bits_per_raw_sample", ZC_INT(FFileOpts.frame_bits_per_raw_sample)},
        {"croptop", ZC_RAISE("Removed, use the crop filter instead")},
        {"cropbottom", ZC_RAISE("Removed, use the crop filter instead")},
        {"cropleft", ZC_RAISE("Removed, use the crop filter instead")},
        {"cropright", ZC_RAISE("Removed, use the crop filter instead")},
        {"padtop", ZC_RAISE("Removed, use the pad filter instead")},
        {"padbottom", ZC_RAISE("Removed, use the pad filter instead")},
        {"padleft", ZC_RAISE("Removed, use the pad filter instead")},
        {"padright", ZC_RAISE("Removed, use the pad filter instead")},
        {"padcolor", ZC_RAISE("Removed, use the pad filter instead")},
        {"intra", ZC_FLAG(FFileOpts.intra_only)},
        {"vn", ZC_FLAG(FFileOpts.video_disable)},
        {"vdt", ZC_INT(FFileOpts.video_discard)},
        {"qscale", ZC_CALL(SetQScale(v))},
        {"rc_override", ZC_TEXT(FFileOpts.video_rc_override_string)},
        {"vcodec", ZC_CALL(SetCodecName(n, v))},
        {"me_threshold", ZC_INT(FFileOpts.me_threshold)},
        {"sameq", ZC_FLAG(FFileOpts.same_quality)},
        {"pass", ZC_CALL(SetPass(v))},
        {"passlogfile", ZC_CALL(SetPassLogFile(n, v))},
        {"deinterlace", ZC_FLAG(FFileOpts.do_deinterlace)},
        {"noautorotate",
         [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.FFileOpts.autorotate = !FlagValue(v); }},
        {"psnr", ZC_FLAG(FTaskOpts.do_psnr)},
        {"vstats", ZC_CALL(SetVStats(FlagValue(v)))},
        {"vstats_file", ZC_TEXT(FTaskOpts.vstats_filename)},
        {"vhook", ZC_CALL(AddVideoHook(v))},
        {"vfilters", ZC_CALL(SetVideoFilters(v))},
        {"vf", ZC_CALL(SetVideoFilters(v))},
        {"intra_matrix", ZC_CALL(SetIntraMatrix(v))},
        {"inter_matrix", ZC_CALL(SetInterMatrix(v))},
        {"top", ZC_CALL(SetTopFieldFirst(v))},
        {"dc", ZC_INT(FFileOpts.intra_dc_precision)},
        {"vtag", ZC_CALL(SetCodecTag(n, v))},
        {"newvideo", ZC_CALL(AddStreamToLastOutput(n))},
        {"vlang", ZC_TEXT(FFileOpts.video_language)},
        {"qphist", ZC_FLAG(FFileOpts.qp_hist)},
        {"force_fps", ZC_FLAG(FTaskOpts.force_fps)},
        {"streamid", ZC_CALL(SetStreamId(n, v))},
        {"force_key_frames", ZC_TEXT(FFileOpts.forced_key_frames)},
        {"ab", ZC_CALL(SetBitrate(n, v))},
        {"aframes", ZC_INT(FFileOpts.max_frames[1])},
        {"aq", ZC_FLOAT(FFileOpts.audio_qscale)},
        {"ar", ZC_CALL(SetAudioRate(StrToInt(v)))},
        {"ac", ZC_CALL(SetAudioChannels(StrToInt(v)))},
        {"an", ZC_FLAG(FFileOpts.audio_disable)},
        {"acodec", ZC_CALL(SetCodecName(n, v))},
        {"atag", ZC_CALL(SetCodecTag(n, v))},
        {"vol", ZC_INT(FTaskOpts.audio_volume)},
        {"newaudio", ZC_CALL(AddStreamToLastOutput(n))},
        {"alang", ZC_TEXT(FFileOpts.audio_language)},
        {"sample_fmt", ZC_CALL(SetSampleFormat(v))},
        {"sn", ZC_FLAG(FFileOpts.subtitle_disable)},
        {"scodec", ZC_CALL(SetCodecName(n, v))},
        {"newsubtitle", ZC_CALL(AddStreamToLastOutput(n))},
        {"slang", ZC_TEXT(FFileOpts.subtitle_language)},
        {"stag", ZC_CALL(SetCodecTag(n, v))},
        {"vc", ZC_INT(FFileOpts.video_channel)},
        {"tvstd", ZC_TEXT(FFileOpts.video_standard)},
        {"isync", ZC_FLAG(FTaskOpts.input_sync)},
        {"muxdelay", ZC_FLOAT(FFileOpts.mux_max_delay)},
        {"muxpreload", ZC_FLOAT(FFileOpts.mux_preload)},
        {"absf", ZC_CALL(AddBitstreamFilter(n, v))},
        {"vbsf", ZC_CALL(AddBitstreamFilter(n, v))},
        {"sbsf", ZC_CALL(AddBitstreamFilter(n, v))},
        {"apre", ZC_CALL(LoadPresetFile(n, v))},
        {"vpre", ZC_CALL(LoadPresetFile(n, v))},
        {"spre", ZC_CALL(LoadPresetFile(n, v))},
        {"fpre", ZC_CALL(LoadPresetFile(n, v))},
        {"dcodec", ZC_CALL(SetCodecName(n, v))},
    };
#undef ZC_FLAG
#undef ZC_INT
#undef ZC_FLOAT
#undef ZC_TEXT
#undef ZC_CALL
#undef ZC_NOTHING
#undef ZC_RAISE

    for (const TEntry& entry : table) {
        if (AName == entry.Name) {
            entry.Run(*this, AName, AValue);
            return;
        }
    }
    if (!SetLibOption(AName, AValue) && FHaltOnInvalidOption) {
        // The store refuses a blank name without a reason of its own.
        if (Trimmed(AName).empty()) RaiseFF("Unrecognized option \"%s\"", AName.c_str());
        throw FFmpegException(avhelpers::LastOptionError());
    }
}

bool TCustomFFmpeg::IsValuelessOption(const std::string& name) {
    static const char* const names[] = {
        // Ignored options and stream additions take no value.
        "L", "h", "version", "formats", "codecs", "bsfs", "protocols", "filters", "i", "y", "benchmark",
        "newvideo", "newaudio", "newsubtitle",
        // Flags.
        "dump", "hex", "re", "loop_input", "copyts", "copytb", "shortest", "xerror", "intra", "vn", "sameq",
        "deinterlace", "noautorotate", "psnr", "qphist", "force_fps", "an", "sn", "isync", "vstats"};
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

void TCustomFFmpeg::LogDoNothing(const std::string& name) {
    FFLogger().Log(this, llInfo, "Do nothing: option - " + name);
}

// ---- Typed setters ----

void TCustomFFmpeg::SetForcedFormat(const std::string& name) {
    if (!name.empty()) FFileOpts.last_asked_format = name;
}

bool TCustomFFmpeg::SetLibOption(const std::string& name, const std::string& value) {
    return avhelpers::SetDefaultOption(FOptions, name, value);
}

bool TCustomFFmpeg::SetLibOptionInt(const std::string& name, int value) {
    return SetLibOption(name, std::to_string(value));
}

void TCustomFFmpeg::SetFrameRate(const std::string& value) {
    if (value.empty()) return;
    if (avutil.av_parse_video_rate(&FFileOpts.frame_rate, value.c_str()) < 0) RaiseFF("Incorrect frame rate");
}

bool TCustomFFmpeg::SetBitrate(const std::string& option, const std::string& value) {
    const bool accepted = SetLibOption(option, value);
    if (accepted) {
        AVCodecContext* holder =
            FOptions.avcodec_opts[option[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO].get();
        std::int64_t bitrate = 0;
        if (avutil.av_opt_get_int(holder, "b", 0, &bitrate) >= 0 && bitrate < 1000)
            FFLogger().Log(this, llWarning,
                           "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
    } else if (FHaltOnInvalidOption) {
        throw FFmpegException(avhelpers::LastOptionError());
    }
    return accepted;
}

void TCustomFFmpeg::SetFrameSize(const std::string& value) {
    if (value.empty()) return;
    if (avutil.av_parse_video_size(&FFileOpts.frame_width, &FFileOpts.frame_height, value.c_str()) < 0)
        RaiseFF("Incorrect frame size");
}

void TCustomFFmpeg::SetAspectRatio(const std::string& value) {
    if (value.empty()) return;
    double ratio = 0;
    const std::size_t colon = value.find(':');
    if (colon != std::string::npos) {
        int x = 0, y = 0;
        if (!TryStrToInt(value.substr(0, colon), x)) x = 0;
        if (!TryStrToInt(value.substr(colon + 1), y)) y = 0;
        ratio = y > 0 ? static_cast<double>(x) / y : 0;
    } else {
        try {
            ratio = StrToFloat(value);
        } catch (const EConvertError&) {
            ratio = 0;
        }
    }
    if (ratio == 0) RaiseFF("Incorrect aspect ratio specification.");
    FFileOpts.frame_aspect_ratio = static_cast<float>(ratio);
}

void TCustomFFmpeg::SetPixelFormat(const std::string& value) {
    if (value == "list") {
        char line[256];
        for (int fmt = -1; fmt < AV_PIX_FMT_NB; ++fmt) {
            avutil.av_get_pix_fmt_string(line, sizeof line, static_cast<AVPixelFormat>(fmt));
            FFLogger().Log(this, llInfo, Trimmed(line));
        }
        return;
    }
    FFileOpts.frame_pix_fmt = avutil.av_get_pix_fmt(value.c_str());
    if (FFileOpts.frame_pix_fmt == AV_PIX_FMT_NONE) RaiseFF("Unknown pixel format requested: %s", value.c_str());
}

void TCustomFFmpeg::SetSampleFormat(const std::string& value) {
    if (value == "list") {
        char line[256];
        for (int fmt = -1; fmt < AV_SAMPLE_FMT_NB; ++fmt) {
            avutil.av_get_sample_fmt_string(line, sizeof line, static_cast<AVSampleFormat>(fmt));
            FFLogger().Log(this, llInfo, Trimmed(line));
        }
        return;
    }
    FFileOpts.audio_sample_fmt = avutil.av_get_sample_fmt(value.c_str());
    if (FFileOpts.audio_sample_fmt == AV_SAMPLE_FMT_NONE) RaiseFF("Invalid sample format \"%s\"", value.c_str());
}

void TCustomFFmpeg::AddMetadata(const std::string& key, const std::string& value) {
    FFileOpts.metadata.Set(key.c_str(), value.c_str(), 0);
}

void TCustomFFmpeg::SetAudioRate(int value) {
    if (value > 0) FFileOpts.audio_sample_rate = value;
}

void TCustomFFmpeg::SetAudioChannels(int value) {
    if (value > 0) FFileOpts.audio_channels = value;
}

void TCustomFFmpeg::SetCodecTag(const std::string& option, const std::string& value) {
    if (value.empty()) return;
    unsigned* tag = option == "atag"   ? &FFileOpts.audio_codec_tag
                    : option == "vtag" ? &FFileOpts.video_codec_tag
                    : option == "stag" ? &FFileOpts.subtitle_codec_tag
                                       : nullptr;
    if (!tag) RaiseFF("Invalid tag parmeter %s", option.c_str());
    int number = 0;
    if (TryStrToInt(value, number)) {
        *tag = static_cast<unsigned>(number);
        return;
    }
    if (value.size() != 4) RaiseFF("tag parameter must be 4 chars or int value");
    const auto* b = reinterpret_cast<const unsigned char*>(value.data());
    *tag = static_cast<unsigned>(b[0]) | static_cast<unsigned>(b[1]) << 8 | static_cast<unsigned>(b[2]) << 16 |
           static_cast<unsigned>(b[3]) << 24;
}

void TCustomFFmpeg::SetCodecName(const std::string& option, const std::string& value) {
    if (value.empty()) return;
    std::string* name;
    int* copy;
    if (option == "acodec") {
        name = &FFileOpts.audio_codec_name;
        copy = &FFileOpts.audio_stream_copy;
    } else if (option == "vcodec") {
        name = &FFileOpts.video_codec_name;
        copy = &FFileOpts.video_stream_copy;
    } else if (option == "scodec") {
        name = &FFileOpts.subtitle_codec_name;
        copy = &FFileOpts.subtitle_stream_copy;
    } else if (option == "dcodec") {
        name = &FFileOpts.data_codec_name;
        copy = &FFileOpts.data_stream_copy;
    } else {
        RaiseFF("Invalid parameter \"%s\"", option.c_str());
    }
    name->clear();
    if (value == "copy")
        *copy = 1;
    else
        *name = value;
}

void TCustomFFmpeg::SetVideoFilters(const std::string& value) {
    if (!value.empty()) FFileOpts.vfilters = value;
}

void TCustomFFmpeg::SetRecordingTime(std::int64_t value) {
    if (value == AV_NOPTS_VALUE) return;
    FFileOpts.recording_time = value;
    FTotalOutputDuration = value;
}

void TCustomFFmpeg::SetStartTime(std::int64_t value) {
    if (value != AV_NOPTS_VALUE) FFileOpts.start_time = value;
}

void TCustomFFmpeg::SetProgramId(int value) {
    if (value >= 0) FFileOpts.opt_programid = value;
}

void TCustomFFmpeg::SetAudioVolume(int value) {
    if (value >= 0) FTaskOpts.audio_volume = value;
}

void TCustomFFmpeg::SetMuxMaxDelay(float value) {
    if (value > 0) FFileOpts.mux_max_delay = value;
}

void TCustomFFmpeg::SetMuxPreload(float value) {
    if (value > 0) FFileOpts.mux_preload = value;
}

void TCustomFFmpeg::SetHookBitsPixel(int value) {
    FInputVideoHook.SetBitsPixel(value);
    FOutputVideoHook.Converter->SetBitsPixel(value);
}

// ---- What files and streams consume ----

void TFileOptions::ForgetAfterFailedInput() {
    Reset(&TFileOptions::video_codec_name, &TFileOptions::audio_codec_name, &TFileOptions::subtitle_codec_name,
          &TFileOptions::video_channel);
}

void TFileOptions::ForgetAfterInput() {
    ForgetAfterFailedInput();
    Reset(&TFileOptions::autorotate, &TFileOptions::top_field_first, &TFileOptions::frame_rate,
          &TFileOptions::frame_pix_fmt, &TFileOptions::frame_width, &TFileOptions::frame_height,
          &TFileOptions::audio_sample_rate, &TFileOptions::audio_channels);
}

void TFileOptions::ForgetAfterOutput() {
    Reset(&TFileOptions::frame_rate, &TFileOptions::frame_width, &TFileOptions::frame_height,
          &TFileOptions::audio_sample_rate, &TFileOptions::audio_channels, &TFileOptions::forced_key_frames);
}

void TFileOptions::ForgetAfterStream(AVMediaType type) {
    switch (type) {
    case AVMEDIA_TYPE_VIDEO:
        Reset(&TFileOptions::video_disable, &TFileOptions::video_codec_name, &TFileOptions::forced_key_frames,
              &TFileOptions::video_stream_copy, &TFileOptions::frame_pix_fmt);
        break;
    case AVMEDIA_TYPE_AUDIO:
        Reset(&TFileOptions::audio_disable, &TFileOptions::audio_codec_name, &TFileOptions::audio_stream_copy);
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        Reset(&TFileOptions::subtitle_disable, &TFileOptions::subtitle_codec_name,
              &TFileOptions::subtitle_stream_copy);
        break;
    case AVMEDIA_TYPE_DATA:
        Reset(&TFileOptions::data_disable, &TFileOptions::data_codec_name, &TFileOptions::data_stream_copy);
        break;
    default:
        break;
    }
}

} // namespace engine
