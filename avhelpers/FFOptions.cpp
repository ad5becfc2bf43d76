#include "avhelpers/FFOptions.h"

#include "avbind/FFLog.h"

#include <cstring>
#include <stdexcept>

namespace avhelpers {

using namespace avbind;

namespace {

// Per media type: the option flag a codec option must carry to apply to it.
const int TypeFlags[OptionMediaTypes] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                         AV_OPT_FLAG_SUBTITLE_PARAM, 0};

// Per thread: each engine is configured on one thread and reads the reason
// right after the refusal, so concurrent configurations cannot mix them up.
thread_local std::string GLastOptionError;

void Refuse(const std::string& text) {
    GLastOptionError = text;
    avutil.av_log(nullptr, AV_LOG_ERROR, "%s\n", text.c_str());
}

std::string Quoted(const char* format, const std::string& a, const std::string& b = {}) {
    char text[1024];
    std::snprintf(text, sizeof text, format, a.c_str(), b.c_str());
    return text;
}

const AVOption* FindInClass(const AVClass* cls, const char* name, int optFlags, int searchFlags) {
    return avutil.av_opt_find(&cls, name, nullptr, optFlags, searchFlags | AV_OPT_SEARCH_FAKE_OBJ);
}

// Whether any codec, muxer or demuxer has a private option of this name.
bool IsPrivateOption(const char* name) {
    void* it = nullptr;
    while (const AVCodec* c = avcodec.av_codec_iterate(&it))
        if (c->priv_class && FindInClass(c->priv_class, name, 0, 0)) return true;
    it = nullptr;
    while (const AVOutputFormat* f = avformat.av_muxer_iterate(&it))
        if (f->priv_class && FindInClass(f->priv_class, name, 0, 0)) return true;
    it = nullptr;
    while (const AVInputFormat* f = avformat.av_demuxer_iterate(&it))
        if (f->priv_class && FindInClass(f->priv_class, name, 0, 0)) return true;
    return false;
}

int PrefixType(char c) {
    switch (c) {
    case 'v': return AVMEDIA_TYPE_VIDEO;
    case 'a': return AVMEDIA_TYPE_AUDIO;
    case 's': return AVMEDIA_TYPE_SUBTITLE;
    default: return -1;
    }
}

avbind::TAVDictionary& TypeDictionary(TFFOptions& o, int type) {
    return type == AVMEDIA_TYPE_VIDEO ? o.video_opts : type == AVMEDIA_TYPE_AUDIO ? o.audio_opts : o.sub_opts;
}

} // namespace

const std::string& LastOptionError() { return GLastOptionError; }

void InitOptions(TFFOptions& options, int swsFlags) {
    FreeOptions(options);
    for (int type = 0; type < OptionMediaTypes; ++type) {
        options.avcodec_opts[type].reset(avcodec.avcodec_alloc_context3(nullptr));
        if (options.avcodec_opts[type]) options.avcodec_opts[type]->codec_type = static_cast<AVMediaType>(type);
    }
    options.avformat_opts.reset(avformat.avformat_alloc_context());
    options.sws_opts.reset(swscale.sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P, swsFlags,
                                                  nullptr, nullptr, nullptr));
}

void FreeOptions(TFFOptions& options) {
    for (auto& ctx : options.avcodec_opts) ctx.reset();
    options.avformat_opts.reset();
    options.sws_opts.reset();
    options.opt_names.clear();
    options.opt_values.clear();
    options.format_opts.Clear();
    options.video_opts.Clear();
    options.audio_opts.Clear();
    options.sub_opts.Clear();
}

bool SetDefaultOption(TFFOptions& options, const std::string& givenName, const std::string& value) {
    if (givenName.find_first_not_of(' ') == std::string::npos) return false;
    if (!options.avcodec_opts[0] || !options.avformat_opts)
        throw std::logic_error("SetDefaultOption: the option store is not initialised");
    std::string name = givenName;

    if (!IsPrivateOption(name.c_str())) {
        bool found = false;
        int ret = 0;
        for (int type = 0; type < OptionMediaTypes && ret >= 0; ++type) {
            if (avutil.av_opt_find(options.avcodec_opts[0].get(), name.c_str(), nullptr, TypeFlags[type], 0)) {
                found = true;
                ret = avutil.av_opt_set(options.avcodec_opts[type].get(), name.c_str(), value.c_str(), 0);
            }
        }
        if (!found && avutil.av_opt_find(options.avformat_opts.get(), name.c_str(), nullptr, 0, 0)) {
            found = true;
            ret = avutil.av_opt_set(options.avformat_opts.get(), name.c_str(), value.c_str(), 0);
        }
        if (!found && options.sws_opts && avutil.av_opt_find(options.sws_opts.get(), name.c_str(), nullptr, 0, 0)) {
            found = true;
            ret = avutil.av_opt_set(options.sws_opts.get(), name.c_str(), value.c_str(), 0);
        }
        if (!found && name.size() > 1) {
            const int type = PrefixType(name[0]);
            if (type >= 0) {
                ret = avutil.av_opt_set(options.avcodec_opts[type].get(), name.c_str() + 1, value.c_str(), 0);
                found = ret != AVERROR_OPTION_NOT_FOUND;
                if (ret >= 0) name.erase(0, 1);
            }
        }
        if (found && ret < 0) {
            Refuse(Quoted("Invalid value \"%s\" for option \"%s\"", value, name));
            return false;
        }
        if (!found) {
            Refuse(Quoted("Unrecognized option \"%s\"", name));
            return false;
        }
    }
    if (!SetDictionaryOption(options, name, value)) return false;

    options.opt_names.push_back(name);
    options.opt_values.push_back(value);
    if (options.avcodec_opts[0]->debug || options.avformat_opts->debug) FFLogger().SetLogLevel(llDebug);
    return true;
}

