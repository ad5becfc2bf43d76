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
    Finput_files_ts_offset.resize(static_cast<std::size_t>(maxFiles));
    Finput_files_ts_scale.resize(static_cast<std::size_t>(maxFiles));
    Foutput_files.resize(static_cast<std::size_t>(maxFiles));
    Foutput_streams_for_file.resize(static_cast<std::size_t>(maxFiles));
    FOutputVideoHook.Converter = std::make_unique<avhelpers::TFormatConverter>();
    // The system's own protocols (the libraries cannot register any).
    avhelpers::RegisterUnicodeProtocol();
    avhelpers::RegisterStreamProtocol();
    avhelpers::RegisterRotateFilter();
    ResetToDefaults();
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

void TCustomFFmpeg::ResetToDefaults() {
    // The option holders and every library object need the libraries.
    if (!FFLoader().Loaded(EncoderLibraries)) return;
    for (int i = 0; i < FMaxFiles; ++i) {
        Finput_files_ts_scale[static_cast<std::size_t>(i)].clear();
        Foutput_files[static_cast<std::size_t>(i)].reset();
    }
    Flast_asked_format.clear();
    Fframe_width = Fframe_height = 0;
    Fframe_aspect_ratio = 0;
    Fframe_pix_fmt = AV_PIX_FMT_NONE;
    Fframe_bits_per_raw_sample = 0;
    Faudio_sample_fmt = AV_SAMPLE_FMT_NONE;
    for (int& m : Fmax_frames) m = INT_MAX;
    Fframe_rate = {0, 0};
    Fvideo_qscale = 0;
    Fintra_matrix.reset();
    Finter_matrix.reset();
    Fvideo_rc_override_string.clear();
    Fvideo_disable = false;
    Fvideo_discard = 0;
    Fvideo_codec_name.clear();
    Fvideo_codec_tag = 0;
    Fvideo_language.clear();
    Fsame_quality = false;
    Fdo_deinterlace = false;
    Fautorotate = true;
    Ftop_field_first = -1;
    Fme_threshold = 0;
    Fintra_dc_precision = 8;
    Floop_input = false;
    Floop_output = -1;
    Fqp_hist = false;
    Fvfilters.clear();
    FEnableFilter = false;
    Fintra_only = false;
    Faudio_sample_rate = 0;
    Fchannel_layout = 0;
    Faudio_qscale = -99999.0f;
    Faudio_disable = false;
    Faudio_channels = 0;
    Faudio_codec_name.clear();
    Faudio_codec_tag = 0;
    Faudio_language.clear();
    Fsubtitle_disable = false;
    Fsubtitle_codec_name.clear();
    Fsubtitle_language.clear();
    Fsubtitle_codec_tag = 0;
    Fdata_disable = false;
    Fdata_codec_name.clear();
    Fdata_codec_tag = 0;
    Fmux_preload = 0.5f;
    Fmux_max_delay = 0.7f;
    Frecording_time = INT64_MAX;
    Fstart_time = 0;
    Frecording_timestamp = 0;
    Finput_ts_offset = 0;
    Fmetadata.Clear();

    Fdo_benchmark = Fdo_hex_dump = Fdo_pkt_dump = Fdo_psnr = false;
    Fdo_pass = 0;
    Fpass_logfilename_prefix.clear();
    Faudio_stream_copy = Fvideo_stream_copy = Fsubtitle_stream_copy = Fdata_stream_copy = 0;
    Fvideo_sync_method = -1;
    Faudio_sync_method = 0;
    Faudio_drift_threshold = 0.1f;
    Fcopy_ts = Fcopy_tb = Fopt_shortest = false;
    Fvstats_filename.clear();
    Fvstats_file.reset();
    Fopt_programid = 0;
    Fcopy_initial_nonkeyframes = 0;
    Frate_emu = false;
    Fvideo_channel = 0;
    Fvideo_standard.clear();
    Faudio_volume = 256;
    Fexit_on_error = Fusing_stdin = Fusing_vhook = false;
    Fverbose = 1;
    Frun_as_daemon = false;
    Fthread_count = 0;
    Fread_folder.clear();
    Fq_pressed = Finput_sync = false;
    Flimit_filesize = 0;
    Fforce_fps = false;
    Fforced_key_frames.clear();
    Fdts_delta_threshold = 10.0f;

    Fvideo_size = Faudio_size = Fextra_size = 0;
    Fnb_frames_dup = Fnb_frames_drop = 0;
    FShowDupOrDrop = false;
    Ftimer_start = 0;

    Fmetadata_global_autocopy = Fmetadata_streams_autocopy = Fmetadata_chapters_autocopy = 1;
    avhelpers::InitOptions(FOptions, SWS_BICUBIC);
    ClearPostHookContext();
    {
        std::lock_guard lock(PostHookLock());
        FPostHooks.clear();
        FPostHooksChanged = false;
    }
    FJoinMode = false;
    FConverting = false;
    FBroken = false;
    FFinished = false;
    FTerminated = false;
    FFatalException = false;
    FUnreadableOutputs.clear();
    FTotalOutputDuration = -1;
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
    FBroken = false;
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
        TAVOutputContextRef& oc = Foutput_files[static_cast<std::size_t>(i)];
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
        Foutput_files[static_cast<std::size_t>(i)].reset();
        Foutput_streams_for_file[static_cast<std::size_t>(i)].clear();
    }
    Fnb_output_files = 0;
    for (int i = 0; i < Fnb_input_files; ++i) {
        Finput_files[static_cast<std::size_t>(i)].ctx.reset();
        Finput_files[static_cast<std::size_t>(i)].custom_io.reset();
        Finput_files_ts_scale[static_cast<std::size_t>(i)].clear();
    }
    Fnb_input_files = 0;

    Fintra_matrix.reset();
    Finter_matrix.reset();
    Fvstats_file.reset();
    Fvstats_filename.clear();
    Fstreamid_map.clear();
    Finput_codecs.clear();
    Fstream_maps.clear();
    Fmeta_data_maps.clear();
    Fchapter_maps.clear();
    Finput_streams.clear();
    Fvideo_codec_name.clear();
    Faudio_codec_name.clear();
    Fsubtitle_codec_name.clear();
    Fdata_codec_name.clear();
    Fvideo_standard.clear();
    avhelpers::FreeOptions(FOptions);
    Fvideo_rc_override_string.clear();
    Fmetadata.Clear();
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
    if (FConverting) {
        Stop(wait);
        return;
    }
    if (FTerminated || FTermThread.joinable()) return;
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
