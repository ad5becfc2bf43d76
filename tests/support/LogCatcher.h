// Catches what the log bridge delivers, directly on the logging thread (not
// through the main thread), for as long as it lives.
#pragma once

#include "avbind/FFLog.h"

#include <mutex>
#include <string>
#include <vector>

namespace zctest {

class TLogCatcher {
public:
    struct TLine {
        const void* Sender;
        avbind::TLogLevel Level;
        std::string Msg;
    };

    TLogCatcher() {
        avbind::FFLogger().SetTriggerEventInMainThread(false);
        avbind::FFLogger().SetOnLog(
            [this](const void* sender, std::uint32_t, avbind::TLogLevel level, const std::string& msg) {
                std::lock_guard lock(FLock);
                FLines.push_back({sender, level, msg});
            });
    }
    ~TLogCatcher() { avbind::FFLogger().SetOnLog(nullptr); }
    TLogCatcher(const TLogCatcher&) = delete;
    TLogCatcher& operator=(const TLogCatcher&) = delete;

    bool Contains(const std::string& text) {
        std::lock_guard lock(FLock);
        for (const TLine& l : FLines)
            if (l.Msg == text) return true;
        return false;
    }
    std::vector<TLine> Lines() {
        std::lock_guard lock(FLock);
        return FLines;
    }
    // The last line this sender logged.
    TLine LastFrom(const void* sender) {
        std::lock_guard lock(FLock);
        for (auto it = FLines.rbegin(); it != FLines.rend(); ++it)
            if (it->Sender == sender) return *it;
        return {nullptr, avbind::llQuiet, ""};
    }

private:
    std::mutex FLock;
    std::vector<TLine> FLines;
};

} // namespace zctest
