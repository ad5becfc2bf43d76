// Shared pieces of the engine tests: a log catcher and an engine whose
// transcode run is supplied by the test.
#pragma once

#include "engine/Engine.h"
#include "tests/support/LogCatcher.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zctest {

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
    // An output opened as a conversion would open it.
    void AdoptOutput(int index, AVFormatContext* oc) {
        Foutput_files[static_cast<std::size_t>(index)].ctx.reset(oc, engine::TAVOutputContextDeleter());
    }
    void InstallPreviewer(std::unique_ptr<engine::TEnginePreviewer> previewer) {
        FOutputVideoHook.Previewer = std::move(previewer);
    }
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
