// Each input's timeline in the run: where a cut starts and ends, the time
// scale, the packets of a cut stream copy held until its key frame is known,
// and the next file's offset when joined inputs follow one another.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"

#include <cmath>

namespace engine {

using namespace avbind;

bool TCustomFFmpeg::CutsStart(const TAVInputFile& file) const { return file.seeked || FFileOpts.start_time != 0; }

double TCustomFFmpeg::TsScale(int fileIndex, int streamIndex) const {
    const auto& scales = InputFileAt(fileIndex).ts_scale;
    const auto s = static_cast<std::size_t>(streamIndex);
    return s < scales.size() && scales[s] != 0 ? scales[s] : 1.0;
}

std::int64_t TCustomFFmpeg::CutEnd(const TAVInputFile& file) const {
    if (FFileOpts.recording_time == INT64_MAX) return INT64_MAX;
    return FFileOpts.start_time + FFileOpts.recording_time + file.preroll;
}


// ---- Where a stream copy of a cut file starts ----

void TCustomFFmpeg::StartHolding() {
    for (int i = 0; i < Fnb_input_files; ++i) {
        TAVInputFile& file = InputFileAt(i);
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
            const TAVInputStream& ist = *InputStreamAt(ost->source_index);
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
    TAVInputFile& file = InputFileAt(fileIndex);
    const AVRational tb = InputStreamAt(index)->st->time_base;
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
                                                     InputStreamAt(h.first)->st->time_base, true);
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
    TAVInputFile& file = InputFileAt(fileIndex);
    if (!file.holding) return;
    file.holding = false;
    // The file's timeline moves so that the key frame lands on the cut: the
    // copy then starts at the output's start, and the end moves with it.
    const std::int64_t shift =
        file.anchor_key == AV_NOPTS_VALUE ? 0 : std::max<std::int64_t>(0, FFileOpts.start_time - file.anchor_key);
    file.preroll = shift;
    InputFileAt(fileIndex).ts_offset += shift;
    if (shift && FTaskOpts.verbose > 0)
        FFLogger().Log(this, llVerbose, "Input #%d: the copy starts at the key frame %0.3f s before the start",
                       fileIndex, static_cast<double>(shift) / AV_TIME_BASE);
    auto held = std::move(file.held);
    file.held.clear();
    file.held_bytes = 0;
    // A file that ends before the cut has nothing to give.
    if (!file.cut_reached && file.eof_reached) return;
    // Pictures before the key frame were let go when it came.
    for (auto& [index, packet] : held) {
        AVPacket* p = packet.get();
        const AVRational tb = InputStreamAt(index)->st->time_base;
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
    InputFileAt(k + 1).ts_offset += std::llround(1000000.0 * largest);
    run.FileIndex = k + 1;
    return true;
}

} // namespace engine
