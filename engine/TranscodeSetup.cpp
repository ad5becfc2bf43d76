// The transcode set-up: the output stream table, stream-copy and encoding
// parameters, the video filter graph, two-pass files, codec opening,
// metadata and chapters, headers and the stream mapping; and the run's
// clean-up.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"

#include <cmath>
#include <cstring>
#include <cstdlib>

namespace engine {

using namespace avbind;
using avhelpers::GetMediaTypeName;

namespace {

struct TFilterPiece {
    std::string Text;  // as written
    std::string Name;  // before '=', trimmed
    std::string Args;  // after '='
};

// The filters of a plain chain, split at the commas outside quotes and
// escapes. A description with labels or several chains comes back whole as
// one piece: only the library can build it.
std::vector<TFilterPiece> SplitFilterChain(const std::string& text) {
    std::vector<std::string> parts(1);
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '\\' && i + 1 < text.size()) {
            parts.back() += ch;
            parts.back() += text[++i];
        } else if (quote) {
            parts.back() += ch;
            if (ch == quote) quote = 0;
        } else if (ch == '\'') {
            quote = ch;
            parts.back() += ch;
        } else if (ch == '[' || ch == ';') {
            return {TFilterPiece{text, {}, {}}};
        } else if (ch == ',') {
            parts.emplace_back();
        } else {
            parts.back() += ch;
        }
    }
    std::vector<TFilterPiece> pieces;
    for (const std::string& part : parts) {
        if (part.find_first_not_of(" \t\r\n") == std::string::npos) continue;
        const std::size_t eq = part.find('=');
        std::string name = part.substr(0, eq);
        name.erase(0, name.find_first_not_of(" \t\r\n"));
        name.erase(name.find_last_not_of(" \t\r\n") + 1);
        pieces.push_back({part, name, eq == std::string::npos ? std::string() : part.substr(eq + 1)});
    }
    return pieces;
}

// This generation no longer counts probed frames: a stream counts as probed
// once the library found its essential parameters.
int ProbedFrames(const TAVInputStream& ist) {
    const AVCodecParameters* par = ist.st->codecpar;
    switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO: return par->width > 0 && par->height > 0 ? 1 : 0;
    case AVMEDIA_TYPE_AUDIO: return par->sample_rate > 0 && par->ch_layout.nb_channels > 0 ? 1 : 0;
    default: return par->codec_id != AV_CODEC_ID_NONE ? 1 : 0;
    }
}

AVMediaType TypeOf(const TAVOutputStream& ost) { return ost.st->codecpar->codec_type; }

// The stream's side data (display matrix, mastering display, ...) goes with it.
void CopySideData(const AVStream* from, AVStream* to, bool displayMatrixOnly) {
    for (int i = 0; i < from->nb_side_data; ++i) {
        const AVPacketSideData& data = from->side_data[i];
        if (displayMatrixOnly && data.type != AV_PKT_DATA_DISPLAYMATRIX) continue;
        std::uint8_t* copy = avformat.av_stream_new_side_data(to, data.type, data.size);
        if (!copy) throw std::runtime_error("Could not alloc buffer.");
        std::memcpy(copy, data.data, data.size);
    }
}

bool InProgram(const AVFormatContext* ic, int programId, int streamIndex) {
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
        const AVProgram* program = ic->programs[p];
        if (program->id != programId) continue;
        for (unsigned j = 0; j < program->nb_stream_indexes; ++j)
            if (static_cast<int>(program->stream_index[j]) == streamIndex) return true;
    }
    return false;
}

} // namespace

[[noreturn]] void TCustomFFmpeg::SetupError(const std::string& message) {
    DumpStreamMapping();
    FFLogger().Log(this, llError, message);
    throw FFmpegException(message);
}

bool TCustomFFmpeg::EligibleForMapping(const TAVInputStream& ist) const {
    if (ist.discard != 1 || ist.st->discard == AVDISCARD_ALL) return false;
    if (FFileOpts.opt_programid == 0) return true;
    const AVFormatContext* ic = Finput_files[static_cast<std::size_t>(ist.file_index)].ctx.get();
    return InProgram(ic, FFileOpts.opt_programid, ist.st->index);
}

// ---- Stream table ----

