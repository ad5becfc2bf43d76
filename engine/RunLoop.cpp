// The transcode run: the packet loop, the dispatch of decoded units and
// copied packets to the output streams, draining, the ending and the
// progress report.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace engine {

using namespace avbind;
using avhelpers::GetMediaTypeName;

namespace {

// The quantizer histogram of the progress line, shared by all engines.
int GQpHistogram[52];

std::int64_t WritePosition(AVFormatContext* oc) {
    if (!oc || !oc->pb) return 0;
    return avformat.avio_seek(oc->pb, 0, SEEK_CUR);
}

} // namespace

void TCustomFFmpeg::RunTranscode() {
    FRun = TRunState{};
    FRun.Packet.reset(avcodec.av_packet_alloc());
    FRun.OutPacket.reset(avcodec.av_packet_alloc());
    FRun.Frame.reset(avutil.av_frame_alloc());
    bool headersWritten = false;
    try {
        if (!FRun.Packet || !FRun.OutPacket || !FRun.Frame) throw std::runtime_error("Could not alloc buffer.");
        SetupStreamTable();
        OpenRunCodecs();
        ApplyMetadataMaps();
        WriteHeaders();
        headersWritten = true;
        DumpStreamMapping();
        RunLoop();
        // The ending writes to the outputs: a stop must not interrupt that.
        if (FRun.StopCheckRegistered) {
            InterruptCB().Remove(CurrentThreadID(), this, StopCheck);
            FRun.StopCheckRegistered = false;
        }
        EndRun();
    } catch (...) {
        // A run that fails after its headers still closes its outputs properly,
        // so what was written so far stays readable.
        if (headersWritten && !FRun.TrailersWritten) {
            FRun.TrailersWritten = true;
            const int outputs = FJoinMode ? std::min(Fnb_output_files, 1) : Fnb_output_files;
            for (int i = 0; i < outputs; ++i) avformat.av_write_trailer(OutputFileAt(i).get());
        }
        // Without their headers the files cannot be read: they go at the clean-up.
        if (!headersWritten)
            for (int i = 0; i < Fnb_output_files; ++i) FUnreadableOutputs.insert(i);
        CleanupRun();
        throw;
    }
    CleanupRun();
}

std::int64_t TCustomFFmpeg::OutputTimeMicros(const TAVOutputStream& ost) const {
    return avutil.av_rescale_q(ost.muxed_end, ost.st->time_base, AV_TIME_BASE_Q);
}

// ---- The loop ----

