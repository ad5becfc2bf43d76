// The video and audio output paths: picture hooks and deinterlacing, frame
// rate keeping by dropping or duplicating pictures, scaling, forced key
// frames, previews and statistics; the audio hook and volume, resampling,
// audio sync and the sample FIFO in front of the encoder; and the encoder's
// packets on their way to the muxer.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"

#include <cmath>

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace engine {

using namespace avbind;

namespace {

std::mutex GPreviewerFactoryLock;
TPreviewerFactory GPreviewerFactory;

// An owned frame laid out for the given picture or sample shape, reusing its
// buffer while the shape stays and nobody else holds it.
bool EnsurePictureBuffer(TAVFramePtr& frame, int width, int height, int format) {
    if (!frame) frame.reset(avutil.av_frame_alloc());
    if (!frame) return false;
    AVFrame* f = frame.get();
    if (f->width != width || f->height != height || f->format != format || !f->buf[0]) {
        avutil.av_frame_unref(f);
        f->width = width;
        f->height = height;
        f->format = format;
        if (avutil.av_frame_get_buffer(f, 0) < 0) return false;
    }
    return avutil.av_frame_make_writable(f) >= 0;
}

// Gain on samples of any format: integers are clamped, floats are not.
template <class T>
void ScaleSamples(T* samples, std::size_t count, int volume, long long low, long long high, long long bias) {
    for (std::size_t i = 0; i < count; ++i) {
        const long long v = ((static_cast<long long>(samples[i]) - bias) * volume + 128) >> 8;
        samples[i] = static_cast<T>(std::clamp(v, low, high) + bias);
    }
}
template <class T>
void ScaleFloats(T* samples, std::size_t count, int volume) {
    const T gain = static_cast<T>(volume) / 256;
    for (std::size_t i = 0; i < count; ++i) samples[i] *= gain;
}

char PictureTypeLetter(int type) {
    const char letter = avutil.av_get_picture_type_char(static_cast<AVPictureType>(type));
    return letter ? letter : '?';
}

} // namespace

void SetPreviewerFactory(TPreviewerFactory factory) {
    std::lock_guard lock(GPreviewerFactoryLock);
    GPreviewerFactory = std::move(factory);
}

// ---- Common encoder output ----

int TCustomFFmpeg::EncodeAndMux(TAVOutputStream& ost, AVFrame* frame) {
    AVCodecContext* enc = ost.enc_ctx.get();
    const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
    // The codec's own reason, when it gave one, ends the message.
    auto fail = [&] {
        const std::string why = TakeLastLibraryError();
        RaiseFF("%s%s%s", video ? "Video encoding failed" : "Audio encoding failed", why.empty() ? "" : ": ",
                why.c_str());
    };
    TakeLastLibraryError();
    int ret = avcodec.avcodec_send_frame(enc, frame);
    if (ret == AVERROR_EOF) return 0;  // already drained
    if (ret < 0) fail();
    AVPacket* pkt = FRun.OutPacket.get();
    int bytes = 0;
    for (;;) {
        ret = avcodec.avcodec_receive_packet(enc, pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return bytes;
        if (ret < 0) fail();
        bytes += pkt->size;
        if (video) {
            Fvideo_size += pkt->size;
            std::size_t sideSize = 0;
            if (const std::uint8_t* stats = avcodec.av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &sideSize);
                stats && sideSize >= 6) {
                ost.quality = static_cast<float>(AV_RL32(stats));
                ost.pict_type = PictureTypeLetter(stats[4]);
                const int errors = stats[5];
                for (int i = 0; i < 3 && i < errors && sideSize >= 8 + 8 * static_cast<std::size_t>(i + 1); ++i)
                    ost.psnr_error[i] = static_cast<std::int64_t>(AV_RL64(stats + 8 + 8 * i));
            }
            if (ost.logfile && enc->stats_out) std::fputs(enc->stats_out, ost.logfile.get());
        } else {
            Faudio_size += pkt->size;
        }
        pkt->stream_index = ost.index;
        avcodec.av_packet_rescale_ts(pkt, enc->time_base, ost.st->time_base);
        pkt->time_base = ost.st->time_base;
        MuxPacket(OutputContext(ost), pkt, ost);
    }
}

void TCustomFFmpeg::DrainEncoder(TAVOutputStream& ost) {
    if (!ost.encoding_needed || !ost.enc_ctx || !avcodec.avcodec_is_open(ost.enc_ctx.get())) return;
    AVCodecContext* enc = ost.enc_ctx.get();
    if (enc->codec_type == AVMEDIA_TYPE_AUDIO) {
        // What the resampler still holds, then the FIFO's rest as a last (short or padded) frame.
        if (ost.resample) ResampleIntoFifo(ost, nullptr);
        FlushAudioFifo(ost, true);
    }
    if (enc->codec_type == AVMEDIA_TYPE_AUDIO || enc->codec_type == AVMEDIA_TYPE_VIDEO) EncodeAndMux(ost, nullptr);
}

// ---- Input pictures: deinterlacing and hooks ----

void TCustomFFmpeg::PrepareDecodedPicture(TAVInputStream& ist, AVFrame* frame) {
    ++ist.frame_number;
    const std::int64_t pts = ist.pts;
    if (!FOnInputFrameHook && !FOnInputVideoHook && !Fusing_vhook) return;
    if (!EnsurePictureBuffer(FInputPicture, frame->width, frame->height, frame->format)) {
        FFLogger().Log(this, llError, "hook buf malloc error.");
        return;
    }
    AVFrame* work = FInputPicture.get();
    if (avutil.av_frame_copy(work, frame) < 0) {
        FFLogger().Log(this, llError, "hook buf malloc error.");
        return;
    }
    avutil.av_frame_copy_props(work, frame);
    const AVPixelFormat format = static_cast<AVPixelFormat>(frame->format);
    if (FOnInputFrameHook) FOnInputFrameHook(this, work, format, ist.frame_number, frame->width, frame->height, pts);
    if (FOnInputVideoHook) {
        RunVideoHook(FOnInputVideoHook, FInputVideoHook, pts, ist.frame_number, work);
    } else if (Fusing_vhook) {
        ZcHookPicture picture{};
        for (int i = 0; i < 4; ++i) {
            picture.data[i] = work->data[i];
            picture.linesize[i] = work->linesize[i];
        }
        for (TFrameHookEntry& hook : FFirstHook)
            if (hook.Process) hook.Process(hook.ctx, &picture, format, frame->width, frame->height, pts);
    }
    // Everything downstream takes the hooked picture.
    avutil.av_frame_unref(frame);
    avutil.av_frame_ref(frame, work);
}

bool TCustomFFmpeg::RunVideoHook(TVideoHookEvent& event, avhelpers::TFormatConverter& converter, std::int64_t pts,
                                 int frameNumber, AVFrame* picture) {
    const AVPixelFormat format = static_cast<AVPixelFormat>(picture->format);
    bool converted = converter.PictureToRGB(picture->data, picture->linesize, format, picture->width,
                                            picture->height, true);
    bool update = true, stop = false;
    if (!converted) {
        FFLogger().Log(this, llError, converter.LastErrMsg());
        stop = true;
    } else {
        try {
            event(this, &converter.Bitmap(), frameNumber, pts, update, stop);
        } catch (const std::exception& e) {
            FFLogger().Log(this, llError, std::string("Error occurs VideoHook event: ") + e.what());
            update = false;
        }
        if (update) {
            converter.BitmapToRGB();
            // Written back unless the picture already is the bitmap's layout.
            if (converter.RGBPictureRef() == converter.RGBPicture() &&
                !converter.RGBToPicture(picture->data, picture->linesize, format, picture->width, picture->height)) {
                FFLogger().Log(this, llError, converter.LastErrMsg());
                stop = true;
            }
        } else if (!PostHooks().empty()) {
            converted = false;  // the bitmap no longer shows the picture
        }
    }
    if (stop) event = nullptr;
    return converted;
}

// ---- Output pictures ----

void TCustomFFmpeg::EncodeDecodedVideo(TAVOutputStream& ost, TAVInputStream& ist, AVFrame* frame) {
    if (!ost.graph) {
        const int size = EncodeVideoFrame(ost, ist, frame, ost.sync_ist->pts, ist.next_pts - ist.pts);
        if (!FTaskOpts.vstats_filename.empty() && size) WriteVideoStats(ost, size);
        return;
    }
    // Through the stream's filter graph: pictures enter in microseconds.
    if (!frame->sample_aspect_ratio.num) frame->sample_aspect_ratio = ist.st->sample_aspect_ratio;
    if (frame->width != ost.graph_in_width || frame->height != ost.graph_in_height ||
        frame->format != ost.graph_in_format) {
        // A picture of another shape: what the graph holds goes out, then a graph for the new shape.
        const char* oldName = avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(ost.graph_in_format));
        const char* newName = avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
        FFLogger().Log(this, llInfo, "Input stream #%d.%d frame changed from size:%dx%d fmt:%s to size:%dx%d fmt:%s",
                       ist.file_index, ist.st->index, ost.graph_in_width, ost.graph_in_height,
                       oldName ? oldName : "none", frame->width, frame->height, newName ? newName : "none");
        FlushVideoFilters(ost, ist);
        if (BuildVideoFilterGraph(ist, ost, frame) < 0) RaiseFF("Error opening filters!");
    }
    const std::int64_t savedPts = frame->pts;
    frame->pts = ist.pts;
    AVFilterContext* entry = ost.filter_steps.empty() ? ost.input_video_filter : ost.filter_steps.front().src;
    const int ret = avfilter.av_buffersrc_add_frame_flags(entry, frame, AV_BUFFERSRC_FLAG_KEEP_REF);
    frame->pts = savedPts;
    if (ret < 0) RaiseFF("Video encoding failed");
    RunFilterSteps(ost, ist, 0);
}

