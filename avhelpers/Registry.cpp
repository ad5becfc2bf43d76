#include "avhelpers/Registry.h"

#include <mutex>

namespace avhelpers {

namespace {

template <class TRecord>
class TRegistry {
public:
    void RegisterOnce(const TRecord& record) {
        std::lock_guard<std::mutex> lock(FLock);
        for (const TRecord& r : FRecords) {
            if (r.Name == record.Name) return;
        }
        FRecords.push_back(record);
    }

    std::optional<TRecord> Find(const std::string& name) {
        std::lock_guard<std::mutex> lock(FLock);
        for (const TRecord& r : FRecords) {
            if (r.Name == name) return r;
        }
        return std::nullopt;
    }

    std::optional<TRecord> FindForUrl(const std::string& url) {
        std::lock_guard<std::mutex> lock(FLock);
        const TRecord* best = nullptr;
        for (const TRecord& r : FRecords) {
            const std::size_t n = r.Name.size();
            if (url.size() > n && url[n] == ':' && url.compare(0, n, r.Name) == 0 &&
                (!best || n > best->Name.size()))
                best = &r;
        }
        if (!best) return std::nullopt;
        return *best;
    }

    std::vector<std::string> Names() {
        std::lock_guard<std::mutex> lock(FLock);
        std::vector<std::string> names;
        names.reserve(FRecords.size());
        for (const TRecord& r : FRecords) names.push_back(r.Name);
        return names;
    }

private:
    std::mutex FLock;
    std::vector<TRecord> FRecords;
};

// Function-local so that registration from static initialisers finds them built.
TRegistry<TProtocolRecord>& Protocols() {
    static TRegistry<TProtocolRecord> registry;
    return registry;
}

TRegistry<TFilterRecord>& Filters() {
    static TRegistry<TFilterRecord> registry;
    return registry;
}

} // namespace

void RegisterProtocolOnce(const TProtocolRecord& record) { Protocols().RegisterOnce(record); }
void RegisterFilterOnce(const TFilterRecord& record) { Filters().RegisterOnce(record); }

std::optional<TProtocolRecord> FindProtocol(const std::string& name) { return Protocols().Find(name); }
std::optional<TProtocolRecord> FindProtocolForUrl(const std::string& url) { return Protocols().FindForUrl(url); }
std::optional<TFilterRecord> FindFilter(const std::string& name) { return Filters().Find(name); }

std::vector<std::string> RegisteredProtocolNames() { return Protocols().Names(); }
std::vector<std::string> RegisteredFilterNames() { return Filters().Names(); }

} // namespace avhelpers
