#include "avbind/FFLog.h"

#include "avbind/Text.h"
#include "avbind/FFEntries.h"

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <utility>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <strings.h>
#include <unistd.h>
#include <unordered_map>

namespace avbind {

namespace {

// Everything the bridge lock guards.
struct TBridgeState {
    std::mutex Lock;
    TFFLogger* Logger = nullptr;
    int LibraryLevel = 32;
    std::string LastMessage;
    int RepeatCount = 0;
    std::unordered_map<std::uint32_t, std::string> Pending;  // per thread
    // Per-logger settings live here too: the callback reads them from any thread.
    TLogLevel Level = llInfo;
    bool InMainThread = true;
    TLogEvent OnLog;
};

TBridgeState& Bridge() {
    static TBridgeState state;
    return state;
}

// What a delivery needs, taken under the lock so no logger pointer escapes it.
struct TDelivery {
    TLogEvent Handler;
    bool InMainThread = true;
    const void* Logger = nullptr;
};

TDelivery SnapshotLocked(TBridgeState& b) {
    if (!b.Logger || !b.OnLog) return {};
    return {b.OnLog, b.InMainThread, b.Logger};
}

void Deliver(const TDelivery& d, const TLogInfo& info) {
    if (!d.Handler) return;
    auto call = [&] { d.Handler(info.Sender, info.ThreadID, info.LogLevel, info.LogMsg); };
    if (d.InMainThread)
        CallInMainThread(call);
    else
        call();
}

void ApplyLevelLocked(TBridgeState& b) {
    if (!avutil.av_log_set_level) return;
    b.LibraryLevel = LogLevelToLibrary(b.Level);
    avutil.av_log_set_level(b.LibraryLevel);
}

// Appends the printf result of format/args to out; args is left untouched.
void AppendFormatted(std::string& out, const char* format, va_list args) {
    char buffer[2048];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buffer, sizeof buffer, format, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof buffer) {
        out.append(buffer, static_cast<std::size_t>(n));
        return;
    }
    std::string big(static_cast<std::size_t>(n), '\0');
    va_copy(copy, args);
    std::vsnprintf(big.data(), big.size() + 1, format, copy);
    va_end(copy);
    out += big;
}

void AppendPrefix(std::string& out, void* context) {
    const AVClass* avc = *static_cast<AVClass**>(context);
    if (!avc) return;
    char buffer[256];
    auto name = [](const AVClass* c, void* obj) {
        return c->item_name ? c->item_name(obj) : c->class_name;
    };
    if (avc->parent_log_context_offset) {
        void* parent = *reinterpret_cast<void**>(static_cast<char*>(context) + avc->parent_log_context_offset);
        if (parent && *static_cast<AVClass**>(parent)) {
            const AVClass* pc = *static_cast<AVClass**>(parent);
            std::snprintf(buffer, sizeof buffer, "[%s @ %p] ", name(pc, parent), parent);
            out += buffer;
        }
    }
    std::snprintf(buffer, sizeof buffer, "[%s @ %p]", name(avc, context), context);
    out += buffer;
}

} // namespace

std::uint32_t CurrentThreadID() {
    thread_local const std::uint32_t id = static_cast<std::uint32_t>(gettid());
    return id;
}

int LibraryLogLevel() {
    TBridgeState& b = Bridge();
    std::lock_guard lock(b.Lock);
    return b.LibraryLevel;
}

// ---- TFFLogger ----

TFFLogger::TFFLogger() {
    TBridgeState& b = Bridge();
    TFFLogger* autoCreated = nullptr;
    {
        std::lock_guard lock(b.Lock);
        if (b.Logger) {
            if (!b.Logger->FAutoCreated) throw std::logic_error("Allow creating only one instance of TFFLogger.");
            autoCreated = b.Logger;
        }
        b.Logger = this;
        b.Level = LibraryToLogLevel(b.LibraryLevel);
        b.InMainThread = true;
        b.OnLog = nullptr;
    }
    if (autoCreated) {
        delete autoCreated;
    }
}

TFFLogger::~TFFLogger() {
    TBridgeState& b = Bridge();
    std::lock_guard lock(b.Lock);
    if (b.Logger == this) {
        b.Logger = nullptr;
        b.OnLog = nullptr;
    }
}

TFFLogger& FFLogger() {
    TBridgeState& b = Bridge();
    {
        std::lock_guard lock(b.Lock);
        if (b.Logger) return *b.Logger;
    }
    // Not under the lock: the constructor takes it.
    static std::mutex creation;
    std::lock_guard guard(creation);
    {
        std::lock_guard lock(b.Lock);
        if (b.Logger) return *b.Logger;
    }
    auto* logger = new TFFLogger;
    logger->FAutoCreated = true;
    return *logger;
}

TLogLevel TFFLogger::LogLevel() const {
    TBridgeState& b = Bridge();
    std::lock_guard lock(b.Lock);
    return b.Logger == this ? b.Level : llInfo;
}

void TFFLogger::SetLogLevel(TLogLevel level) {
    TBridgeState& b = Bridge();
    std::lock_guard lock(b.Lock);
    if (b.Logger != this || b.Level == level) return;
    b.Level = level;
    ApplyLevelLocked(b);
}

bool TFFLogger::TriggerEventInMainThread() const {
    TBridgeState& b = Bridge();
    std::lock_guard lock(b.Lock);
    return b.InMainThread;
}

