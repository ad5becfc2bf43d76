// The transcode run: the packet loop, dispatch of decoded units and copied
// packets to the output streams, muxing through bitstream filters, join
// mode, the ending and the progress report.
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
            for (int i = 0; i < outputs; ++i) avformat.av_write_trailer(Foutput_files[static_cast<std::size_t>(i)].get());
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
                const TAVInputStream& ist = *Finput_streams[static_cast<std::size_t>(ost->source_index)];
                if (ist.is_past_recording_time || run.NoPacket[static_cast<std::size_t>(ist.file_index)]) continue;
                const double outputTime = static_cast<double>(ost->muxed_end) * av_q2d(ost->st->time_base);
                const double inputTime = static_cast<double>(ist.pts);
                if (!Finput_files[static_cast<std::size_t>(ist.file_index)].eof_reached) {
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
        if (FTaskOpts.limit_filesize && WritePosition(Foutput_files[0].get()) >= FTaskOpts.limit_filesize) break;

        TAVInputFile& file = Finput_files[static_cast<std::size_t>(fileIndex)];
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

        if (FTaskOpts.do_pkt_dump) avformat.av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt, FTaskOpts.do_hex_dump, ic->streams[pkt->stream_index]);
        if (pkt->stream_index >= file.nb_streams) {
            avcodec.av_packet_unref(pkt);
            continue;
        }
        const int index = file.ist_index + pkt->stream_index;
        TAVInputStream& ist = *Finput_streams[static_cast<std::size_t>(index)];
        if (ist.discard) {
            avcodec.av_packet_unref(pkt);
            continue;
        }
        const AVRational tb = ist.st->time_base;
        std::int64_t& offset = Finput_files[static_cast<std::size_t>(fileIndex)].ts_offset;
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
        if (now - run.LastReport > ReportInterval) {
            run.LastReport = now;
            ReportProgress(false);
        }
    }
}

bool TCustomFFmpeg::CutsStart(const TAVInputFile& file) const { return file.seeked || FFileOpts.start_time != 0; }

double TCustomFFmpeg::TsScale(int fileIndex, int streamIndex) const {
    const auto& scales = Finput_files[static_cast<std::size_t>(fileIndex)].ts_scale;
    const auto s = static_cast<std::size_t>(streamIndex);
    return s < scales.size() && scales[s] != 0 ? scales[s] : 1.0;
}

std::int64_t TCustomFFmpeg::CutEnd(const TAVInputFile& file) const {
    if (FFileOpts.recording_time == INT64_MAX) return INT64_MAX;
    return FFileOpts.start_time + FFileOpts.recording_time + file.preroll;
}