void TCustomFFmpeg::SetupStreamTable() {
    TRunState& run = FRun;
    run.NoPacket.assign(static_cast<std::size_t>(FMaxFiles), 0);
    run.NoPacketCount = 0;
    for (int t = 0; t < AVMEDIA_TYPE_NB; ++t) run.TypeCount[t] = run.Threshold[t] = 0;
    if (FTaskOpts.rate_emu) {
        const std::int64_t now = avutil.av_gettime_relative();
        for (auto& ist : Finput_streams) ist->start = now;
    }

    std::size_t total = 0;
    for (int i = 0; i < Fnb_output_files; ++i) {
        AVFormatContext* oc = Foutput_files[static_cast<std::size_t>(i)].get();
        if (oc->nb_streams == 0 && !(oc->oformat->flags & AVFMT_NOSTREAMS)) {
            avformat.av_dump_format(oc, i, oc->url, 1);
            RaiseFF("Output file #%d does not contain any stream", i);
        }
        total += Foutput_streams_for_file[static_cast<std::size_t>(i)].size();
    }
    run.GroupSize = static_cast<int>(Foutput_streams_for_file[0].size());

    if (!FTaskOpts.stream_maps.empty() && FTaskOpts.stream_maps.size() != total)
        RaiseFF("Number of stream maps must match number of output streams");
    for (const TAVStreamMap& m : FTaskOpts.stream_maps) {
        auto valid = [&](int file, int stream) {
            return file >= 0 && file < Fnb_input_files && stream >= 0 &&
                   stream < Finput_files[static_cast<std::size_t>(file)].nb_streams;
        };
        if (!valid(m.file_index, m.stream_index))
            RaiseFF("Could not find input stream #%d.%d", m.file_index, m.stream_index);
        if (!valid(m.sync_file_index, m.sync_stream_index))
            RaiseFF("Could not find sync stream #%d.%d", m.sync_file_index, m.sync_stream_index);
    }

    run.Table.clear();
    run.Table.reserve(total);
    for (int i = 0; i < Fnb_output_files; ++i)
        for (auto& ost : Foutput_streams_for_file[static_cast<std::size_t>(i)]) {
            run.Table.push_back(ost.get());
            ++run.TypeCount[TypeOf(*ost)];
        }

    if (FTaskOpts.stream_maps.empty()) ComputeProbeThresholds();

    int n = 0;
    for (int i = 0; i < Fnb_output_files; ++i) {
        AVFormatContext* oc = Foutput_files[static_cast<std::size_t>(i)].get();
        for (auto& ost : Foutput_streams_for_file[static_cast<std::size_t>(i)]) {
            ost->st = oc->streams[ost->index];
            TAVInputStream* sync = nullptr;
            if (!FTaskOpts.stream_maps.empty()) {
                const TAVStreamMap& m = FTaskOpts.stream_maps[static_cast<std::size_t>(n)];
                ost->source_index = Finput_files[static_cast<std::size_t>(m.file_index)].ist_index + m.stream_index;
                const TAVInputStream& source = *Finput_streams[static_cast<std::size_t>(ost->source_index)];
                if (source.st->codecpar->codec_type != TypeOf(*ost)) {
                    avformat.av_dump_format(oc, i, oc->url, 1);
                    RaiseFF("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", m.file_index, m.stream_index,
                            GetMediaTypeName(source.st->codecpar->codec_type).c_str(), i, ost->index,
                            GetMediaTypeName(TypeOf(*ost)).c_str());
                }
                sync = Finput_streams[static_cast<std::size_t>(
                                          Finput_files[static_cast<std::size_t>(m.sync_file_index)].ist_index +
                                          m.sync_stream_index)]
                           .get();
            } else {
                ChooseSource(*ost, i, n);
            }
            TAVInputStream& source = *Finput_streams[static_cast<std::size_t>(ost->source_index)];
            source.discard = 0;
            ost->sync_ist = sync ? sync : &source;
            ost->show_fps = 1;
            ++n;
        }
    }

    for (std::size_t pos = 0; pos < run.Table.size(); ++pos) {
        TAVOutputStream& ost = *run.Table[pos];
        TAVInputStream& ist = *Finput_streams[static_cast<std::size_t>(ost.source_index)];
        AVFormatContext* oc = OutputContext(ost);
        if (FTaskOpts.metadata_streams_autocopy)
            avutil.av_dict_copy(&ost.st->metadata, ist.st->metadata, AV_DICT_DONT_OVERWRITE);
        ost.st->disposition = ist.st->disposition;
        ost.enc_ctx->bits_per_raw_sample = ist.dec_ctx->bits_per_raw_sample;
        ost.enc_ctx->chroma_sample_location = ist.dec_ctx->chroma_sample_location;
        if (ost.stream_copy)
            SetupStreamCopy(ost, ist, oc);
        else
            SetupEncoding(ost, ist, oc, static_cast<int>(pos));
    }
}

void TCustomFFmpeg::ComputeProbeThresholds() {
    TRunState& run = FRun;
    for (int step = 1 << 30; step; step >>= 1) {
        int found[AVMEDIA_TYPE_NB] = {};
        for (int t = 0; t < AVMEDIA_TYPE_NB; ++t) run.Threshold[t] += step;
        for (const auto& ist : Finput_streams) {
            const int t = ist->st->codecpar->codec_type;
            if (t >= 0 && t < AVMEDIA_TYPE_NB && EligibleForMapping(*ist) && ProbedFrames(*ist) >= run.Threshold[t])
                ++found[t];
        }
        for (int t = 0; t < AVMEDIA_TYPE_NB; ++t)
            if (found[t] < run.TypeCount[t]) run.Threshold[t] -= step;
    }
}

void TCustomFFmpeg::ChooseSource(TAVOutputStream& ost, int fileIndex, int position) {
    const AVMediaType type = TypeOf(ost);
    const bool join = FJoinMode;
    int chosen = -1;
    for (std::size_t j = 0; j < Finput_streams.size() && chosen < 0; ++j) {
        TAVInputStream& ist = *Finput_streams[j];
        if (ist.st->codecpar->codec_type != type || !EligibleForMapping(ist) ||
            ProbedFrames(ist) < FRun.Threshold[type])
            continue;
        if (join && (ist.file_index != fileIndex || ist.used)) continue;
        chosen = static_cast<int>(j);
        if (join) ist.used = 1;
    }
    if (chosen < 0 && FFileOpts.opt_programid == 0) {
        for (std::size_t j = 0; j < Finput_streams.size(); ++j) {
            TAVInputStream& ist = *Finput_streams[j];
            if (ist.st->codecpar->codec_type != type || ist.st->discard == AVDISCARD_ALL) continue;
            if (join) {
                if (ist.file_index != fileIndex || ist.used) continue;
                chosen = static_cast<int>(j);
                ist.used = 1;
                break;
            }
            chosen = static_cast<int>(j);  // outside join mode the last one wins
        }
    }
    if (chosen < 0) {
        AVFormatContext* oc = OutputContext(ost);
        avformat.av_dump_format(oc, fileIndex, oc->url, 1);
        RaiseFF("Could not find input stream matching output stream #%d.%d (%s)", fileIndex, ost.index,
                GetMediaTypeName(type).c_str());
    }
    (void)position;
    ost.source_index = chosen;
}

