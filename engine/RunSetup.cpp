// The transcode set-up: the output stream table, stream-copy and encoding
// parameters, two-pass files, codec opening, the stream mapping; and the
// run's clean-up.
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
    const AVFormatContext* ic = InputFileAt(ist.file_index).ctx.get();
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
        AVFormatContext* oc = OutputFileAt(i).get();
        if (oc->nb_streams == 0 && !(oc->oformat->flags & AVFMT_NOSTREAMS)) {
            avformat.av_dump_format(oc, i, oc->url, 1);
            RaiseFF("Output file #%d does not contain any stream", i);
        }
        total += OutputStreamsOf(i).size();
    }
    run.GroupSize = static_cast<int>(OutputStreamsOf(0).size());

    if (!FTaskOpts.stream_maps.empty() && FTaskOpts.stream_maps.size() != total)
        RaiseFF("Number of stream maps must match number of output streams");
    for (const TAVStreamMap& m : FTaskOpts.stream_maps) {
        auto valid = [&](int file, int stream) {
            return file >= 0 && file < Fnb_input_files && stream >= 0 &&
                   stream < InputFileAt(file).nb_streams;
        };
        if (!valid(m.file_index, m.stream_index))
            RaiseFF("Could not find input stream #%d.%d", m.file_index, m.stream_index);
        if (!valid(m.sync_file_index, m.sync_stream_index))
            RaiseFF("Could not find sync stream #%d.%d", m.sync_file_index, m.sync_stream_index);
    }

    run.Table.clear();
    run.Table.reserve(total);
    for (int i = 0; i < Fnb_output_files; ++i)
        for (auto& ost : OutputStreamsOf(i)) {
            run.Table.push_back(ost.get());
            ++run.TypeCount[TypeOf(*ost)];
        }

    if (FTaskOpts.stream_maps.empty()) ComputeProbeThresholds();

    int n = 0;
    for (int i = 0; i < Fnb_output_files; ++i) {
        AVFormatContext* oc = OutputFileAt(i).get();
        for (auto& ost : OutputStreamsOf(i)) {
            ost->st = oc->streams[ost->index];
            TAVInputStream* sync = nullptr;
            if (!FTaskOpts.stream_maps.empty()) {
                const TAVStreamMap& m = FTaskOpts.stream_maps[static_cast<std::size_t>(n)];
                ost->source_index = InputFileAt(m.file_index).ist_index + m.stream_index;
                const TAVInputStream& source = *InputStreamAt(ost->source_index);
                if (source.st->codecpar->codec_type != TypeOf(*ost)) {
                    avformat.av_dump_format(oc, i, oc->url, 1);
                    RaiseFF("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", m.file_index, m.stream_index,
                            GetMediaTypeName(source.st->codecpar->codec_type).c_str(), i, ost->index,
                            GetMediaTypeName(TypeOf(*ost)).c_str());
                }
                sync = InputStreamAt(
                                          InputFileAt(m.sync_file_index).ist_index +
                                          m.sync_stream_index)
                           .get();
            } else {
                ChooseSource(*ost, i, n);
            }
            TAVInputStream& source = *InputStreamAt(ost->source_index);
            source.discard = 0;
            ost->sync_ist = sync ? sync : &source;
            ost->show_fps = 1;
            ++n;
        }
    }

    for (std::size_t pos = 0; pos < run.Table.size(); ++pos) {
        TAVOutputStream& ost = *run.Table[pos];
        TAVInputStream& ist = *InputStreamAt(ost.source_index);
        AVFormatContext* oc = ContextOf(ost);
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
        AVFormatContext* oc = ContextOf(ost);
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
            (FTaskOpts.video_sync_method == 1 ||
             (FTaskOpts.video_sync_method < 0 && !(oc->oformat->flags & AVFMT_VARIABLE_FPS))))
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
        if (FFileOpts.do_deinterlace)
            ost.avfilter = ost.avfilter.empty() ? "yadif=deint=all" : "yadif=deint=all," + ost.avfilter;
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
                enc->sample_aspect_ratio =
                    ScaledAspect(InputAspect(ist), dec->width, dec->height, enc->width, enc->height);
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

void TCustomFFmpeg::SetupTwoPass(TAVOutputStream& ost, int position) {
    std::string name =
        (FTaskOpts.pass_logfilename_prefix.empty() ? std::string("ffmpeg2pass") : FTaskOpts.pass_logfilename_prefix) +
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
        AVCodecContext* dec = InputStreamAt(ost.source_index)->dec_ctx.get();
        if (dec->subtitle_header && !enc->subtitle_header) {
            enc->subtitle_header = static_cast<std::uint8_t*>(avutil.av_mallocz(
                static_cast<std::size_t>(dec->subtitle_header_size) + 1));
            if (!enc->subtitle_header) SetupError("av_malloc failed");
            std::memcpy(enc->subtitle_header, dec->subtitle_header,
                        static_cast<std::size_t>(dec->subtitle_header_size));
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
        const AVCodecContext* dec = InputStreamAt(ost->source_index)->dec_ctx.get();
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


void TCustomFFmpeg::DumpStreamMapping() {
    const int outputs = FJoinMode ? std::min(Fnb_output_files, 1) : Fnb_output_files;
    for (int i = 0; i < outputs; ++i) {
        AVFormatContext* oc = OutputFileAt(i).get();
        avformat.av_dump_format(oc, i, oc->url, 1);
    }
    if (FTaskOpts.verbose < 0) return;
    FFLogger().Log(this, llVerbose, "Stream mapping:");
    for (const TAVOutputStream* ost : FRun.Table) {
        if (ost->source_index < 0 || static_cast<std::size_t>(ost->source_index) >= Finput_streams.size()) continue;
        const TAVInputStream& source = *InputStreamAt(ost->source_index);
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