void TCustomFFmpeg::RunFilterSteps(TAVOutputStream& ost, TAVInputStream& ist, std::size_t index) {
    if (index >= ost.filter_steps.size()) {
        PullFilteredPictures(ost, ist);
        return;
    }
    TFilterStep& step = ost.filter_steps[index];
    AVFilterContext* next =
        index + 1 < ost.filter_steps.size() ? ost.filter_steps[index + 1].src : ost.input_video_filter;
    TAVFramePtr in(avutil.av_frame_alloc());
    if (!in) RaiseFF("Video encoding failed");
    while (avfilter.av_buffersink_get_frame(step.sink, in.get()) >= 0) {
        TAVFramePtr out;
        int ret = 0;
        if (step.stage->WorksInPlace()) {
            if ((ret = avutil.av_frame_make_writable(in.get())) >= 0) ret = step.stage->FilterFrame(in.get(), nullptr);
        } else {
            out.reset(avutil.av_frame_alloc());
            if (!out) RaiseFF("Video encoding failed");
            out->width = step.out_width;
            out->height = step.out_height;
            out->format = step.format;
            if ((ret = avutil.av_frame_get_buffer(out.get(), 0)) >= 0 &&
                (ret = avutil.av_frame_copy_props(out.get(), in.get())) >= 0)
                ret = step.stage->FilterFrame(in.get(), out.get());
        }
        if (ret < 0) RaiseFF("%s", avhelpers::GetErrorText("Video filtering failed", ret).c_str());
        if (avfilter.av_buffersrc_add_frame_flags(next, out ? out.get() : in.get(), 0) < 0)
            RaiseFF("Video encoding failed");
        avutil.av_frame_unref(in.get());
        RunFilterSteps(ost, ist, index + 1);
    }
}

