#include "probe/Probe.h"

#include "avbind/FFLoad.h"
#include "avbind/Platform.h"
#include "avhelpers/FFUtils.h"
#include "avhelpers/UnicodeProtocol.h"
#include "avhelpers/WaitingInput.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace probe {

namespace {

using avbind::avcodec;
using avbind::avformat;
using avbind::avutil;
using avbind::Format;
using avbind::TLibrary;
using avbind::TLogLevel;

constexpr AVRational MicrosecondBase{1, AV_TIME_BASE};

// An integer metadata value; 0 when absent or not a whole number.
int MetadataInt(const AVDictionary* metadata, const char* key) {
    const std::string text = avhelpers::GetMetadataValue(metadata, key, "");
    const char* begin = text.c_str();
    while (*begin == ' ' || *begin == '\t') ++begin;
    if (*begin == '\0') return 0;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) return 0;
    return static_cast<int>(value);
}

// The "creation_time" entry in microseconds since 1970; 0 when absent or unreadable.
std::int64_t CreationTime(const AVDictionary* metadata) {
    const std::string text = avhelpers::GetMetadataValue(metadata, "creation_time", "");
    std::int64_t value = 0;
    if (text.empty() || avutil.av_parse_time(&value, text.c_str(), 0) < 0) return 0;
    return value;
}

// "%d.%.6d" of microseconds, with the sign in front of the whole number.
std::string SecondsText(std::int64_t microseconds) {
    const char* sign = microseconds < 0 ? "-" : "";
    const std::uint64_t magnitude = microseconds < 0 ? 0 - static_cast<std::uint64_t>(microseconds)
                                                     : static_cast<std::uint64_t>(microseconds);
    return Format("%s%" PRIu64 ".%.6" PRIu64, sign, magnitude / 1000000, magnitude % 1000000);
}

std::string SizeText(std::int64_t size) {
    const double value = static_cast<double>(size);
    if (size <= 1024) return Format("%" PRId64 " Byte", size);
    if (size <= 1024 * 1024) return Format("%.2f KB", value / 1024);
    if (size <= 1024 * 1024 * 1024) return Format("%.2f MB", value / (1024 * 1024));
    return Format("%.2f GB", value / (1024.0 * 1024 * 1024));
}

