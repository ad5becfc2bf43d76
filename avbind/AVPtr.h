// Owning handles for library objects. Each deleter calls the library's own
// release routine through the entry-point tables, so an owner must be freed
// before its library is unloaded.
#pragma once

#include "avbind/FFEntries.h"

#include <memory>

namespace avbind {

#define ZC_AV_DELETER(Name, Type, release)                        \
    struct Name {                                                 \
        void operator()(Type* p) const noexcept { release; }      \
    }

ZC_AV_DELETER(TAVFreeDeleter, void, avutil.av_free(p));
ZC_AV_DELETER(TAVFrameDeleter, AVFrame, avutil.av_frame_free(&p));
ZC_AV_DELETER(TAVPacketDeleter, AVPacket, avcodec.av_packet_free(&p));
ZC_AV_DELETER(TAVCodecContextDeleter, AVCodecContext, avcodec.avcodec_free_context(&p));
ZC_AV_DELETER(TAVCodecParametersDeleter, AVCodecParameters, avcodec.avcodec_parameters_free(&p));
ZC_AV_DELETER(TAVDictionaryDeleter, AVDictionary, avutil.av_dict_free(&p));
ZC_AV_DELETER(TAVAudioFifoDeleter, AVAudioFifo, avutil.av_audio_fifo_free(p));
ZC_AV_DELETER(TAVBSFContextDeleter, AVBSFContext, avcodec.av_bsf_free(&p));
ZC_AV_DELETER(TAVFilterGraphDeleter, AVFilterGraph, avfilter.avfilter_graph_free(&p));
ZC_AV_DELETER(TAVFormatContextDeleter, AVFormatContext, avformat.avformat_free_context(p));
ZC_AV_DELETER(TAVInputContextDeleter, AVFormatContext, avformat.avformat_close_input(&p));
ZC_AV_DELETER(TSwsContextDeleter, SwsContext, swscale.sws_freeContext(p));
ZC_AV_DELETER(TSwrContextDeleter, SwrContext, swresample.swr_free(&p));

#undef ZC_AV_DELETER

// A buffer from av_malloc.
using TAVBufferPtr = std::unique_ptr<std::uint8_t, TAVFreeDeleter>;
using TAVFramePtr = std::unique_ptr<AVFrame, TAVFrameDeleter>;
using TAVPacketPtr = std::unique_ptr<AVPacket, TAVPacketDeleter>;
using TAVCodecContextPtr = std::unique_ptr<AVCodecContext, TAVCodecContextDeleter>;
using TAVCodecParametersPtr = std::unique_ptr<AVCodecParameters, TAVCodecParametersDeleter>;
using TAVDictionaryPtr = std::unique_ptr<AVDictionary, TAVDictionaryDeleter>;
using TAVAudioFifoPtr = std::unique_ptr<AVAudioFifo, TAVAudioFifoDeleter>;
using TAVBSFContextPtr = std::unique_ptr<AVBSFContext, TAVBSFContextDeleter>;
using TAVFilterGraphPtr = std::unique_ptr<AVFilterGraph, TAVFilterGraphDeleter>;
// A format context that was never opened as an input (option holders, outputs).
using TAVFormatContextPtr = std::unique_ptr<AVFormatContext, TAVFormatContextDeleter>;
// An opened input (closed with avformat_close_input).
using TAVInputContextPtr = std::unique_ptr<AVFormatContext, TAVInputContextDeleter>;
using TSwsContextPtr = std::unique_ptr<SwsContext, TSwsContextDeleter>;
using TSwrContextPtr = std::unique_ptr<SwrContext, TSwrContextDeleter>;

// A library dictionary owned by its holder. The library's calls take the
// address of the pointer, so this wraps it instead of a unique_ptr.
class TAVDictionary {
public:
    TAVDictionary() = default;
    ~TAVDictionary() { Clear(); }
    TAVDictionary(TAVDictionary&& other) noexcept : FDict(other.FDict) { other.FDict = nullptr; }
    TAVDictionary& operator=(TAVDictionary&& other) noexcept {
        if (this != &other) {
            Clear();
            FDict = other.FDict;
            other.FDict = nullptr;
        }
        return *this;
    }
    TAVDictionary(const TAVDictionary&) = delete;
    TAVDictionary& operator=(const TAVDictionary&) = delete;

    // av_dict_set's result: 0 or a negative error.
    int Set(const char* key, const char* value, int flags = 0) {
        return avutil.av_dict_set(&FDict, key, value, flags);
    }
    // The value of key, or null.
    const char* Get(const char* key) const {
        const AVDictionaryEntry* e = FDict ? avutil.av_dict_get(FDict, key, nullptr, 0) : nullptr;
        return e ? e->value : nullptr;
    }
    int Count() const { return FDict ? avutil.av_dict_count(FDict) : 0; }
    void Clear() {
        if (FDict) avutil.av_dict_free(&FDict);
    }
    AVDictionary* Get() const { return FDict; }
    // For library calls that fill or replace the dictionary.
    AVDictionary** Address() { return &FDict; }

private:
    AVDictionary* FDict = nullptr;
};

} // namespace avbind