void TCustomFFmpeg::FlushVideoFilters(TAVOutputStream& ost, TAVInputStream& ist) {
    for (std::size_t i = 0; i < ost.filter_steps.size(); ++i) {
        if (avfilter.av_buffersrc_add_frame_flags(ost.filter_steps[i].src, nullptr, 0) >= 0) RunFilterSteps(ost, ist, i);
    }
    // The graph learns where the last picture ends, so a filter that makes its
    // own rate (fps) shows that picture for its whole time instead of dropping it.
    const int closed = ist.next_pts != AV_NOPTS_VALUE
                           ? avfilter.av_buffersrc_close(ost.input_video_filter, ist.next_pts, AV_BUFFERSRC_FLAG_PUSH)
                           : avfilter.av_buffersrc_add_frame_flags(ost.input_video_filter, nullptr, 0);
    if (closed >= 0) PullFilteredPictures(ost, ist);
}

void TCustomFFmpeg::PullFilteredPictures(TAVOutputStream& ost, TAVInputStream& ist) {
    if (!ost.picref) ost.picref.reset(avutil.av_frame_alloc());
    AVFrame* filtered = ost.picref.get();
    const AVRational tb = avfilter.av_buffersink_get_time_base(ost.output_video_filter);
    // Filters keep no picture durations. A graph whose rate differs from the
    // one it was told (it makes or drops pictures: yadif=1, fps) gives each
    // picture its own rate's time; otherwise a picture lasts as long as the
    // decoded one did, as without a graph (unknown: the times alone decide).
    // The stream's declared rate is no guide: some containers declare their
    // clock's, 1000 fps, and each picture would fill no slot.
    const AVRational rate = avfilter.av_buffersink_get_frame_rate(ost.output_video_filter);
    const bool ownRate = rate.num > 0 && rate.den > 0 &&
                         (ost.graph_in_rate.num == 0 || av_cmp_q(rate, ost.graph_in_rate) != 0);
    const std::int64_t duration = ownRate ? avutil.av_rescale_q(1, av_inv_q(rate), AV_TIME_BASE_Q)
                                          : std::max<std::int64_t>(ist.next_pts - ist.pts, 0);
    while (avfilter.av_buffersink_get_frame(ost.output_video_filter, filtered) >= 0) {
        const std::int64_t pts =
            filtered->pts == AV_NOPTS_VALUE ? ost.sync_ist->pts : avutil.av_rescale_q(filtered->pts, tb, AV_TIME_BASE_Q);
        if (ost.frame_aspect_ratio == 0 && filtered->sample_aspect_ratio.num)
            ost.enc_ctx->sample_aspect_ratio = filtered->sample_aspect_ratio;
        const int size = EncodeVideoFrame(ost, ist, filtered, pts, duration);
        if (!FTaskOpts.vstats_filename.empty() && size) WriteVideoStats(ost, size);
        avutil.av_frame_unref(filtered);
    }
}