// ---- Stream copy ----

void TCustomFFmpeg::SetupStreamCopy(TAVOutputStream& ost, TAVInputStream& ist, AVFormatContext* oc) {
    const AVCodecParameters* in = ist.st->codecpar;
    if (static_cast<std::int64_t>(in->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE > INT_MAX)
        RaiseFF("icodec.extradata_size is invalid (too large)");
    const unsigned forcedTag = ost.enc_ctx->codec_tag;
    AVCodecParameters* out = ost.st->codecpar;
    if (avcodec.avcodec_parameters_copy(out, in) < 0) RaiseFF("av_mallocz fail");

    // The input's tag survives only where the output container agrees with it.
    unsigned tag = forcedTag;
    if (!tag) {
        const AVCodecTag* const* table = oc->oformat->codec_tag;
        unsigned probeTag = 0;
        if (!table || avformat.av_codec_get_id(table, in->codec_tag) == in->codec_id ||
            !avformat.av_codec_get_tag2(table, in->codec_id, &probeTag))
            tag = in->codec_tag;
    }
    out->codec_tag = tag;

    // A coarse codec time base beats a container's very fine one.
    const AVRational istTb = ist.st->time_base;
    const AVRational codecTb = ist.st->r_frame_rate.num && ist.st->r_frame_rate.den
                                   ? av_inv_q(ist.st->r_frame_rate)
                                   : AVRational{0, 1};
    if (!FTaskOpts.copy_tb && codecTb.num && av_q2d(codecTb) > av_q2d(istTb) && av_q2d(istTb) < 1.0 / 500)
        ost.st->time_base = codecTb;
    else
        ost.st->time_base = istTb;
    ost.enc_ctx->time_base = ost.st->time_base;
    ost.enc_ctx->codec_type = in->codec_type;
    ost.enc_ctx->codec_id = in->codec_id;
    // Muxers read the rates of copied streams too (a timecode track's frame rate).
    ost.st->avg_frame_rate = ist.st->avg_frame_rate;
    ost.st->r_frame_rate = ist.st->r_frame_rate;

    switch (in->codec_type) {
    case AVMEDIA_TYPE_VIDEO: {
        if (FOnInputVideoHook || FOnOutputVideoHook)
            RaiseFF("-vcodec copy and VideoHook are incompatible (frames are not decoded)");
        if (FOnInputFrameHook || FOnOutputFrameHook)
            RaiseFF("-vcodec copy and FrameHook are incompatible (frames are not decoded)");
        if (Fusing_vhook) RaiseFF("-vcodec copy and -vhook are incompatible (frames are not decoded)");
        if (!PostHooks().empty()) RaiseFF("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
        AVRational sar = ost.enc_ctx->sample_aspect_ratio;
        if (!sar.num) {
            sar = ist.st->sample_aspect_ratio.num ? ist.st->sample_aspect_ratio
                  : in->sample_aspect_ratio.num   ? in->sample_aspect_ratio
                                                  : AVRational{0, 1};
        }
        out->sample_aspect_ratio = sar;
        ost.st->sample_aspect_ratio = sar;
        break;
    }
    case AVMEDIA_TYPE_AUDIO:
        if (FTaskOpts.audio_volume != 256) RaiseFF("-acodec copy and -vol are incompatible (frames are not decoded)");
        if (FOnAudioHook) RaiseFF("-acodec copy and AudioHook are incompatible (frames are not decoded)");
        if ((out->block_align == 1 && out->codec_id == AV_CODEC_ID_MP3) || out->codec_id == AV_CODEC_ID_AC3)
            out->block_align = 0;
        break;
    case AVMEDIA_TYPE_DATA:
    case AVMEDIA_TYPE_SUBTITLE:
    case AVMEDIA_TYPE_ATTACHMENT:
        break;
    default:
        RaiseFF("invalid codec_type of output stream");
    }
    CopySideData(ist.st, ost.st, false);
}

// ---- Encoding ----

void TCustomFFmpeg::PickEncoderSampleRate(AVCodecContext* ctx, const AVCodec* enc) {
    if (!enc || !enc->supported_samplerates) return;
    int best = enc->supported_samplerates[0];
    int bestDistance = std::abs(best - ctx->sample_rate);
    for (const int* p = enc->supported_samplerates; *p; ++p) {
        const int distance = std::abs(*p - ctx->sample_rate);
        if (distance < bestDistance) {
            best = *p;
            bestDistance = distance;
        }
    }
    if (bestDistance)
        FFLogger().Log(this, llWarning, "Requested sampling rate unsupported using closest supported (%d)", best);
    ctx->sample_rate = best;
}

void TCustomFFmpeg::SetupEncoding(TAVOutputStream& ost, TAVInputStream& ist, AVFormatContext* oc, int position) {
    AVCodecContext* enc = ost.enc_ctx.get();
    AVCodecContext* dec = ist.dec_ctx.get();
    if (!ost.enc) ost.enc = avcodec.avcodec_find_encoder(enc->codec_id);
    switch (enc->codec_type) {
    case AVMEDIA_TYPE_AUDIO: {
        if (!enc->sample_rate) enc->sample_rate = dec->lowres ? dec->sample_rate >> dec->lowres : dec->sample_rate;
        PickEncoderSampleRate(enc, ost.enc);
        enc->time_base = AVRational{1, enc->sample_rate};
        if (!enc->ch_layout.nb_channels) avutil.av_channel_layout_copy(&enc->ch_layout, &dec->ch_layout);
        if (enc->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || enc->ch_layout.order == AV_CHANNEL_ORDER_NATIVE) {
            // A layout that names another channel count than wanted is dropped for the default one.
            const int channels = enc->ch_layout.nb_channels;
            if (enc->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
                avutil.av_channel_layout_uninit(&enc->ch_layout);
                avutil.av_channel_layout_default(&enc->ch_layout, channels);
            }
        }
        if (enc->sample_fmt == AV_SAMPLE_FMT_NONE) {
            enc->sample_fmt = dec->sample_fmt;
            PickEncoderSampleFormat(enc, ost.enc);
        }
        ost.audio_resample = enc->sample_rate != dec->sample_rate || FTaskOpts.audio_sync_method > 1;
        ost.reformat_pair = -6;
        ist.decoding_needed = 1;
        ost.encoding_needed = 1;
        ost.resample_sample_fmt = dec->sample_fmt;
        ost.resample_sample_rate = dec->sample_rate;
        ost.resample_channels = dec->ch_layout.nb_channels;
        ost.fifo.reset(avutil.av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024));
        if (!ost.fifo) RaiseFF("av_fifo_alloc fail");
        break;
    }
    case AVMEDIA_TYPE_VIDEO: {
        if (enc->pix_fmt == AV_PIX_FMT_NONE) enc->pix_fmt = dec->pix_fmt;
        PickEncoderPixelFormat(enc, ost.enc);
        if (enc->pix_fmt == AV_PIX_FMT_NONE) RaiseFF("Video pixel format is unknown, stream cannot be encoded");
        if (!enc->width || !enc->height) {
            enc->width = dec->width;
            enc->height = dec->height;
        }
        ost.video_resample = enc->width != dec->width || enc->height != dec->height || enc->pix_fmt != dec->pix_fmt;
        if (ost.video_resample) enc->bits_per_raw_sample = FFileOpts.frame_bits_per_raw_sample;
        ost.resample_width = dec->width;
        ost.resample_height = dec->height;
        ost.resample_pix_fmt = dec->pix_fmt;
        ost.encoding_needed = 1;
        ist.decoding_needed = 1;
        if (!ost.frame_rate.num)
            ost.frame_rate = ist.st->r_frame_rate.num ? ist.st->r_frame_rate : AVRational{25, 1};
        if (ost.enc && ost.enc->supported_framerates && !FTaskOpts.force_fps) {
            const int idx = avutil.av_find_nearest_q_idx(ost.frame_rate, ost.enc->supported_framerates);
            ost.frame_rate = ost.enc->supported_framerates[idx];
        }
        enc->time_base = AVRational{ost.frame_rate.den, ost.frame_rate.num};
        enc->framerate = ost.frame_rate;
        if (av_q2d(enc->time_base) < 0.001 && FTaskOpts.video_sync_method &&
            (FTaskOpts.video_sync_method == 1 || (FTaskOpts.video_sync_method < 0 && !(oc->oformat->flags & AVFMT_VARIABLE_FPS))))
            avutil.av_log(oc, AV_LOG_WARNING,
                          "Frame rate very high for a muxer not effciciently supporting it.\n"
                          "Please consider specifiying a lower framerate, a different muxer or -vsync 2\n");
        FLastErrMsg.clear();
        // Pictures a camera stored turned are turned upright before the user's
        // filters, after deinterlacing (fields are rows).
        const std::string upright = UprightFilters(ist);
        if (!upright.empty()) ost.avfilter = ost.avfilter.empty() ? upright : upright + "," + ost.avfilter;
        // Deinterlacing is a filter in this library generation; it runs first in
        // the stream's graph, which keeps the pictures' timing right.
        if (FFileOpts.do_deinterlace) ost.avfilter = ost.avfilter.empty() ? "yadif=deint=all" : "yadif=deint=all," + ost.avfilter;
        ost.turned = upright.find("transpose") != std::string::npos;
        // Pictures left as stored keep the matrix, so players still turn them.
        if (upright.empty()) CopySideData(ist.st, ost.st, true);
        if (FTaskOpts.enable_filter || !ost.avfilter.empty()) {
            if (BuildVideoFilterGraph(ist, ost) < 0) {
                FLastErrMsg = FLastErrMsg.empty() ? "Error opening filters!" : "Error opening filters: " + FLastErrMsg;
                throw FFmpegException(FLastErrMsg);
            }
        } else {
            // The display aspect stays unless asked otherwise, whatever the size.
            if (ost.frame_aspect_ratio != 0)
                enc->sample_aspect_ratio = avutil.av_d2q(ost.frame_aspect_ratio * enc->height / enc->width, 255);
            else
                enc->sample_aspect_ratio = ScaledAspect(InputAspect(ist), dec->width, dec->height, enc->width, enc->height);
            ost.st->sample_aspect_ratio = enc->sample_aspect_ratio;
        }
        break;
    }
    case AVMEDIA_TYPE_SUBTITLE:
        ost.encoding_needed = 1;
        ist.decoding_needed = 1;
        enc->time_base = AV_TIME_BASE_Q;
        enc->width = dec->width;
        enc->height = dec->height;
        break;
    default:
        RaiseFF("invalid codec_type of output stream");
    }
    if (ost.encoding_needed && enc->codec_id != AV_CODEC_ID_H264 &&
        (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)))
        SetupTwoPass(ost, position);
}

