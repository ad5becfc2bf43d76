// The log bridge: library log fragments become whole lines per thread, the
// system's own messages are filtered by level, and both reach one handler,
// on the main thread when asked (through the main-thread call queue).
#pragma once

#include "avbind/MainThread.h"
#include "avbind/Platform.h"

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace avbind {

enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// 8 × ordinal − 8.
constexpr int LogLevelToLibrary(TLogLevel level) { return 8 * static_cast<int>(level) - 8; }
// Level / 8 (toward zero) + 1, limited to llQuiet..llDebug.
constexpr TLogLevel LibraryToLogLevel(int level) {
    int ord = level / 8 + 1;
    return static_cast<TLogLevel>(ord < 0 ? 0 : ord > 7 ? 7 : ord);
}

struct TLogInfo {
    const void* Sender = nullptr;
    std::uint32_t ThreadID = 0;
    TLogLevel LogLevel = llInfo;
    std::string LogMsg;
};

using TLogEvent = std::function<void(const void* sender, std::uint32_t threadID, TLogLevel level,
                                     const std::string& msg)>;

std::uint32_t CurrentThreadID();

// Common base of the system's components: owned and freed by their owner.
class TFFBaseComponent {
public:
    virtual ~TFFBaseComponent() = default;
};

class TFFLogger : public TFFBaseComponent {
public:
    // Replaces an auto-created process logger; a second explicit logger is a
    // misuse (std::logic_error "Allow creating only one instance of TFFLogger.").
    TFFLogger();
    ~TFFLogger() override;
    TFFLogger(const TFFLogger&) = delete;
    TFFLogger& operator=(const TFFLogger&) = delete;

    TLogLevel LogLevel() const;
    void SetLogLevel(TLogLevel level);
    bool TriggerEventInMainThread() const;
    void SetTriggerEventInMainThread(bool value);
    void SetOnLog(TLogEvent handler);
    bool AutoCreated() const { return FAutoCreated; }

    // The "loglevel" option: a level name (any case) or a library level number.
    // Text that is neither raises std::invalid_argument.
    void OptLogLevel(const std::string& text);

    // Installs the bridge's callback in the loaded utility library and applies the level.
    void InstallAVLogCallback();

    // The system's own messages.
    void Log(const void* sender, TLogLevel level, std::string_view msg);
    template <class... A>
        requires(sizeof...(A) > 0)
    void Log(const void* sender, TLogLevel level, const char* format, A... args) {
        if (WouldLog(level)) Log(sender, level, Format(format, args...));
    }

private:
    friend TFFLogger& FFLogger();
    bool WouldLog(TLogLevel level) const;

    bool FAutoCreated = false;
};

// The process logger; auto-created when there is none.
TFFLogger& FFLogger();

// The callback installed with av_log_set_callback.
void LogCallback(void* context, int level, const char* format, va_list args);
// The last error line the libraries logged on this thread (whatever the log
// level lets through), and empties it; a failed library call's own reason.
std::string TakeLastLibraryError();

// Gives the library its own callback back (before the utility library goes).
void RestoreDefaultLogCallback();
// Frees pending lines, an auto-created logger and the repeat state; restores
// the library's default callback when the utility library is still loaded.
void LogBridgeShutdown();

// Current library level (initially 32), as the bridge filters library lines.
int LibraryLogLevel();

} // namespace avbind
