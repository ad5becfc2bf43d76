// Opening an input: the container with the pending input options, its
// streams and decoders, the start position and the timestamp offset.
#include "engine/Engine.h"

#include <cstdlib>

#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"
#include "avhelpers/Registry.h"
#include "avhelpers/WaitingInput.h"

namespace engine {

using namespace avbind;

void TCustomFFmpeg::ArmWatchdog() {
    FLastRead = INT64_MAX;
    InterruptCB().Add(CurrentThreadID(), this, ReadTimeoutCheck);
    FLastRead = avutil.av_gettime();
}

void TCustomFFmpeg::DisarmWatchdog() {
    FLastRead = INT64_MAX;
    InterruptCB().Remove(CurrentThreadID(), this, ReadTimeoutCheck);
}

std::string TCustomFFmpeg::WatchdogMessage(const std::string& fileName) const {
    if (FBroken) return Format("%s: opening was stopped", fileName.c_str());
    return Format("%s: nothing was received for %d ms", fileName.c_str(), FReadTimeout);
}

bool TCustomFFmpeg::LookupCodec(const std::string& name, AVMediaType type, AVCodecID& id, int strictness,
                                bool encoder) {
    const char* word = encoder ? "encoder" : "decoder";
    if (name.empty()) {
        id = AV_CODEC_ID_NONE;
        return true;
    }
    const AVCodec* codec = encoder ? avcodec.avcodec_find_encoder_by_name(name.c_str())
                                   : avcodec.avcodec_find_decoder_by_name(name.c_str());
    if (!codec) {
        FLastErrMsg = Format("Unknown %s '%s'", word, name.c_str());
        return false;
    }
    if (codec->type != type) {
        FLastErrMsg = Format("Invalid %s type '%s'", word, name.c_str());
        return false;
    }
    if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strictness > FF_COMPLIANCE_EXPERIMENTAL) {
        FLastErrMsg = Format("%s '%s' is experimental and might produce bad results.\r\n"
                             "Add '-strict experimental' if you want to use it.",
                             word, codec->name);
        const AVCodec* usual =
            encoder ? avcodec.avcodec_find_encoder(codec->id) : avcodec.avcodec_find_decoder(codec->id);
        if (usual && !(usual->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
            FLastErrMsg += Format("\r\nOr use the non experimental %s '%s'.", word, usual->name);
        return false;
    }
    id = codec->id;
    return true;
}

namespace {

// The demuxer's private "loop" option (image sequences) and grabbing
// parameters travel in the open dictionary; demuxers ignore what they lack.
void AddOpenParameter(TAVDictionary& dict, const char* key, const std::string& value) {
    if (!value.empty()) dict.Set(key, value.c_str());
}

std::string RealFolder(const std::string& folder) {
    char* real = realpath(folder.c_str(), nullptr);
    std::string path = real ? real : folder;
    std::free(real);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The opener of an input whose other files must lie inside its folder: a
// name elsewhere (after links and ".." are resolved) is refused.
int OpenInsideFolder(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary** options) {
    auto* limit = static_cast<TReadLimit*>(s->opaque);
    std::string path = url ? url : "";
    if (path.rfind("file:", 0) == 0) path.erase(0, 5);
    const std::size_t slash = path.rfind('/');
    const std::string folder = RealFolder(slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash));
    const std::string inside = limit->Folder == "/" ? "/" : limit->Folder + "/";
    if (folder != limit->Folder && folder.rfind(inside, 0) != 0) {
        const std::string why = path + " is outside the folder of the file that names it; it is not read";
        FFLogger().Log(limit->Engine, llError, why);
        if (limit->Refused.empty()) limit->Refused = why;
        return AVERROR(EPERM);
    }
    return limit->Open(s, pb, url, flags, options);
}

} // namespace

void TCustomFFmpeg::SeekToStart(AVFormatContext* ic, std::int64_t timestamp, const std::string& fileName) {
    int video = -1;
    for (unsigned i = 0; i < ic->nb_streams && video < 0; ++i) {
        const AVStream* st = ic->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) &&
            st->discard != AVDISCARD_ALL)
            video = static_cast<int>(i);
    }
    const std::int64_t earliest = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
    auto seek = [&](std::int64_t target) {
        FLastRead = avutil.av_gettime();
        return avformat.avformat_seek_file(ic, -1, INT64_MIN, target, target, 0);
    };
    if (seek(timestamp) < 0) {
        if (FTaskOpts.verbose > 0)
            FFLogger().Log(this, llVerbose, "%s: could not seek to position %0.3f", fileName.c_str(),
                           static_cast<double>(timestamp) / AV_TIME_BASE);
        return;
    }
    if (video < 0) return;
    // Indexed containers land on the key frame at or before the position;
    // others (transport and program streams) may land after it, and the
    // picture at the position could not be decoded. Such a landing is moved
    // back until the first key frame read is early enough.
    TAVPacketPtr pkt(avcodec.av_packet_alloc());
    if (!pkt) return;
    const AVRational tb = ic->streams[video]->time_base;
    std::int64_t margin = 0, landed = timestamp;
    for (int attempt = 0; attempt < 6; ++attempt) {
        std::int64_t keyAt = AV_NOPTS_VALUE;
        for (int n = 0; n < 10000; ++n) {
            FLastRead = avutil.av_gettime();
            if (avformat.av_read_frame(ic, pkt.get()) < 0) break;
            const bool key = pkt->stream_index == video && (pkt->flags & AV_PKT_FLAG_KEY);
            const std::int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
            if (key && ts != AV_NOPTS_VALUE) keyAt = avutil.av_rescale_q(ts, tb, AV_TIME_BASE_Q);
            avcodec.av_packet_unref(pkt.get());
            if (key) break;
        }
        if (keyAt == AV_NOPTS_VALUE || keyAt <= timestamp || landed <= earliest) break;
        margin = margin ? margin * 2 : AV_TIME_BASE;
        if (seek(std::max(earliest, timestamp - margin)) < 0) break;
        landed = std::max(earliest, timestamp - margin);
    }
    if (seek(landed) < 0) seek(timestamp);
}

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName) {
    // Whatever happens, forced decoders and the capture channel are per attempt.
    auto failed = [this]() {
        DisarmWatchdog();
        FFileOpts.ForgetAfterFailedInput();
        return false;
    };
    // The per-file arrays hold FMaxFiles entries; one more would run past them.
    if (Fnb_input_files >= FMaxFiles) {
        FLastErrMsg = Format("max input files %d reached", FMaxFiles);
        return failed();
    }

    const AVInputFormat* forced = nullptr;
    if (!FFileOpts.last_asked_format.empty()) {
        forced = avformat.av_find_input_format(FFileOpts.last_asked_format.c_str());
        if (!forced) RaiseFF("Unknown input format: \"%s\"", FFileOpts.last_asked_format.c_str());
        FFileOpts.Reset(&TFileOptions::last_asked_format);
    }
    AVFormatContext* ic = avformat.avformat_alloc_context();
    if (!ic) RaiseFF("avformat_alloc_context failed");
    // Freed by avformat_open_input itself when opening fails.
    TAVInputContextPtr owner;

    TAVDictionary params;
    if (FFileOpts.frame_rate.num)
        AddOpenParameter(params, "framerate", Format("%d/%d", FFileOpts.frame_rate.num, FFileOpts.frame_rate.den));
    if (FFileOpts.audio_sample_rate)
        AddOpenParameter(params, "sample_rate", std::to_string(FFileOpts.audio_sample_rate));
    if (FFileOpts.audio_channels) AddOpenParameter(params, "channels", std::to_string(FFileOpts.audio_channels));
    if (FFileOpts.frame_width && FFileOpts.frame_height)
        AddOpenParameter(params, "video_size", Format("%dx%d", FFileOpts.frame_width, FFileOpts.frame_height));
    if (FFileOpts.frame_pix_fmt != AV_PIX_FMT_NONE)
        if (const char* n = avutil.av_get_pix_fmt_name(FFileOpts.frame_pix_fmt))
            AddOpenParameter(params, "pixel_format", n);
    if (FFileOpts.video_channel) AddOpenParameter(params, "channel", std::to_string(FFileOpts.video_channel));
    AddOpenParameter(params, "standard", FFileOpts.video_standard);
    if (FFileOpts.loop_input) AddOpenParameter(params, "loop", "1");

    avhelpers::ApplyOptions(FOptions, ic, FOptions.avformat_opts.get(), nullptr, AV_OPT_FLAG_DECODING_PARAM);

    AVCodecID ids[3] = {AV_CODEC_ID_NONE, AV_CODEC_ID_NONE, AV_CODEC_ID_NONE};
    const std::string* names[3] = {&FFileOpts.video_codec_name, &FFileOpts.audio_codec_name,
                                   &FFileOpts.subtitle_codec_name};
    const AVMediaType types[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
    for (int i = 0; i < 3; ++i) {
        if (!LookupCodec(*names[i], types[i], ids[i], FOptions.avcodec_opts[types[i]]->strict_std_compliance,
                         false)) {
            avformat.avformat_free_context(ic);
            return failed();
        }
    }
    ic->video_codec_id = ids[0];
    ic->audio_codec_id = ids[1];
    ic->subtitle_codec_id = ids[2];
    ic->flags |= AVFMT_FLAG_NONBLOCK;
    ic->interrupt_callback = BindingInterruptCB();
    std::unique_ptr<TReadLimit> readLimit;
    if (!FFileOpts.read_folder.empty()) {
        readLimit = std::make_unique<TReadLimit>(TReadLimit{RealFolder(FFileOpts.read_folder), ic->io_open, this, {}});
        ic->opaque = readLimit.get();
        ic->io_open = OpenInsideFolder;
        FFileOpts.Reset(&TFileOptions::read_folder);
    }

    // Names of the system's own protocols are read through their I/O context,
    // and so are local pipes and devices, whose reads must stay interruptible.
    TCustomIOPtr customIO;
    if (const int opened = avhelpers::OpenInputThroughOwnIO(fileName, customIO); opened < 0) {
        avformat.avformat_free_context(ic);
        FLastErrMsg = avhelpers::GetErrorText(fileName, opened);
        return failed();
    } else if (opened > 0) {
        ic->pb = customIO.get();
        ic->flags |= AVFMT_FLAG_CUSTOM_IO;
    }

    avhelpers::SetReaderOpenOptions(params);
    ArmWatchdog();
    int ret = avformat.avformat_open_input(&ic, fileName.c_str(), forced, params.Address());
    if (ret < 0) {
        FLastErrMsg = ret == AVERROR_EXIT ? WatchdogMessage(fileName) : avhelpers::GetErrorText(fileName, ret);
        if (readLimit && !readLimit->Refused.empty()) FLastErrMsg = fileName + ": " + readLimit->Refused;
        return failed();
    }
    owner.reset(ic);
    avhelpers::ApplyOptions(FOptions, ic, FOptions.avformat_opts.get(), nullptr, AV_OPT_FLAG_DECODING_PARAM);

    if (FFileOpts.opt_programid) {
        bool found = false;
        for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
        for (unsigned p = 0; p < ic->nb_programs; ++p) {
            AVProgram* program = ic->programs[p];
            if (program->id != FFileOpts.opt_programid) {
                program->discard = AVDISCARD_ALL;
                continue;
            }
            found = true;
            for (unsigned j = 0; j < program->nb_stream_indexes; ++j)
                ic->streams[program->stream_index[j]]->discard = AVDISCARD_DEFAULT;
        }
        if (!found) {
            FLastErrMsg = "Specified program id not found";
            return failed();
        }
        FFileOpts.Reset(&TFileOptions::opt_programid);
    }

    if (FOnBeforeFindStreamInfo) FOnBeforeFindStreamInfo(this, ic);

    FLastRead = avutil.av_gettime();
    ret = avhelpers::FindStreamParameters(ic);
    if (ret == AVERROR_EXIT) {
        FLastErrMsg = WatchdogMessage(fileName);
        return failed();
    }
    if (ret < 0 && FTaskOpts.verbose >= 0) {
        FLastErrMsg = Format("%s: could not find codec parameters", fileName.c_str());
        FFLogger().Log(this, llVerbose, FLastErrMsg);
        return failed();
    }

    std::int64_t timestamp = FFileOpts.start_time;
    if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
    const bool seeked = FFileOpts.start_time != 0;
    if (seeked) {
        SeekToStart(ic, timestamp, fileName);
        FFileOpts.Reset(&TFileOptions::start_time);
    }
    DisarmWatchdog();

    // Built aside and registered only once the whole file is accepted.
    std::vector<std::unique_ptr<TAVInputStream>> streams;
    std::vector<const AVCodec*> decoders;
    bool noMotionVectors = false;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        const AVMediaType type = st->codecpar->codec_type;
        if (type < AVMEDIA_TYPE_UNKNOWN || type >= AVMEDIA_TYPE_NB) RaiseFF("invalid codec_type");

        auto ist = std::make_unique<TAVInputStream>();
        ist->st = st;
        ist->file_index = Fnb_input_files;
        ist->discard = 1;
        const AVCodec* decoder = nullptr;
        if (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE) {
            const std::string& forcedName = type == AVMEDIA_TYPE_VIDEO   ? FFileOpts.video_codec_name
                                            : type == AVMEDIA_TYPE_AUDIO ? FFileOpts.audio_codec_name
                                                                         : FFileOpts.subtitle_codec_name;
            if (!forcedName.empty()) decoder = avcodec.avcodec_find_decoder_by_name(forcedName.c_str());
            if (!decoder) decoder = avcodec.avcodec_find_decoder(st->codecpar->codec_id);
        }
        // The engine's decoder context of this stream, opened by the transcode set-up.
        ist->dec_ctx.reset(avcodec.avcodec_alloc_context3(decoder));
        if (!ist->dec_ctx || avcodec.avcodec_parameters_to_context(ist->dec_ctx.get(), st->codecpar) < 0)
            RaiseFF("Could not alloc decoder context for stream #%d of %s", static_cast<int>(i), fileName.c_str());
        AVCodecContext* dec = ist->dec_ctx.get();
        dec->thread_count = FTaskOpts.thread_count;
        dec->pkt_timebase = st->time_base;

        switch (type) {
        case AVMEDIA_TYPE_VIDEO: {
            // A lying header cannot make a decoder allocate a giant picture
            // (the user's "max_pixels" option still wins).
            dec->max_pixels = MaxPicturePixels;
            avhelpers::ApplyOptions(FOptions, dec, FOptions.avcodec_opts[AVMEDIA_TYPE_VIDEO].get(), decoder,
                                    AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
            if (dec->lowres) {
                dec->width >>= dec->lowres;
                dec->height >>= dec->lowres;
            }
            noMotionVectors = noMotionVectors || FFileOpts.me_threshold != 0;
            const AVRational codecRate = st->avg_frame_rate;
            const AVRational containerRate = st->r_frame_rate;
            if (codecRate.num && codecRate.den && containerRate.num && containerRate.den &&
                (codecRate.num != containerRate.num || codecRate.den != containerRate.den) && FTaskOpts.verbose >= 0)
                FFLogger().Log(this, llInfo,
                               "Seems stream %d codec frame rate differs from container frame rate: %2.2f (%d/%d) "
                               "-> %2.2f (%d/%d)",
                               static_cast<int>(i), av_q2d(codecRate), codecRate.num, codecRate.den,
                               av_q2d(containerRate), containerRate.num, containerRate.den);
            if (FFileOpts.video_disable)
                st->discard = AVDISCARD_ALL;
            else if (FFileOpts.video_discard)
                st->discard = static_cast<AVDiscard>(FFileOpts.video_discard);
            break;
        }
        case AVMEDIA_TYPE_AUDIO:
            avhelpers::ApplyOptions(FOptions, dec, FOptions.avcodec_opts[AVMEDIA_TYPE_AUDIO].get(), decoder,
                                    AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
            FFileOpts.channel_layout = dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE
                                  ? static_cast<std::int64_t>(dec->ch_layout.u.mask)
                                  : 0;
            FFileOpts.audio_sample_fmt = dec->sample_fmt;
            if (FFileOpts.audio_disable) st->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            if (FFileOpts.subtitle_disable) st->discard = AVDISCARD_ALL;
            break;
        default:
            break;
        }
        // A damaged stream whose codec is unknown can be neither decoded nor
        // copied: it is left out, and the file's other streams convert.
        const bool media = type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE;
        if (media && st->codecpar->codec_id == AV_CODEC_ID_NONE) {
            FFLogger().Log(this, llWarning, "Input stream #%d:%d has no known codec and is left out", Fnb_input_files,
                           static_cast<int>(i));
            st->discard = AVDISCARD_ALL;
        }
        decoders.push_back(decoder);
        streams.push_back(std::move(ist));
    }
    if (noMotionVectors)
        FFLogger().Log(this, llVerbose, "me_threshold has no effect with this library version");

    if (ic->duration != AV_NOPTS_VALUE && ic->duration > FTotalOutputDuration) FTotalOutputDuration = ic->duration;
    if (FTaskOpts.verbose >= 0) avformat.av_dump_format(ic, Fnb_input_files, fileName.c_str(), 0);

    TAVInputFile& file = InputFileAt(Fnb_input_files);
    file = TAVInputFile{};
    file.read_limit = std::move(readLimit);
    file.custom_io = std::move(customIO);
    file.ctx = std::move(owner);
    file.ist_index = static_cast<int>(Finput_streams.size());
    for (auto& ist : streams) Finput_streams.push_back(std::move(ist));
    Finput_codecs.insert(Finput_codecs.end(), decoders.begin(), decoders.end());
    file.nb_streams = static_cast<int>(ic->nb_streams);
    file.seeked = seeked;
    file.ts_offset = FTaskOpts.copy_ts ? FFileOpts.input_ts_offset : FFileOpts.input_ts_offset - timestamp;
    file.ts_scale = FFileOpts.Take(&TFileOptions::ts_scale);
    file.autorotate = FFileOpts.autorotate;
    ++Fnb_input_files;

    FFileOpts.ForgetAfterInput();
    avhelpers::InitOptions(FOptions, SWS_BICUBIC);
    return true;
}

} // namespace engine