void TCustomFFmpeg::RunLoop() {
    TRunState& run = FRun;
    Ftimer_start = avutil.av_gettime_relative();
    run.LastReport = Ftimer_start;
    run.FileIndex = 0;
    std::fill(run.NoPacket.begin(), run.NoPacket.end(), 0);
    run.NoPacketCount = 0;
    if (!IsMainThread()) {
        // A blocking read returns at once after Stop.
        InterruptCB().Add(CurrentThreadID(), this, StopCheck);
        run.StopCheckRegistered = true;
    }
    AVPacket* pkt = run.Packet.get();
    StartHolding();

    while (!FBroken) {
        PassPauseGate();
        if (FBroken) break;

        int fileIndex = -1;
        if (!FJoinMode) {
            double smallestInput = 1e100, smallestOutput = 1e100;
            for (const TAVOutputStream* ost : run.Table) {
                const TAVInputStream& ist = *InputStreamAt(ost->source_index);
                if (ist.is_past_recording_time || run.NoPacket[static_cast<std::size_t>(ist.file_index)]) continue;
                const double outputTime = static_cast<double>(ost->muxed_end) * av_q2d(ost->st->time_base);
                const double inputTime = static_cast<double>(ist.pts);
                if (!InputFileAt(ist.file_index).eof_reached) {
                    if (inputTime < smallestInput) {
                        smallestInput = inputTime;
                        if (FTaskOpts.input_sync) fileIndex = ist.file_index;
                    }
                    if (outputTime < smallestOutput) {
                        smallestOutput = outputTime;
                        if (!FTaskOpts.input_sync) fileIndex = ist.file_index;
                    }
                }
                const int type = ost->enc_ctx->codec_type;
                if (type >= 0 && type < 4 && ost->frame_number >= FFileOpts.max_frames[type]) {
                    fileIndex = -1;
                    break;
                }
            }
            run.FileIndex = fileIndex;
        } else {
            fileIndex = run.FileIndex;
            const int first = fileIndex * run.GroupSize;
            for (int pos = first; pos >= 0 && pos < first + run.GroupSize; ++pos) {
                const TAVOutputStream* ost = run.Table[static_cast<std::size_t>(pos)];
                const int type = ost->enc_ctx->codec_type;
                if (type >= 0 && type < 4 && ost->frame_number >= FFileOpts.max_frames[type]) fileIndex = -1;
            }
        }

        if (fileIndex < 0) {
            if (FJoinMode || run.NoPacketCount == 0) break;
            std::fill(run.NoPacket.begin(), run.NoPacket.end(), 0);
            run.NoPacketCount = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (FTaskOpts.limit_filesize && WritePosition(OutputFileAt(0).get()) >= FTaskOpts.limit_filesize) break;

        TAVInputFile& file = InputFileAt(fileIndex);
        AVFormatContext* ic = file.ctx.get();
        const int ret = avformat.av_read_frame(ic, pkt);
        if (ret == AVERROR(EAGAIN)) {
            run.NoPacket[static_cast<std::size_t>(fileIndex)] = 1;
            ++run.NoPacketCount;
            continue;
        }
        if (ret < 0) {
            file.eof_reached = 1;
            ReleaseHeld(fileIndex);
            if (!FJoinMode) {
                if (FTaskOpts.opt_shortest) break;
                continue;
            }
            if (!EndOfJoinedInput(fileIndex)) break;
            continue;
        }
        std::fill(run.NoPacket.begin(), run.NoPacket.end(), 0);
        run.NoPacketCount = 0;

        if (FTaskOpts.do_pkt_dump)
            avformat.av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt, FTaskOpts.do_hex_dump,
                                      ic->streams[pkt->stream_index]);
        if (pkt->stream_index >= file.nb_streams) {
            avcodec.av_packet_unref(pkt);
            continue;
        }
        const int index = file.ist_index + pkt->stream_index;
        TAVInputStream& ist = *InputStreamAt(index);
        if (ist.discard) {
            avcodec.av_packet_unref(pkt);
            continue;
        }
        const AVRational tb = ist.st->time_base;
        std::int64_t& offset = InputFileAt(fileIndex).ts_offset;
        const std::int64_t offsetTb = avutil.av_rescale_q(offset, AV_TIME_BASE_Q, tb);
        if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += offsetTb;
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += offsetTb;

        if (const double scale = TsScale(fileIndex, pkt->stream_index); scale != 1.0) {
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::llround(static_cast<double>(pkt->pts) * scale);
            if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::llround(static_cast<double>(pkt->dts) * scale);
        }

        if (pkt->dts != AV_NOPTS_VALUE && ist.next_pts != AV_NOPTS_VALUE && (ic->iformat->flags & AVFMT_TS_DISCONT)) {
            const std::int64_t dtsMicros = avutil.av_rescale_q(pkt->dts, tb, AV_TIME_BASE_Q);
            const std::int64_t delta = dtsMicros - ist.next_pts;
            if ((std::llabs(delta) > static_cast<std::int64_t>(FTaskOpts.dts_delta_threshold * 1000000.0) ||
                 dtsMicros + 1 < ist.pts) &&
                !FTaskOpts.copy_ts) {
                offset -= delta;
                if (FTaskOpts.verbose > 2)
                    FFLogger().Log(this, llVerbose, "timestamp discontinuity %lld, new offset= %lld",
                                   static_cast<long long>(delta), static_cast<long long>(offset));
                const std::int64_t deltaTb = avutil.av_rescale_q(delta, AV_TIME_BASE_Q, tb);
                pkt->dts -= deltaTb;
                if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= deltaTb;
            }
        }

        if (file.holding) {
            HoldPacket(fileIndex, index, pkt);
        } else {
            ProcessPacket(fileIndex, index, pkt);
        }
        const std::int64_t now = avutil.av_gettime_relative();
        if (now - run.LastReport > FReportInterval) {
            run.LastReport = now;
            ReportProgress(false);
        }
    }
}

