#include "avhelpers/UnicodeProtocol.h"

#include "avbind/AVPtr.h"
#include "avhelpers/Registry.h"
#include "avhelpers/StreamProtocol.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace avhelpers {

using namespace avbind;

namespace {

struct TFileHandle : TProtocolHandle {
    explicit TFileHandle(int fd) : Fd(fd) {}
    ~TFileHandle() override { ::close(Fd); }
    int Fd;
};

int Fd(void* opaque) { return static_cast<TFileHandle*>(opaque)->Fd; }

int ReadFile(void* opaque, std::uint8_t* buffer, int size) {
    const ssize_t n = ::read(Fd(opaque), buffer, static_cast<std::size_t>(size));
    if (n < 0) return AVERROR(errno);
    return n == 0 ? AVERROR_EOF : static_cast<int>(n);
}

int WriteFile(void* opaque, std::uint8_t* buffer, int size) {
    const ssize_t n = ::write(Fd(opaque), buffer, static_cast<std::size_t>(size));
    return n < 0 ? AVERROR(errno) : static_cast<int>(n);
}

std::int64_t SeekFile(void* opaque, std::int64_t offset, int whence) {
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(Fd(opaque), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
    }
    return ::lseek(Fd(opaque), static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
}

int OpenFile(const std::string& url, int flags, AVIOContext** pb) {
    std::string path = url.substr(std::string("unicode:").size());
    if (path.rfind("//", 0) == 0) path.erase(0, 2);
    const bool read = flags & AVIO_FLAG_READ, write = flags & AVIO_FLAG_WRITE;
    const int mode = read && write ? O_RDWR | O_CREAT | O_TRUNC : write ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY;
    const int fd = ::open(path.c_str(), mode | O_CLOEXEC, 0666);
    if (fd < 0) return AVERROR(errno);
    return OpenCustomIO(std::make_unique<TFileHandle>(fd), write, ReadFile, WriteFile, SeekFile, pb);
}

} // namespace

void RegisterUnicodeProtocol() { RegisterProtocolOnce(TProtocolRecord{"unicode", OpenFile}); }

} // namespace avhelpers
