// Creating an output: the container, its streams from the pending options,
// metadata, the opened file and the muxer timing; join mode.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"
#include "avhelpers/Registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace engine {

using namespace avbind;

namespace {

int TypeOptionFlag(AVMediaType type) {
    switch (type) {
    case AVMEDIA_TYPE_VIDEO: return AV_OPT_FLAG_VIDEO_PARAM;
    case AVMEDIA_TYPE_AUDIO: return AV_OPT_FLAG_AUDIO_PARAM;
    case AVMEDIA_TYPE_SUBTITLE: return AV_OPT_FLAG_SUBTITLE_PARAM;
    default: return 0;
    }
}

// Whether two names refer to one existing file.
bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A fresh copy of a bitstream-filter chain (contexts hold per-stream state).
std::vector<TAVBSFContextPtr> CopyChain(const std::vector<TAVBSFContextPtr>& chain) {
    std::vector<TAVBSFContextPtr> copy;
    for (const TAVBSFContextPtr& f : chain) {
        AVBSFContext* ctx = nullptr;
        if (avcodec.av_bsf_alloc(f->filter, &ctx) < 0) throw std::runtime_error("Could not alloc buffer.");
        copy.emplace_back(ctx);
    }
    return copy;
}

} // namespace

TCustomFFmpeg::TInputKinds TCustomFFmpeg::check_inputs(bool join) {
    TInputKinds any, every{true, true, true, true};
    for (int f = 0; f < Fnb_input_files; ++f) {
        const AVFormatContext* ic = InputFileAt(f).ctx.get();
        bool video = false, audio = false, subtitle = false, data = false, attachment = false, unknown = false;
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            const AVCodecParameters* par = ic->streams[i]->codecpar;
            // A stream left out for its unknown codec asks for no output stream.
            if (par->codec_id == AV_CODEC_ID_NONE && ic->streams[i]->discard == AVDISCARD_ALL) continue;
            switch (par->codec_type) {
            case AVMEDIA_TYPE_VIDEO: video = true; break;
            case AVMEDIA_TYPE_AUDIO: audio = true; break;
            case AVMEDIA_TYPE_SUBTITLE: subtitle = true; break;
            case AVMEDIA_TYPE_DATA: data = true; break;
            case AVMEDIA_TYPE_ATTACHMENT: attachment = true; break;
            default: unknown = true; break;
            }
        }
        any.Video |= video;
        any.Audio |= audio;
        any.Subtitle |= subtitle;
        any.Data |= data || attachment || unknown;
        every.Video &= video;
        every.Audio &= audio;
        every.Subtitle &= subtitle;
        every.Data &= data;  // refined below: all data, or all attachments, or all unknown
    }
    if (!join) return any;
    bool allData = true, allAttachment = true, allUnknown = true;
    for (int f = 0; f < Fnb_input_files; ++f) {
        const AVFormatContext* ic = InputFileAt(f).ctx.get();
        bool data = false, attachment = false, unknown = false;
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            const AVMediaType t = ic->streams[i]->codecpar->codec_type;
            data |= t == AVMEDIA_TYPE_DATA;
            attachment |= t == AVMEDIA_TYPE_ATTACHMENT;
            unknown |= t != AVMEDIA_TYPE_VIDEO && t != AVMEDIA_TYPE_AUDIO && t != AVMEDIA_TYPE_SUBTITLE &&
                       t != AVMEDIA_TYPE_DATA && t != AVMEDIA_TYPE_ATTACHMENT;
        }
        allData &= data;
        allAttachment &= attachment;
        allUnknown &= unknown;
    }
    every.Data = allData || allAttachment || allUnknown;
    return every;
}