int TCustomFFmpeg::EncodeVideoFrame(TAVOutputStream& ost, TAVInputStream& ist, AVFrame* picture,
                                    std::int64_t syncPts, std::int64_t duration) {
    AVCodecContext* enc = ost.enc_ctx.get();
    AVFormatContext* oc = OutputContext(ost);
    int frameSize = 0;
    const double syncPosition = static_cast<double>(syncPts - FFileOpts.start_time) / 1000000.0 / av_q2d(enc->time_base);
    int n = 1;
    if (FTaskOpts.video_sync_method) {
        // A gap far beyond the picture rate (a paused recording, a damaged
        // time) is a discontinuity: the output jumps it instead of filling
        // it with copies of the last picture.
        const double gap = (syncPosition - static_cast<double>(ost.sync_opts)) * av_q2d(enc->time_base);
        if (ost.frame_number > 0 && gap > MaxFilledGapSeconds) {
            FFLogger().Log(this, llWarning, "Output stream #%d:%d: a gap of %.0f s in the pictures is skipped, not filled",
                           ost.file_index, ost.index, gap);
            ost.sync_opts = std::llround(syncPosition);
        }
        const double delta = syncPosition - static_cast<double>(ost.sync_opts);
        const bool variable = FTaskOpts.video_sync_method == 2 ||
                              (FTaskOpts.video_sync_method < 0 && (oc->oformat->flags & AVFMT_VARIABLE_FPS));
        if (!variable && duration > 0) {
            // A constant rate shows each picture for the output slots its own
            // time covers: none, one or several, and the output ends where the input does.
            const double end = syncPosition + static_cast<double>(duration) / 1000000.0 / av_q2d(enc->time_base);
            // The first picture starts in its own slot, not repeated back to the output's start.
            if (ost.frame_number == 0) ost.sync_opts = std::max<std::int64_t>(ost.sync_opts, std::llround(syncPosition));
            n = static_cast<int>(std::clamp<std::int64_t>(std::llround(end) - ost.sync_opts, 0, 1000));
        } else if (delta < -1.1) {
            n = 0;
        } else if (variable) {
            if (delta <= -0.6)
                n = 0;
            else if (delta > 0.6)
                ost.sync_opts = std::llround(syncPosition);
        } else if (delta > 1.1) {
            n = static_cast<int>(std::lround(delta));
        }
        if (n == 0) {
            ++Fnb_frames_drop;
            FShowDupOrDrop = true;
            if (FTaskOpts.verbose > 2) FFLogger().Log(this, llVerbose, "*** drop!");
        } else if (n > 1) {
            Fnb_frames_dup += n - 1;
            FShowDupOrDrop = true;
            if (FTaskOpts.verbose > 2) FFLogger().Log(this, llVerbose, "*** %d dup!", n - 1);
        }
    } else {
        ost.sync_opts = std::llround(syncPosition);
    }
    n = std::min(n, FFileOpts.max_frames[AVMEDIA_TYPE_VIDEO] - ost.frame_number);
    if (n <= 0) return 0;

    AVFrame* final = picture;
    if (!ost.graph) {  // a filter graph already delivers the encoder's size and format
        const bool changed = ost.resample_width != picture->width || ost.resample_height != picture->height ||
                             ost.resample_pix_fmt != picture->format;
        if (changed) {
            const char* oldName = avutil.av_get_pix_fmt_name(ost.resample_pix_fmt);
            const char* newName = avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture->format));
            FFLogger().Log(this, llInfo, "Input stream #%d.%d frame changed from size:%dx%d fmt:%s to size:%dx%d fmt:%s",
                           ist.file_index, ist.st->index, ost.resample_width, ost.resample_height,
                           oldName ? oldName : "none", picture->width, picture->height, newName ? newName : "none");
            ost.resample_width = picture->width;
            ost.resample_height = picture->height;
            ost.resample_pix_fmt = static_cast<AVPixelFormat>(picture->format);
            ost.img_resample_ctx.reset();
        }
        ost.video_resample =
            picture->width != enc->width || picture->height != enc->height || picture->format != enc->pix_fmt;
        if (ost.video_resample) {
            if (!EnsurePictureBuffer(ost.resample_frame, enc->width, enc->height, enc->pix_fmt))
                RaiseFF("Cannot allocate temp picture, check pix fmt");
            if (!ost.img_resample_ctx) {
                ost.img_resample_ctx.reset(swscale.sws_getContext(
                    picture->width, picture->height, static_cast<AVPixelFormat>(picture->format), enc->width,
                    enc->height, enc->pix_fmt, ost.sws_flags ? ost.sws_flags : SWS_BICUBIC, nullptr, nullptr, nullptr));
                if (!ost.img_resample_ctx) RaiseFF("Cannot get resampling context");
            }
            final = ost.resample_frame.get();
            swscale.sws_scale(ost.img_resample_ctx.get(), picture->data, picture->linesize, 0, ost.resample_height,
                              final->data, final->linesize);
        }
    }

    for (int copy = 0; copy < n && !FBroken; ++copy) {
        if (copy) PassPauseGate();
        const int hookFrame = ost.frame_number + 1;
        const std::int64_t hookPts = avutil.av_rescale_q(ost.sync_opts, enc->time_base, AV_TIME_BASE_Q);
        AVFrame* out = final;
        out->interlaced_frame = picture->interlaced_frame;
        if (enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME))
            out->top_field_first = FFileOpts.top_field_first != -1 ? FFileOpts.top_field_first : picture->top_field_first;
        out->quality = (enc->flags & AV_CODEC_FLAG_QSCALE) ? enc->global_quality : 0;
        if (FFileOpts.same_quality && ist.quality > 0) out->quality = static_cast<int>(ist.quality);
        out->pict_type = AV_PICTURE_TYPE_NONE;
        out->key_frame = 0;
        out->pts = ost.sync_opts;
        out->sample_aspect_ratio = enc->sample_aspect_ratio;
        if (ost.forced_kf_index < ost.forced_kf_count &&
            hookPts >= ost.forced_kf_pts[static_cast<std::size_t>(ost.forced_kf_index)]) {
            out->pict_type = AV_PICTURE_TYPE_I;
            ++ost.forced_kf_index;
        }
        bool converted = false;
        if (FOnOutputVideoHook || FOnOutputFrameHook) out = RunOutputHooks(out, hookPts, hookFrame, converted);
        if (!PostHooks().empty()) RunPostHooks(out, converted, hookPts, hookFrame);
        frameSize = EncodeAndMux(ost, out);
        ++ost.sync_opts;
        ++ost.frame_number;
    }
    return frameSize;
}