AVRational TCustomFFmpeg::InputAspect(const TAVInputStream& ist) const {
    const AVRational sar = ist.st->sample_aspect_ratio.num ? ist.st->sample_aspect_ratio
                                                           : ist.dec_ctx->sample_aspect_ratio;
    return sar.num > 0 && sar.den > 0 ? sar : AVRational{0, 1};
}

AVRational TCustomFFmpeg::ScaledAspect(AVRational sar, int fromWidth, int fromHeight, int toWidth, int toHeight) {
    if (!sar.num || fromWidth <= 0 || fromHeight <= 0 || toWidth <= 0 || toHeight <= 0) return sar;
    AVRational scaled{0, 1};
    avutil.av_reduce(&scaled.num, &scaled.den, static_cast<std::int64_t>(sar.num) * toHeight * fromWidth,
                     static_cast<std::int64_t>(sar.den) * toWidth * fromHeight, INT_MAX);
    return scaled;
}

std::string TCustomFFmpeg::UprightFilters(const TAVInputStream& ist) {
    if (!Finput_files[static_cast<std::size_t>(ist.file_index)].autorotate) return {};
    const double degrees = avhelpers::DisplayRotation(ist.st);
    if (degrees == 0) return {};
    if (std::fabs(degrees - 90) < 1) return "transpose=clock";
    if (std::fabs(degrees - 180) < 1) return "hflip,vflip";
    if (std::fabs(degrees - 270) < 1) return "transpose=cclock";
    FFLogger().Log(this, llWarning, "Input stream #%d.%d is turned by %.0f degrees; only quarter turns are undone",
                   ist.file_index, ist.st->index, degrees);
    return {};
}

