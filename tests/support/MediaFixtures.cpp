#include "tests/support/MediaFixtures.h"

#include <cstring>

#include "avbind/AVPtr.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <filesystem>
#include <memory>
#include <numbers>
#include <vector>

namespace zctest {

namespace {

using namespace avbind;

std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (avutil.av_strerror(code, text, sizeof text) < 0) std::snprintf(text, sizeof text, "error %d", code);
    return text;
}

// The output file: its I/O context is closed before the format context goes.
struct TOutputDeleter {
    void operator()(AVFormatContext* oc) const noexcept {
        if (oc->pb && !(oc->oformat->flags & AVFMT_NOFILE)) avformat.avio_closep(&oc->pb);
        avformat.avformat_free_context(oc);
    }
};
using TOutputPtr = std::unique_ptr<AVFormatContext, TOutputDeleter>;

// One encoded stream and the state of its generator.
struct TEncStream {
    bool IsVideo = false;
    AVStream* Stream = nullptr;
    TAVCodecContextPtr Codec;
    TAVFramePtr Frame;
    std::int64_t NextPts = 0;   // codec time base
    std::int64_t EndPts = 0;    // first pts not generated any more
    std::int64_t Gap = 0;       // pictures: ticks skipped after the first
    std::int64_t Generated = 0; // frames (video) or samples (audio) so far
    bool Flushed = false;
};

class TWriter {
public:
    TWriter(const TMediaRecipe& mediaRecipe, std::string& error) : FRecipe(mediaRecipe), FError(error) {}