AVFrame* TCustomFFmpeg::RunOutputHooks(AVFrame* picture, std::int64_t pts, int frameNumber, bool& converted) {
    if (!EnsurePictureBuffer(FOutputPicture, picture->width, picture->height, picture->format) ||
        avutil.av_frame_copy(FOutputPicture.get(), picture) < 0) {
        FFLogger().Log(this, llError, "hook buf malloc error.");
        return picture;
    }
    AVFrame* copy = FOutputPicture.get();
    avutil.av_frame_copy_props(copy, picture);
    if (FOnOutputVideoHook)
        converted = RunVideoHook(FOnOutputVideoHook, *FOutputVideoHook.Converter, pts, frameNumber, copy);
    if (FOnOutputFrameHook)
        FOnOutputFrameHook(this, copy, static_cast<AVPixelFormat>(copy->format), frameNumber, copy->width,
                           copy->height, pts);
    return copy;
}

void TCustomFFmpeg::RunPostHooks(AVFrame* picture, bool converted, std::int64_t pts, int frameNumber) {
    // The set is read and stored under the lock, but the work runs outside it:
    // the preview handlers may wait for the main thread, which may be waiting
    // for this lock to change the set.
    TPostHooks hooks;
    bool changed;
    {
        std::lock_guard lock(PostHookLock());
        hooks = FPostHooks;
        changed = FPostHooksChanged;
    }
    const TPostHooks before = hooks;
    TPostHookContext& context = FOutputVideoHook;
    avhelpers::TFormatConverter& converter = *context.Converter;
    const std::int64_t now = avutil.av_gettime_relative();
    auto convert = [&] {
        if (converted && !changed) return true;
        if (converter.PictureToRGB(picture->data, picture->linesize, static_cast<AVPixelFormat>(picture->format),
                                   picture->width, picture->height, true))
            return true;
        FFLogger().Log(this, llError, converter.LastErrMsg());
        return false;
    };
    if (hooks.count(TPostHook::phBitmap) && FOnPreviewBitmap) {
        if (now - context.preview_last_time > PreviewInterval) {
            if (convert())
                FOnPreviewBitmap(this, &converter.Bitmap(), frameNumber, pts);
            else
                hooks.erase(TPostHook::phBitmap);
            context.preview_last_time = context.preview_cur_time = now;
        }
    } else if (hooks.count(TPostHook::phPreview)) {
        if (now - context.preview_last_time > PreviewInterval) {
            if (!convert()) {
                hooks.erase(TPostHook::phPreview);
            } else {
                if (!context.Previewer) {
                    std::lock_guard lock(GPreviewerFactoryLock);
                    if (GPreviewerFactory) context.Previewer = GPreviewerFactory();
                }
                if (context.Previewer && !context.Previewer->PaintFrame(converter.Bitmap(), frameNumber, pts))
                    hooks.erase(TPostHook::phPreview);
            }
            context.preview_last_time = context.preview_cur_time = now;
        }
    }
    std::lock_guard lock(PostHookLock());
    // An owner's change made meanwhile wins over this step's removals.
    if (hooks != before && FPostHooks == before) {
        if (FPostHooks.count(TPostHook::phPreview) && !hooks.count(TPostHook::phPreview)) context.Previewer.reset();
        FPostHooks = hooks;
    }
    if (FPostHooks == before) FPostHooksChanged = false;
}