void TCustomFFmpeg::ProcessPacket(int fileIndex, int index, AVPacket* pkt) {
    TAVInputStream& ist = *Finput_streams[static_cast<std::size_t>(index)];
    const TAVInputFile& file = Finput_files[static_cast<std::size_t>(fileIndex)];
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

// ---- Where a stream copy of a cut file starts ----

void TCustomFFmpeg::StartHolding() {
    for (int i = 0; i < Fnb_input_files; ++i) {
        TAVInputFile& file = Finput_files[static_cast<std::size_t>(i)];
        file.anchor_index = -1;
        file.holding = false;
        file.anchor_key = AV_NOPTS_VALUE;
        file.held.clear();
        file.held_bytes = 0;
        if (FJoinMode || FTaskOpts.copy_ts || !CutsStart(file)) continue;
        // The shift moves the whole file: only when every output that takes
        // from it copies its pictures (another output would be moved too).
        std::set<int> users, copiers;
        int anchor = -1;
        for (const TAVOutputStream* ost : FRun.Table) {
            const TAVInputStream& ist = *Finput_streams[static_cast<std::size_t>(ost->source_index)];
            if (ist.file_index != i) continue;
            users.insert(ost->file_index);
            if (!ost->encoding_needed && ist.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
                copiers.insert(ost->file_index);
                if (anchor < 0) anchor = ost->source_index;
            }
        }
        if (anchor < 0 || users != copiers) continue;
        file.anchor_index = anchor;
        file.holding = true;
        file.cut_reached = false;
    }
}

namespace {

std::int64_t PacketMicros(const AVPacket* pkt, AVRational tb, bool preferPts) {
    std::int64_t ts = preferPts ? pkt->pts : pkt->dts;
    if (ts == AV_NOPTS_VALUE) ts = preferPts ? pkt->dts : pkt->pts;
    return ts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : avutil.av_rescale_q(ts, tb, AV_TIME_BASE_Q);
}

// Packets held back for a copy's start, at most; past that the copy starts
// at the next key frame after the cut instead.
constexpr std::size_t MaxHeldBytes = 256u << 20;

} // namespace

void TCustomFFmpeg::HoldPacket(int fileIndex, int index, AVPacket* pkt) {
    TAVInputFile& file = Finput_files[static_cast<std::size_t>(fileIndex)];
    const AVRational tb = Finput_streams[static_cast<std::size_t>(index)]->st->time_base;
    const std::int64_t cut = FFileOpts.start_time;
    bool release = false;
    if (index == file.anchor_index) {
        const std::int64_t decodeAt = PacketMicros(pkt, tb, false), showAt = PacketMicros(pkt, tb, true);
        if ((pkt->flags & AV_PKT_FLAG_KEY) && showAt != AV_NOPTS_VALUE && showAt <= cut) {
            // A later key frame at or before the cut: what came before it is not needed.
            file.anchor_key = showAt;
            const std::int64_t keep = showAt - AV_TIME_BASE;  // other streams keep a second for their decoders
            std::erase_if(file.held, [&](const std::pair<int, TAVPacketPtr>& h) {
                if (h.first == file.anchor_index) return true;
                const std::int64_t at = PacketMicros(h.second.get(),
                                                     Finput_streams[static_cast<std::size_t>(h.first)]->st->time_base, true);
                return at != AV_NOPTS_VALUE && at < keep;
            });
            file.held_bytes = 0;
            for (const auto& h : file.held) file.held_bytes += static_cast<std::size_t>(h.second->size);
        }
        release = decodeAt != AV_NOPTS_VALUE && decodeAt > cut;
        file.cut_reached = file.cut_reached || release;
    }
    TAVPacketPtr held(avcodec.av_packet_alloc());
    if (!held) throw std::runtime_error("Could not alloc buffer.");
    avcodec.av_packet_move_ref(held.get(), pkt);
    file.held_bytes += static_cast<std::size_t>(held->size);
    file.held.emplace_back(index, std::move(held));
    if (file.held_bytes > MaxHeldBytes) file.anchor_key = AV_NOPTS_VALUE;  // the next key frame after the cut, then
    if (release || file.held_bytes > MaxHeldBytes) ReleaseHeld(fileIndex);
}

void TCustomFFmpeg::ReleaseHeld(int fileIndex) {
    TAVInputFile& file = Finput_files[static_cast<std::size_t>(fileIndex)];
    if (!file.holding) return;
    file.holding = false;
    // The file's timeline moves so that the key frame lands on the cut: the
    // copy then starts at the output's start, and the end moves with it.
    const std::int64_t shift = file.anchor_key == AV_NOPTS_VALUE ? 0 : std::max<std::int64_t>(0, FFileOpts.start_time - file.anchor_key);
    file.preroll = shift;
    Finput_files[static_cast<std::size_t>(fileIndex)].ts_offset += shift;
    if (shift && FTaskOpts.verbose > 0)
        FFLogger().Log(this, llVerbose, "Input #%d: the copy starts at the key frame %0.3f s before the start", fileIndex,
                       static_cast<double>(shift) / AV_TIME_BASE);
    auto held = std::move(file.held);
    file.held.clear();
    file.held_bytes = 0;
    // A file that ends before the cut has nothing to give.
    if (!file.cut_reached && file.eof_reached) return;
    // Pictures before the key frame were let go when it came.
    for (auto& [index, packet] : held) {
        AVPacket* p = packet.get();
        const AVRational tb = Finput_streams[static_cast<std::size_t>(index)]->st->time_base;
        // Held packets were already scaled ("itsscale"); the shift is scaled with them.
        const std::int64_t shiftTb = std::llround(static_cast<double>(avutil.av_rescale_q(shift, AV_TIME_BASE_Q, tb)) *
                                                  TsScale(fileIndex, p->stream_index));
        if (p->pts != AV_NOPTS_VALUE) p->pts += shiftTb;
        if (p->dts != AV_NOPTS_VALUE) p->dts += shiftTb;
        if (FBroken) break;
        ProcessPacket(fileIndex, index, p);
    }
}

bool TCustomFFmpeg::EndOfJoinedInput(int k) {
    TRunState& run = FRun;
    const bool last = k == Fnb_input_files - 1;
    // The decoders of input k give out what they still hold. The encoders are
    // shared by every group and keep running across the inputs: this library
    // generation cannot reopen a context, and a fresh one would change the
    // stream's parameters in mid-file.
    for (std::size_t i = 0; i < Finput_streams.size(); ++i) {
        TAVInputStream& ist = *Finput_streams[i];
        if (ist.file_index != k || !ist.decoding_needed) continue;
        DispatchInputPacket(ist, static_cast<int>(i), nullptr);
        ist.decoder_flushed = 1;
    }
    for (std::size_t pos = static_cast<std::size_t>((k + 1) * run.GroupSize); pos < run.Table.size(); ++pos) {
        TAVOutputStream& ost = *run.Table[pos];
        TAVOutputStream& previous = *run.Table[pos - static_cast<std::size_t>(run.GroupSize)];
        ost.sync_opts = previous.sync_opts;
        ost.frame_number = previous.frame_number;
        ost.muxed_end = previous.muxed_end;
        ost.packets_muxed = previous.packets_muxed;
        // Samples short of a whole encoder frame carry over to the next input.
        if (static_cast<int>(pos) < (k + 2) * run.GroupSize && previous.fifo && ost.fifo) {
            if (previous.resample) ResampleIntoFifo(previous, nullptr);
            const int left = avutil.av_audio_fifo_size(previous.fifo.get());
            if (left > 0) {
                TAVFramePtr carry(avutil.av_frame_alloc());
                AVCodecContext* enc = previous.enc_ctx.get();
                carry->nb_samples = left;
                carry->format = enc->sample_fmt;
                avutil.av_channel_layout_copy(&carry->ch_layout, &enc->ch_layout);
                if (avutil.av_frame_get_buffer(carry.get(), 0) < 0) throw std::runtime_error("Could not alloc buffer.");
                avutil.av_audio_fifo_read(previous.fifo.get(), reinterpret_cast<void**>(carry->extended_data), left);
                avutil.av_audio_fifo_write(ost.fifo.get(), reinterpret_cast<void**>(carry->extended_data), left);
            }
        }
    }
    // The next input starts where the pictures end when the sound goes on
    // past them only by its encoder's padding (it would push the next input
    // a picture late); sound that really runs longer sets the seam.
    double largest = 0, pictures = -1, padding = 0;
    if (!last) {
        for (int pos = k * run.GroupSize; pos < (k + 1) * run.GroupSize; ++pos) {
            TAVOutputStream& ost = *run.Table[static_cast<std::size_t>(pos)];
            // Encoded streams end where their encoder input ends (packets may
            // still wait inside the encoder); copied ones where the muxer is.
            double end = static_cast<double>(ost.muxed_end) * av_q2d(ost.st->time_base);
            if (ost.encoding_needed && ost.enc_ctx) {
                const std::int64_t waiting = ost.fifo ? avutil.av_audio_fifo_size(ost.fifo.get()) : 0;
                end = static_cast<double>(ost.sync_opts + waiting) * av_q2d(ost.enc_ctx->time_base);
            }
            largest = std::max(largest, end);
            if (ost.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) pictures = std::max(pictures, end);
            if (ost.encoding_needed && ost.enc_ctx && ost.enc_ctx->codec_type == AVMEDIA_TYPE_AUDIO &&
                ost.enc_ctx->sample_rate > 0)
                padding = std::max(padding, static_cast<double>(std::max(ost.enc_ctx->frame_size, 1)) /
                                                ost.enc_ctx->sample_rate);
            ost.show_fps = 0;
        }
        if (pictures >= 0 && largest - pictures <= padding + 0.001) largest = pictures;
    }
    if (last) return false;
    Finput_files[static_cast<std::size_t>(k + 1)].ts_offset += std::llround(1000000.0 * largest);
    run.FileIndex = k + 1;
    return true;
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
        for (std::size_t pos = run.Table.size() - static_cast<std::size_t>(run.GroupSize); pos < run.Table.size(); ++pos)
            DrainEncoder(*run.Table[pos]);
    const int outputs = FJoinMode ? std::min(Fnb_output_files, 1) : Fnb_output_files;
    run.TrailersWritten = true;
    std::string trailerError;
    for (int i = 0; i < outputs; ++i) {
        AVFormatContext* oc = Foutput_files[static_cast<std::size_t>(i)].get();
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
                                  Foutput_files[static_cast<std::size_t>(i)]->url);
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
        const TAVInputFile& file = Finput_files[static_cast<std::size_t>(ist.file_index)];
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
    if (subtitle && CutsStart(Finput_files[static_cast<std::size_t>(ist.file_index)]) && ist.pts < FFileOpts.start_time) return;
    for (TAVOutputStream* ost : FRun.Table) {
        if (Finput_streams[static_cast<std::size_t>(ost->source_index)].get() != &ist) continue;
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
                EncodeSubtitle(OutputContext(*ost), *ost, ist, subtitle, pkt ? pkt->pts : AV_NOPTS_VALUE);
            break;
        default:
            RaiseFF("invalid codec_type");
        }
    }
}