void TFFLogger::SetTriggerEventInMainThread(bool value) {
    TBridgeState& b = Bridge();
    std::lock_guard lock(b.Lock);
    if (b.Logger == this) b.InMainThread = value;
}

void TFFLogger::SetOnLog(TLogEvent handler) {
    TBridgeState& b = Bridge();
    std::lock_guard lock(b.Lock);
    if (b.Logger == this) b.OnLog = std::move(handler);
}

void TFFLogger::OptLogLevel(const std::string& text) {
    static const struct {
        const char* Name;
        int Level;
    } names[] = {{"quiet", -8}, {"panic", 0},    {"fatal", 8},    {"error", 16},
                 {"warning", 24}, {"info", 32}, {"verbose", 40}, {"debug", 48}};
    for (const auto& n : names) {
        if (strcasecmp(text.c_str(), n.Name) == 0) {
            SetLogLevel(LibraryToLogLevel(n.Level));
            return;
        }
    }
    const int value = StrToInt(text);
    SetLogLevel(LibraryToLogLevel(value));
}

void TFFLogger::InstallAVLogCallback() {
    if (!avutil.av_log_set_callback || !avutil.av_log_set_level)
        throw std::logic_error("InstallAVLogCallback: the utility library is not loaded");
    avutil.av_log_set_callback(LogCallback);
    TBridgeState& b = Bridge();
    std::lock_guard lock(b.Lock);
    if (b.Logger == this) ApplyLevelLocked(b);
}

bool TFFLogger::WouldLog(TLogLevel level) const {
    TBridgeState& b = Bridge();
    std::lock_guard lock(b.Lock);
    if (b.Logger != this || !b.OnLog) return false;
    return level <= b.Level || (level == llVerbose && b.Level != llQuiet);
}

void TFFLogger::Log(const void* sender, TLogLevel level, std::string_view msg) {
    TBridgeState& b = Bridge();
    TDelivery d;
    {
        std::lock_guard lock(b.Lock);
        if (b.Logger != this || !b.OnLog) return;
        if (!(level <= b.Level || (level == llVerbose && b.Level != llQuiet))) return;
        d = SnapshotLocked(b);
    }
    Deliver(d, TLogInfo{sender, CurrentThreadID(), level, std::string(msg)});
}

// ---- The library callback ----

namespace {
thread_local std::string GLastLibraryError;
}

std::string TakeLastLibraryError() { return std::exchange(GLastLibraryError, std::string()); }

void LogCallback(void* context, int level, const char* format, va_list args) {
    if (level <= AV_LOG_ERROR && format && std::strcmp(format, "%s") != 0) {
        std::string text;
        va_list copy;
        va_copy(copy, args);
        AppendFormatted(text, format, copy);
        va_end(copy);
        text = text.substr(0, text.find('\n'));  // the reason's first line
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        if (!text.empty()) GLastLibraryError = text;
    }
    TBridgeState& b = Bridge();
    const std::uint32_t tid = CurrentThreadID();
    std::vector<std::string> lines;
    TDelivery d;
    {
        std::lock_guard lock(b.Lock);
        if (level > b.LibraryLevel) return;
        auto found = b.Pending.find(tid);
        const bool lineStarts = found == b.Pending.end() || found->second.empty();

        std::string text;
        if (context && lineStarts) AppendPrefix(text, context);
        bool emptyMessage = false;
        if (format && std::strcmp(format, "%s") == 0) {
            va_list copy;
            va_copy(copy, args);
            emptyMessage = va_arg(copy, const char*) == nullptr;
            va_end(copy);
        }
        if (format && !emptyMessage) AppendFormatted(text, format, args);

        if (!text.empty() && text.back() == '\n' && text == b.LastMessage) {
            ++b.RepeatCount;
            return;
        }
        if (b.RepeatCount > 1) {
            char notice[64];
            std::snprintf(notice, sizeof notice, "    Last message repeated %d times", b.RepeatCount);
            lines.emplace_back(notice);
        }
        b.RepeatCount = 0;
        b.LastMessage = text;

        std::string& pending = b.Pending[tid];
        pending += text;
        std::size_t start = 0, lf;
        while ((lf = pending.find('\n', start)) != std::string::npos) {
            lines.emplace_back(pending, start, lf - start);
            start = lf + 1;
        }
        pending.erase(0, start);
        if (pending.empty()) b.Pending.erase(tid);
        d = SnapshotLocked(b);
    }
    // Delivered outside the lock: a main thread that logs must not wait for a
    // worker that waits for the main thread.
    const TLogLevel mapped = LibraryToLogLevel(level);
    for (std::string& line : lines) Deliver(d, TLogInfo{d.Logger, tid, mapped, std::move(line)});
}

void RestoreDefaultLogCallback() {
    if (avutil.av_log_set_callback && avutil.av_log_default_callback)
        avutil.av_log_set_callback(avutil.av_log_default_callback);
}

void LogBridgeShutdown() {
    RestoreDefaultLogCallback();
    TBridgeState& b = Bridge();
    TFFLogger* autoCreated = nullptr;
    {
        std::lock_guard lock(b.Lock);
        b.Pending.clear();
        b.LastMessage.clear();
        b.RepeatCount = 0;
        if (b.Logger && b.Logger->AutoCreated()) autoCreated = b.Logger;
    }
    delete autoCreated;
}

} // namespace avbind