void TCustomFFmpeg::WriteVideoStats(TAVOutputStream& ost, int frameSize) {
    if (!Fvstats_file) {
        Fvstats_file.reset(std::fopen(FTaskOpts.vstats_filename.c_str(), "w"));
        if (!Fvstats_file) RaiseFF("fopen fail: %s", FTaskOpts.vstats_filename.c_str());
    }
    const AVCodecContext* enc = ost.enc_ctx.get();
    if (enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
    std::FILE* f = Fvstats_file.get();
    std::fprintf(f, "frame= %5d q= %2.1f ", ost.frame_number, ost.quality / FF_QP2LAMBDA);
    if (enc->flags & AV_CODEC_FLAG_PSNR)
        std::fprintf(f, "PSNR= %6.2f ",
                     -10.0 * std::log10(static_cast<double>(ost.psnr_error[0]) /
                                        (enc->width * enc->height * 255.0 * 255.0)));
    std::fprintf(f, "f_size= %6d ", frameSize);
    const double t = std::max(0.01, static_cast<double>(ost.sync_opts) * av_q2d(enc->time_base));
    const double bitrate = frameSize * 8 / av_q2d(enc->time_base) / 1000.0;
    const double average = static_cast<double>(Fvideo_size) * 8 / t / 1000.0;
    std::fprintf(f, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                 static_cast<double>(Fvideo_size) / 1024, t, bitrate, average);
    std::fprintf(f, "type= %c\n", ost.pict_type);
}

// ---- Audio ----

void TCustomFFmpeg::SliceAudioFrame(TAVFramePtr& out, const AVFrame* in, int skip, int count) {
    if (!out) out.reset(avutil.av_frame_alloc());
    AVFrame* slice = out.get();
    if (!slice) throw std::runtime_error("Could not alloc buffer.");
    avutil.av_frame_unref(slice);
    if (avutil.av_frame_ref(slice, in) < 0) throw std::runtime_error("Could not alloc buffer.");
    const AVSampleFormat format = static_cast<AVSampleFormat>(in->format);
    const int channels = in->ch_layout.nb_channels;
    const bool planar = avutil.av_sample_fmt_is_planar(format);
    const int step = avutil.av_get_bytes_per_sample(format) * (planar ? 1 : channels);
    const int planes = planar ? channels : 1;
    for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p) slice->data[p] += skip * step;
    if (slice->extended_data != slice->data)
        for (int p = 0; p < planes; ++p) slice->extended_data[p] += skip * step;
    slice->nb_samples = count;
}

AVFrame* TCustomFFmpeg::AudioHookAndVolume(TAVInputStream& ist, AVFrame* frame) {
    AVFrame* chunk = frame;
    if (FOnAudioHook) {
        // The handler sees interleaved samples; what it leaves is what is encoded.
        const AVSampleFormat packed = avutil.av_get_packed_sample_fmt(static_cast<AVSampleFormat>(frame->format));
        if (!FAudioChunk) FAudioChunk.reset(avutil.av_frame_alloc());
        AVFrame* out = FAudioChunk.get();
        avutil.av_frame_unref(out);
        out->format = packed;
        out->nb_samples = frame->nb_samples;
        out->sample_rate = frame->sample_rate;
        avutil.av_channel_layout_copy(&out->ch_layout, &frame->ch_layout);
        if (avutil.av_frame_get_buffer(out, 0) < 0) throw std::runtime_error("Could not alloc buffer.");
        avutil.av_frame_copy_props(out, frame);
        const int channels = frame->ch_layout.nb_channels;
        const int bps = avutil.av_get_bytes_per_sample(packed);
        if (avutil.av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format))) {
            for (int s = 0; s < frame->nb_samples; ++s)
                for (int c = 0; c < channels; ++c)
                    std::memcpy(out->data[0] + (s * channels + c) * bps, frame->extended_data[c] + s * bps,
                                static_cast<std::size_t>(bps));
        } else {
            std::memcpy(out->data[0], frame->data[0], static_cast<std::size_t>(frame->nb_samples * channels * bps));
        }
        FOnAudioHook(this, ist.pts, out->data[0], frame->nb_samples * channels * bps, frame->sample_rate, channels,
                     packed);
        chunk = out;
    }
    if (FTaskOpts.audio_volume != 256) {
        if (avutil.av_frame_make_writable(chunk) < 0) throw std::runtime_error("Could not alloc buffer.");
        const AVSampleFormat format = static_cast<AVSampleFormat>(chunk->format);
        const bool planar = avutil.av_sample_fmt_is_planar(format);
        const int planes = planar ? chunk->ch_layout.nb_channels : 1;
        const std::size_t count =
            static_cast<std::size_t>(chunk->nb_samples) * (planar ? 1 : chunk->ch_layout.nb_channels);
        for (int p = 0; p < planes; ++p) {
            std::uint8_t* data = chunk->extended_data[p];
            switch (avutil.av_get_packed_sample_fmt(format)) {
            case AV_SAMPLE_FMT_U8: ScaleSamples(data, count, FTaskOpts.audio_volume, -128, 127, 128); break;
            case AV_SAMPLE_FMT_S16:
                ScaleSamples(reinterpret_cast<std::int16_t*>(data), count, FTaskOpts.audio_volume, INT16_MIN, INT16_MAX, 0);
                break;
            case AV_SAMPLE_FMT_S32:
                ScaleSamples(reinterpret_cast<std::int32_t*>(data), count, FTaskOpts.audio_volume, INT32_MIN, INT32_MAX, 0);
                break;
            case AV_SAMPLE_FMT_FLT: ScaleFloats(reinterpret_cast<float*>(data), count, FTaskOpts.audio_volume); break;
            case AV_SAMPLE_FMT_DBL: ScaleFloats(reinterpret_cast<double*>(data), count, FTaskOpts.audio_volume); break;
            default: break;  // 64-bit integers: no decoder produces them
            }
        }
    }
    return chunk;
}