int TCustomFFmpeg::OpenOutputFile(const std::string& fileName, bool join) {
    if (FJoinMode) {
        FLastErrMsg = "Cannot join more than one output file.";
        return -1;
    }
    if (Fnb_output_files >= FMaxFiles) {
        FLastErrMsg = "Too many output files.";
        return -1;
    }
    // Writing over an opened input would destroy it while it is being read.
    for (int i = 0; i < Fnb_input_files; ++i) {
        const AVFormatContext* ic = InputFileAt(i).ctx.get();
        if (ic && ic->url && SameFile(fileName, ic->url)) {
            FLastErrMsg = Format("Output file \"%s\" is the same file as input \"%s\"", fileName.c_str(), ic->url);
            return -1;
        }
    }
    if (!FTaskOpts.enable_filter) FTaskOpts.enable_filter = !FFileOpts.vfilters.empty();

    AVFormatContext* raw = nullptr;
    const std::string formatName = FFileOpts.last_asked_format;
    int ret = avformat.avformat_alloc_output_context2(&raw, nullptr, formatName.empty() ? nullptr : formatName.c_str(),
                                                      fileName.c_str());
    if (!raw) {
        FLastErrMsg = avhelpers::GetErrorText(fileName, ret < 0 ? ret : AVERROR(ENOMEM));
        return -1;
    }
    TAVOutputContextRef oc(raw, TAVOutputContextDeleter());
    FFileOpts.Reset(&TFileOptions::last_asked_format);
    oc->interrupt_callback = BindingInterruptCB();

    const AVOutputFormat* ofmt = oc->oformat;
    bool useVideo =
        FFileOpts.video_stream_copy || ofmt->video_codec != AV_CODEC_ID_NONE || !FFileOpts.video_codec_name.empty();
    bool useAudio =
        FFileOpts.audio_stream_copy || ofmt->audio_codec != AV_CODEC_ID_NONE || !FFileOpts.audio_codec_name.empty();
    bool useSubtitle = FFileOpts.subtitle_stream_copy || ofmt->subtitle_codec != AV_CODEC_ID_NONE ||
                       !FFileOpts.subtitle_codec_name.empty();
    bool useData = !FFileOpts.data_codec_name.empty() || FFileOpts.data_stream_copy;
    if (Fnb_input_files > 0) {
        try {
            const TInputKinds kinds = check_inputs(join);
            useVideo &= kinds.Video;
            useAudio &= kinds.Audio;
            useSubtitle &= kinds.Subtitle;
            useData &= kinds.Data;
        } catch (const std::exception& e) {
            FLastErrMsg = Format("check_inputs fail: %s", e.what());
            return -1;
        }
    }
    useVideo &= !FFileOpts.video_disable;
    useAudio &= !FFileOpts.audio_disable;
    useSubtitle &= !FFileOpts.subtitle_disable;
    useData &= !FFileOpts.data_disable;

    const int f = Fnb_output_files;
    // A failed output leaves no stream records behind.
    auto dropStreams = [&] { OutputStreamsOf(f).clear(); };
    struct TCreator {
        bool Wanted;
        void (TCustomFFmpeg::*Create)(AVFormatContext*, int);
        const char* Failure;
    };
    const TCreator creators[] = {
        {useVideo, &TCustomFFmpeg::new_video_stream, "new_video_stream fail: %s"},
        {useAudio, &TCustomFFmpeg::new_audio_stream, "new_audio_stream fail: %s"},
        {useSubtitle, &TCustomFFmpeg::new_subtitle_stream, "new_subtitle_stream fail: %s"},
        {useData, &TCustomFFmpeg::new_data_stream, "new_data_stream fail: %s"},
    };
    for (const TCreator& c : creators) {
        if (!c.Wanted) continue;
        try {
            (this->*c.Create)(oc.get(), f);
        } catch (const std::exception& e) {
            FLastErrMsg = Format(c.Failure, e.what());
            dropStreams();
            return -1;
        }
    }

    if (FFileOpts.recording_timestamp) {
        // The creation time travels as metadata in this library generation.
        const std::time_t t = static_cast<std::time_t>(FFileOpts.recording_timestamp);
        std::tm utc{};
        gmtime_r(&t, &utc);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
        avutil.av_dict_set(&oc->metadata, "creation_time", text, 0);
    }
    avutil.av_dict_copy(&oc->metadata, FFileOpts.metadata.Get(), 0);
    FFileOpts.Reset(&TFileOptions::metadata);

    OutputFileAt(f) = oc;
    ++Fnb_output_files;
    auto removeOutput = [&] {
        --Fnb_output_files;
        OutputFileAt(f).reset();
        dropStreams();
        return -1;
    };

    if ((ofmt->flags & AVFMT_NEEDNUMBER) && !avformat.av_filename_number_test(oc->url)) {
        FLastErrMsg = avhelpers::GetErrorText(oc->url, AVERROR(EINVAL));
        return removeOutput();
    }
    avhelpers::TCustomIOPtr customIO;
    if (const int opened = avhelpers::OpenRegisteredProtocol(fileName, AVIO_FLAG_WRITE, customIO); opened < 0) {
        FLastErrMsg = avhelpers::GetErrorText(fileName, opened);
        return removeOutput();
    } else if (opened > 0) {
        // Written through the I/O context of the system's own protocol; the
        // output context frees it.
        oc->pb = customIO.release();
        oc->flags |= AVFMT_FLAG_CUSTOM_IO;
    } else if (!(ofmt->flags & AVFMT_NOFILE)) {
        ArmWatchdog();
        ret = avformat.avio_open2(&oc->pb, fileName.c_str(), AVIO_FLAG_WRITE, &oc->interrupt_callback, nullptr);
        DisarmWatchdog();
        if (ret < 0) {
            FLastErrMsg = avhelpers::GetErrorText(fileName, ret);
            return removeOutput();
        }
    }

    // Muxer timing: the maximum delay is the context's, preload and loop
    // count are private options of the muxers that have them.
    oc->max_delay = static_cast<int>(1000000 * FFileOpts.mux_max_delay);
    if (oc->priv_data) {
        const std::int64_t preload = static_cast<std::int64_t>(1000000 * FFileOpts.mux_preload);
        if (avutil.av_opt_find(oc->priv_data, "preload", nullptr, 0, 0))
            avutil.av_opt_set_int(oc->priv_data, "preload", preload, 0);
        if (FFileOpts.loop_output != -1 && avutil.av_opt_find(oc->priv_data, "loop", nullptr, 0, 0))
            avutil.av_opt_set_int(oc->priv_data, "loop", FFileOpts.loop_output, 0);
    }
    avhelpers::ApplyOptions(FOptions, oc.get(), FOptions.avformat_opts.get(), nullptr, AV_OPT_FLAG_ENCODING_PARAM);

    FFileOpts.ForgetAfterOutput();
    avhelpers::InitOptions(FOptions, SWS_BICUBIC);
    if (join && Fnb_input_files > 1) FJoinMode = true;
    return Fnb_output_files;
}