void TCustomFFmpeg::ProcessPacket(int fileIndex, int index, AVPacket* pkt) {
    TAVInputStream& ist = *InputStreamAt(index);
    const TAVInputFile& file = InputFileAt(fileIndex);
    const AVRational tb = ist.st->time_base;
    if (ist.is_past_recording_time) {
        avcodec.av_packet_unref(pkt);
        return;
    }
    if (const std::int64_t limit = CutEnd(file); limit != INT64_MAX) {
        // Decoding order decides: once a packet is decoded at or after the
        // end, every later one shows later too. Pictures decoded earlier
        // that show after the end are cut where they are decoded.
        int past = -1;
        if (pkt->dts != AV_NOPTS_VALUE)
            past = avutil.av_compare_ts(pkt->dts, tb, limit, AV_TIME_BASE_Q) >= 0;
        else if (pkt->pts != AV_NOPTS_VALUE)
            past = avutil.av_compare_ts(pkt->pts, tb, limit, AV_TIME_BASE_Q) >= 0;
        else if (ist.pts != AV_NOPTS_VALUE)
            past = ist.pts >= limit;
        else
            FFLogger().Log(this, llDebug, "no timestamp information to check whether recording time exhausted or not.");
        if (past == 1) {
            ist.is_past_recording_time = 1;
            avcodec.av_packet_unref(pkt);
            return;
        }
    }

    if (DispatchInputPacket(ist, index, pkt) < 0) {
        const std::string text = Format("Error while decoding stream #%d.%d (%s)", fileIndex, pkt->stream_index,
                                        GetMediaTypeName(ist.st->codecpar->codec_type).c_str());
        avcodec.av_packet_unref(pkt);
        if (FTaskOpts.exit_on_error) throw FFmpegException(text);
        if (FTaskOpts.verbose >= 0) FFLogger().Log(this, llVerbose, text);
        return;
    }
    avcodec.av_packet_unref(pkt);
}

void TCustomFFmpeg::EndRun() {
    TRunState& run = FRun;
    for (int i = 0; i < Fnb_input_files; ++i) ReleaseHeld(i);
    for (std::size_t i = 0; i < Finput_streams.size(); ++i) {
        TAVInputStream& ist = *Finput_streams[i];
        if (ist.decoding_needed && ist.decoder_flushed != 1) DispatchInputPacket(ist, static_cast<int>(i), nullptr);
    }
    // Encoders fed by several inputs (join mode) are drained once, here,
    // through the last group, which holds the current positions.
    if (FJoinMode && !run.Table.empty())
        for (std::size_t pos = run.Table.size() - static_cast<std::size_t>(run.GroupSize); pos < run.Table.size();
             ++pos)
            DrainEncoder(*run.Table[pos]);
    const int outputs = FJoinMode ? std::min(Fnb_output_files, 1) : Fnb_output_files;
    run.TrailersWritten = true;
    std::string trailerError;
    for (int i = 0; i < outputs; ++i) {
        AVFormatContext* oc = OutputFileAt(i).get();
        const int ret = avformat.av_write_trailer(oc);
        if (ret >= 0) continue;
        // A file whose index comes last (MP4, MOV) cannot be read without it.
        static const char* const indexLast[] = {"mp4", "mov", "3gp", "3g2", "ipod", "psp", "ismv", "f4v"};
        for (const char* name : indexLast)
            if (std::strcmp(oc->oformat->name, name) == 0) FUnreadableOutputs.insert(i);
        if (trailerError.empty()) trailerError = avhelpers::GetErrorText(oc->url, ret);
    }
    // An output that got no packet at all is no conversion (a start past the
    // end, nothing decodable): it fails, and its file goes.
    for (int i = 0; i < outputs && !FBroken; ++i) {
        bool any = false;
        for (const TAVOutputStream* ost : run.Table)
            any = any || ((FJoinMode || ost->file_index == i) && ost->packets_muxed > 0);
        if (any) continue;
        FUnreadableOutputs.insert(i);
        if (trailerError.empty())
            trailerError = Format("%s: nothing was written (no picture or sound where asked for)",
                                  OutputFileAt(i)->url);
    }
    if (!trailerError.empty()) RaiseFF("%s", trailerError.c_str());
    ReportProgress(true);
    const std::size_t entries = FJoinMode ? static_cast<std::size_t>(run.GroupSize) : run.Table.size();
    {
        std::lock_guard lists(CodecListLock());
        for (std::size_t pos = 0; pos < entries; ++pos) {
            TAVOutputStream& ost = *run.Table[pos];
            if (ost.encoding_needed) {
                avutil.av_freep(&ost.enc_ctx->stats_in);
                std::lock_guard codecs(CodecMutex());
                ost.enc_ctx.reset();
                std::erase_if(FEncoderList, [&](const TCodecItem& item) { return item.ost == &ost; });
            }
            ost.graph.reset();
            ost.filter_steps.clear();
        }
        for (auto& ist : Finput_streams) {
            if (!ist->decoding_needed) continue;
            {
                std::lock_guard codecs(CodecMutex());
                ist->dec_ctx.reset();
            }
            std::erase_if(FDecoderList, [&](const TCodecItem& item) { return item.ist == ist.get(); });
        }
    }
    FFinished = !FBroken;
}

