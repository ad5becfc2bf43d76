// Encoding decoded pictures and samples: the filter graph or the scaler,
// the resampler and the sample FIFO in front of the encoder, and the
// encoder's packets on their way to the muxer.
#include "engine/FFmpeg.h"

#include "avbind/FFLoad.h"

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace engine {

using namespace avbind;

// ---- Common encoder output ----

void TCustomFFmpeg::EncodeAndMux(TAVOutputStream& ost, AVFrame* frame) {
    AVCodecContext* enc = ost.enc_ctx.get();
    const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
    int ret = avcodec.avcodec_send_frame(enc, frame);
    if (ret == AVERROR_EOF) return;  // already drained
    if (ret < 0) RaiseFF(video ? "Video encoding failed" : "Audio encoding failed");
    AVPacket* pkt = FRun.OutPacket.get();
    for (;;) {
        ret = avcodec.avcodec_receive_packet(enc, pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
        if (ret < 0) RaiseFF(video ? "Video encoding failed" : "Audio encoding failed");
        if (video) {
            Fvideo_size += pkt->size;
            std::size_t sideSize = 0;
            if (const std::uint8_t* stats =
                    avcodec.av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &sideSize);
                stats && sideSize >= 4) {
                ost.quality = static_cast<float>(AV_RL32(stats));
                const int errors = sideSize >= 6 ? stats[5] : 0;
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
        if (ost.resample) {
            ResampleIntoFifo(ost, nullptr);
        }
        FlushAudioFifo(ost, true);
    }
    if (enc->codec_type == AVMEDIA_TYPE_AUDIO || enc->codec_type == AVMEDIA_TYPE_VIDEO) EncodeAndMux(ost, nullptr);
}

// ---- Video ----

void TCustomFFmpeg::EncodeDecodedVideo(TAVOutputStream& ost, TAVInputStream& ist, AVFrame* frame) {
    if (!ost.graph) {
        EncodePicture(ost, ist, frame, ist.pts);
        return;
    }
    // Through the stream's filter graph: pictures enter in microseconds.
    if (!frame->sample_aspect_ratio.num) frame->sample_aspect_ratio = ist.st->sample_aspect_ratio;
    const std::int64_t savedPts = frame->pts;
    frame->pts = ist.pts;
    const int ret = avfilter.av_buffersrc_add_frame_flags(ost.input_video_filter, frame, AV_BUFFERSRC_FLAG_KEEP_REF);
    frame->pts = savedPts;
    if (ret < 0) RaiseFF("Video encoding failed");
    if (!ost.picref) ost.picref.reset(avutil.av_frame_alloc());
    AVFrame* filtered = ost.picref.get();
    const AVRational tb = avfilter.av_buffersink_get_time_base(ost.output_video_filter);
    while (avfilter.av_buffersink_get_frame(ost.output_video_filter, filtered) >= 0) {
        const std::int64_t pts = filtered->pts == AV_NOPTS_VALUE ? ist.pts
                                                                  : avutil.av_rescale_q(filtered->pts, tb, AV_TIME_BASE_Q);
        if (ost.frame_aspect_ratio == 0 && filtered->sample_aspect_ratio.num)
            ost.enc_ctx->sample_aspect_ratio = filtered->sample_aspect_ratio;
        EncodePicture(ost, ist, filtered, pts);
        avutil.av_frame_unref(filtered);
    }
}

void TCustomFFmpeg::EncodePicture(TAVOutputStream& ost, TAVInputStream&, AVFrame* picture, std::int64_t) {
    AVCodecContext* enc = ost.enc_ctx.get();
    AVFrame* out = picture;
    if (picture->width != enc->width || picture->height != enc->height || picture->format != enc->pix_fmt) {
        // A scaler cached for this source size and format.
        ost.img_resample_ctx.reset(swscale.sws_getCachedContext(
            ost.img_resample_ctx.release(), picture->width, picture->height, static_cast<AVPixelFormat>(picture->format),
            enc->width, enc->height, enc->pix_fmt, ost.sws_flags ? ost.sws_flags : SWS_BICUBIC, nullptr, nullptr,
            nullptr));
        if (!ost.img_resample_ctx) RaiseFF("Cannot get resampling context");
        if (!ost.resample_frame) ost.resample_frame.reset(avutil.av_frame_alloc());
        AVFrame* scaled = ost.resample_frame.get();
        if (scaled->width != enc->width || scaled->height != enc->height || scaled->format != enc->pix_fmt) {
            avutil.av_frame_unref(scaled);
            scaled->width = enc->width;
            scaled->height = enc->height;
            scaled->format = enc->pix_fmt;
            if (avutil.av_frame_get_buffer(scaled, 0) < 0) throw std::runtime_error("Could not alloc buffer.");
        }
        if (avutil.av_frame_make_writable(scaled) < 0) throw std::runtime_error("Could not alloc buffer.");
        swscale.sws_scale(ost.img_resample_ctx.get(), picture->data, picture->linesize, 0, picture->height,
                          scaled->data, scaled->linesize);
        out = scaled;
    }
    out->pts = ost.sync_opts++;
    out->pict_type = AV_PICTURE_TYPE_NONE;
    out->sample_aspect_ratio = enc->sample_aspect_ratio;
    EncodeAndMux(ost, out);
    ++ost.frame_number;
}

// ---- Audio ----

void TCustomFFmpeg::ResampleIntoFifo(TAVOutputStream& ost, const AVFrame* frame) {
    AVCodecContext* enc = ost.enc_ctx.get();
    if (frame && !ost.resample && frame->format == enc->sample_fmt && frame->sample_rate == enc->sample_rate &&
        avutil.av_channel_layout_compare(&frame->ch_layout, &enc->ch_layout) == 0) {
        if (avutil.av_audio_fifo_write(ost.fifo.get(), reinterpret_cast<void**>(const_cast<std::uint8_t**>(frame->extended_data)),
                                       frame->nb_samples) < frame->nb_samples)
            throw std::runtime_error("Could not alloc buffer.");
        return;
    }
    if (!ost.resample && frame) {
        // Rate, layout and format differ: one resampler converts all three.
        SwrContext* swr = nullptr;
        if (swresample.swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, enc->sample_rate, const_cast<AVChannelLayout*>(&frame->ch_layout),
                                           static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                           nullptr) < 0 ||
            swresample.swr_init(swr) < 0) {
            swresample.swr_free(&swr);
            RaiseFF("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", frame->ch_layout.nb_channels,
                    frame->sample_rate, enc->ch_layout.nb_channels, enc->sample_rate);
        }
        ost.resample.reset(swr);
    }
    if (!ost.resample) return;
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
    const bool anySize = enc->frame_size == 0 || (ost.enc->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    const int frameSize = anySize ? std::max(avutil.av_audio_fifo_size(fifo), 1) : enc->frame_size;
    while (avutil.av_audio_fifo_size(fifo) >= frameSize || (last && avutil.av_audio_fifo_size(fifo) > 0)) {
        const int available = avutil.av_audio_fifo_size(fifo);
        const int take = std::min(available, frameSize);
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

void TCustomFFmpeg::EncodeDecodedAudio(TAVOutputStream& ost, TAVInputStream&, AVFrame* frame) {
    ResampleIntoFifo(ost, frame);
    FlushAudioFifo(ost, false);
}

} // namespace engine
