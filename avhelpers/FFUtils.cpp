#include "avhelpers/FFUtils.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

namespace avhelpers {

namespace {

// One message; Alias is the POSIX number that shares a socket code's row (0: none).
struct TErrorRow {
    int Code;
    int Alias;
    const char* Message;
};

const TErrorRow ErrorTable[] = {
    // The library's error tags.
    {AVERROR_MUXER_NOT_FOUND, 0, "Muxer not found"},
    {AVERROR_OPTION_NOT_FOUND, 0, "Option not found"},
    {AVERROR_EXIT, 0, "Immediate exit requested"},
    {AVERROR_STREAM_NOT_FOUND, 0, "Stream not found"},
    {AVERROR_PROTOCOL_NOT_FOUND, 0, "Protocol not found"},
    {AVERROR_DEMUXER_NOT_FOUND, 0, "Demuxer not found"},
    {AVERROR_FILTER_NOT_FOUND, 0, "Filter not found"},
    {AVERROR_BSF_NOT_FOUND, 0, "Bitstream filter not found"},
    {AVERROR_PATCHWELCOME, 0, "Not yet implemented in FFmpeg, patches welcome"},
    {AVERROR_ENCODER_NOT_FOUND, 0, "Encoder not found"},
    {AVERROR_DECODER_NOT_FOUND, 0, "Decoder not found"},
    {AVERROR_INVALIDDATA, 0, "Invalid data found when processing input"},
    {AVERROR_EOF, 0, "End of file"},
    // Socket error codes, with the POSIX number of the same meaning where one exists.
    {-11004, 0, "WSANO_DATA"},
    {-11003, 0, "WSANO_RECOVERY"},
    {-11002, 0, "WSATRY_AGAIN"},
    {-11001, 0, "WSAHOST_NOT_FOUND"},
    {-10112, 0, "WSAEREFUSED"},
    {-10111, 0, "WSA_E_CANCELLED"},
    {-10110, 0, "WSA_E_NO_MORE"},
    {-10109, 0, "WSATYPE_NOT_FOUND"},
    {-10108, 0, "WSASERVICE_NOT_FOUND"},
    {-10107, 0, "WSASYSCALLFAILURE"},
    {-10106, 0, "WSAEPROVIDERFAILEDINIT"},
    {-10105, 0, "WSAEINVALIDPROVIDER"},
    {-10104, 0, "WSAEINVALIDPROCTABLE"},
    {-10103, 0, "WSAECANCELLED"},
    {-10102, 0, "WSAENOMORE"},
    {-10101, 0, "WSAEDISCON"},
    {-10093, 0, "WSANOTINITIALISED"},
    {-10092, 0, "WSAVERNOTSUPPORTED"},
    {-10091, 0, "WSASYSNOTREADY"},
    {-10071, -66, "Object is remote"},
    {-10070, -116, "Stale NFS file handle"},
    {-10069, -122, "Quota exceeded"},
    {-10068, -87, "Too many users"},
    {-10067, 0, "WSAEPROCLIM"},
    {-10066, -39, "Directory not empty"},
    {-10065, -113, "No route to host"},
    {-10064, -112, "Host is down"},
    {-10063, -36, "File name too long"},
    {-10062, -40, "Too many symbolic links encountered"},
    {-10061, -111, "Connection refused"},
    {-10060, -110, "Connection timed out"},
    {-10059, -109, "Too many references: cannot splice"},
    {-10058, -108, "Cannot send after transport endpoint shutdown"},
    {-10057, -107, "Transport endpoint is not connected"},
    {-10056, -106, "Transport endpoint is already connected"},
    {-10055, -105, "No buffer space available"},
    {-10054, -104, "Connection reset by peer"},
    {-10053, -103, "Software caused connection abort"},
    {-10052, -102, "Network dropped connection because of reset"},
    {-10051, -101, "Network is unreachable"},
    {-10050, -100, "Network is down"},
    {-10049, -99, "Cannot assign requested address"},
    {-10048, -98, "Address already in use"},
    {-10047, -97, "Address family not supported by protocol"},
    {-10046, -96, "Protocol family not supported"},
    {-10045, -95, "Operation not supported on transport endpoint"},
    {-10044, -94, "Socket type not supported"},
    {-10043, -93, "Protocol not supported"},
    {-10042, -92, "Protocol not available"},
    {-10041, -91, "Protocol wrong type for socket"},
    {-10040, -90, "Message too long"},
    {-10039, -89, "Destination address required"},
    {-10038, -88, "Socket operation on non-socket"},
    {-10037, -114, "Operation already in progress"},
    {-10036, -115, "Operation now in progress"},
    {-10035, 0, "WSAEWOULDBLOCK"},
    {-10024, -24, "Too many open files"},
    {-10022, -22, "Invalid argument / Invalid data found when processing input"},
    {-10014, -14, "Bad address"},
    {-10013, -13, "Permission denied"},
    {-10009, -9, "Bad file number"},
    {-10004, -4, "Interrupted function call"},
    // Other negated POSIX error numbers.
    {-131, 0, "State not recoverable"},
    {-130, 0, "Owner died"},
    {-129, 0, "Key was rejected by service"},
    {-128, 0, "Key has been revoked"},
    {-127, 0, "Key has expired"},
    {-126, 0, "Required key not available"},
    {-125, 0, "Operation Canceled"},
    {-124, 0, "Wrong medium type"},
    {-123, 0, "No medium found"},
    {-121, 0, "Remote I/O error"},
    {-120, 0, "Is a named type file"},
    {-119, 0, "No XENIX semaphores available"},
    {-118, 0, "Not a XENIX named type file"},
    {-117, 0, "Structure needs cleaning"},
    {-86, 0, "Streams pipe error"},
    {-85, 0, "Interrupted system call should be restarted"},
    {-84, 0, "Illegal byte sequence"},
    {-83, 0, "Cannot exec a shared library directly"},
    {-82, 0, "Attempting to link in too many shared libraries"},
    {-81, 0, ".lib section in a.out corrupted"},
    {-80, 0, "Accessing a corrupted shared library"},
    {-79, 0, "Can not access a needed shared library"},
    {-78, 0, "Remote address changed"},
    {-77, 0, "File descriptor in bad state"},
    {-76, 0, "Name not unique on network"},
    {-75, 0, "Value too large for defined data type"},
    {-74, 0, "Not a data message"},
    {-73, 0, "RFS specific error"},
    {-72, 0, "Multihop attempted"},
    {-71, 0, "Protocol error"},
    {-70, 0, "Communication error on send"},
    {-69, 0, "Srmount error"},
    {-68, 0, "Advertise error"},
    {-67, 0, "Link has been severed"},
    {-65, 0, "Package not installed"},
    {-64, 0, "Machine is not on the network"},
    {-63, 0, "Out of streams resources"},
    {-62, 0, "Timer expired"},
    {-61, 0, "No data available"},
    {-60, 0, "Device not a stream"},
    {-59, 0, "Bad font file format"},
    {-57, 0, "Invalid slot"},
    {-56, 0, "Invalid request code"},
    {-55, 0, "No anode"},
    {-54, 0, "Exchange full"},
    {-53, 0, "Invalid request descriptor"},
    {-52, 0, "Invalid exchange"},
    {-51, 0, "Level 2 halted"},
    {-50, 0, "No CSI structure available"},
    {-49, 0, "Protocol driver not attached"},
    {-48, 0, "Link number out of range"},
    {-47, 0, "Level 3 reset"},
    {-46, 0, "Level 3 halted"},
    {-45, 0, "Level 2 not synchronized"},
    {-44, 0, "Channel number out of range"},
    {-43, 0, "Identifier removed"},
    {-38, 0, "Function not implemented"},
    {-37, 0, "No record locks available"},
    {-35, 0, "Resource deadlock would occur"},
    {-34, 0, "Math result not representable"},
    {-31, 0, "Too many links"},
    {-30, 0, "Read-only file system"},
    {-29, 0, "Illegal seek"},
    {-28, 0, "No space left on device"},
    {-27, 0, "File too large"},
    {-26, 0, "Text file busy"},
    {-25, 0, "Inappropriate I/O control operation / Not a typewriter"},
    {-23, 0, "Too many open files in system / File table overflow"},
    {-21, 0, "Is a directory"},
    {-20, 0, "Not a directory"},
    {-19, 0, "No such device"},
    {-18, 0, "Cross-device link"},
    {-17, 0, "File exists"},
    {-16, 0, "Device or resource busy"},
    {-15, 0, "Block device required"},
    {-12, 0, "Not enough space / Out of memory"},
    {-11, 0, "Resource temporarily unavailable / Try again"},
    {-10, 0, "No child processes"},
    {-8, 0, "Exec format error"},
    {-7, 0, "Argument list too long"},
    {-6, 0, "No such device or address"},
    {-5, 0, "I/O error"},
    {-3, 0, "No such process"},
    {-2, 0, "No such file or directory"},
    {-1, 0, "Operation not permitted"},
};

static_assert(std::size(ErrorTable) == 160, "the error table has one row per message");

const char* FindErrorMessage(int code) {
    for (const TErrorRow& row : ErrorTable) {
        if (row.Code == code || (row.Alias != 0 && row.Alias == code)) return row.Message;
    }
    return nullptr;
}

// Drops control characters and blanks at both ends.
std::string Trim(const char* text) {
    std::string s = text ? text : "";
    std::size_t first = 0;
    std::size_t last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= ' ') --last;
    return s.substr(first, last - first);
}

std::string CodecText(AVCodecID id, unsigned tag, bool encoder) {
    const AVCodec* codec =
        encoder ? avbind::avcodec.avcodec_find_encoder(id) : avbind::avcodec.avcodec_find_decoder(id);
    if (codec) {
        std::string name = codec->name ? codec->name : "";
        if (codec->long_name && codec->long_name[0] != '\0') name += "(" + Trim(codec->long_name) + ")";
        return name;
    }
    if (id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
    // The descriptor's name stands for the codec name the context once stored.
    if (const AVCodecDescriptor* desc = avbind::avcodec.avcodec_descriptor_get(id)) {
        std::string name = Trim(desc->name);
        if (!name.empty()) return name;
    }
    char chars[4];
    bool printable = true;
    for (int i = 0; i < 4; ++i) {
        chars[i] = static_cast<char>((tag >> (8 * i)) & 0xFF);
        unsigned char c = static_cast<unsigned char>(chars[i]);
        printable = printable && c >= 32 && c <= 126;
    }
    char text[32];
    if (printable)
        std::snprintf(text, sizeof text, "%c%c%c%c / 0x%04X", chars[0], chars[1], chars[2], chars[3], tag);
    else
        std::snprintf(text, sizeof text, "0x%04x", tag);
    return text;
}

// Closes the file on every path out of ReadWholeFile.
struct TFileCloser {
    void operator()(FILE* f) const noexcept { avbind::myutil.fclose(f); }
};

} // namespace

std::string GetErrorText(const std::string& name, int code) {
    const char* message = FindErrorMessage(code);
    if (message) return name + ": " + message;
    char text[48];
    std::snprintf(text, sizeof text, "Error number %d occurred", code);
    return name + ": " + text;
}

std::string FormatDuration(std::int64_t microseconds) {
    if (microseconds == AV_NOPTS_VALUE) return "N/A";
    const std::int64_t seconds = microseconds / 1000000;
    char text[64];
    std::snprintf(text, sizeof text, "%.2" PRId64 ":%.2d:%.2d.%.3d", seconds / 3600,
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
                  static_cast<int>(microseconds % 1000000 * 1000 / 1000000));
    return text;
}

std::int64_t FrameDuration(AVRational rate) {
    if (rate.num != 0 && rate.den != 0) return INT64_C(1000000) * rate.den / rate.num;
    return 1000000 / 25;
}

std::string GetMediaTypeName(int mediaType) {
    switch (mediaType) {
    case AVMEDIA_TYPE_VIDEO: return "Video";
    case AVMEDIA_TYPE_AUDIO: return "Audio";
    case AVMEDIA_TYPE_DATA: return "Data";
    case AVMEDIA_TYPE_SUBTITLE: return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT: return "Attachment";
    default: return "Unknown";
    }
}

std::string GetPictureTypeName(int pictureType) {
    switch (pictureType) {
    case AV_PICTURE_TYPE_I: return "Intra";
    case AV_PICTURE_TYPE_P: return "Predicted";
    case AV_PICTURE_TYPE_B: return "Bi-dir predicted";
    case AV_PICTURE_TYPE_S: return "S(GMC)-VOP MPEG4";
    case AV_PICTURE_TYPE_SI: return "Switching Intra";
    case AV_PICTURE_TYPE_SP: return "Switching Predicted";
    case AV_PICTURE_TYPE_BI: return "BI type";
    default: return "Unknown";
    }
}

std::string GetCodecText(const AVCodecContext* context, bool encoder) {
    return CodecText(context->codec_id, context->codec_tag, encoder);
}

std::string GetCodecText(const AVCodecParameters* parameters, bool encoder) {
    return CodecText(parameters->codec_id, parameters->codec_tag, encoder);
}

std::string GetMetadataValue(const AVDictionary* dictionary, const std::string& key,
                             const std::string& defaultValue) {
    if (!dictionary) return defaultValue;
    const AVDictionaryEntry* entry = avbind::avutil.av_dict_get(dictionary, key.c_str(), nullptr, 0);
    return entry && entry->value ? entry->value : defaultValue;
}

int ReadWholeFile(const std::string& fileName, avbind::TAVBufferPtr& buffer, std::size_t& size) {
    std::unique_ptr<FILE, TFileCloser> file(avbind::myutil.fopen(fileName.c_str(), "rb"));
    if (!file) return -1;
    // A size that cannot be found (pipes, directories) must not become a read length.
    if (avbind::myutil.fseek(file.get(), 0, SEEK_END) != 0) return -1;
    const long length = avbind::myutil.ftell(file.get());
    if (length < 0 || avbind::myutil.fseek(file.get(), 0, SEEK_SET) != 0) return -1;
    const std::size_t capacity = static_cast<std::size_t>(length);
    avbind::TAVBufferPtr data(static_cast<std::uint8_t*>(avbind::avutil.av_malloc(capacity + 1)));
    if (!data) return -12;
    const std::size_t count = avbind::myutil.fread(data.get(), 1, capacity, file.get());
    if (avbind::myutil.ferror(file.get())) return -1;
    data.get()[count] = 0;
    buffer = std::move(data);
    size = count + 1;
    return 0;
}

double DisplayRotation(const AVStream* stream) {
    std::size_t size = 0;
    const auto* matrix = reinterpret_cast<const std::int32_t*>(
        avbind::avformat.av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size));
    if (!matrix || size < 9 * sizeof(std::int32_t)) return 0;
    // The library gives the counter-clockwise angle.
    double degrees = -avbind::avutil.av_display_rotation_get(matrix);
    if (degrees != degrees) return 0;  // a degenerate matrix
    degrees = std::fmod(degrees, 360);
    if (degrees < 0) degrees += 360;
    return degrees < 0.5 || degrees > 359.5 ? 0 : degrees;
}