void TCustomFFmpeg::SetupTwoPass(TAVOutputStream& ost, int position) {
    std::string name = (FTaskOpts.pass_logfilename_prefix.empty() ? std::string("ffmpeg2pass") : FTaskOpts.pass_logfilename_prefix) +
                       "-" + std::to_string(position) + ".log";
    if (name.size() > 1023) name.resize(1023);
    AVCodecContext* enc = ost.enc_ctx.get();
    if (enc->flags & AV_CODEC_FLAG_PASS1) {
        ost.logfile.reset(std::fopen(name.c_str(), "wb"));
        if (!ost.logfile) RaiseFF("Cannot write log file %s for pass-1 encoding", name.c_str());
    } else {
        TAVBufferPtr buffer;
        std::size_t size = 0;
        const int ret = avhelpers::ReadWholeFile(name, buffer, size);
        if (ret == -12)
            RaiseFF("Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding", name.c_str());
        if (ret < 0) RaiseFF("Cannot read file: Error reading log file \"%s\" for pass-2 encoding", name.c_str());
        // The encoder frees its statistics input with the library allocator.
        avutil.av_freep(&enc->stats_in);
        enc->stats_in = reinterpret_cast<char*>(buffer.release());
    }
}

int TCustomFFmpeg::BuildFilterPiece(TAVFilterGraphPtr& graph, AVFilterContext*& src, AVFilterContext*& sink,
                                    const std::string& srcArgs, const int* sinkFormats, int scaleWidth,
                                    int scaleHeight, const std::string& description, int swsFlags) {
    graph.reset(avfilter.avfilter_graph_alloc());
    if (!graph) return AVERROR(ENOMEM);
    int ret = avfilter.avfilter_graph_create_filter(&src, avfilter.avfilter_get_by_name("buffer"), "src",
                                                    srcArgs.c_str(), nullptr, graph.get());
    if (ret < 0) return ret;
    ret = avfilter.avfilter_graph_create_filter(&sink, avfilter.avfilter_get_by_name("buffersink"), "out", nullptr,
                                                nullptr, graph.get());
    if (ret < 0) return ret;
    int formats = 0;
    while (sinkFormats[formats] != AV_PIX_FMT_NONE) ++formats;
    ret = avutil.av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const std::uint8_t*>(sinkFormats),
                                formats * static_cast<int>(sizeof *sinkFormats), AV_OPT_SEARCH_CHILDREN);
    if (ret < 0) return ret;

    AVFilterContext* last = src;
    if (scaleWidth) {
        AVFilterContext* scale = nullptr;
        const std::string args = Format("%d:%d:flags=0x%X", scaleWidth, scaleHeight, swsFlags);
        ret = avfilter.avfilter_graph_create_filter(&scale, avfilter.avfilter_get_by_name("scale"), nullptr,
                                                    args.c_str(), nullptr, graph.get());
        if (ret < 0) return ret;
        if ((ret = avfilter.avfilter_link(last, 0, scale, 0)) < 0) return ret;
        last = scale;
    }
    avutil.av_freep(&graph->scale_sws_opts);
    graph->scale_sws_opts = avutil.av_strdup(Format("flags=0x%X", swsFlags).c_str());

    if (!description.empty()) {
        AVFilterInOut* outputs = avfilter.avfilter_inout_alloc();
        AVFilterInOut* inputs = avfilter.avfilter_inout_alloc();
        if (!outputs || !inputs) {
            avfilter.avfilter_inout_free(&outputs);
            avfilter.avfilter_inout_free(&inputs);
            return AVERROR(ENOMEM);
        }
        outputs->name = avutil.av_strdup("in");
        outputs->filter_ctx = last;
        outputs->pad_idx = 0;
        inputs->name = avutil.av_strdup("out");
        inputs->filter_ctx = sink;
        inputs->pad_idx = 0;
        ret = avfilter.avfilter_graph_parse_ptr(graph.get(), description.c_str(), &inputs, &outputs, nullptr);
        avfilter.avfilter_inout_free(&inputs);
        avfilter.avfilter_inout_free(&outputs);
        if (ret < 0) return ret;
    } else if ((ret = avfilter.avfilter_link(last, 0, sink, 0)) < 0) {
        return ret;
    }
    return avfilter.avfilter_graph_config(graph.get(), nullptr);
}