// ---- Stream creation ----

TAVOutputStream& TCustomFFmpeg::AllocOutputStream(AVFormatContext* oc, int f) {
    auto& streams = OutputStreamsOf(f);
    const std::size_t count = oc->nb_streams;
    if (count >= static_cast<std::size_t>(INT_MAX) / sizeof(void*)) throw std::runtime_error("Array too big.");
    streams.resize(std::max(streams.size(), count));
    auto ost = std::make_unique<TAVOutputStream>();
    ost->file_index = f;
    ost->index = static_cast<int>(count) - 1;
    std::int64_t swsFlags = 0;
    if (FOptions.sws_opts) avutil.av_opt_get_int(FOptions.sws_opts.get(), "sws_flags", 0, &swsFlags);
    ost->sws_flags = static_cast<int>(swsFlags);
    streams[count - 1] = std::move(ost);
    return *streams[count - 1];
}

struct TCustomFFmpeg::TNewStream {
    AVStream* st;
    TAVOutputStream* ost;
    AVCodecContext* ctx;
};

TCustomFFmpeg::TNewStream TCustomFFmpeg::NewStreamCommon(AVFormatContext* oc, int f, AVMediaType type) {
    std::string& codecName = type == AVMEDIA_TYPE_VIDEO      ? FFileOpts.video_codec_name
                             : type == AVMEDIA_TYPE_AUDIO    ? FFileOpts.audio_codec_name
                             : type == AVMEDIA_TYPE_SUBTITLE ? FFileOpts.subtitle_codec_name
                                                             : FFileOpts.data_codec_name;
    std::string* language = type == AVMEDIA_TYPE_VIDEO      ? &FFileOpts.video_language
                            : type == AVMEDIA_TYPE_AUDIO    ? &FFileOpts.audio_language
                            : type == AVMEDIA_TYPE_SUBTITLE ? &FFileOpts.subtitle_language
                                                            : nullptr;
    const int copy = type == AVMEDIA_TYPE_VIDEO      ? FFileOpts.video_stream_copy
                     : type == AVMEDIA_TYPE_AUDIO    ? FFileOpts.audio_stream_copy
                     : type == AVMEDIA_TYPE_SUBTITLE ? FFileOpts.subtitle_stream_copy
                                                     : FFileOpts.data_stream_copy;
    const unsigned tag = type == AVMEDIA_TYPE_VIDEO      ? FFileOpts.video_codec_tag
                         : type == AVMEDIA_TYPE_AUDIO    ? FFileOpts.audio_codec_tag
                         : type == AVMEDIA_TYPE_SUBTITLE ? FFileOpts.subtitle_codec_tag
                                                         : FFileOpts.data_codec_tag;
    std::vector<TAVBSFContextPtr>* chain = type == AVMEDIA_TYPE_VIDEO      ? &Fvideo_bitstream_filters
                                           : type == AVMEDIA_TYPE_AUDIO    ? &Faudio_bitstream_filters
                                           : type == AVMEDIA_TYPE_SUBTITLE ? &Fsubtitle_bitstream_filters
                                                                           : nullptr;

    // The codec is checked first, so a refused name leaves no half-made stream behind.
    const AVCodec* enc = nullptr;
    AVCodecID id = AV_CODEC_ID_NONE;
    AVCodecContext* holder = FOptions.avcodec_opts[type].get();
    if (!copy && type != AVMEDIA_TYPE_DATA) {
        if (!codecName.empty()) {
            if (!LookupCodec(codecName, type, id, holder->strict_std_compliance, true)) {
                codecName.clear();
                throw FFmpegException(FLastErrMsg);
            }
            enc = avcodec.avcodec_find_encoder_by_name(codecName.c_str());
        } else {
            id = avformat.av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type);
            enc = avcodec.avcodec_find_encoder(id);
        }
    }

    const unsigned index = oc->nb_streams;
    AVStream* st = avformat.avformat_new_stream(oc, nullptr);
    if (!st) {
        codecName.clear();
        if (language && type != AVMEDIA_TYPE_VIDEO) language->clear();
        throw std::runtime_error("Could not alloc stream");
    }
    st->id = index < FTaskOpts.streamid_map.size() ? FTaskOpts.streamid_map[index] : 0;
    // Typed from the start; the set-up fills the rest of the parameters.
    st->codecpar->codec_type = type;
    st->codecpar->codec_id = id;
    TAVOutputStream& ost = AllocOutputStream(oc, f);
    ost.st = st;

    ost.enc = enc;
    ost.enc_ctx.reset(avcodec.avcodec_alloc_context3(enc), TAVCodecContextDeleter());
    if (!ost.enc_ctx) throw std::runtime_error("Could not alloc buffer.");
    AVCodecContext* ctx = ost.enc_ctx.get();
    if (chain) {
        ost.bitstream_filters = std::move(*chain);
        chain->clear();
    }
    if (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) ctx->thread_count = FTaskOpts.thread_count;
    ctx->codec_type = type;
    if (tag) ctx->codec_tag = tag;
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        holder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (copy) {
        ost.stream_copy = 1;
    } else if (type != AVMEDIA_TYPE_DATA) {
        ctx->codec_id = id;
        avhelpers::ApplyOptions(FOptions, ctx, holder, enc, TypeOptionFlag(type) | AV_OPT_FLAG_ENCODING_PARAM);
        avhelpers::ReleasePrivateData(FOptions, ctx, ost.private_options.Address());
    }
    if (language && !language->empty()) {
        avutil.av_dict_set(&st->metadata, "language", language->c_str(), 0);
        language->clear();
    }
    return {st, &ost, ctx};
}

