// The output side of a run: encoder packets and copied packets through the
// bitstream filters into the containers, subtitles, metadata and chapter
// copies, and the container headers.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace engine {

using namespace avbind;
using avhelpers::GetMediaTypeName;

namespace {

char PictureTypeLetter(int type) {
    const char letter = avutil.av_get_picture_type_char(static_cast<AVPictureType>(type));
    return letter ? letter : '?';
}

} // namespace

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
        MuxPacket(ContextOf(ost), pkt, ost);
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

// ---- Stream copy and muxing ----

void TCustomFFmpeg::CopyPacket(TAVOutputStream& ost, TAVInputStream& ist, const AVPacket* pkt) {
    const std::int64_t startOffset = avutil.av_rescale_q(FFileOpts.start_time, AV_TIME_BASE_Q, ost.st->time_base);
    const TAVInputFile& file = InputFileAt(ist.file_index);
    if (CutsStart(file)) {
        // Shown before the start: not copied (a copy's key frame was moved onto the start).
        const std::int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (ts != AV_NOPTS_VALUE &&
            avutil.av_compare_ts(ts, ist.st->time_base, FFileOpts.start_time, AV_TIME_BASE_Q) < 0)
            return;
    }
    if (ost.frame_number == 0 && !(pkt->flags & AV_PKT_FLAG_KEY) && !FTaskOpts.copy_initial_nonkeyframes) return;
    const AVMediaType type = ist.st->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO) Faudio_size += pkt->size;
    if (type == AVMEDIA_TYPE_VIDEO) {
        Fvideo_size += pkt->size;
        ++ost.sync_opts;
    }
    AVPacket* opkt = FRun.OutPacket.get();
    if (avcodec.av_packet_ref(opkt, pkt) < 0) throw std::runtime_error("Could not alloc buffer.");
    const AVRational itb = ist.st->time_base, otb = ost.st->time_base;
    opkt->stream_index = ost.index;
    opkt->pts = pkt->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : avutil.av_rescale_q(pkt->pts, itb, otb) - startOffset;
    opkt->dts = (pkt->dts == AV_NOPTS_VALUE ? avutil.av_rescale_q(ist.pts, AV_TIME_BASE_Q, otb)
                                            : avutil.av_rescale_q(pkt->dts, itb, otb)) -
                startOffset;
    opkt->duration = avutil.av_rescale_q(pkt->duration, itb, otb);
    opkt->time_base = otb;
    MuxPacket(ContextOf(ost), opkt, ost);
    ++ost.frame_number;
}

void TCustomFFmpeg::MuxPacket(AVFormatContext* oc, AVPacket* pkt, TAVOutputStream& ost) {
    // Each filter may turn one packet into none or several.
    std::function<void(std::size_t, AVPacket*)> run = [&](std::size_t i, AVPacket* p) {
        if (i == ost.bitstream_filters.size()) {
            WritePacket(oc, p, ost);
            return;
        }
        AVBSFContext* f = ost.bitstream_filters[i].get();
        int ret = avcodec.av_bsf_send_packet(f, p);
        if (ret < 0) {
            const std::string text =
                Format("%s failed for stream %d, codec %s", f->filter->name, p->stream_index,
                       ost.enc ? ost.enc->name : "copy") +
                ": " + avhelpers::GetErrorText("", ret).substr(2);
            if (FTaskOpts.exit_on_error) {
                avcodec.av_packet_unref(p);
                throw FFmpegException(text);
            }
            FFLogger().Log(this, llError, text);
            run(ost.bitstream_filters.size(), p);  // unchanged
            return;
        }
        TAVPacketPtr out(avcodec.av_packet_alloc());
        while ((ret = avcodec.av_bsf_receive_packet(f, out.get())) >= 0) run(i + 1, out.get());
    };
    run(0, pkt);
}

void TCustomFFmpeg::WritePacket(AVFormatContext* oc, AVPacket* pkt, TAVOutputStream& ost) {
    // A frame limit counts what reaches the file: encoders give out what they
    // hold back (and padding) when drained.
    const int type = ost.st->codecpar->codec_type;
    if (type >= 0 && type < 4 && ost.packets_muxed >= FFileOpts.max_frames[type]) {
        avcodec.av_packet_unref(pkt);
        return;
    }
    // Times must grow in every stream the muxer writes: a damaged input's
    // packet that goes back is dropped when copied and moved up when encoded,
    // never failing the file for it; said once per stream.
    if (pkt->dts != AV_NOPTS_VALUE && ost.last_mux_dts != AV_NOPTS_VALUE &&
        !(oc->oformat->flags & AVFMT_NOTIMESTAMPS)) {
        const std::int64_t least = ost.last_mux_dts + ((oc->oformat->flags & AVFMT_TS_NONSTRICT) ? 0 : 1);
        if (pkt->dts < least) {
            if (!ost.dts_mended)
                FFLogger().Log(this, llWarning,
                               "Output stream #%d:%d: times that go backwards in the input are mended (%s after %s)",
                               ost.file_index, ost.index, std::to_string(pkt->dts).c_str(),
                               std::to_string(ost.last_mux_dts).c_str());
            ost.dts_mended = true;
            if (ost.stream_copy && pkt->dts < ost.last_mux_dts) {
                avcodec.av_packet_unref(pkt);
                return;
            }
            if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < least) pkt->pts = least;
            pkt->dts = least;
        }
    }
    if (pkt->dts != AV_NOPTS_VALUE) ost.last_mux_dts = pkt->dts;
    ++ost.packets_muxed;
    const std::int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if (ts != AV_NOPTS_VALUE) ost.muxed_end = std::max(ost.muxed_end, ts + std::max<std::int64_t>(pkt->duration, 0));
    const int ret = avformat.av_interleaved_write_frame(oc, pkt);
    // A stop interrupts a write too: that is the stop, not a failure, and the
    // ending still closes the file properly.
    if (ret == AVERROR_EXIT && FBroken) return;
    if (ret < 0) RaiseFF("%s", ("av_interleaved_write_frame(): " + avhelpers::GetErrorText("", ret).substr(2)).c_str());
}