// ---- Dispatch ----

float TCustomFFmpeg::PictureQuality(const AVFrame* frame) {
    const AVFrameSideData* data = avutil.av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
    if (!data || data->size < sizeof(AVVideoEncParams)) return 0;
    const auto* params = reinterpret_cast<const AVVideoEncParams*>(data->data);
    // The picture's quantizer: its blocks' average, weighted by their area.
    double sum = 0, area = 0;
    // (The header's block accessor asserts through the library log, which is
    // only reached through the entry-point tables.)
    if (params->nb_blocks && (params->blocks_offset + static_cast<std::size_t>(params->nb_blocks) * params->block_size >
                                  data->size ||
                              params->block_size < sizeof(AVVideoBlockParams)))
        return 0;
    for (unsigned i = 0; i < params->nb_blocks; ++i) {
        const auto* block = reinterpret_cast<const AVVideoBlockParams*>(data->data + params->blocks_offset +
                                                                        i * params->block_size);
        sum += static_cast<double>(params->qp + block->delta_qp) * block->w * block->h;
        area += static_cast<double>(block->w) * block->h;
    }
    double q = area > 0 ? sum / area : params->qp;
    // On the MPEG quantizer scale the encoders take.
    if (params->type == AV_VIDEO_ENC_PARAMS_H264) q = 0.85 * std::pow(2.0, (q - 12) / 6);  // logarithmic scale
    else if (params->type == AV_VIDEO_ENC_PARAMS_VP9) q /= 8;                            // 0..255 index
    else if (params->type == AV_VIDEO_ENC_PARAMS_MPEG2) q /= 2;                          // given in half steps
    if (q <= 0) return 0;
    return static_cast<float>(std::clamp(q, 1.0, 31.0) * FF_QP2LAMBDA);
}