// ---- Stream copy and muxing ----

void TCustomFFmpeg::CopyPacket(TAVOutputStream& ost, TAVInputStream& ist, const AVPacket* pkt) {
    const std::int64_t startOffset = avutil.av_rescale_q(FFileOpts.start_time, AV_TIME_BASE_Q, ost.st->time_base);
    const TAVInputFile& file = Finput_files[static_cast<std::size_t>(ist.file_index)];
    if (CutsStart(file)) {
        // Shown before the start: not copied (a copy's key frame was moved onto the start).
        const std::int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (ts != AV_NOPTS_VALUE && avutil.av_compare_ts(ts, ist.st->time_base, FFileOpts.start_time, AV_TIME_BASE_Q) < 0) return;
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
    MuxPacket(OutputContext(ost), opkt, ost);
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
    if (pkt->dts != AV_NOPTS_VALUE && ost.last_mux_dts != AV_NOPTS_VALUE && !(oc->oformat->flags & AVFMT_NOTIMESTAMPS)) {
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

// ---- Draining ----

void TCustomFFmpeg::DrainEncoders(TAVInputStream& ist) {
    for (TAVOutputStream* ost : FRun.Table) {
        if (Finput_streams[static_cast<std::size_t>(ost->source_index)].get() != &ist) continue;
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
    AVFormatContext* oc = Foutput_files[0].get();
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