    bool Write(const std::string& path) {
        AVFormatContext* oc = nullptr;
        int ret = avformat.avformat_alloc_output_context2(&oc, nullptr, FRecipe.Format.c_str(), path.c_str());
        if (ret < 0 || !oc) return Fail("cannot create the \"" + FRecipe.Format + "\" output", ret);
        FOutput.reset(oc);
        for (const auto& [key, value] : FRecipe.Metadata)
            avutil.av_dict_set(&oc->metadata, key.c_str(), value.c_str(), 0);
        for (const auto& [start, end] : FRecipe.Chapters) {
            auto* chapter = static_cast<AVChapter*>(avutil.av_mallocz(sizeof(AVChapter)));
            auto* grown = chapter ? static_cast<AVChapter**>(avutil.av_realloc(
                                        oc->chapters, sizeof(AVChapter*) * (oc->nb_chapters + 1)))
                                  : nullptr;
            if (!grown) {
                avutil.av_free(chapter);
                return Fail("cannot add a chapter");
            }
            oc->chapters = grown;
            chapter->id = oc->nb_chapters + 1;
            chapter->time_base = AVRational{1, 1000};
            chapter->start = static_cast<std::int64_t>(start * 1000);
            chapter->end = static_cast<std::int64_t>(end * 1000);
            avutil.av_dict_set(&chapter->metadata, "title", ("Chapter " + std::to_string(chapter->id)).c_str(), 0);
            oc->chapters[oc->nb_chapters++] = chapter;
        }

        const int groups = FRecipe.Programs > 0 ? FRecipe.Programs : 1;
        for (int g = 0; g < groups; ++g) {
            AVProgram* program = nullptr;
            if (FRecipe.Programs > 0) {
                program = avformat.av_new_program(oc, g + 1);
                if (!program) return Fail("cannot create program " + std::to_string(g + 1));
                avutil.av_dict_set(&program->metadata, "service_name",
                                   ("Service " + std::to_string(g + 1)).c_str(), 0);
            }
            for (int k = 0; k < 2; ++k) {
                const bool video = (k == 0) == FRecipe.VideoFirst;
                if (video ? !FRecipe.Video : !FRecipe.Audio) continue;
                if (!(video ? AddVideo() : AddAudio())) return false;
                if (program) avformat.av_program_add_stream_index(oc, program->id, FStreams.back().Stream->index);
            }
        }
        if (FStreams.empty()) return Fail("no stream to write");
        AVStream* cover = nullptr;
        if (FRecipe.CoverPicture) {
            // A cover picture: one PNG shown with the sound, not a video.
            cover = avformat.avformat_new_stream(oc, nullptr);
            if (!cover) return Fail("cannot add the cover");
            cover->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
            cover->codecpar->codec_id = AV_CODEC_ID_PNG;
            cover->codecpar->width = cover->codecpar->height = 1;
            cover->disposition = AV_DISPOSITION_ATTACHED_PIC;
        }

        if (!(oc->oformat->flags & AVFMT_NOFILE)) {
            ret = avformat.avio_open2(&oc->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
            if (ret < 0) return Fail("cannot create " + path, ret);
            // An unseekable output keeps the muxer from going back to write a
            // duration or an index into the file.
            if (FRecipe.NoDuration) oc->pb->seekable = 0;
        }
        TAVDictionary options;
        if (FRecipe.NoDuration) options.Set("movflags", "frag_keyframe+empty_moov");
        for (const auto& [key, value] : FRecipe.MuxerOptions) options.Set(key.c_str(), value.c_str());
        ret = avformat.avformat_write_header(oc, options.Address());
        if (ret < 0) return Fail("cannot write the header", ret);
        if (cover) {
            // A 1x1 black PNG.
            static const std::uint8_t png[] = {
                0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52,
                0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0x3A, 0x7E, 0x9B,
                0x55, 0x00, 0x00, 0x00, 0x0A, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0x60, 0x00, 0x00, 0x00,
                0x02, 0x00, 0x01, 0xE2, 0x21, 0xBC, 0x33, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE,
                0x42, 0x60, 0x82};
            TAVPacketPtr packet(avcodec.av_packet_alloc());
            if (!packet || avcodec.av_new_packet(packet.get(), sizeof png) < 0) return Fail("cannot make the cover");
            std::memcpy(packet->data, png, sizeof png);
            packet->stream_index = cover->index;
            packet->flags |= AV_PKT_FLAG_KEY;
            ret = avformat.av_interleaved_write_frame(oc, packet.get());
            if (ret < 0) return Fail("cannot write the cover", ret);
        }

        // Always feed the stream that is furthest behind, so the muxer gets
        // the packets roughly in time order.
        for (;;) {
            TEncStream* next = nullptr;
            for (TEncStream& s : FStreams) {
                if (s.Flushed) continue;
                if (!next || avutil.av_compare_ts(s.NextPts, s.Codec->time_base, next->NextPts,
                                                  next->Codec->time_base) < 0)
                    next = &s;
            }
            if (!next) break;
            if (next->NextPts >= next->EndPts) {
                if (!Encode(*next, nullptr)) return false;
                next->Flushed = true;
                continue;
            }
            if (!(next->IsVideo ? FillPicture(*next) : FillSound(*next))) return false;
            if (!Encode(*next, next->Frame.get())) return false;
        }
        ret = avformat.av_write_trailer(oc);
        if (ret < 0) return Fail("cannot write the trailer", ret);
        return true;
    }

private:
    bool Fail(const std::string& what, int code = 0) {
        FError = code < 0 ? what + ": " + ErrorText(code) : what;
        return false;
    }

    TEncStream* NewStream(const std::string& codecName, const AVCodec*& codec) {
        codec = avcodec.avcodec_find_encoder_by_name(codecName.c_str());
        if (!codec) {
            Fail("no encoder \"" + codecName + "\"");
            return nullptr;
        }
        TEncStream s;
        s.Codec.reset(avcodec.avcodec_alloc_context3(codec));
        s.Frame.reset(avutil.av_frame_alloc());
        s.Stream = avformat.avformat_new_stream(FOutput.get(), nullptr);
        if (!s.Codec || !s.Frame || !s.Stream) {
            Fail("out of memory");
            return nullptr;
        }
        s.Stream->id = static_cast<int>(FOutput->nb_streams) - 1;
        if (FOutput->oformat->flags & AVFMT_GLOBALHEADER) s.Codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        FStreams.push_back(std::move(s));
        return &FStreams.back();
    }

    bool OpenCodec(TEncStream& s, const AVCodec* codec) {
        int ret = avcodec.avcodec_open2(s.Codec.get(), codec, nullptr);
        if (ret < 0) return Fail(std::string("cannot open the encoder ") + codec->name, ret);
        ret = avcodec.avcodec_parameters_from_context(s.Stream->codecpar, s.Codec.get());
        if (ret < 0) return Fail("cannot set the stream parameters", ret);
        s.Stream->time_base = s.Codec->time_base;
        return true;
    }

    bool AddVideo() {
        const AVCodec* codec = nullptr;
        TEncStream* s = NewStream(FRecipe.VideoCodec, codec);
        if (!s) return false;
        if (FRecipe.FrameRate.num <= 0 || FRecipe.FrameRate.den <= 0) return Fail("invalid frame rate");
        s->IsVideo = true;
        AVCodecContext* c = s->Codec.get();
        c->width = FRecipe.Width;
        c->height = FRecipe.Height;
        c->framerate = FRecipe.FrameRate;
        c->time_base = AVRational{FRecipe.FrameRate.den, FRecipe.FrameRate.num};
        c->gop_size = 12;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->sample_aspect_ratio = FRecipe.SampleAspect;
        s->Stream->sample_aspect_ratio = FRecipe.SampleAspect;
        if (FRecipe.Rotation) {
            auto* matrix = reinterpret_cast<std::int32_t*>(
                avformat.av_stream_new_side_data(s->Stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
            if (!matrix) return Fail("out of memory");
            // The MP4 writer stores the matrix the other way round from how it reads it back.
            avutil.av_display_rotation_set(matrix, FRecipe.Rotation);
        }
        if (codec->pix_fmts) {
            bool found = false;
            for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) found = found || *f == c->pix_fmt;
            if (!found) c->pix_fmt = codec->pix_fmts[0];
        }
        if (!OpenCodec(*s, codec)) return false;
        AVFrame* frame = s->Frame.get();
        frame->format = c->pix_fmt;
        frame->width = c->width;
        frame->height = c->height;
        int ret = avutil.av_frame_get_buffer(frame, 0);
        if (ret < 0) return Fail("cannot allocate a picture", ret);
        s->NextPts = avutil.av_rescale_q(FRecipe.StartOffsetMicros, AVRational{1, AV_TIME_BASE}, c->time_base);
        s->EndPts = s->NextPts + std::llround(FRecipe.Seconds * FRecipe.FrameRate.num / FRecipe.FrameRate.den);
        s->Gap = std::llround(FRecipe.VideoGapSeconds * FRecipe.FrameRate.num / FRecipe.FrameRate.den);
        s->EndPts += s->Gap;
        return true;
    }

    bool AddAudio() {
        const AVCodec* codec = nullptr;
        TEncStream* s = NewStream(FRecipe.AudioCodec, codec);
        if (!s) return false;
        if (FRecipe.SampleRate <= 0 || FRecipe.Channels <= 0) return Fail("invalid sample rate or channel count");
        AVCodecContext* c = s->Codec.get();
        c->sample_rate = FRecipe.SampleRate;
        c->time_base = AVRational{1, FRecipe.SampleRate};
        c->bit_rate = 64000 * FRecipe.Channels;
        c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
        avutil.av_channel_layout_uninit(&c->ch_layout);
        avutil.av_channel_layout_default(&c->ch_layout, FRecipe.Channels);
        if (!OpenCodec(*s, codec)) return false;
        AVFrame* frame = s->Frame.get();
        frame->format = c->sample_fmt;
        frame->sample_rate = c->sample_rate;
        frame->nb_samples = c->frame_size > 0 ? c->frame_size : 1024;
        int ret = avutil.av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
        if (ret >= 0) ret = avutil.av_frame_get_buffer(frame, 0);
        if (ret < 0) return Fail("cannot allocate a sound frame", ret);
        s->NextPts = avutil.av_rescale_q(FRecipe.StartOffsetMicros + FRecipe.AudioDelayMicros, AVRational{1, AV_TIME_BASE}, c->time_base);
        s->EndPts = s->NextPts + std::llround(FRecipe.Seconds * FRecipe.SampleRate);
        return true;
    }

    // A diagonal ramp that moves with every frame, in every plane.
    bool FillPicture(TEncStream& s) {
        AVFrame* frame = s.Frame.get();
        int ret = avutil.av_frame_make_writable(frame);
        if (ret < 0) return Fail("cannot write a picture", ret);
        const AVPixFmtDescriptor* desc = avutil.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
        const int t = static_cast<int>(s.Generated);
        for (int p = 0; p < AV_NUM_DATA_POINTERS && frame->data[p]; ++p) {
            if (p == 1 && desc && (desc->flags & AV_PIX_FMT_FLAG_PAL)) continue;  // the palette
            const bool chroma = desc && (p == 1 || p == 2);
            const int rows = chroma ? -((-frame->height) >> desc->log2_chroma_h) : frame->height;
            for (int y = 0; y < rows; ++y) {
                std::uint8_t* row = frame->data[p] + static_cast<std::ptrdiff_t>(y) * frame->linesize[p];
                for (int x = 0; x < frame->linesize[p]; ++x)
                    row[x] = static_cast<std::uint8_t>(p == 0 ? x + y + 3 * t : 128 + ((x + t) & 63) - 32 * p + 48);
            }
        }
        frame->pts = s.NextPts;
        ++s.NextPts;
        if (s.Generated == 0) s.NextPts += s.Gap;
        ++s.Generated;
        return true;
    }

    // A 440 Hz sine; the last frame is padded with silence past the end.
    bool FillSound(TEncStream& s) {
        AVFrame* frame = s.Frame.get();
        const std::int64_t left = s.EndPts - s.NextPts;
        if (left < frame->nb_samples &&
            (s.Codec->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE)))
            frame->nb_samples = static_cast<int>(left);
        int ret = avutil.av_frame_make_writable(frame);
        if (ret < 0) return Fail("cannot write a sound frame", ret);
        const auto format = static_cast<AVSampleFormat>(frame->format);
        const bool planar = avutil.av_sample_fmt_is_planar(format) != 0;
        const int bytes = avutil.av_get_bytes_per_sample(format);
        const int channels = frame->ch_layout.nb_channels;
        for (int i = 0; i < frame->nb_samples; ++i) {
            const double v = i < left ? 0.5 * std::sin(2 * std::numbers::pi * 440.0 * static_cast<double>(s.Generated + i) /
                                                       frame->sample_rate)
                                      : 0.0;
            for (int ch = 0; ch < channels; ++ch) {
                std::uint8_t* at = planar ? frame->extended_data[ch] + i * bytes
                                          : frame->extended_data[0] + (i * channels + ch) * bytes;
                switch (avutil.av_get_packed_sample_fmt(format)) {
                case AV_SAMPLE_FMT_U8: *at = static_cast<std::uint8_t>(128 + std::lround(v * 127)); break;
                case AV_SAMPLE_FMT_S16: *reinterpret_cast<std::int16_t*>(at) = static_cast<std::int16_t>(std::lround(v * 32767)); break;
                case AV_SAMPLE_FMT_S32: *reinterpret_cast<std::int32_t*>(at) = static_cast<std::int32_t>(std::lround(v * 2147483647.0)); break;
                case AV_SAMPLE_FMT_S64: *reinterpret_cast<std::int64_t*>(at) = std::llround(v * 9.2e18); break;
                case AV_SAMPLE_FMT_FLT: *reinterpret_cast<float*>(at) = static_cast<float>(v); break;
                case AV_SAMPLE_FMT_DBL: *reinterpret_cast<double*>(at) = v; break;
                default: return Fail("unsupported sample format");
                }
            }
        }
        frame->pts = s.NextPts;
        s.NextPts += frame->nb_samples;
        s.Generated += frame->nb_samples;
        return true;
    }

    // Sends a frame (null: drain) and writes every packet the encoder returns.
    bool Encode(TEncStream& s, AVFrame* frame) {
        int ret = avcodec.avcodec_send_frame(s.Codec.get(), frame);
        if (ret < 0) return Fail("cannot encode", ret);
        TAVPacketPtr packet(avcodec.av_packet_alloc());
        if (!packet) return Fail("out of memory");
        for (;;) {
            ret = avcodec.avcodec_receive_packet(s.Codec.get(), packet.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
            if (ret < 0) return Fail("cannot encode", ret);
            // A picture lasts one frame; muxers that store durations need it.
            if (s.IsVideo && packet->duration <= 0) packet->duration = 1;
            avcodec.av_packet_rescale_ts(packet.get(), s.Codec->time_base, s.Stream->time_base);
            packet->stream_index = s.Stream->index;
            ret = avformat.av_interleaved_write_frame(FOutput.get(), packet.get());
            if (ret < 0) return Fail("cannot write a packet", ret);
        }
    }

    const TMediaRecipe& FRecipe;
    std::string& FError;
    TOutputPtr FOutput;
    std::vector<TEncStream> FStreams;  // after FOutput: the encoders go first
};

} // namespace

bool WriteTestMedia(const std::string& path, const TMediaRecipe& mediaRecipe, std::string& error) {
    bool ok = false;
    {
        TWriter writer(mediaRecipe, error);
        ok = writer.Write(path);
    }
    if (!ok) {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
    return ok;
}

std::string MakeTestMedia(const std::string& path, const TMediaRecipe& mediaRecipe) {
    std::string error;
    if (!WriteTestMedia(path, mediaRecipe, error)) throw std::runtime_error("cannot write test media " + path + ": " + error);
    return path;
}

} // namespace zctest