int TCustomFFmpeg::DispatchInputPacket(TAVInputStream& ist, int index, AVPacket* pkt) {
    (void)index;
    if (ist.next_pts == AV_NOPTS_VALUE) ist.next_pts = ist.pts;
    const AVRational tb = ist.st->time_base;
    const AVMediaType type = ist.st->codecpar->codec_type;
    if (pkt && pkt->dts != AV_NOPTS_VALUE) {
        const std::int64_t dts = avutil.av_rescale_q(pkt->dts, tb, AV_TIME_BASE_Q);
        // Decoded sound keeps the time its samples count out while the
        // container's (often rounded) times agree with it; a container's
        // millisecond steps would otherwise leave gaps and overlaps.
        const std::int64_t step = std::max<std::int64_t>(avutil.av_rescale_q(1, tb, AV_TIME_BASE_Q), 500);
        const bool counted = type == AVMEDIA_TYPE_AUDIO && ist.decoding_needed && ist.next_pts != AV_NOPTS_VALUE &&
                             std::llabs(dts - ist.next_pts) <= 2 * step;
        if (!counted) ist.next_pts = ist.pts = dts;
    }

    if (!ist.decoding_needed) {
        if (!pkt) return 0;
        ist.pts = ist.next_pts;
        const AVCodecParameters* par = ist.st->codecpar;
        if (pkt->duration > 0)
            ist.next_pts += avutil.av_rescale_q(pkt->duration, tb, AV_TIME_BASE_Q);
        else if (type == AVMEDIA_TYPE_AUDIO && par->frame_size && par->sample_rate)
            ist.next_pts += static_cast<std::int64_t>(1000000) * par->frame_size / par->sample_rate;
        else if (type == AVMEDIA_TYPE_VIDEO && ist.st->avg_frame_rate.num)
            ist.next_pts += avutil.av_rescale_q(1, av_inv_q(ist.st->avg_frame_rate), AV_TIME_BASE_Q);
        ServeOutputs(ist, pkt, nullptr, nullptr);
        return 0;
    }

    // A stream both decoded and copied: the copies take the packet first.
    if (pkt) ServeOutputs(ist, pkt, nullptr, nullptr);
    AVCodecContext* dec = ist.dec_ctx.get();
    if (type == AVMEDIA_TYPE_SUBTITLE) {
        if (!pkt) return 0;
        AVSubtitle sub{};
        int got = 0;
        ist.pts = ist.next_pts;
        if (avcodec.avcodec_decode_subtitle2(dec, &sub, &got, pkt) < 0) return -1;
        if (got) {
            ServeOutputs(ist, pkt, nullptr, &sub);
            avcodec.avsubtitle_free(&sub);
        }
        return 0;
    }
    if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) return -1;

    int ret = avcodec.avcodec_send_packet(dec, pkt);
    if (ret < 0 && ret != AVERROR_EOF) return -1;
    AVFrame* frame = FRun.Frame.get();
    for (;;) {
        ret = avcodec.avcodec_receive_frame(dec, frame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
        if (ret < 0) return -1;
        ist.pts = ist.next_pts;
        AVFrame* served = frame;
        const TAVInputFile& file = InputFileAt(ist.file_index);
        const bool cutStart = CutsStart(file);
        const std::int64_t cutEnd = CutEnd(file);
        if (type == AVMEDIA_TYPE_AUDIO) {
            if (frame->sample_rate > 0)
                ist.next_pts += static_cast<std::int64_t>(1000000) * frame->nb_samples / frame->sample_rate;
            // Cut to the sample: what lies before the start or after the end goes.
            int skip = 0, keep = frame->nb_samples;
            if (frame->sample_rate > 0) {
                if (cutStart && ist.pts < FFileOpts.start_time)
                    skip = static_cast<int>(std::min<std::int64_t>(
                        keep, avutil.av_rescale(FFileOpts.start_time - ist.pts, frame->sample_rate, AV_TIME_BASE)));
                if (cutEnd != INT64_MAX)
                    keep = static_cast<int>(std::clamp<std::int64_t>(
                        avutil.av_rescale(cutEnd - ist.pts, frame->sample_rate, AV_TIME_BASE), 0, keep));
            }
            if (keep - skip <= 0) {
                avutil.av_frame_unref(frame);
                continue;
            }
            if (skip || keep < frame->nb_samples) {
                if (!FAudioSlice) FAudioSlice.reset(avutil.av_frame_alloc());
                SliceAudioFrame(FAudioSlice, frame, skip, keep - skip);
                avutil.av_frame_unref(frame);
                avutil.av_frame_move_ref(frame, FAudioSlice.get());
                if (skip) ist.pts = FFileOpts.start_time;
            }
            served = AudioHookAndVolume(ist, frame);
        } else {
            if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
                ist.pts = ist.next_pts = avutil.av_rescale_q(frame->best_effort_timestamp, tb, AV_TIME_BASE_Q);
            if (frame->pkt_duration > 0)
                ist.next_pts += avutil.av_rescale_q(frame->pkt_duration, tb, AV_TIME_BASE_Q);
            else if (ist.st->avg_frame_rate.num)
                ist.next_pts += avutil.av_rescale_q(1, av_inv_q(ist.st->avg_frame_rate), AV_TIME_BASE_Q);
            // Pictures before the start (decoded only as references) and after the end go.
            if ((cutStart && ist.pts < FFileOpts.start_time) || ist.pts >= cutEnd) {
                avutil.av_frame_unref(frame);
                continue;
            }
            if (FFileOpts.same_quality) ist.quality = PictureQuality(frame);
            PrepareDecodedPicture(ist, frame);
        }
        ServeOutputs(ist, pkt, served, nullptr);
        avutil.av_frame_unref(frame);
    }
    if (!pkt) DrainEncoders(ist);
    return 0;
}

