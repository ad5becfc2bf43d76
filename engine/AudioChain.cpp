// The audio output path: the audio hook and volume, resampling into the
// encoder's format, audio sync and the sample FIFO in front of the encoder.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"

#include <algorithm>
#include <cmath>

namespace engine {

using namespace avbind;

namespace {

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

} // namespace

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
                ScaleSamples(reinterpret_cast<std::int16_t*>(data), count, FTaskOpts.audio_volume, INT16_MIN, INT16_MAX,
                             0);
                break;
            case AV_SAMPLE_FMT_S32:
                ScaleSamples(reinterpret_cast<std::int32_t*>(data), count, FTaskOpts.audio_volume, INT32_MIN, INT32_MAX,
                             0);
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
        if (frame && avutil.av_audio_fifo_write(
                         ost.fifo.get(), reinterpret_cast<void**>(const_cast<std::uint8_t**>(frame->extended_data)),
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
    const int converted =
        swresample.swr_convert(ost.resample.get(), buffer, outSamples,
                               frame ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr, inSamples);
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
        FFLogger().Log(this, llInfo,
                       "Input stream #%d.%d frame changed from rate:%d fmt:%s ch:%d to rate:%d fmt:%s ch:%d",
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
                    if (avutil.av_frame_get_buffer(padded.get(), 0) < 0)
                        throw std::runtime_error("Could not alloc buffer.");
                    avutil.av_samples_set_silence(padded->extended_data, 0, static_cast<int>(sampleDelta), inChannels,
                                                  format);
                    avutil.av_samples_copy(padded->extended_data, frame->extended_data, static_cast<int>(sampleDelta),
                                           0, frame->nb_samples, inChannels, format);
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
                    FFLogger().Log(this, llVerbose, "compensating audio timestamp drift:%f compensation:%d in:%d",
                                   delta, compensation, enc->sample_rate);
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
