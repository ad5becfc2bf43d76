// Construction, reset, the worker thread, stop/pause/resume, termination and
// clean-up of the engine.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avhelpers/InProgramFilters.h"
#include "avhelpers/StreamProtocol.h"
#include "avhelpers/UnicodeProtocol.h"

#include <cmath>
#include <sys/stat.h>
#include <unistd.h>

namespace engine {

using namespace avbind;

std::mutex& CodecListLock() {
    static std::mutex lock;
    return lock;
}

std::mutex& PostHookLock() {
    static std::mutex lock;
    return lock;
}

std::int64_t ParseTimeSpec(const std::string& context, const std::string& text, bool isDuration) {
    std::int64_t value = 0;
    if (avutil.av_parse_time(&value, text.c_str(), isDuration ? 1 : 0) < 0)
        RaiseFF("Invalid %s specification for %s: %s", isDuration ? "duration" : "date", context.c_str(),
                text.c_str());
    return value;
}

// ---- Construction and reset ----

TCustomFFmpeg::TCustomFFmpeg(int maxFiles) : FMaxFiles(maxFiles) {
    if (maxFiles < 1 || maxFiles > MaxFilesLimit)
        throw std::invalid_argument(Format("TCustomFFmpeg: the maximum number of files must be 1 to %d, not %d",
                                           MaxFilesLimit, maxFiles));
    Finput_files.resize(static_cast<std::size_t>(maxFiles));
    Foutput_files.resize(static_cast<std::size_t>(maxFiles));
    FOutputVideoHook.Converter = std::make_unique<avhelpers::TFormatConverter>();
    // The system's own protocols (the libraries cannot register any).
    avhelpers::RegisterUnicodeProtocol();
    avhelpers::RegisterStreamProtocol();
    avhelpers::RegisterRotateFilter();
    // The library option holders need the libraries; every other default is a member's initialiser.
    if (FFLoader().Loaded(EncoderLibraries)) avhelpers::InitOptions(FOptions, SWS_BICUBIC);
}

TCustomFFmpeg::~TCustomFFmpeg() {
    Stop(true);
    {
        std::lock_guard lock(FThreadLock);
        if (FThread.joinable()) FThread.join();
    }
    if (FTermThread.joinable()) FTermThread.join();
    CleanUp();
}

void TCustomFFmpeg::ClearPostHookContext() {
    FOutputVideoHook.Previewer.reset();
    FOutputVideoHook.preview_last_time = 0;
    FOutputVideoHook.preview_cur_time = 0;
}

// ---- Post hooks ----

TPostHooks TCustomFFmpeg::PostHooks() {
    std::lock_guard lock(PostHookLock());
    return FPostHooks;
}

void TCustomFFmpeg::SetPostHooks(const TPostHooks& hooks) {
    std::lock_guard lock(PostHookLock());
    if (FPostHooks.count(TPostHook::phPreview) && !hooks.count(TPostHook::phPreview))
        FOutputVideoHook.Previewer.reset();
    FPostHooks = hooks;
    FPostHooksChanged = true;
}

// ---- Starting, the worker, termination ----

void TCustomFFmpeg::Fail(const std::string& message) {
    FFLogger().Log(this, llQuiet, message);
    FFatalException = true;
    FFatalMessage = message;
    TerminationStep();
}

bool TCustomFFmpeg::StartConvert(bool useThread, TThreadPriority priority) {
    if (FConverting || FTerminated) return false;
    // Cleared before the claim: a stop that comes after it must stay.
    FBroken = false;
    if (FClaimed.exchange(true)) return false;
    // A task whose files are added as it starts is checked by its set-up instead.
    if (Fnb_output_files == 0 && !FFilesAddedAtStart) {
        CleanUp();
        Fail("At least one output file must be specified");
        return false;
    }
    if (Fnb_input_files == 0 && !FFilesAddedAtStart) {
        CleanUp();
        Fail("At least one input file must be specified");
        return false;
    }
    FConverting = true;
    FFinished = false;
    FTerminated = false;
    if (!useThread) {
        RunConversion();
        return false;
    }
    // Reset before the thread exists, so a waiter that comes first still waits.
    FStopEvent.Reset();
    FHasWorker = true;
    std::lock_guard lock(FThreadLock);
    FThread = std::thread(&TCustomFFmpeg::WorkerBody, this, priority);
    return true;
}

void TCustomFFmpeg::WorkerBody(TThreadPriority priority) {
    SetCurrentThreadPriority(priority);
    RunConversion();
    FStopEvent.Set();
}

void TCustomFFmpeg::Guarded(const std::function<void()>& step) {
    try {
        step();
    } catch (const std::exception& e) {
        // After a stop, a step that fails was cut short by it (an interrupted
        // open or write): the task was stopped, it did not fail.
        if (FBroken) {
            FFLogger().Log(this, llInfo, std::string("stopped: ") + e.what());
            return;
        }
        FFLogger().Log(this, llQuiet, e.what());
        FFatalException = true;
        FFatalMessage = e.what();
    }
}

void TCustomFFmpeg::RunConversion() {
    FFinished = false;
    Guarded([this] { RunTranscode(); });
    Guarded([this] { CloseCodecs(); });
    Guarded([this] { CleanUp(); });
    Guarded([this] { TerminationStep(); });
    // Makes the log bridge report a pending repeat count of this task.
    if (avutil.av_log) avutil.av_log(nullptr, AV_LOG_QUIET, "%s", static_cast<const char*>(nullptr));
}

void TCustomFFmpeg::CloseCodecs() {
    std::lock_guard lists(CodecListLock());
    std::lock_guard codecs(CodecMutex());
    for (TCodecItem& item : FEncoderList) {
        if (item.ost && item.ost->enc_ctx) {
            avbind::avutil.av_freep(&item.ost->enc_ctx->stats_in);
            item.ost->enc_ctx.reset();
        }
    }
    FEncoderList.clear();
    for (TCodecItem& item : FDecoderList)
        if (item.ist) item.ist->dec_ctx.reset();
    FDecoderList.clear();
}

void TCustomFFmpeg::TerminationStep() {
    FConverting = false;
    FTerminated = true;
    FHasWorker = false;
    if (FOnTerminate) FOnTerminate(this);
}

// ---- Clean-up ----

void TCustomFFmpeg::CleanUp() {
    if (!FFLoader().Loaded(EncoderLibraries)) return;
    const int outputs = FJoinMode ? std::min(Fnb_output_files, 1) : Fnb_output_files;
    for (int i = 0; i < outputs; ++i) {
        TAVOutputContextRef& oc = OutputFileAt(i);
        if (!oc) continue;
        const bool hasFile = oc->oformat && !(oc->oformat->flags & AVFMT_NOFILE) && !(oc->flags & AVFMT_FLAG_CUSTOM_IO);
        if (hasFile && oc->pb) {
            avformat.avio_closep(&oc->pb);
            // A conversion that wrote nothing, or nothing readable, leaves no file behind.
            struct stat st {};
            if (stat(oc->url, &st) == 0 && S_ISREG(st.st_mode) && (st.st_size == 0 || FUnreadableOutputs.count(i)))
                unlink(oc->url);
        }
        oc.reset();
    }
    for (int i = 0; i < FMaxFiles; ++i) {
        OutputFileAt(i).reset();
        OutputStreamsOf(i).clear();
    }
    Fnb_output_files = 0;
    for (int i = 0; i < Fnb_input_files; ++i) {
        InputFileAt(i).ctx.reset();
        InputFileAt(i).custom_io.reset();
    }
    Fnb_input_files = 0;

    // What the options hold (matrices, metadata, maps) goes with the task.
    FFileOpts = TFileOptions{};
    auto& task = FTaskOpts;
    task.vstats_filename.clear();
    task.streamid_map.clear();
    task.stream_maps.clear();
    task.meta_data_maps.clear();
    task.chapter_maps.clear();
    Fvstats_file.reset();
    Finput_codecs.clear();
    Finput_streams.clear();
    avhelpers::FreeOptions(FOptions);
    Fvideo_bitstream_filters.clear();
    Faudio_bitstream_filters.clear();
    Fsubtitle_bitstream_filters.clear();
    for (TFrameHookEntry& hook : FFirstHook)
        if (hook.Release && hook.ctx) hook.Release(hook.ctx);
    FFirstHook.clear();
    ClearPostHookContext();
}

// ---- Stop, pause, resume ----

void TCustomFFmpeg::Stop(bool waitForStop) {
    FBroken = true;
    const bool worker = [this] {
        std::lock_guard lock(FThreadLock);
        return FHasWorker || FThread.joinable();
    }();
    if (worker) {
        Resume();
        if (waitForStop) {
            const bool onMain = IsMainThread();
            while (!FStopEvent.WaitFor(std::chrono::milliseconds(20))) {
                // A worker blocked on a main-thread call must not deadlock this wait.
                if (onMain) PumpMainThreadQueue();
            }
            std::lock_guard lock(FThreadLock);
            if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
        }
    } else {
        FLastRead = 0;
    }
}

void TCustomFFmpeg::Pause() {
    if (!FHasWorker) return;
    std::lock_guard lock(FPauseLock);
    FPaused = true;
}

void TCustomFFmpeg::Resume() {
    std::lock_guard lock(FPauseLock);
    FPaused = false;
    FPauseGate.notify_all();
}

void TCustomFFmpeg::PassPauseGate() {
    std::unique_lock lock(FPauseLock);
    FPauseGate.wait(lock, [this] { return !FPaused || FBroken; });
}

void TCustomFFmpeg::StopOrTerminate(bool wait) {
    if (FConverting || FClaimed.exchange(true)) {
        // Running, being started, or being (or already) terminated.
        if (!FTerminated) Stop(wait);
        return;
    }
    FTermEvent.Reset();
    FTermThread = std::thread([this] {
        // Never started: close the outputs now, so that none stays behind empty.
        CleanUp();
        TerminationStep();
        FTermEvent.Set();
    });
    if (wait) FTermEvent.Wait();
}

// ---- Interrupt checks ----

bool TCustomFFmpeg::ReadTimeoutCheck(void* sender) {
    auto* self = static_cast<TCustomFFmpeg*>(sender);
    if (!self) return false;
    // A stop may come between the checks, after the time of the last read was renewed.
    if (self->FBroken) {
        FFLogger().Log(self, llInfo, "connecting/reading/writing canceled");
        return true;
    }
    if (self->FReadTimeout <= 0) return false;
    const std::int64_t lastRead = self->FLastRead;
    if (avutil.av_gettime() - lastRead <= static_cast<std::int64_t>(self->FReadTimeout) * 1000) return false;
    FFLogger().Log(self, llInfo,
                   lastRead == 0 ? "connecting/reading/writing canceled" : "connecting/reading/writing timeout");
    return true;
}

bool TCustomFFmpeg::StopCheck(void* sender) {
    auto* self = static_cast<TCustomFFmpeg*>(sender);
    return self && self->FBroken;
}

} // namespace engine