void TCustomFFmpeg::new_video_stream(AVFormatContext* oc, int f) {
    const bool copy = FFileOpts.video_stream_copy != 0;
    float aspect = 0;
    std::string filters;
    if (!copy) {
        aspect = FFileOpts.Take(&TFileOptions::frame_aspect_ratio);
        filters = FFileOpts.Take(&TFileOptions::vfilters);
    }
    const TNewStream s = NewStreamCommon(oc, f, AVMEDIA_TYPE_VIDEO);
    TAVOutputStream& ost = *s.ost;
    AVCodecContext* ctx = s.ctx;
    ost.frame_aspect_ratio = aspect;
    ost.avfilter = std::move(filters);

    if (copy) {
        const double sar = FFileOpts.frame_width != 0 && FFileOpts.frame_height != 0
                               ? FFileOpts.frame_aspect_ratio * FFileOpts.frame_height / FFileOpts.frame_width
                               : FFileOpts.frame_aspect_ratio * 3.0 / 4.0;
        ctx->sample_aspect_ratio = avutil.av_d2q(sar, 255);
        s.st->sample_aspect_ratio = ctx->sample_aspect_ratio;
    } else {
        if (FFileOpts.frame_rate.num) ost.frame_rate = FFileOpts.frame_rate;
        ctx->width = FFileOpts.frame_width;
        ctx->height = FFileOpts.frame_height;
        ctx->pix_fmt = FFileOpts.frame_pix_fmt;
        ctx->bits_per_raw_sample = FFileOpts.frame_bits_per_raw_sample;
        s.st->sample_aspect_ratio = ctx->sample_aspect_ratio;
        if (FFileOpts.intra_only) ctx->gop_size = 0;
        if (FFileOpts.video_qscale != 0 || FFileOpts.same_quality) {
            ctx->flags |= AV_CODEC_FLAG_QSCALE;
            ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * FFileOpts.video_qscale);
        }
        // The context frees its matrices itself: give it copies.
        for (auto [source, target] : {std::pair{&FFileOpts.intra_matrix, &ctx->intra_matrix},
                                      std::pair{&FFileOpts.inter_matrix, &ctx->inter_matrix}}) {
            if (!*source) continue;
            *target = static_cast<std::uint16_t*>(avutil.av_malloc(64 * sizeof(std::uint16_t)));
            if (!*target) throw std::runtime_error("Could not alloc buffer.");
            std::memcpy(*target, source->get(), 64 * sizeof(std::uint16_t));
        }
        ParseRcOverride(ctx);
        if (!ctx->rc_initial_buffer_occupancy) ctx->rc_initial_buffer_occupancy = ctx->rc_buffer_size * 3 / 4;
        ctx->intra_dc_precision = FFileOpts.intra_dc_precision - 8;
        if (FTaskOpts.do_psnr) ctx->flags |= AV_CODEC_FLAG_PSNR;
        if (FTaskOpts.do_pass == 1) ctx->flags |= AV_CODEC_FLAG_PASS1;
        if (FTaskOpts.do_pass == 2) ctx->flags |= AV_CODEC_FLAG_PASS2;
        if (!FFileOpts.forced_key_frames.empty()) ParseForcedKeyFrames(FFileOpts.forced_key_frames, ost);
    }
    FFileOpts.ForgetAfterStream(AVMEDIA_TYPE_VIDEO);
}

