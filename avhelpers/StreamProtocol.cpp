#include "avhelpers/StreamProtocol.h"

#include "avbind/AVPtr.h"
#include "avhelpers/Registry.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace avhelpers {

using namespace avbind;

namespace {

std::mutex GStreamsLock;
std::map<int, TMediaStream*> GStreams;

struct TStreamHandle : TProtocolHandle {
    explicit TStreamHandle(TMediaStream* stream) : Stream(stream) {}
    TMediaStream* Stream;
};

int ReadPacket(void* opaque, std::uint8_t* buffer, int size) {
    const int n = static_cast<TStreamHandle*>(opaque)->Stream->Read(buffer, size);
    return n == 0 ? AVERROR_EOF : n;
}

int WritePacket(void* opaque, std::uint8_t* buffer, int size) {
    return static_cast<TStreamHandle*>(opaque)->Stream->Write(buffer, size);
}

std::int64_t SeekStream(void* opaque, std::int64_t offset, int whence) {
    TMediaStream* stream = static_cast<TStreamHandle*>(opaque)->Stream;
    if (whence & AVSEEK_SIZE) return stream->Size();
    return stream->Seek(offset, whence & ~AVSEEK_FORCE);
}

int OpenStream(const std::string& url, int flags, AVIOContext** pb) {
    // "stream:<key>:<private data>"
    const char* p = url.c_str() + std::string("stream:").size();
    char* end = nullptr;
    const long key = std::strtol(p, &end, 10);
    if (end == p || (*end != ':' && *end != '\0')) return AVERROR(EINVAL);
    TMediaStream* stream = nullptr;
    {
        std::lock_guard lock(GStreamsLock);
        auto found = GStreams.find(static_cast<int>(key));
        if (found != GStreams.end()) stream = found->second;
    }
    if (!stream) return AVERROR(ENOENT);
    return OpenCustomIO(std::make_unique<TStreamHandle>(stream), flags & AVIO_FLAG_WRITE, ReadPacket, WritePacket,
                        SeekStream, pb);
}

} // namespace

int OpenCustomIO(std::unique_ptr<TProtocolHandle> handle, bool write, TIOReadWrite read, TIOReadWrite writeFn,
                 TIOSeek seek, AVIOContext** pb) {
    constexpr int bufferSize = 32768;
    auto* buffer = static_cast<std::uint8_t*>(avutil.av_malloc(bufferSize));
    if (!buffer) return AVERROR(ENOMEM);
    AVIOContext* ctx = avformat.avio_alloc_context(buffer, bufferSize, write ? 1 : 0, handle.get(),
                                                   write ? nullptr : read, write ? writeFn : nullptr, seek);
    if (!ctx) {
        avutil.av_free(buffer);
        return AVERROR(ENOMEM);
    }
    handle.release();  // CloseCustomIO deletes it
    *pb = ctx;
    return 0;
}

void CloseCustomIO(AVIOContext** pb) {
    if (!pb || !*pb) return;
    AVIOContext* ctx = *pb;
    if (ctx->write_flag) avformat.avio_flush(ctx);
    delete static_cast<TProtocolHandle*>(ctx->opaque);
    avutil.av_freep(&ctx->buffer);
    avformat.avio_context_free(pb);
}

int OpenRegisteredProtocol(const std::string& url, int flags, TCustomIOPtr& io) {
    const auto protocol = FindProtocolForUrl(url);
    if (!protocol || !protocol->Open) return 0;
    AVIOContext* pb = nullptr;
    const int ret = protocol->Open(url, flags, &pb);
    if (ret < 0) return ret;
    io.reset(pb);
    return 1;
}

int StreamKey(const void* stream) { return static_cast<int>(reinterpret_cast<std::intptr_t>(stream)); }

void RegisterStreamObject(TMediaStream* stream) {
    std::lock_guard lock(GStreamsLock);
    GStreams[StreamKey(stream)] = stream;
}

void UnregisterStreamObject(TMediaStream* stream) {
    std::lock_guard lock(GStreamsLock);
    auto found = GStreams.find(StreamKey(stream));
    if (found != GStreams.end() && found->second == stream) GStreams.erase(found);
}

void RegisterStreamProtocol() { RegisterProtocolOnce(TProtocolRecord{"stream", OpenStream}); }

} // namespace avhelpers
