#include "avhelpers/WaitingInput.h"

#include "avbind/AVPtr.h"
#include "avbind/FFLoad.h"

#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace avhelpers {

namespace {

// How long one wait lasts before the interrupt checks are asked again.
constexpr int kWaitSliceMs = 100;

struct TWaitingHandle : TProtocolHandle {
    explicit TWaitingHandle(int fd) : Fd(fd) {}
    ~TWaitingHandle() override { ::close(Fd); }
    int Fd;
};

int ReadWaiting(void* opaque, std::uint8_t* buffer, int size) {
    const int fd = static_cast<TWaitingHandle*>(opaque)->Fd;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, static_cast<std::size_t>(size));
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return AVERROR(errno);
        // Nothing now. A pipe read returns 0 while no writer is connected; it
        // has ended only when poll reports an event (a writer came and went).
        // With EAGAIN a writer is there and an event means data to read.
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kWaitSliceMs);
        if (ready > 0 && n == 0) return AVERROR_EOF;
        if (ready < 0 && errno != EINTR) return AVERROR(errno);
        if (ready <= 0 && avbind::InterruptCallback(nullptr)) return AVERROR_EXIT;
    }
}

std::int64_t SeekWaiting(void* opaque, std::int64_t offset, int whence) {
    const int fd = static_cast<TWaitingHandle*>(opaque)->Fd;
    if (whence & AVSEEK_SIZE) return AVERROR(ENOSYS);
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
}

// The local path a URL names, or empty when a protocol other than "file" is named.
std::string LocalPath(const std::string& url) {
    if (url.rfind("file:", 0) == 0) return url.substr(5);
    // "scheme:" before any "/" names a protocol (a drive-less system has no other use for it).
    const std::size_t colon = url.find(':');
    if (colon != std::string::npos && url.find('/') > colon) {
        bool scheme = colon > 0;
        for (std::size_t i = 0; i < colon; ++i)
            scheme = scheme && (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' || url[i] == '-' ||
                                url[i] == '.' || url[i] == '_');
        if (scheme) return {};
    }
    return url;
}

} // namespace

int OpenWaitingInput(const std::string& url, TCustomIOPtr& io) {
    const std::string path = LocalPath(url);
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return 0;
    // Non-blocking, so that opening a pipe does not wait for its writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return AVERROR(errno);
    AVIOContext* pb = nullptr;
    const int ret = OpenCustomIO(std::make_unique<TWaitingHandle>(fd), false, ReadWaiting, nullptr, SeekWaiting, &pb);
    if (ret < 0) return ret;
    io.reset(pb);
    return 1;
}

int OpenInputThroughOwnIO(const std::string& url, TCustomIOPtr& io) {
    const int opened = OpenRegisteredProtocol(url, AVIO_FLAG_READ, io);
    return opened != 0 ? opened : OpenWaitingInput(url, io);
}

} // namespace avhelpers