void TCustomFFmpeg::ParseRcOverride(AVCodecContext* ctx) {
    const char* p = FFileOpts.video_rc_override_string.c_str();
    int count = 0;
    while (*p) {
        int start = 0, end = 0, q = 0;
        int consumed = 0;
        if (std::sscanf(p, "%d,%d,%d%n", &start, &end, &q, &consumed) != 3) {
            FFileOpts.Reset(&TFileOptions::video_codec_name);
            RaiseFF("error parsing rc_override");
        }
        auto* grown = static_cast<RcOverride*>(
            avutil.av_realloc(ctx->rc_override, sizeof(RcOverride) * static_cast<std::size_t>(count + 1)));
        if (!grown) throw std::runtime_error("Could not alloc buffer.");
        ctx->rc_override = grown;
        RcOverride& o = grown[count];
        o.start_frame = start;
        o.end_frame = end;
        if (q > 0) {
            o.qscale = q;
            o.quality_factor = 1.0f;
        } else {
            o.qscale = 0;
            o.quality_factor = -q / 100.0f;
        }
        ctx->rc_override_count = ++count;
        p += consumed;
        if (*p == '/') ++p;
    }
}

void TCustomFFmpeg::ParseForcedKeyFrames(const std::string& text, TAVOutputStream& ost) {
    const int count = static_cast<int>(std::count(text.begin(), text.end(), ',')) + 1;
    ost.forced_kf_pts.assign(static_cast<std::size_t>(count), 0);
    ost.forced_kf_count = count;
    std::size_t start = 0;
    for (int i = 0; i < count; ++i) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        ost.forced_kf_pts[static_cast<std::size_t>(i)] = ParseTimeSpec("force_key_frames", item, true);
        start = comma + 1;
    }
}

