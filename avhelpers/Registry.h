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

// One running instance of an in-program filter, fed the frames of one stream
// in presentation order.
class TFilterStage {
public:
    virtual ~TFilterStage() = default;
    // Filters the frame in place. The frame stays owned by the caller; its
    // format, size and timestamps must be kept. Returns 0 or a negative error
    // code (the frame's content is then unspecified).
    virtual int FilterFrame(AVFrame* frame) = 0;
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