// Local "yyyy-mm-dd hh:nn:ss" of microseconds since 1970.
std::string LocalDateTime(std::int64_t microseconds) {
    const std::time_t seconds = static_cast<std::time_t>(microseconds / 1000000);
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return "N/A";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// A rate for a stream line: hundredths when it has them, "k" for whole thousands.
std::string RateText(double value, const char* name) {
    const long long hundredths = std::llround(value * 100);
    if (hundredths % 100 != 0) return Format(", %3.2f %s", value, name);
    if (hundredths % (1000 * 100) == 0) return Format(", %1.0fk %s", value / 1000, name);
    return Format(", %1.0f %s", value, name);
}

// A metadata block: nothing when the only entry is "language".
void AppendMetadata(std::string& text, const AVDictionary* metadata, const std::string& indent) {
    if (!metadata) return;
    std::vector<const AVDictionaryEntry*> entries;
    const AVDictionaryEntry* e = nullptr;
    while ((e = avutil.av_dict_get(metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
        if (std::string(e->key) != "language") entries.push_back(e);
    if (entries.empty()) return;
    text += indent + "Metadata:\n";
    for (const AVDictionaryEntry* entry : entries)
        text += Format("%s  %-16s: %s\n", indent.c_str(), entry->key, entry->value ? entry->value : "");
}

bool FormatLibraryLoaded() { return avformat.avformat_close_input != nullptr; }

} // namespace

// ---- libraries ----

TCustomDecoder::TCustomDecoder() { avhelpers::RegisterUnicodeProtocol(); }

TCustomDecoder::~TCustomDecoder() {
    // A context of libraries already unloaded cannot be closed any more.
    if (FOwnHandle && !FormatLibraryLoaded()) {
        (void)FOwnHandle.release();
        (void)FOwnIO.release();
    }
}

bool TCustomDecoder::LoadAVLib(const std::string& folder) {
    avbind::TFFLoader& loader = avbind::FFLoader();
    loader.SetLibraryPath(folder);
    if (!loader.Load(avbind::ProbeLibraries)) {
        FLastErrMsg = loader.LastErrMsg();
        return false;
    }
    return true;
}

bool TCustomDecoder::AVLibLoaded() const { return avbind::FFLoader().Loaded(avbind::ProbeLibraries); }

void TCustomDecoder::UnloadAVLib() {
    if (FFileHandle && FormatLibraryLoaded()) CloseFile();
    avbind::FFLoader().Unload(avbind::ProbeLibraries);
}

void TCustomDecoder::CheckLibraries() const {
    const avbind::TFFLoader& loader = avbind::FFLoader();
    if (!loader.Loaded(TLibrary::avCodec)) throw std::runtime_error("LibAVCodec not loaded.");
    if (!loader.Loaded(TLibrary::avFormat)) throw std::runtime_error("LibAVFormat not loaded.");
    if (!loader.Loaded(TLibrary::avUtil)) throw std::runtime_error("LibAVUtil not loaded.");
    if (!loader.Loaded(TLibrary::swScale)) throw std::runtime_error("LibSwScale not loaded.");
}

void TCustomDecoder::Report(TLogLevel level, const std::string& message) {
    FLastErrMsg = message;
    avbind::FFLogger().Log(this, level, message);
}

// ---- opening and closing ----

namespace {

// Ends the waits of this thread's reads once the probe's read timeout has passed.
class TReadDeadline {
public:
    explicit TReadDeadline(int timeoutMs)
        : FDeadline(timeoutMs > 0 ? avutil.av_gettime() + std::int64_t{timeoutMs} * 1000 : INT64_MAX) {
        avbind::InterruptCB().Add(avbind::CurrentThreadID(), this, Passed);
    }
    ~TReadDeadline() { avbind::InterruptCB().Remove(avbind::CurrentThreadID(), this, Passed); }
    TReadDeadline(const TReadDeadline&) = delete;
    TReadDeadline& operator=(const TReadDeadline&) = delete;

private:
    static bool Passed(void* self) { return avutil.av_gettime() > static_cast<TReadDeadline*>(self)->FDeadline; }
    std::int64_t FDeadline;
};

} // namespace

bool TCustomDecoder::LoadFile(const std::string& fileName, const std::string& formatName) {
    CheckLibraries();
    const TReadDeadline deadline(FReadTimeout);
    CloseFile();
    const AVInputFormat* format = nullptr;
    if (!formatName.empty()) {
        format = avformat.av_find_input_format(formatName.c_str());
        if (!format) {
            FLastErrMsg = Format("Unknown input format: %s", formatName.c_str());
            return false;
        }
    }
    AVFormatContext* context = avformat.avformat_alloc_context();
    if (!context) {
        Report(avbind::llError, avhelpers::GetErrorText(fileName, AVERROR(ENOMEM)));
        return false;
    }
    context->flags |= AVFMT_FLAG_NONBLOCK;
    context->interrupt_callback = avbind::BindingInterruptCB();
    if (!ProtocolWhitelist.empty()) avutil.av_opt_set(context, "protocol_whitelist", ProtocolWhitelist.c_str(), 0);
    if (!FormatWhitelist.empty()) avutil.av_opt_set(context, "format_whitelist", FormatWhitelist.c_str(), 0);
    // Names of the system's own protocols are read through their I/O context,
    // and so are local pipes and devices, whose reads must stay interruptible.
    avhelpers::TCustomIOPtr io;
    if (const int opened = avhelpers::OpenInputThroughOwnIO(fileName, io); opened < 0) {
        avformat.avformat_free_context(context);
        Report(avbind::llError, avhelpers::GetErrorText(fileName, opened));
        return false;
    } else if (opened > 0) {
        context->pb = io.get();
        context->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    // On failure the library frees the context itself.
    avbind::TAVDictionary openOptions;
    avhelpers::SetReaderOpenOptions(openOptions);
    const int ret = avformat.avformat_open_input(&context, fileName.c_str(), format, openOptions.Address());
    if (ret == AVERROR_EXIT) {
        Report(avbind::llError, Format("%s: nothing was received for %d ms", fileName.c_str(), FReadTimeout));
        CloseFile();
        return false;
    }
    if (ret < 0) {
        Report(avbind::llError, avhelpers::GetErrorText(fileName, ret));
        CloseFile();
        return false;
    }
    FOwnIO = std::move(io);
    FOwnHandle.reset(context);
    FFileHandle = context;

    if (FOnBeforeFindStreamInfo) {
        const auto call = [this, context] { FOnBeforeFindStreamInfo(this, context); };
        try {
            if (FTriggerEventInMainThread)
                avbind::CallInMainThread(call);
            else
                call();
        } catch (...) {
            CloseFile();
            throw;
        }
    }
    if (avhelpers::FindStreamParameters(context) < 0) {
        FLastErrMsg = Format("%s: could not find codec parameters", fileName.c_str());
        CloseFile();
        return false;
    }
    RefreshFileInfo();
    FForceFormat = formatName;
    return true;
}

void TCustomDecoder::ReleaseFile() noexcept {
    FOwnHandle.reset();  // closes only what the probe opened
    FOwnIO.reset();
    FFileHandle = nullptr;
}

void TCustomDecoder::CloseFile() {
    FForceFormat.clear();
    if (FFileHandle) {
        ReleaseFile();
        RefreshFileInfo();
    }
}

void TCustomDecoder::SetFileHandle(AVFormatContext* value) {
    if (value == FFileHandle) return;
    CheckLibraries();
    CloseFile();
    FFileHandle = value;
    RefreshFileInfo();
}

void TCustomDecoder::RefreshFileInfo() {
    FFileSize = -1;
    FStreamCount = FProgramCount = -1;
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
    FFirstAudioStreamIndex = FFirstVideoStreamIndex = FFirstSubtitleStreamIndex = -1;
    AVFormatContext* ic = FFileHandle;
    if (!ic) return;

    // The I/O size first; a context without one (a device, a pipe) may still
    // name a file on disk. Unknown stays 0.
    const std::int64_t ioSize = ic->pb ? avformat.avio_size(ic->pb) : 0;
    FFileSize = ioSize > 0 ? ioSize : 0;
    if (ioSize <= 0 && ic->url && *ic->url) {
        std::error_code ec;
        const std::filesystem::path path(ic->url);
        if (std::filesystem::is_regular_file(path, ec)) {
            const auto size = std::filesystem::file_size(path, ec);
            if (!ec) FFileSize = static_cast<std::int64_t>(size);
        }
    }

    FStreamCount = static_cast<int>(ic->nb_streams);
    FProgramCount = static_cast<int>(ic->nb_programs);
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
    for (int i = 0; i < FStreamCount; ++i) {
        switch (ic->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            ++FVideoStreamCount;
            if (FFirstVideoStreamIndex < 0) FFirstVideoStreamIndex = i;
            break;
        case AVMEDIA_TYPE_AUDIO:
            ++FAudioStreamCount;
            if (FFirstAudioStreamIndex < 0) FFirstAudioStreamIndex = i;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            ++FSubtitleStreamCount;
            if (FFirstSubtitleStreamIndex < 0) FFirstSubtitleStreamIndex = i;
            break;
        default:
            break;
        }
    }
}

// ---- stream queries ----

namespace {

// Start time and duration, in the stream time base and in microseconds.
template <class TInfo>
void FillStreamTimes(AVStream* st, TInfo& info) {
    // A zero denominator would divide by zero in every rescaling; the stream's
    // own value is corrected for later readers too.
    if (st->time_base.den == 0) {
        st->time_base.den = st->time_base.num;
        if (st->time_base.den == 0) st->time_base.den = 1;
    }
    if (st->start_time != AV_NOPTS_VALUE) {
        info.StartTime = st->start_time;
        info.StartTimeScaled = avutil.av_rescale_q(st->start_time, st->time_base, MicrosecondBase);
    }
    if (st->duration != AV_NOPTS_VALUE) {
        info.Duration = st->duration;
        info.DurationScaled = avutil.av_rescale_q(st->duration, st->time_base, MicrosecondBase);
    }
}

template <class TInfo>
void FillNames(AVStream* st, TInfo& info) {
    info.Language = avhelpers::GetMetadataValue(st->metadata, "language", "");
    info.CodecName = avhelpers::GetCodecText(st->codecpar, false);
}

} // namespace

bool TCustomDecoder::IsKind(int index, AVMediaType kind) {
    if (!FFileHandle) {
        Report(avbind::llWarning, "file not loaded.");
        return false;
    }
    if (index < 0 || index >= FStreamCount) {
        Report(avbind::llError, Format("stream index #%d is invalid.", index));
        return false;
    }
    return FFileHandle->streams[index]->codecpar->codec_type == kind;
}

bool TCustomDecoder::IsAudioStream(int index) { return IsKind(index, AVMEDIA_TYPE_AUDIO); }
bool TCustomDecoder::IsVideoStream(int index) { return IsKind(index, AVMEDIA_TYPE_VIDEO); }
bool TCustomDecoder::IsSubtitleStream(int index) { return IsKind(index, AVMEDIA_TYPE_SUBTITLE); }

AVStream* TCustomDecoder::StreamOfKind(int index, AVMediaType kind, int firstIndex, const char* kindName) {
    if (!FFileHandle) {
        Report(avbind::llWarning, "file not loaded.");
        return nullptr;
    }
    if (index < 0) {
        if (firstIndex < 0) {
            Report(avbind::llError, Format("no %s stream.", kindName));
            return nullptr;
        }
        index = firstIndex;
    }
    if (index >= FStreamCount) {
        Report(avbind::llError, Format("stream index #%d is invalid.", index));
        return nullptr;
    }
    AVStream* st = FFileHandle->streams[index];
    if (st->codecpar->codec_type != kind) {
        Report(avbind::llError, Format("stream #%d is not %s stream.", index, kindName));
        return nullptr;
    }
    return st;
}

bool TCustomDecoder::GetAudioStreamInfo(int index, TAudioStreamInfo& info) {
    info = TAudioStreamInfo{};
    AVStream* st = StreamOfKind(index, AVMEDIA_TYPE_AUDIO, FFirstAudioStreamIndex, "audio");
    if (!st) return false;
    FillNames(st, info);
    FillStreamTimes(st, info);
    const AVCodecParameters* par = st->codecpar;
    info.BitRate = par->bit_rate;
    info.Channels = par->ch_layout.nb_channels;
    info.SampleRate = par->sample_rate;
    info.SampleFormat = static_cast<AVSampleFormat>(par->format);
    return true;
}

bool TCustomDecoder::GetVideoStreamInfo(int index, TVideoStreamInfo& info) {
    info = TVideoStreamInfo{};
    AVStream* st = StreamOfKind(index, AVMEDIA_TYPE_VIDEO, FFirstVideoStreamIndex, "video");
    if (!st) return false;
    FillNames(st, info);
    FillStreamTimes(st, info);
    const AVCodecParameters* par = st->codecpar;
    info.BitRate = par->bit_rate;
    info.Width = par->width;
    info.Height = par->height;
    info.PixFmt = static_cast<AVPixelFormat>(par->format);
    // An unknown pixel aspect means square pixels: a zero or divided-by-zero
    // display aspect helps nobody.
    // The container's pixel aspect wins over the codec's, as players take it.
    AVRational sar = st->sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0) sar = par->sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0) sar = AVRational{1, 1};
    if (par->height > 0)
        info.AspectRatio = static_cast<float>(par->width * (static_cast<double>(sar.num) / sar.den) / par->height);
    info.FrameRate = st->avg_frame_rate.num != 0 && st->avg_frame_rate.den != 0 ? st->avg_frame_rate
                                                                               : st->r_frame_rate;
    info.Rotation = avhelpers::DisplayRotation(st);
    return true;
}

bool TCustomDecoder::GetSubtitleStreamInfo(int index, TSubtitleStreamInfo& info) {
    info = TSubtitleStreamInfo{};
    AVStream* st = StreamOfKind(index, AVMEDIA_TYPE_SUBTITLE, FFirstSubtitleStreamIndex, "subtitle");
    if (!st) return false;
    FillNames(st, info);
    return true;
}

TAudioStreamInfo TCustomDecoder::FirstAudioStreamInfo() {
    TAudioStreamInfo info;
    GetAudioStreamInfo(-1, info);
    return info;
}

TVideoStreamInfo TCustomDecoder::FirstVideoStreamInfo() {
    TVideoStreamInfo info;
    GetVideoStreamInfo(-1, info);
    return info;
}

TSubtitleStreamInfo TCustomDecoder::FirstSubtitleStreamInfo() {
    TSubtitleStreamInfo info;
    GetSubtitleStreamInfo(-1, info);
    return info;
}

// ---- container queries ----

TFileStreamInfo TCustomDecoder::FileStreamInfo() {
    TFileStreamInfo info;
    AVFormatContext* ic = FFileHandle;
    if (!ic) {
        Report(avbind::llWarning, "file not loaded.");
        return info;
    }
    info.StartTime = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : -1;
    info.Duration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;
    info.BitRate = ic->bit_rate;
    info.TimeStamp = CreationTime(ic->metadata);
    info.Year = MetadataInt(ic->metadata, "year");
    info.Track = MetadataInt(ic->metadata, "track");
    info.Title = avhelpers::GetMetadataValue(ic->metadata, "title", "");
    info.Author = avhelpers::GetMetadataValue(ic->metadata, "author", "");
    info.Copyright = avhelpers::GetMetadataValue(ic->metadata, "copyright", "");
    info.Comment = avhelpers::GetMetadataValue(ic->metadata, "comment", "");
    info.Album = avhelpers::GetMetadataValue(ic->metadata, "album", "");
    info.Genre = avhelpers::GetMetadataValue(ic->metadata, "genre", "");
    return info;
}

std::string TCustomDecoder::FileName() {
    if (!FFileHandle) {
        Report(avbind::llWarning, "file not loaded.");
        return {};
    }
    return FFileHandle->url ? FFileHandle->url : "";
}

std::string TCustomDecoder::FormatName() {
    if (!FFileHandle) {
        Report(avbind::llWarning, "file not loaded.");
        return {};
    }
    return FFileHandle->iformat && FFileHandle->iformat->name ? FFileHandle->iformat->name : "";
}

std::string TCustomDecoder::FormatLongName() {
    if (!FFileHandle) {
        Report(avbind::llWarning, "file not loaded.");
        return {};
    }
    return FFileHandle->iformat && FFileHandle->iformat->long_name ? FFileHandle->iformat->long_name : "";
}

std::string TCustomDecoder::StreamLine(int index) const {
    const AVFormatContext* ic = FFileHandle;
    const AVStream* st = ic->streams[index];
    const AVCodecParameters* par = st->codecpar;
    std::string text = Format("Stream #%d", index);
    if (ic->iformat && (ic->iformat->flags & AVFMT_SHOW_IDS)) text += Format("[0x%x]", st->id);
    const std::string language = avhelpers::GetMetadataValue(st->metadata, "language", "");
    if (!language.empty()) text += "(" + language + ")";
    std::int64_t g = avutil.av_gcd(st->time_base.num, st->time_base.den);
    if (g == 0) g = 1;
    text += Format(", %d/%d", static_cast<int>(st->time_base.num / g), static_cast<int>(st->time_base.den / g));

    // The one-line description wants a codec context; a scratch one carries the parameters.
    char description[1024] = "";
    avbind::TAVCodecContextPtr context(avcodec.avcodec_alloc_context3(nullptr));
    if (context && avcodec.avcodec_parameters_to_context(context.get(), par) >= 0)
        avcodec.avcodec_string(description, sizeof description, context.get(), 0);
    else
        std::snprintf(description, sizeof description, "%s", avhelpers::GetMediaTypeName(par->codec_type).c_str());
    text += ": ";
    text += description;

    const AVRational sar = st->sample_aspect_ratio;
    if (sar.num != 0 && av_cmp_q(sar, par->sample_aspect_ratio) != 0) {
        AVRational dar{0, 1};
        avutil.av_reduce(&dar.num, &dar.den, static_cast<std::int64_t>(par->width) * sar.num,
                         static_cast<std::int64_t>(par->height) * sar.den, 1024 * 1024);
        text += Format(", PAR %d:%d DAR %d:%d", sar.num, sar.den, dar.num, dar.den);
    }
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        // The codec time base rate of older generations has no counterpart here.
        if (st->avg_frame_rate.num != 0 && st->avg_frame_rate.den != 0)
            text += RateText(av_q2d(st->avg_frame_rate), "fps");
        if (st->r_frame_rate.num != 0 && st->r_frame_rate.den != 0)
            text += RateText(av_q2d(st->r_frame_rate), "tbr");
        if (st->time_base.num != 0 && st->time_base.den != 0)
            text += RateText(1 / av_q2d(st->time_base), "tbn");
        if (const double rotation = avhelpers::DisplayRotation(st); rotation != 0)
            text += Format(", Rotation: %g degrees", rotation);
    }
    const AVRational base = st->time_base.den != 0 ? st->time_base : AVRational{st->time_base.num, 1};
    if (st->start_time != AV_NOPTS_VALUE)
        text += ", StartTime: " + SecondsText(avutil.av_rescale_q(st->start_time, base, MicrosecondBase));
    text += ", Duration: ";
    text += st->duration != AV_NOPTS_VALUE
                ? avhelpers::FormatDuration(avutil.av_rescale_q(st->duration, base, MicrosecondBase))
                : "N/A";
    text += "\n";
    AppendMetadata(text, st->metadata, "  ");
    return text;
}

std::string TCustomDecoder::FileInfoText() {
    AVFormatContext* ic = FFileHandle;
    if (!ic) {
        Report(avbind::llWarning, "file not loaded.");
        return {};
    }
    std::string text;
    text += "File Name: " + std::string(ic->url ? ic->url : "") + "\n";
    const AVInputFormat* format = ic->iformat;
    text += "Format Name: " + std::string(format && format->name ? format->name : "") + "\n";
    if (format && format->long_name && *format->long_name)
        text += "Format Long Name: " + std::string(format->long_name) + "\n";
    text += "File Size: " + SizeText(FFileSize) + "\n";
    text += "Duration: " + (ic->duration != AV_NOPTS_VALUE ? avhelpers::FormatDuration(ic->duration) : "N/A") + "\n";
    if (ic->start_time != AV_NOPTS_VALUE) text += "StartTime: " + SecondsText(ic->start_time) + "\n";
    if (ic->bit_rate < 1)
        text += "Bit Rate: N/A\n";
    else
        text += Format("Bit Rate: %" PRId64 " kb/s\n", ic->bit_rate / 1000);
    const std::int64_t timeStamp = CreationTime(ic->metadata);
    if (timeStamp > 0) text += "Time Stamp: " + LocalDateTime(timeStamp) + "\n";
    AppendMetadata(text, ic->metadata, "");

    for (unsigned i = 0; i < ic->nb_chapters; ++i) {
        const AVChapter* chapter = ic->chapters[i];
        const double unit = av_q2d(chapter->time_base);
        text += Format("Chapter #%u: start %f, end %f\n", i, static_cast<double>(chapter->start) * unit,
                       static_cast<double>(chapter->end) * unit);
        AppendMetadata(text, chapter->metadata, "  ");
    }

    std::vector<bool> inProgram(ic->nb_streams, false);
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
        const AVProgram* program = ic->programs[p];
        const std::string provider = avhelpers::GetMetadataValue(program->metadata, "service_provider", "N/A");
        // This generation's readers name a service "service_name".
        const std::string name = avhelpers::GetMetadataValue(
            program->metadata, "name", avhelpers::GetMetadataValue(program->metadata, "service_name", "N/A"));
        text += Format("Program %d %s@%s\n", program->id, provider.c_str(), name.c_str());
        AppendMetadata(text, program->metadata, "  ");
        for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
            const unsigned index = program->stream_index[k];
            if (index >= ic->nb_streams) continue;
            inProgram[index] = true;
            text += StreamLine(static_cast<int>(index));
        }
    }
    for (unsigned i = 0; i < ic->nb_streams; ++i)
        if (!inProgram[i]) text += StreamLine(static_cast<int>(i));
    return text;
}

} // namespace probe