void TCustomFFmpeg::EncodeSubtitle(AVFormatContext* oc, TAVOutputStream& ost, TAVInputStream& ist, AVSubtitle* sub,
                                   std::int64_t pts) {
    if (pts == AV_NOPTS_VALUE) {
        if (FTaskOpts.exit_on_error) RaiseFF("Subtitle packets must have a pts");
        FFLogger().Log(this, llError, "Subtitle packets must have a pts");
        return;
    }
    static const int bufferSize = 1 << 20;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(bufferSize));
    AVCodecContext* enc = ost.enc_ctx.get();
    const int packets = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
    for (int i = 0; i < packets; ++i) {
        sub->pts = avutil.av_rescale_q(pts, ist.st->time_base, AV_TIME_BASE_Q) - FFileOpts.start_time +
                   avutil.av_rescale_q(sub->start_display_time, AVRational{1, 1000}, AV_TIME_BASE_Q);
        sub->end_display_time -= sub->start_display_time;
        sub->start_display_time = 0;
        const int size = avcodec.avcodec_encode_subtitle(enc, buffer.data(), bufferSize, sub);
        if (size < 0) RaiseFF("Subtitle encoding failed");
        AVPacket* opkt = FRun.OutPacket.get();
        if (avcodec.av_new_packet(opkt, size) < 0) throw std::runtime_error("Could not alloc buffer.");
        std::memcpy(opkt->data, buffer.data(), static_cast<std::size_t>(size));
        opkt->stream_index = ost.index;
        opkt->pts = opkt->dts = avutil.av_rescale_q(sub->pts, AV_TIME_BASE_Q, ost.st->time_base);
        // A text subtitle shows for its display time; DVB clears with a second packet.
        if (enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE)
            opkt->pts = opkt->dts += 90 * (i == 0 ? sub->start_display_time : sub->end_display_time);
        else if (sub->end_display_time != UINT32_MAX)
            opkt->duration = avutil.av_rescale_q(sub->end_display_time, AVRational{1, 1000}, ost.st->time_base);
        MuxPacket(oc, opkt, ost);
    }
}


// ---- Metadata, chapters, headers ----

void TCustomFFmpeg::ApplyMetadataMaps() {
    auto select = [this](AVFormatContext* ctx, const TAVMetaDataMap& m) -> AVDictionary** {
        auto check = [this](int index, unsigned count, const char* word) {
            if (index < 0 || static_cast<unsigned>(index) >= count)
                SetupError(Format("Invalid %s index %d while processing metadata maps", word, index));
        };
        switch (m.type_) {
        case 's': check(m.index, ctx->nb_streams, "stream"); return &ctx->streams[m.index]->metadata;
        case 'c': check(m.index, ctx->nb_chapters, "chapter"); return &ctx->chapters[m.index]->metadata;
        case 'p': check(m.index, ctx->nb_programs, "program"); return &ctx->programs[m.index]->metadata;
        default: return &ctx->metadata;
        }
    };
    for (const TAVMetaDataMapPair& pair : FTaskOpts.meta_data_maps) {
        const int out = pair[0].file_idx, in = pair[1].file_idx;
        if (out < 0 || in < 0) continue;
        if (out >= Fnb_output_files)
            SetupError(Format("Invalid %s index %d while processing metadata maps", "output file", out));
        if (in >= Fnb_input_files)
            SetupError(Format("Invalid %s index %d while processing metadata maps", "input file", in));
        AVDictionary** target = select(OutputFileAt(out).get(), pair[0]);
        AVDictionary** source = select(InputFileAt(in).ctx.get(), pair[1]);
        avutil.av_dict_copy(target, *source, AV_DICT_DONT_OVERWRITE);
    }
    if (FTaskOpts.metadata_global_autocopy && Fnb_input_files > 0)
        for (int i = 0; i < Fnb_output_files; ++i)
            avutil.av_dict_copy(&OutputFileAt(i)->metadata,
                                Finput_files[0].ctx->metadata, AV_DICT_DONT_OVERWRITE);

    for (const TAVChapterMap& m : FTaskOpts.chapter_maps) {
        if (m.in_file < 0 || m.out_file < 0) continue;
        if (m.in_file >= Fnb_input_files)
            SetupError(Format("Invalid input file index %d in chapter mapping.", m.in_file));
        if (m.out_file >= Fnb_output_files)
            SetupError(Format("Invalid output file index %d in chapter mapping.", m.out_file));
        CopyChapters(m.in_file, m.out_file);
    }
    if (FTaskOpts.chapter_maps.empty()) {
        for (int i = 0; i < Fnb_input_files; ++i) {
            if (!InputFileAt(i).ctx->nb_chapters) continue;
            const int outputs = FJoinMode ? std::min(Fnb_output_files, 1) : Fnb_output_files;
            for (int o = 0; o < outputs; ++o) CopyChapters(i, o);
            break;
        }
    }
}