void TCustomFFmpeg::new_audio_stream(AVFormatContext* oc, int f) {
    const bool copy = FFileOpts.audio_stream_copy != 0;
    const TNewStream s = NewStreamCommon(oc, f, AVMEDIA_TYPE_AUDIO);
    AVCodecContext* ctx = s.ctx;
    if (!copy) {
        if (FFileOpts.audio_qscale > -99999.0f) {
            ctx->flags |= AV_CODEC_FLAG_QSCALE;
            ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * FFileOpts.audio_qscale);
        }
        const int channels = FFileOpts.audio_channels;
        if (FFileOpts.channel_layout &&
            (!channels || __builtin_popcountll(static_cast<unsigned long long>(FFileOpts.channel_layout)) == channels))
            avutil.av_channel_layout_from_mask(&ctx->ch_layout, static_cast<std::uint64_t>(FFileOpts.channel_layout));
        else if (channels)
            avutil.av_channel_layout_default(&ctx->ch_layout, channels);
        ctx->sample_fmt = FFileOpts.audio_sample_fmt;
        if (FFileOpts.audio_sample_rate) ctx->sample_rate = FFileOpts.audio_sample_rate;
        PickEncoderSampleFormat(ctx, s.ost->enc);
    }
    FFileOpts.ForgetAfterStream(AVMEDIA_TYPE_AUDIO);
}

void TCustomFFmpeg::new_subtitle_stream(AVFormatContext* oc, int f) {
    NewStreamCommon(oc, f, AVMEDIA_TYPE_SUBTITLE);
    FFileOpts.ForgetAfterStream(AVMEDIA_TYPE_SUBTITLE);
}

void TCustomFFmpeg::new_data_stream(AVFormatContext* oc, int f) {
    if (!FFileOpts.data_stream_copy) {
        const char* text = "Data stream encoding not supported yet (only streamcopy)";
        FFLogger().Log(this, llError, text);
        throw FFmpegException(text);
    }
    NewStreamCommon(oc, f, AVMEDIA_TYPE_DATA);
    FFileOpts.ForgetAfterStream(AVMEDIA_TYPE_DATA);
}