void TCustomFFmpeg::ServeOutputs(TAVInputStream& ist, AVPacket* pkt, AVFrame* frame, AVSubtitle* subtitle) {
    if (FTaskOpts.rate_emu) {
        const std::int64_t ahead = ist.pts - (avutil.av_gettime_relative() - ist.start);
        if (ahead > 1000) std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
    }
    // Decoded units were cut where they were decoded; copied packets are cut
    // by their own times.
    if (subtitle && CutsStart(InputFileAt(ist.file_index)) && ist.pts < FFileOpts.start_time) return;
    for (TAVOutputStream* ost : FRun.Table) {
        if (InputStreamAt(ost->source_index).get() != &ist) continue;
        if (!ost->encoding_needed) {
            // Copies take each packet once, as it comes, not per decoded unit.
            if (pkt && !frame && !subtitle) CopyPacket(*ost, ist, pkt);
            continue;
        }
        switch (ost->enc_ctx ? ost->enc_ctx->codec_type : AVMEDIA_TYPE_UNKNOWN) {
        case AVMEDIA_TYPE_AUDIO:
            if (frame) EncodeDecodedAudio(*ost, ist, frame);
            break;
        case AVMEDIA_TYPE_VIDEO:
            if (frame) EncodeDecodedVideo(*ost, ist, frame);
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            if (subtitle)
                EncodeSubtitle(ContextOf(*ost), *ost, ist, subtitle, pkt ? pkt->pts : AV_NOPTS_VALUE);
            break;
        default:
            RaiseFF("invalid codec_type");
        }
    }
}

// ---- Draining ----

void TCustomFFmpeg::DrainEncoders(TAVInputStream& ist) {
    for (TAVOutputStream* ost : FRun.Table) {
        if (InputStreamAt(ost->source_index).get() != &ist) continue;
        // Filters that hold pictures back (deinterlacing, frame rates) give them out now.
        if (ost->graph && ost->input_video_filter) FlushVideoFilters(*ost, ist);
        // In join mode the shared encoders are drained once, at the end of the run.
        if (!FJoinMode) DrainEncoder(*ost);
    }
}

// ---- Progress ----