void TCustomFFmpeg::CopyChapters(int inFile, int outFile) {
    const AVFormatContext* is = InputFileAt(inFile).ctx.get();
    AVFormatContext* os = OutputFileAt(outFile).get();
    for (unsigned i = 0; i < is->nb_chapters; ++i) {
        const AVChapter* in = is->chapters[i];
        const std::int64_t offset = avutil.av_rescale_q(
            FFileOpts.start_time - InputFileAt(inFile).ts_offset, AV_TIME_BASE_Q, in->time_base);
        const std::int64_t limit = FFileOpts.recording_time == INT64_MAX
                                       ? INT64_MAX
                                       : avutil.av_rescale_q(FFileOpts.recording_time, AV_TIME_BASE_Q, in->time_base);
        if (in->end < offset) continue;
        if (limit != INT64_MAX && in->start > limit + offset) break;
        auto* out = static_cast<AVChapter*>(avutil.av_mallocz(sizeof(AVChapter)));
        if (!out) throw FFmpegException("av_mallocz fail");
        out->id = in->id;
        out->time_base = in->time_base;
        out->start = std::max<std::int64_t>(0, in->start - offset);
        out->end = std::min(limit, in->end - offset);
        if (FTaskOpts.metadata_chapters_autocopy) avutil.av_dict_copy(&out->metadata, in->metadata, 0);
        auto* grown = static_cast<AVChapter**>(
            avutil.av_realloc(os->chapters, sizeof(AVChapter*) * (os->nb_chapters + 1)));
        if (!grown) {
            avutil.av_dict_free(&out->metadata);
            avutil.av_free(out);
            throw FFmpegException("av_realloc fail");
        }
        os->chapters = grown;
        os->chapters[os->nb_chapters++] = out;
    }
}

void TCustomFFmpeg::InitBitstreamFilters(TAVOutputStream& ost) {
    // Each filter takes its input parameters from the one before it; the
    // last one's output parameters are what the muxer sees.
    const AVCodecParameters* par = ost.st->codecpar;
    AVRational tb = ost.st->time_base;
    for (TAVBSFContextPtr& f : ost.bitstream_filters) {
        int ret = avcodec.avcodec_parameters_copy(f->par_in, par);
        f->time_base_in = tb;
        if (ret >= 0) ret = avcodec.av_bsf_init(f.get());
        if (ret < 0) RaiseFF("%s", avhelpers::GetErrorText(f->filter->name, ret).c_str());
        par = f->par_out;
        tb = f->time_base_out;
    }
    if (!ost.bitstream_filters.empty()) avcodec.avcodec_parameters_copy(ost.st->codecpar, par);
}

void TCustomFFmpeg::WriteHeaders() {
    for (TAVOutputStream* ost : FRun.Table) InitBitstreamFilters(*ost);
    const int outputs = FJoinMode ? std::min(Fnb_output_files, 1) : Fnb_output_files;
    bool allRtp = outputs > 0;
    for (int i = 0; i < outputs; ++i) {
        AVFormatContext* oc = OutputFileAt(i).get();
        if (const int ret = avformat.avformat_write_header(oc, nullptr); ret < 0) {
            // A write that failed (a full disk, a lost folder) is named as
            // such, not blamed on the codec parameters.
            const int ioError = oc->pb && oc->pb->error < 0 ? oc->pb->error : ret;
            if (ioError == AVERROR(ENOSPC) || ioError == AVERROR(EIO) || ioError == AVERROR(EDQUOT))
                SetupError(
                    Format("Could not write header for output file #%d: %s", i, std::strerror(AVUNERROR(ioError))));
            SetupError(Format("Could not write header for output file #%d (incorrect codec parameters ?)", i));
        }
        allRtp = allRtp && std::strcmp(oc->oformat->name, "rtp") == 0;
    }
    if (allRtp) {
        std::vector<AVFormatContext*> contexts;
        for (int i = 0; i < outputs; ++i) contexts.push_back(OutputFileAt(i).get());
        char sdp[2048] = {};
        avformat.av_sdp_create(contexts.data(), outputs, sdp, sizeof sdp);
        std::string text(sdp);
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        FFLogger().Log(this, llInfo, "SDP:\r\n" + text);
    }
}

} // namespace engine