int TCustomFFmpeg::BuildVideoFilterGraph(TAVInputStream& ist, TAVOutputStream& ost, const AVFrame* from) {
    AVCodecContext* dec = ist.dec_ctx.get();
    AVCodecContext* enc = ost.enc_ctx.get();
    AVRational sar = from && from->sample_aspect_ratio.num ? from->sample_aspect_ratio : InputAspect(ist);
    const int inWidth = from ? from->width : dec->width, inHeight = from ? from->height : dec->height;
    const int inFormat = from ? from->format : static_cast<int>(dec->pix_fmt);
    // The graph is told the pictures' average rate when the file knows a
    // plausible one, so a filter that changes it (yadif=1, fps) says so at
    // its end; a rate only declared (an ASF's 1000 fps clock) is not passed.
    const AVRational avg = ist.st->avg_frame_rate;
    ost.graph_in_rate = avg.num > 0 && avg.den > 0 && av_q2d(avg) <= 1000 ? avg : AVRational{0, 1};
    const std::string rateArg =
        ost.graph_in_rate.num ? Format(":frame_rate=%d/%d", ost.graph_in_rate.num, ost.graph_in_rate.den) : "";
    std::string srcArgs = Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", inWidth, inHeight,
                                 inFormat, AV_TIME_BASE, sar.num, sar.den ? sar.den : 1) +
                          rateArg;
    // The size asked for with "s" is applied first, before the user's filters
    // (and so before a quarter turn, which swaps it).
    if (!from) {
        ost.scale_first = enc->width != dec->width || enc->height != dec->height;
        ost.scale_width = ost.turned ? enc->height : enc->width;
        ost.scale_height = ost.turned ? enc->width : enc->height;
        ost.filter_description = std::move(ost.avfilter);
        ost.avfilter.clear();
    }
    bool scaleFirst = ost.scale_first;
    const int scaleWidth = ost.scale_width, scaleHeight = ost.scale_height;
    // The encoder is open once pictures flow: a graph made again for pictures
    // of another shape still ends in its size.
    std::string description = ost.filter_description;
    if (from) description += Format("%sscale=%d:%d", description.empty() ? "" : ",", enc->width, enc->height);
    ost.graph_in_width = inWidth;
    ost.graph_in_height = inHeight;
    ost.graph_in_format = inFormat;
    ost.filter_steps.clear();

    // In-program filters run between library graphs: each graph ends in the
    // formats the next in-program filter accepts.
    std::string libraryPart;
    for (const TFilterPiece& piece : SplitFilterChain(description)) {
        const auto record = avhelpers::FindFilter(piece.Name);
        if (!record) {
            libraryPart += (libraryPart.empty() ? "" : ",") + piece.Text;
            continue;
        }
        TFilterStep step;
        step.stage = record->Create ? record->Create(piece.Args) : nullptr;
        if (!step.stage) return AVERROR(EINVAL);
        int ret = BuildFilterPiece(step.graph, step.src, step.sink, srcArgs, step.stage->Formats(),
                                   scaleFirst ? scaleWidth : 0, scaleFirst ? scaleHeight : 0, libraryPart,
                                   ost.sws_flags);
        if (ret < 0) return ret;
        const int width = avfilter.av_buffersink_get_w(step.sink), height = avfilter.av_buffersink_get_h(step.sink);
        step.format = avfilter.av_buffersink_get_format(step.sink);
        if ((ret = step.stage->Configure(width, height, step.format, step.out_width, step.out_height)) < 0) return ret;
        if (step.stage->WorksInPlace()) {
            step.out_width = width;
            step.out_height = height;
        }
        const AVRational tb = avfilter.av_buffersink_get_time_base(step.sink);
        const AVRational linkSar = avfilter.av_buffersink_get_sample_aspect_ratio(step.sink);
        srcArgs = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", step.out_width,
                         step.out_height, step.format, tb.num, tb.den, linkSar.num, linkSar.den ? linkSar.den : 1) +
                  rateArg;
        ost.filter_steps.push_back(std::move(step));
        libraryPart.clear();
        scaleFirst = false;
    }

    const int sinkFormats[] = {enc->pix_fmt, AV_PIX_FMT_NONE};
    const int ret = BuildFilterPiece(ost.graph, ost.input_video_filter, ost.output_video_filter, srcArgs, sinkFormats,
                                     scaleFirst ? scaleWidth : 0, scaleFirst ? scaleHeight : 0, libraryPart,
                                     ost.sws_flags);
    if (ret < 0) return ret;
    if (from) return 0;

    enc->width = avfilter.av_buffersink_get_w(ost.output_video_filter);
    enc->height = avfilter.av_buffersink_get_h(ost.output_video_filter);
    if (ost.frame_aspect_ratio != 0)
        enc->sample_aspect_ratio = avutil.av_d2q(ost.frame_aspect_ratio * enc->height / enc->width, 255);
    else
        enc->sample_aspect_ratio = avfilter.av_buffersink_get_sample_aspect_ratio(ost.output_video_filter);
    ost.st->sample_aspect_ratio = enc->sample_aspect_ratio;
    return 0;
}

// ---- Codecs, metadata, chapters, headers ----