void SetReaderOpenOptions(avbind::TAVDictionary& options) {
    options.Set("scan_all_pmts", "1", AV_DICT_DONT_OVERWRITE);
}

namespace {

bool LacksEssentials(const AVStream* st) {
    const AVCodecParameters* par = st->codecpar;
    // Streams left out (another program chosen) need nothing.
    if (par->codec_id == AV_CODEC_ID_NONE || (st->disposition & AV_DISPOSITION_ATTACHED_PIC) ||
        st->discard == AVDISCARD_ALL)
        return false;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) return par->width <= 0 || par->height <= 0;
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) return par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0;
    return false;
}

bool LacksEssentialParameters(const AVFormatContext* context) {
    for (unsigned i = 0; i < context->nb_streams; ++i)
        if (LacksEssentials(context->streams[i])) return true;
    return false;
}

} // namespace

int FindStreamParameters(AVFormatContext* context) {
    using avbind::avformat;
    using avbind::avutil;
    int ret = avformat.avformat_find_stream_info(context, nullptr);
    // The library cannot look twice into one context; a plain file can be
    // opened again, and the streams that lack their essentials take what a
    // look ten times as far finds.
    // Local files only: a network address would be fetched again.
    const char* protocol = context->url ? avformat.avio_find_protocol_name(context->url) : nullptr;
    if (ret < 0 || !LacksEssentialParameters(context) || (context->flags & AVFMT_FLAG_CUSTOM_IO) || !context->pb ||
        !(context->pb->seekable & AVIO_SEEKABLE_NORMAL) || !protocol || std::strcmp(protocol, "file") != 0)
        return ret;
    AVFormatContext* further = avformat.avformat_alloc_context();
    if (!further) return ret;
    avbind::TAVInputContextPtr owner;
    further->interrupt_callback = context->interrupt_callback;
    further->io_open = context->io_open;  // the same read limits
    further->opaque = context->opaque;
    further->flags |= AVFMT_FLAG_NONBLOCK;
    constexpr std::int64_t kLeastBytes = 50'000'000;
    constexpr std::int64_t kLeastMicros = 60 * std::int64_t{AV_TIME_BASE};
    further->probesize = std::max(context->probesize * 10, kLeastBytes);
    further->max_analyze_duration = std::max(context->max_analyze_duration * 10, kLeastMicros);
    if (context->protocol_whitelist) avutil.av_opt_set(further, "protocol_whitelist", context->protocol_whitelist, 0);
    if (context->format_whitelist) avutil.av_opt_set(further, "format_whitelist", context->format_whitelist, 0);
    avbind::TAVDictionary options;
    SetReaderOpenOptions(options);
    if (avformat.avformat_open_input(&further, context->url, context->iformat, options.Address()) < 0) return ret;
    owner.reset(further);
    if (avformat.avformat_find_stream_info(further, nullptr) < 0) return ret;
    for (unsigned i = 0; i < context->nb_streams && i < further->nb_streams; ++i) {
        AVStream* st = context->streams[i];
        const AVStream* seen = further->streams[i];
        if (st->id != seen->id || st->codecpar->codec_id != seen->codecpar->codec_id || !LacksEssentials(st) ||
            LacksEssentials(seen))
            continue;
        avbind::avcodec.avcodec_parameters_copy(st->codecpar, seen->codecpar);
        // The rates guessed from too little data go with them.
        st->r_frame_rate = seen->r_frame_rate;
        st->avg_frame_rate = seen->avg_frame_rate;
    }
    return ret;
}

} // namespace avhelpers