bool SetDictionaryOption(TFFOptions& options, const std::string& name, const std::string& value) {
    const char* n = name.c_str();
    const char* v = value.c_str();
    if (const AVOption* o = FindInClass(avcodec.avcodec_get_class(), n, 0, AV_OPT_SEARCH_CHILDREN)) {
        const int flag = o->type == AV_OPT_TYPE_FLAGS ? AV_DICT_APPEND : 0;
        if (o->flags & AV_OPT_FLAG_VIDEO_PARAM) options.video_opts.Set(n, v, flag);
        if (o->flags & AV_OPT_FLAG_AUDIO_PARAM) options.audio_opts.Set(n, v, flag);
        if (o->flags & AV_OPT_FLAG_SUBTITLE_PARAM) options.sub_opts.Set(n, v, flag);
        return true;
    }
    if (const AVOption* o = FindInClass(avformat.avformat_get_class(), n, 0, AV_OPT_SEARCH_CHILDREN)) {
        options.format_opts.Set(n, v, o->type == AV_OPT_TYPE_FLAGS ? AV_DICT_APPEND : 0);
        return true;
    }
    if (options.sws_opts && avutil.av_opt_find(options.sws_opts.get(), n, nullptr, 0, 0)) {
        if (avutil.av_opt_set(options.sws_opts.get(), n, v, 0) < 0) {
            Refuse(Quoted("Error setting option \"%s\"", name));
            return false;
        }
        return true;
    }
    const int type = name.size() > 1 ? PrefixType(name[0]) : -1;
    if (type >= 0 && FindInClass(avcodec.avcodec_get_class(), n + 1, TypeFlags[type], 0)) {
        TypeDictionary(options, type).Set(n + 1, v, 0);
        return true;
    }
    Refuse(Quoted("Unrecognized option \"%s\"", name));
    return false;
}

void ApplyOptions(TFFOptions& options, void* target, void* optionContext, const AVCodec* codec, int flags) {
    void* priv = nullptr;
    const AVClass* targetClass = *static_cast<const AVClass**>(target);
    if (targetClass && std::strcmp(targetClass->class_name, "AVCodecContext") == 0) {
        // Contexts are allocated with their codec, which creates the private data.
        auto* ctx = static_cast<AVCodecContext*>(target);
        if (codec && codec->priv_class && ctx->priv_data) priv = ctx->priv_data;
    } else if (targetClass && std::strcmp(targetClass->class_name, "AVFormatContext") == 0) {
        auto* ctx = static_cast<AVFormatContext*>(target);
        const AVClass* privClass = ctx->oformat ? ctx->oformat->priv_class
                                   : ctx->iformat ? ctx->iformat->priv_class
                                                  : nullptr;
        if (privClass && ctx->priv_data) priv = ctx->priv_data;
    }

    for (std::size_t i = 0; i < options.opt_names.size(); ++i) {
        const char* name = options.opt_names[i].c_str();
        const char* value = options.opt_values[i].c_str();
        const AVOption* o = optionContext ? avutil.av_opt_find(optionContext, name, nullptr, 0, 0) : nullptr;
        if (o) {
            std::uint8_t* current = nullptr;
            if (avutil.av_opt_get(optionContext, name, 0, &current) >= 0 && current) {
                if ((o->flags & flags) == flags)
                    avutil.av_opt_set(target, name, reinterpret_cast<const char*>(current), 0);
                avutil.av_free(current);
            }
        } else if (priv && avutil.av_opt_find(priv, name, nullptr, 0, 0)) {
            avutil.av_opt_set(priv, name, value, 0);
        }
        if (priv && avutil.av_opt_find(priv, name, nullptr, flags, 0)) {
            if (avutil.av_opt_set(priv, name, value, 0) < 0)
                avutil.av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value, name);
        }
    }
}

void ReleasePrivateData(const TFFOptions& options, AVCodecContext* ctx, AVDictionary** kept) {
    if (!ctx || !ctx->priv_data) return;
    for (const std::string& name : options.opt_names) {
        if (!avutil.av_opt_find(ctx->priv_data, name.c_str(), nullptr, 0, 0)) continue;
        std::uint8_t* value = nullptr;
        if (avutil.av_opt_get(ctx->priv_data, name.c_str(), 0, &value) >= 0 && value)
            avutil.av_dict_set(kept, name.c_str(), reinterpret_cast<char*>(value), AV_DICT_DONT_STRDUP_VAL);
    }
    avutil.av_opt_free(ctx->priv_data);
    avutil.av_freep(&ctx->priv_data);
}

} // namespace avhelpers