void TCustomFFmpeg::ResampleIntoFifo(TAVOutputStream& ost, const AVFrame* frame) {
    AVCodecContext* enc = ost.enc_ctx.get();
    if (!ost.resample) {
        if (frame && avutil.av_audio_fifo_write(ost.fifo.get(),
                                                reinterpret_cast<void**>(const_cast<std::uint8_t**>(frame->extended_data)),
                                                frame->nb_samples) < frame->nb_samples)
            throw std::runtime_error("Could not alloc buffer.");
        return;
    }
    const int inSamples = frame ? frame->nb_samples : 0;
    const int outSamples = swresample.swr_get_out_samples(ost.resample.get(), inSamples);
    if (outSamples <= 0) return;
    std::uint8_t** buffer = nullptr;
    int lineSize = 0;
    if (avutil.av_samples_alloc_array_and_samples(&buffer, &lineSize, enc->ch_layout.nb_channels, outSamples,
                                                  enc->sample_fmt, 0) < 0)
        throw std::runtime_error("Could not alloc buffer.");
    const int converted = swresample.swr_convert(
        ost.resample.get(), buffer, outSamples, frame ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr,
        inSamples);
    if (converted > 0) avutil.av_audio_fifo_write(ost.fifo.get(), reinterpret_cast<void**>(buffer), converted);
    avutil.av_freep(&buffer[0]);
    avutil.av_freep(&buffer);
    if (converted < 0) RaiseFF("Audio encoding failed");
}

void TCustomFFmpeg::FlushAudioFifo(TAVOutputStream& ost, bool last) {
    AVCodecContext* enc = ost.enc_ctx.get();
    AVAudioFifo* fifo = ost.fifo.get();
    // Sample-based codecs (frame size 0 or 1) take whatever is there.
    const bool anySize = enc->frame_size <= 1 || (ost.enc->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    const int frameSize = anySize ? std::max(avutil.av_audio_fifo_size(fifo), 1) : enc->frame_size;
    while (avutil.av_audio_fifo_size(fifo) >= frameSize || (last && avutil.av_audio_fifo_size(fifo) > 0)) {
        const int take = std::min(avutil.av_audio_fifo_size(fifo), frameSize);
        // A short last frame where the encoder allows it, else padded with silence.
        const bool shortAllowed = anySize || (ost.enc->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
        const int samples = take < frameSize && !shortAllowed ? frameSize : take;
        TAVFramePtr frame(avutil.av_frame_alloc());
        frame->nb_samples = samples;
        frame->format = enc->sample_fmt;
        frame->sample_rate = enc->sample_rate;
        avutil.av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
        if (avutil.av_frame_get_buffer(frame.get(), 0) < 0) throw std::runtime_error("Could not alloc buffer.");
        if (samples > take)
            avutil.av_samples_set_silence(frame->extended_data, take, samples - take, enc->ch_layout.nb_channels,
                                          enc->sample_fmt);
        avutil.av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->extended_data), take);
        frame->pts = ost.sync_opts;
        ost.sync_opts += samples;
        EncodeAndMux(ost, frame.get());
        ++ost.frame_number;
        if (anySize) break;
    }
}

