// zconv probe: what the media probe knows about one file, as text or JSON.
#include "cli/Commands.h"

#include "avbind/FFLog.h"
#include "avbind/Platform.h"
#include "avbind/Text.h"
#include "avhelpers/FFUtils.h"
#include "probe/Probe.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace cli {

namespace {

// A JSON string literal. Bytes that are not valid UTF-8 (metadata is not
// checked by the readers) become U+FFFD so the output always parses.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f)
                    out += avbind::Format("\\u%04x", c);
                else
                    out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // Length and lowest value of the sequence a lead byte starts.
        std::size_t len = 0;
        std::uint32_t min = 0;
        if (c >= 0xC2 && c <= 0xDF) len = 2, min = 0x80;
        else if (c >= 0xE0 && c <= 0xEF) len = 3, min = 0x800;
        else if (c >= 0xF0 && c <= 0xF4) len = 4, min = 0x10000;
        bool valid = len > 0 && i + len <= n;
        std::uint32_t code = valid ? c & (0xFF >> (len + 1)) : 0;
        for (std::size_t k = 1; valid && k < len; ++k) {
            valid = (s[i + k] & 0xC0) == 0x80;
            code = (code << 6) | (s[i + k] & 0x3F);
        }
        valid = valid && code >= min && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (valid) {
            out.append(text, i, len);
            i += len;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

// Microseconds, or null for the -1 of "unknown".
std::string JsonTime(std::int64_t microseconds) {
    return microseconds < 0 ? "null" : avbind::Format("%" PRId64, microseconds);
}

// A start time in microseconds, which may be below zero; null when unknown.
std::string JsonStart(std::int64_t start, AVRational timeBase) {
    if (start == AV_NOPTS_VALUE || timeBase.den == 0) return "null";
    return avbind::Format("%" PRId64, avbind::avutil.av_rescale_q(start, timeBase, AVRational{1, AV_TIME_BASE}));
}

std::string JsonMetadata(const AVDictionary* metadata) {
    std::string out = "{";
    const AVDictionaryEntry* e = nullptr;
    bool first = true;
    while ((e = avbind::avutil.av_dict_get(metadata, "", e, AV_DICT_IGNORE_SUFFIX))) {
        out += (first ? "" : ", ") + JsonString(e->key) + ": " + JsonString(e->value ? e->value : "");
        first = false;
    }
    return out + "}";
}

std::string JsonStream(probe::TFFDecoder& decoder, int index) {
    const AVStream* st = decoder.FileHandle()->streams[index];
    const AVMediaType type = st->codecpar->codec_type;
    std::string out = avbind::Format("{\"index\": %d, \"id\": %d, \"type\": %s", index, st->id,
                                     JsonString(avbind::LowerCase(avhelpers::GetMediaTypeName(type))).c_str());
    auto common = [&](const auto& info) {
        out += ", \"codec\": " + JsonString(info.CodecName) + ", \"language\": " + JsonString(info.Language);
    };
    auto times = [&](const auto& info) {
        out += avbind::Format(", \"time_base\": \"%d/%d\"", st->time_base.num, st->time_base.den);
        out += ", \"start_time\": " + JsonStart(st->start_time, st->time_base) +
               ", \"duration\": " + JsonTime(info.DurationScaled);
        out += avbind::Format(", \"bit_rate\": %" PRId64, info.BitRate);
    };
    if (type == AVMEDIA_TYPE_VIDEO) {
        probe::TVideoStreamInfo info;
        decoder.GetVideoStreamInfo(index, info);
        common(info);
        times(info);
        const char* pixFmt = avbind::avutil.av_get_pix_fmt_name(info.PixFmt);
        out += avbind::Format(", \"width\": %d, \"height\": %d, \"pixel_format\": %s, \"frame_rate\": \"%d/%d\", "
                              "\"aspect_ratio\": %.6g, \"rotation\": %g",
                              info.Width, info.Height, pixFmt ? JsonString(pixFmt).c_str() : "null",
                              info.FrameRate.num, info.FrameRate.den, static_cast<double>(info.AspectRatio),
                              info.Rotation);
    } else if (type == AVMEDIA_TYPE_AUDIO) {
        probe::TAudioStreamInfo info;
        decoder.GetAudioStreamInfo(index, info);
        common(info);
        times(info);
        const char* sampleFmt = avbind::avutil.av_get_sample_fmt_name(info.SampleFormat);
        out += avbind::Format(", \"channels\": %d, \"sample_rate\": %d, \"sample_format\": %s", info.Channels,
                              info.SampleRate, sampleFmt ? JsonString(sampleFmt).c_str() : "null");
    } else if (type == AVMEDIA_TYPE_SUBTITLE) {
        probe::TSubtitleStreamInfo info;
        decoder.GetSubtitleStreamInfo(index, info);
        common(info);
    } else {
        out += ", \"codec\": " + JsonString(avhelpers::GetCodecText(st->codecpar, false)) + ", \"language\": " +
               JsonString(avhelpers::GetMetadataValue(st->metadata, "language", ""));
    }
    return out + ", \"metadata\": " + JsonMetadata(st->metadata) + "}";
}

std::string Json(probe::TFFDecoder& decoder) {
    const probe::TFileStreamInfo info = decoder.FileStreamInfo();
    std::string out = "{\n";
    out += "  \"file_name\": " + JsonString(decoder.FileName()) + ",\n";
    out += "  \"format_name\": " + JsonString(decoder.FormatName()) + ",\n";
    out += "  \"format_long_name\": " + JsonString(decoder.FormatLongName()) + ",\n";
    out += avbind::Format("  \"size\": %" PRId64 ",\n", decoder.FileSize());
    out += "  \"duration\": " + JsonTime(info.Duration) + ",\n";
    out += "  \"start_time\": " + JsonStart(decoder.FileHandle()->start_time, AVRational{1, AV_TIME_BASE}) + ",\n";
    out += avbind::Format("  \"bit_rate\": %" PRId64 ",\n", info.BitRate);
    out += avbind::Format("  \"program_count\": %d,\n", decoder.ProgramCount());
    out += "  \"metadata\": " + JsonMetadata(decoder.FileHandle()->metadata) + ",\n";
    out += "  \"streams\": [";
    for (int i = 0; i < decoder.StreamCount(); ++i) out += (i ? ",\n    " : "\n    ") + JsonStream(decoder, i);
    out += decoder.StreamCount() > 0 ? "\n  ]\n}\n" : "]\n}\n";
    return out;
}

} // namespace

int CommandProbe(int argc, char** argv) {
    std::string libDir = avbind::ProgramFolder() + "/lib";
    std::string fileName;
    bool json = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lib-dir") == 0 && i + 1 < argc) {
            libDir = argv[++i];
        } else if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "zconv probe: unexpected argument \"%s\"\n", argv[i]);
            return 2;
        } else if (fileName.empty()) {
            fileName = argv[i];
        } else {
            std::fprintf(stderr, "zconv probe: only one file, not also \"%s\"\n", argv[i]);
            return 2;
        }
    }
    if (fileName.empty()) {
        std::fprintf(stderr, "usage: zconv probe [--lib-dir DIR] [--json] FILE\n");
        return 2;
    }
    if (!LoadLibraries(libDir)) return 1;

    probe::TFFDecoder decoder;
    // The probe's own messages are printed once, below; library lines still pass.
    const void* self = &decoder;
    avbind::FFLogger().SetOnLog([self](const void* sender, std::uint32_t, avbind::TLogLevel, const std::string& msg) {
        if (sender != self) std::fprintf(stderr, "%s\n", msg.c_str());
    });
    if (!decoder.LoadFile(fileName)) {
        std::fprintf(stderr, "%s\n", decoder.LastErrMsg().c_str());
        return 1;
    }
    const std::string text = json ? Json(decoder) : decoder.FileInfoText();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace cli
