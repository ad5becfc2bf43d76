// Shared pieces of the engine tests: a log catcher and an engine whose
// transcode run is supplied by the test.
#pragma once

#include "engine/FFmpeg.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zctest {

// Catches what the engine logs, delivered directly (not through the main thread).
class TLogCatcher {
public:
    TLogCatcher() {
        avbind::FFLogger().SetTriggerEventInMainThread(false);
        avbind::FFLogger().SetOnLog(
            [this](const void* sender, std::uint32_t, avbind::TLogLevel level, const std::string& msg) {
                std::lock_guard lock(FLock);
                FLines.push_back({sender, level, msg});
            });
    }
    ~TLogCatcher() { avbind::FFLogger().SetOnLog(nullptr); }

    struct TLine {
        const void* Sender;
        avbind::TLogLevel Level;
        std::string Msg;
    };
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

private:
    std::mutex FLock;
    std::vector<TLine> FLines;
};

// An engine whose transcode run is the test's; it can pretend to have files.
class TScriptedFFmpeg : public engine::TCustomFFmpeg {
public:
    TScriptedFFmpeg() : TCustomFFmpeg(4) {}
    ~TScriptedFFmpeg() override { Stop(true); }  // before the script's captures go

    std::function<void(TScriptedFFmpeg&)> Script;

    void PretendFiles(int inputs, int outputs) {
        Fnb_input_files = inputs;
        Fnb_output_files = outputs;
    }
    // What a transcode loop does at every pass.
    bool KeepGoing() {
        PassPauseGate();
        return !FBroken;
    }
    void MarkFinished() { FFinished = !FBroken; }
    using TCustomFFmpeg::ReadTimeoutCheck;
    using TCustomFFmpeg::StopCheck;
    void SetLastRead(std::int64_t t) { FLastRead = t; }
    std::int64_t LastRead() const { return FLastRead; }

protected:
    void RunTranscode() override {
        if (Script) Script(*this);
    }
};

} // namespace zctest