void TCustomFFmpeg::EncodeDecodedAudio(TAVOutputStream& ost, TAVInputStream& ist, AVFrame* frame) {
    AVCodecContext* enc = ost.enc_ctx.get();
    const int inChannels = frame->ch_layout.nb_channels;
    if (enc->ch_layout.nb_channels != inChannels) ost.audio_resample = 1;
    const bool changed = ost.resample_sample_fmt != frame->format || ost.resample_channels != inChannels ||
                         ost.resample_sample_rate != frame->sample_rate;
    const bool sameShape = frame->format == enc->sample_fmt && frame->sample_rate == enc->sample_rate &&
                           avutil.av_channel_layout_compare(&frame->ch_layout, &enc->ch_layout) == 0;
    if (changed) {
        const char* oldName = avutil.av_get_sample_fmt_name(ost.resample_sample_fmt);
        const char* newName = avutil.av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format));
        FFLogger().Log(this, llInfo, "Input stream #%d.%d frame changed from rate:%d fmt:%s ch:%d to rate:%d fmt:%s ch:%d",
                       ist.file_index, ist.st->index, ost.resample_sample_rate, oldName ? oldName : "none",
                       ost.resample_channels, frame->sample_rate, newName ? newName : "none", inChannels);
        ost.resample_sample_fmt = static_cast<AVSampleFormat>(frame->format);
        ost.resample_channels = inChannels;
        ost.resample_sample_rate = frame->sample_rate;
        ost.resample.reset();
    }
    if (!ost.resample && (changed || ost.audio_resample || !sameShape || ost.reformat_pair == -6)) {
        ost.reformat_pair = enc->sample_fmt + 5 * frame->format;
        if (FTaskOpts.audio_sync_method <= 1 && sameShape) {
            ost.audio_resample = 0;
        } else {
            // One resampler converts rate, layout and format together.
            SwrContext* swr = nullptr;
            if (swresample.swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, enc->sample_rate,
                                               &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                               frame->sample_rate, 0, nullptr) < 0 ||
                swresample.swr_init(swr) < 0) {
                swresample.swr_free(&swr);
                RaiseFF("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", inChannels, frame->sample_rate,
                        enc->ch_layout.nb_channels, enc->sample_rate);
            }
            ost.resample.reset(swr);
        }
    }

    AVFrame* chunk = frame;
    TAVFramePtr adjusted;  // the chunk after a sync correction, for this output only
    const double syncSeconds = static_cast<double>(ost.sync_ist->pts - FFileOpts.start_time) / 1000000.0;
    const int fifoSamples = avutil.av_audio_fifo_size(ost.fifo.get());
    if (FTaskOpts.audio_sync_method) {
        const double delta = syncSeconds * enc->sample_rate - static_cast<double>(ost.sync_opts) - fifoSamples;
        const double inputDelta = delta * frame->sample_rate / enc->sample_rate;
        const long long sampleDelta = static_cast<long long>(inputDelta);
        if (std::fabs(delta) > 50) {
            if (ist.is_start || std::fabs(delta) > FTaskOpts.audio_drift_threshold * enc->sample_rate) {
                const AVSampleFormat format = static_cast<AVSampleFormat>(frame->format);
                if (sampleDelta < 0) {
                    // Audio ahead of its clock: the start of the chunk goes.
                    const int skip = static_cast<int>(std::min<long long>(-sampleDelta, frame->nb_samples));
                    if (FTaskOpts.verbose > 2)
                        FFLogger().Log(this, llVerbose, "discarding %d audio samples", static_cast<int>(-delta));
                    ist.is_start = 0;
                    if (skip >= frame->nb_samples) return;
                    SliceAudioFrame(adjusted, frame, skip, frame->nb_samples - skip);
                    chunk = adjusted.get();
                } else if (sampleDelta > 0) {
                    // Audio behind its clock: silence first.
                    TAVFramePtr padded(avutil.av_frame_alloc());
                    padded->format = frame->format;
                    padded->sample_rate = frame->sample_rate;
                    padded->nb_samples = frame->nb_samples + static_cast<int>(sampleDelta);
                    avutil.av_channel_layout_copy(&padded->ch_layout, &frame->ch_layout);
                    if (avutil.av_frame_get_buffer(padded.get(), 0) < 0) throw std::runtime_error("Could not alloc buffer.");
                    avutil.av_samples_set_silence(padded->extended_data, 0, static_cast<int>(sampleDelta), inChannels,
                                                  format);
                    avutil.av_samples_copy(padded->extended_data, frame->extended_data, static_cast<int>(sampleDelta), 0,
                                           frame->nb_samples, inChannels, format);
                    if (FTaskOpts.verbose > 2)
                        FFLogger().Log(this, llVerbose, "adding %d audio samples of silence", static_cast<int>(delta));
                    ist.is_start = 0;
                    adjusted = std::move(padded);
                    chunk = adjusted.get();
                }
            } else if (FTaskOpts.audio_sync_method > 1 && ost.resample) {
                const int compensation = static_cast<int>(
                    std::clamp<double>(delta, -FTaskOpts.audio_sync_method, FTaskOpts.audio_sync_method));
                if (FTaskOpts.verbose > 2)
                    FFLogger().Log(this, llVerbose, "compensating audio timestamp drift:%f compensation:%d in:%d", delta,
                                   compensation, enc->sample_rate);
                swresample.swr_set_compensation(ost.resample.get(), compensation, enc->sample_rate);
            }
        }
    } else {
        // The chunk's own time, unless that would go back over samples already
        // taken (inputs joined end to end): the overlap goes instead.
        // (Samples the resampler still holds come before this chunk too.)
        const std::int64_t held = ost.resample ? swresample.swr_get_delay(ost.resample.get(), enc->sample_rate) : 0;
        const std::int64_t wanted = std::llround(syncSeconds * enc->sample_rate) - fifoSamples - held;
        const std::int64_t overlap = ost.frame_number > 0 ? ost.sync_opts - wanted : 0;
        // Only an overlap up to an encoder frame (padding) is dropped; a bigger
        // jump back (a time reset) keeps its samples and counts on.
        const std::int64_t padding = std::max(enc->frame_size, enc->sample_rate / 10);
        if (overlap > 2 && overlap <= padding) {
            const std::int64_t skip = avutil.av_rescale(overlap, frame->sample_rate, enc->sample_rate);
            if (skip >= frame->nb_samples) return;
            if (skip > 0) {
                SliceAudioFrame(adjusted, frame, static_cast<int>(skip), frame->nb_samples - static_cast<int>(skip));
                chunk = adjusted.get();
            }
        } else if (overlap < -2 || ost.frame_number == 0) {
            ost.sync_opts = wanted;
        }
    }
    ResampleIntoFifo(ost, chunk);
    FlushAudioFifo(ost, false);
}

} // namespace engine
