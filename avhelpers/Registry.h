// The system's own registries of URL protocols and in-program filters. The
// libraries of this generation cannot register either, so the engine looks
// names up here before asking the libraries. No library needs to be loaded.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern "C" {
struct AVFrame;
struct AVIOContext;
}

namespace avhelpers {

// Opens the url (the whole name, scheme included) with AVIO_FLAG_* flags.
// On success returns 0 and stores an AVIOContext the caller then owns; on
// failure returns a negative error code and leaves *pb unchanged.
using TProtocolOpen = int (*)(const std::string& url, int flags, AVIOContext** pb);

struct TProtocolRecord {
    std::string Name;              // scheme without ':', matched exactly (byte-wise)
    TProtocolOpen Open = nullptr;
};

// One running instance of an in-program filter, fed the pictures of one
// stream in presentation order. The engine configures it once, before the
// first picture, and hands it only pictures of the configured size and format.
class TFilterStage {
public:
    virtual ~TFilterStage() = default;
    // Pixel formats the stage accepts, preferred first, ended by -1
    // (AV_PIX_FMT_NONE).
    virtual const int* Formats() const = 0;
    // Fixes the input size and format; stores the output size (the format is
    // kept). Returns 0 or a negative error code.
    virtual int Configure(int width, int height, int format, int& outWidth, int& outHeight) = 0;
    // True when the stage changes pictures in place (its output size is then
    // its input size).
    virtual bool WorksInPlace() const = 0;
    // Filters one picture. In place, out is null and in is writable.
    // Otherwise out is an allocated picture of the output size and format
    // whose properties are copied from in already. Returns 0 or a negative
    // error code.
    virtual int FilterFrame(AVFrame* in, AVFrame* out) = 0;
};

// Creates a stage from the filter's argument text (what follows '=' in a
// filter description, empty without); null when the arguments are refused.
using TFilterFactory = std::function<std::unique_ptr<TFilterStage>(const std::string& args)>;

struct TFilterRecord {
    std::string Name;              // matched exactly (byte-wise)
    std::string Description;
    TFilterFactory Create;
};

// Registers the record unless one with the same name is registered already;
// then the registry stays unchanged (the first record wins). Thread-safe.
void RegisterProtocolOnce(const TProtocolRecord& record);
void RegisterFilterOnce(const TFilterRecord& record);

// Copies of registered records (records may be registered concurrently).
std::optional<TProtocolRecord> FindProtocol(const std::string& name);
// The record whose name followed by ':' begins the url; the longest such name
// when several do.
std::optional<TProtocolRecord> FindProtocolForUrl(const std::string& url);
std::optional<TFilterRecord> FindFilter(const std::string& name);

// Names in registration order.
std::vector<std::string> RegisteredProtocolNames();
std::vector<std::string> RegisteredFilterNames();

} // namespace avhelpers
