// The "stream" protocol: names of the form "stream:<key>:<private data>"
// reach stream objects that the caller registered, through a custom I/O
// context. Protocol I/O contexts carry a TProtocolHandle as their opaque
// value and are released with CloseCustomIO.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

extern "C" {
struct AVIOContext;
}

namespace avhelpers {

// A byte stream the caller owns (a memory buffer, a socket, ...).
class TMediaStream {
public:
    virtual ~TMediaStream() = default;
    // Bytes read (0 at the end) or a negative error.
    virtual int Read(std::uint8_t* buffer, int size) = 0;
    // Bytes written or a negative error.
    virtual int Write(const std::uint8_t* buffer, int size) = 0;
    // New position (whence: SEEK_SET, SEEK_CUR, SEEK_END) or a negative error.
    virtual std::int64_t Seek(std::int64_t offset, int whence) = 0;
    // Total size in bytes, or a negative error when unknown.
    virtual std::int64_t Size() = 0;
};

// What a protocol keeps behind its I/O context.
class TProtocolHandle {
public:
    virtual ~TProtocolHandle() = default;
};

// Makes a protocol's I/O context around the handle, which it then owns (also
// on failure). Reading contexts use read, writing ones write. Returns 0 or a
// negative error code.
using TIOReadWrite = int (*)(void* opaque, std::uint8_t* buffer, int size);
using TIOSeek = std::int64_t (*)(void* opaque, std::int64_t offset, int whence);
int OpenCustomIO(std::unique_ptr<TProtocolHandle> handle, bool write, TIOReadWrite read, TIOReadWrite writeFn,
                 TIOSeek seek, AVIOContext** pb);

// Flushes and frees a protocol's I/O context with its buffer and handle.
void CloseCustomIO(AVIOContext** pb);

// Owns such a context (to be freed after the format context that uses it).
struct TCustomIODeleter {
    void operator()(AVIOContext* pb) const noexcept { CloseCustomIO(&pb); }
};
using TCustomIOPtr = std::unique_ptr<AVIOContext, TCustomIODeleter>;

// Opens `url` through the system's own protocol registry when one of its
// protocols names it: 1 with the context in `io`, 0 when no protocol of the
// registry applies, or a negative error.
int OpenRegisteredProtocol(const std::string& url, int flags, TCustomIOPtr& io);

// The key a stream object is known by in "stream:%d:%s" names.
int StreamKey(const void* stream);
// Makes the object reachable under its key until it is unregistered.
void RegisterStreamObject(TMediaStream* stream);
void UnregisterStreamObject(TMediaStream* stream);
// Registers the "stream" protocol (once).
void RegisterStreamProtocol();

} // namespace avhelpers