void TCustomFFmpeg::PickEncoderSampleFormat(AVCodecContext* ctx, const AVCodec* enc) {
    if (!enc || !enc->sample_fmts) return;
    for (const AVSampleFormat* p = enc->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
        if (*p == ctx->sample_fmt) return;
    const AVSampleFormat first = enc->sample_fmts[0];
    if (ctx->sample_fmt != AV_SAMPLE_FMT_NONE) {
        // Fewer bytes per sample than requested loses precision.
        if ((enc->capabilities & AV_CODEC_CAP_LOSSLESS) &&
            avutil.av_get_bytes_per_sample(ctx->sample_fmt) > avutil.av_get_bytes_per_sample(first))
            FFLogger().Log(this, llError, "Convertion will not be lossless");
        FFLogger().Log(this, llWarning,
                       "Incompatible sample format \"%s\" for codec \"%s\", auto-selecting format \"%s\"",
                       avutil.av_get_sample_fmt_name(ctx->sample_fmt), enc->name, avutil.av_get_sample_fmt_name(first));
    }
    ctx->sample_fmt = first;
}

void TCustomFFmpeg::PickEncoderPixelFormat(AVCodecContext* ctx, const AVCodec* enc) {
    if (!enc || !enc->pix_fmts) return;
    static const AVPixelFormat mjpeg[] = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV420P,
                                          AV_PIX_FMT_YUV422P, AV_PIX_FMT_NONE};
    static const AVPixelFormat ljpeg[] = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ444P,
                                          AV_PIX_FMT_YUV420P,  AV_PIX_FMT_YUV422P,  AV_PIX_FMT_YUV444P,
                                          AV_PIX_FMT_BGRA,     AV_PIX_FMT_NONE};
    const AVPixelFormat* list = enc->pix_fmts;
    if (ctx->strict_std_compliance < FF_COMPLIANCE_NORMAL) {
        if (enc->id == AV_CODEC_ID_MJPEG) list = mjpeg;
        if (enc->id == AV_CODEC_ID_LJPEG) list = ljpeg;
    }
    for (const AVPixelFormat* p = list; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == ctx->pix_fmt) return;
    if (ctx->pix_fmt != AV_PIX_FMT_NONE)
        FFLogger().Log(this, llWarning,
                       "Incompatible pixel format \"%s\" for codec \"%s\", auto-selecting format \"%s\"",
                       avutil.av_get_pix_fmt_name(ctx->pix_fmt), enc->name, avutil.av_get_pix_fmt_name(list[0]));
    ctx->pix_fmt = list[0];
}

void TCustomFFmpeg::AddStreamToLastOutput(const std::string& name) {
    if (Fnb_output_files == 0) RaiseFF("At least one output file must be specified");
    const int f = Fnb_output_files - 1;
    AVFormatContext* oc = OutputFileAt(f).get();
    if (name == "newvideo")
        new_video_stream(oc, f);
    else if (name == "newaudio")
        new_audio_stream(oc, f);
    else
        new_subtitle_stream(oc, f);
}

void TCustomFFmpeg::ExpandJoinedOutput() {
    if (!FJoinMode) return;
    std::int64_t total = 0;
    for (int i = 0; i < Fnb_input_files; ++i) {
        const AVFormatContext* ic = InputFileAt(i).ctx.get();
        if (ic->duration != AV_NOPTS_VALUE) total += ic->duration;
    }
    FTotalOutputDuration = total == 0 ? -1 : total;
    for (int i = 1; i < Fnb_input_files && Fnb_output_files < FMaxFiles; ++i) {
        const int n = Fnb_output_files;
        OutputFileAt(n) = OutputFileAt(n - 1);
        auto& first = OutputStreamsOf(0);
        auto& streams = OutputStreamsOf(n);
        streams.clear();
        for (const auto& source : first) {
            auto ost = std::make_unique<TAVOutputStream>();
            if (source) {
                // The groups share the library stream and its encoder.
                ost->st = source->st;
                ost->enc_ctx = source->enc_ctx;
                ost->stream_copy = source->stream_copy;
                ost->file_index = n;
                ost->index = source->index;
                ost->sws_flags = source->sws_flags;
                ost->enc = source->enc;
                ost->frame_aspect_ratio = source->frame_aspect_ratio;
                ost->avfilter = source->avfilter;
                ost->bitstream_filters = CopyChain(source->bitstream_filters);
                ost->frame_rate = source->frame_rate;
            }
            streams.push_back(std::move(ost));
        }
        ++Fnb_output_files;
    }
}

} // namespace engine