void TCustomFFmpeg::OpenRunCodecs() {
    TRunState& run = FRun;
    // Decoders first: a text subtitle encoder starts from its decoder's header.
    for (std::size_t i = 0; i < Finput_streams.size(); ++i) {
        TAVInputStream& ist = *Finput_streams[i];
        if (!ist.decoding_needed) continue;
        const std::string type = GetMediaTypeName(ist.st->codecpar->codec_type);
        const AVCodec* decoder = i < Finput_codecs.size() && Finput_codecs[i]
                                     ? Finput_codecs[i]
                                     : avcodec.avcodec_find_decoder(ist.st->codecpar->codec_id);
        if (!decoder)
            SetupError(Format("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                              static_cast<int>(ist.st->codecpar->codec_id), ist.file_index, ist.st->index,
                              type.c_str()));
        // Keeping the input's quality needs each picture's quantizers.
        if (FFileOpts.same_quality && ist.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            ist.dec_ctx->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
        std::lock_guard lists(CodecListLock());
        int ret;
        TakeLastLibraryError();
        {
            std::lock_guard codecs(CodecMutex());
            ret = avcodec.avcodec_open2(ist.dec_ctx.get(), decoder, nullptr);
        }
        if (ret < 0) {
            // The codec's own reason, when it gave one, ends the message.
            const std::string why = TakeLastLibraryError();
            SetupError(Format("Error while opening decoder for input stream #%d.%d (%s)", ist.file_index,
                              ist.st->index, type.c_str()) +
                       (why.empty() ? "" : ": " + why));
        }
        FDecoderList.push_back({nullptr, &ist});
    }

    const std::size_t encoders = FJoinMode ? static_cast<std::size_t>(run.GroupSize) : run.Table.size();
    for (std::size_t pos = 0; pos < encoders; ++pos) {
        TAVOutputStream& ost = *run.Table[pos];
        if (!ost.encoding_needed) continue;
        AVCodecContext* enc = ost.enc_ctx.get();
        const std::string type = GetMediaTypeName(enc->codec_type);
        if (!ost.enc)
            SetupError(Format("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                              static_cast<int>(enc->codec_id), ost.file_index, ost.index, type.c_str()));
        AVCodecContext* dec = Finput_streams[static_cast<std::size_t>(ost.source_index)]->dec_ctx.get();
        if (dec->subtitle_header && !enc->subtitle_header) {
            enc->subtitle_header = static_cast<std::uint8_t*>(avutil.av_mallocz(
                static_cast<std::size_t>(dec->subtitle_header_size) + 1));
            if (!enc->subtitle_header) SetupError("av_malloc failed");
            std::memcpy(enc->subtitle_header, dec->subtitle_header, static_cast<std::size_t>(dec->subtitle_header_size));
            enc->subtitle_header_size = dec->subtitle_header_size;
        }
        if (FJoinMode) ost.codec_id = enc->codec_id;
        // Even the wider look into the file found no picture size: say so
        // instead of the encoder's "dimensions not set".
        if (enc->codec_type == AVMEDIA_TYPE_VIDEO && (enc->width <= 0 || enc->height <= 0))
            SetupError(Format("Output stream #%d.%d (Video): the picture size of its source could not be read "
                              "from the file; it cannot be converted",
                              ost.file_index, ost.index));
        {
            std::lock_guard lists(CodecListLock());
            int ret;
            TakeLastLibraryError();
            {
                std::lock_guard codecs(CodecMutex());
                ret = avcodec.avcodec_open2(enc, ost.enc, ost.private_options.Address());
            }
            if (ret < 0) {
                // The codec's own reason, when it gave one, ends the message.
                const std::string why = TakeLastLibraryError();
                SetupError(Format("Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect "
                                  "parameters such as bit_rate, rate, width or height. Please check error log "
                                  "message to find out more detail information.",
                                  ost.file_index, ost.index, type.c_str()) +
                           (why.empty() ? "" : " (" + why + ")"));
            }
            FEncoderList.push_back({&ost, nullptr});
        }
        avcodec.avcodec_parameters_from_context(ost.st->codecpar, enc);
        ost.st->time_base = enc->time_base;
        if (enc->codec_type == AVMEDIA_TYPE_VIDEO) ost.st->avg_frame_rate = ost.frame_rate;
        Fextra_size += enc->extradata_size;
    }
    // Join groups after the first share the first group's streams and encoders.
    for (std::size_t pos = encoders; pos < run.Table.size(); ++pos) {
        TAVOutputStream& ost = *run.Table[pos];
        const TAVOutputStream& first = *run.Table[pos % static_cast<std::size_t>(run.GroupSize)];
        if (ost.encoding_needed) ost.codec_id = first.enc_ctx->codec_id;
    }

    // The decoders now know their real output: the audio paths start from it.
    for (TAVOutputStream* ost : run.Table) {
        if (!ost->encoding_needed || ost->st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        const AVCodecContext* dec = Finput_streams[static_cast<std::size_t>(ost->source_index)]->dec_ctx.get();
        ost->resample_sample_fmt = FOnAudioHook ? avutil.av_get_packed_sample_fmt(dec->sample_fmt) : dec->sample_fmt;
        ost->resample_sample_rate = dec->sample_rate;
        ost->resample_channels = dec->ch_layout.nb_channels;
    }
    for (auto& ist : Finput_streams) {
        const AVRational rate = ist->st->avg_frame_rate;
        ist->pts = rate.num ? -std::llround(ist->dec_ctx->has_b_frames * 1000000.0 / av_q2d(rate)) : 0;
        ist->next_pts = AV_NOPTS_VALUE;
        ist->is_start = 1;
    }
}

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
        if (out >= Fnb_output_files) SetupError(Format("Invalid %s index %d while processing metadata maps", "output file", out));
        if (in >= Fnb_input_files) SetupError(Format("Invalid %s index %d while processing metadata maps", "input file", in));
        AVDictionary** target = select(Foutput_files[static_cast<std::size_t>(out)].get(), pair[0]);
        AVDictionary** source = select(Finput_files[static_cast<std::size_t>(in)].ctx.get(), pair[1]);
        avutil.av_dict_copy(target, *source, AV_DICT_DONT_OVERWRITE);
    }
    if (FTaskOpts.metadata_global_autocopy && Fnb_input_files > 0)
        for (int i = 0; i < Fnb_output_files; ++i)
            avutil.av_dict_copy(&Foutput_files[static_cast<std::size_t>(i)]->metadata,
                                Finput_files[0].ctx->metadata, AV_DICT_DONT_OVERWRITE);

    for (const TAVChapterMap& m : FTaskOpts.chapter_maps) {
        if (m.in_file < 0 || m.out_file < 0) continue;
        if (m.in_file >= Fnb_input_files) SetupError(Format("Invalid input file index %d in chapter mapping.", m.in_file));
        if (m.out_file >= Fnb_output_files)
            SetupError(Format("Invalid output file index %d in chapter mapping.", m.out_file));
        CopyChapters(m.in_file, m.out_file);
    }
    if (FTaskOpts.chapter_maps.empty()) {
        for (int i = 0; i < Fnb_input_files; ++i) {
            if (!Finput_files[static_cast<std::size_t>(i)].ctx->nb_chapters) continue;
            const int outputs = FJoinMode ? std::min(Fnb_output_files, 1) : Fnb_output_files;
            for (int o = 0; o < outputs; ++o) CopyChapters(i, o);
            break;
        }
    }
}

void TCustomFFmpeg::CopyChapters(int inFile, int outFile) {
    const AVFormatContext* is = Finput_files[static_cast<std::size_t>(inFile)].ctx.get();
    AVFormatContext* os = Foutput_files[static_cast<std::size_t>(outFile)].get();
    for (unsigned i = 0; i < is->nb_chapters; ++i) {
        const AVChapter* in = is->chapters[i];
        const std::int64_t offset = avutil.av_rescale_q(
            FFileOpts.start_time - Finput_files[static_cast<std::size_t>(inFile)].ts_offset, AV_TIME_BASE_Q, in->time_base);
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
        AVFormatContext* oc = Foutput_files[static_cast<std::size_t>(i)].get();
        if (const int ret = avformat.avformat_write_header(oc, nullptr); ret < 0) {
            // A write that failed (a full disk, a lost folder) is named as
            // such, not blamed on the codec parameters.
            const int ioError = oc->pb && oc->pb->error < 0 ? oc->pb->error : ret;
            if (ioError == AVERROR(ENOSPC) || ioError == AVERROR(EIO) || ioError == AVERROR(EDQUOT))
                SetupError(Format("Could not write header for output file #%d: %s", i, std::strerror(AVUNERROR(ioError))));
            SetupError(Format("Could not write header for output file #%d (incorrect codec parameters ?)", i));
        }
        allRtp = allRtp && std::strcmp(oc->oformat->name, "rtp") == 0;
    }
    if (allRtp) {
        std::vector<AVFormatContext*> contexts;
        for (int i = 0; i < outputs; ++i) contexts.push_back(Foutput_files[static_cast<std::size_t>(i)].get());
        char sdp[2048] = {};
        avformat.av_sdp_create(contexts.data(), outputs, sdp, sizeof sdp);
        std::string text(sdp);
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        FFLogger().Log(this, llInfo, "SDP:\r\n" + text);
    }
}

void TCustomFFmpeg::DumpStreamMapping() {
    const int outputs = FJoinMode ? std::min(Fnb_output_files, 1) : Fnb_output_files;
    for (int i = 0; i < outputs; ++i) {
        AVFormatContext* oc = Foutput_files[static_cast<std::size_t>(i)].get();
        avformat.av_dump_format(oc, i, oc->url, 1);
    }
    if (FTaskOpts.verbose < 0) return;
    FFLogger().Log(this, llVerbose, "Stream mapping:");
    for (const TAVOutputStream* ost : FRun.Table) {
        if (ost->source_index < 0 || static_cast<std::size_t>(ost->source_index) >= Finput_streams.size()) continue;
        const TAVInputStream& source = *Finput_streams[static_cast<std::size_t>(ost->source_index)];
        const std::string type = GetMediaTypeName(ost->enc_ctx->codec_type);
        FFLogger().Log(this, llVerbose, "  Stream #%d.%d -> #%d.%d (%s)", source.file_index, source.st->index,
                       FJoinMode ? 0 : ost->file_index, ost->index, type.c_str());
        if (ost->sync_ist && ost->sync_ist != &source)
            FFLogger().Log(this, llVerbose, " [sync #%d.%d (%s)]", ost->sync_ist->file_index,
                           ost->sync_ist->st->index, type.c_str());
    }
}

void TCustomFFmpeg::CleanupRun() {
    TRunState& run = FRun;
    run.NoPacket.clear();
    run.NoPacketCount = 0;
    {
        std::lock_guard lists(CodecListLock());
        FDecoderList.clear();
    }
    {
        std::lock_guard lists(CodecListLock());
        FEncoderList.clear();
    }
    for (TAVOutputStream* ost : run.Table) {
        ost->logfile.reset();
        ost->fifo.reset();
        ost->resample_frame.reset();
        ost->img_resample_ctx.reset();
        ost->resample.reset();
        ost->picref.reset();
        ost->graph.reset();
        ost->filter_steps.clear();
        ost->input_video_filter = ost->output_video_filter = nullptr;
    }
    run.Table.clear();
    run.Packet.reset();
    run.OutPacket.reset();
    run.Frame.reset();
    if (run.StopCheckRegistered) {
        InterruptCB().Remove(CurrentThreadID(), this, StopCheck);
        run.StopCheckRegistered = false;
    }
}

} // namespace engine