void TCustomFFmpeg::ReportProgress(bool isLast) {
    TRunState& run = FRun;
    if (run.Table.empty()) return;
    AVFormatContext* oc = OutputFileAt(0).get();
    std::int64_t size = 0;
    if (oc && oc->pb) {
        size = avformat.avio_size(oc->pb);
        if (size < 0) size = WritePosition(oc);
    }
    std::size_t first = 0, count = run.Table.size();
    if (FJoinMode && run.FileIndex >= 0) {
        first = static_cast<std::size_t>(run.FileIndex * run.GroupSize);
        count = std::min(static_cast<std::size_t>(run.GroupSize), run.Table.size() - std::min(first, run.Table.size()));
    }
    int frameNumber = -1, fps = -1;
    float q = -1;
    std::int64_t earliest = INT64_MAX, lastPosition = 0;
    bool videoSeen = false;
    std::string line;
    for (std::size_t pos = first; pos < first + count; ++pos) {
        const TAVOutputStream& ost = *run.Table[pos];
        const AVCodecContext* enc = ost.enc_ctx.get();
        q = !ost.encoding_needed || ost.quality < 0 ? -1.0f : ost.quality / FF_QP2LAMBDA;
        const bool video = ost.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        if (video && videoSeen) line += Format("q=%2.1f ", q);
        if (video && !videoSeen && ost.show_fps) {
            videoSeen = true;
            const double t = static_cast<double>(avutil.av_gettime_relative() - Ftimer_start) / 1000000.0;
            if (ost.frame_number < 1) return;
            frameNumber = ost.frame_number;
            fps = t > 1 ? static_cast<int>(frameNumber / t + 0.5) : 0;
            line += Format("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, q);
            if (isLast) line += "L";
            if (FFileOpts.qp_hist) {
                const int qp = static_cast<int>(std::lround(q));
                if (qp >= 0 && qp < 52) ++GQpHistogram[qp];
                for (int j = 0; j < 32; ++j)
                    line += Format("%X", static_cast<int>(std::lround(std::log2(GQpHistogram[j] + 1))));
            }
            if (enc && (enc->flags & AV_CODEC_FLAG_PSNR)) {
                line += "PSNR=";
                double errorSum = 0, scaleSum = 0;
                const char planes[3] = {'Y', 'U', 'V'};
                for (int j = 0; j < 3; ++j) {
                    const double error = static_cast<double>(isLast ? enc->error[j] : ost.psnr_error[j]);
                    double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
                    if (isLast) scale *= frameNumber;
                    if (j) scale /= 4;
                    errorSum += error;
                    scaleSum += scale;
                    line += Format("%c:%2.2f ", planes[j], -10.0 * std::log10(error / scale));
                }
                line += Format("*:%2.2f ", -10.0 * std::log10(errorSum / scaleSum));
            }
        }
        lastPosition = OutputTimeMicros(ost);
        earliest = std::min(earliest, lastPosition);
    }
    if (earliest == INT64_MAX) earliest = 0;
    if (FOnProgress || FTaskOpts.verbose > 0 || isLast) {
        const std::int64_t seconds = earliest / 1000000;
        const double bitrate = earliest ? static_cast<double>(size) * 8 / (static_cast<double>(earliest) / 1000.0) : 0;
        line += Format("size=%8.0fkB time=%02d:%02d:%02d.%02d bitrate=%6.1fkbits/s", static_cast<double>(size) / 1024,
                       static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                       static_cast<int>(seconds % 60), static_cast<int>(earliest % 1000000 * 100 / 1000000), bitrate);
        if (Fnb_frames_dup || Fnb_frames_drop) {
            line += Format(" dup=%d drop=%d", Fnb_frames_dup, Fnb_frames_drop);
            if (FShowDupOrDrop && FTaskOpts.verbose >= 0 && FOnProgress) {
                FShowDupOrDrop = false;
                FFLogger().Log(this, llVerbose, line);
            }
        }
        if (FOnProgress)
            FOnProgress(this, isLast ? -1 : run.FileIndex, frameNumber, fps, q, bitrate, size, lastPosition,
                        FTotalOutputDuration);
        else if (FTaskOpts.verbose >= 0)
            FFLogger().Log(this, llVerbose, line);
    }
    if (isLast && FTaskOpts.verbose >= 0) {
        const double raw = static_cast<double>(Fvideo_size + Faudio_size + Fextra_size);
        FFLogger().Log(this, llVerbose,
                       "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                       static_cast<double>(Fvideo_size) / 1024, static_cast<double>(Faudio_size) / 1024,
                       static_cast<double>(Fextra_size) / 1024,
                       raw > 0 ? 100.0 * (static_cast<double>(size) - raw) / raw : 0.0);
    }
}

} // namespace engine
