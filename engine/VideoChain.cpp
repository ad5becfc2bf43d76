// The video output path: the input picture hooks and deinterlacing, frame
// rate keeping by dropping or duplicating pictures, scaling to the encoder,
// forced key frames, the output hooks, previews and the statistics file.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"

#include <cmath>

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

} // namespace

void SetPreviewerFactory(TPreviewerFactory factory) {
    std::lock_guard lock(GPreviewerFactoryLock);
    GPreviewerFactory = std::move(factory);
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

int TCustomFFmpeg::EncodeVideoFrame(TAVOutputStream& ost, TAVInputStream& ist, AVFrame* picture,
                                    std::int64_t syncPts, std::int64_t duration) {
    AVCodecContext* enc = ost.enc_ctx.get();
    AVFormatContext* oc = ContextOf(ost);
    int frameSize = 0;
    const double syncPosition =
        static_cast<double>(syncPts - FFileOpts.start_time) / 1000000.0 / av_q2d(enc->time_base);
    int n = 1;
    if (FTaskOpts.video_sync_method) {
        // A gap far beyond the picture rate (a paused recording, a damaged
        // time) is a discontinuity: the output jumps it instead of filling
        // it with copies of the last picture.
        const double gap = (syncPosition - static_cast<double>(ost.sync_opts)) * av_q2d(enc->time_base);
        if (ost.frame_number > 0 && gap > MaxFilledGapSeconds) {
            FFLogger().Log(this, llWarning,
                           "Output stream #%d:%d: a gap of %.0f s in the pictures is skipped, not filled",
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
            if (ost.frame_number == 0)
                ost.sync_opts = std::max<std::int64_t>(ost.sync_opts, std::llround(syncPosition));
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
            FFLogger().Log(this, llInfo,
                           "Input stream #%d.%d frame changed from size:%dx%d fmt:%s to size:%dx%d fmt:%s",
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
            out->top_field_first =
                FFileOpts.top_field_first != -1 ? FFileOpts.top_field_first : picture->top_field_first;
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
        if (now - context.preview_last_time > FPreviewInterval) {
            if (convert())
                FOnPreviewBitmap(this, &converter.Bitmap(), frameNumber, pts);
            else
                hooks.erase(TPostHook::phBitmap);
            context.preview_last_time = context.preview_cur_time = now;
        }
    } else if (hooks.count(TPostHook::phPreview)) {
        if (now - context.preview_last_time > FPreviewInterval) {
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

} // namespace engine
