// The transcoding engine: one object converts one task (inputs into
// outputs) and holds all the state a command-line transcoder keeps in
// globals. Configured with named options on the building thread, then run on
// its own worker thread (or synchronously) and stopped, paused or resumed
// from outside.
#pragma once

#include "avbind/AVPtr.h"
#include "avbind/FFLog.h"
#include "avbind/Platform.h"
#include "avbind/Sync.h"
#include "avhelpers/FFOptions.h"
#include "avhelpers/FormatConverter.h"
#include "engine/EngineOptions.h"
#include "engine/FrameHookApi.h"
#include "engine/StreamRecords.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace engine {

// The engine's own errors: option and set-up failures with a readable message.
class FFmpegException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using avbind::Format;

// Raises FFmpegException with a formatted message.
template <class... A>
[[noreturn]] void RaiseFF(const char* format, A... args) {
    throw FFmpegException(Format(format, args...));
}

// The preview window as the engine sees it; the encoder layer supplies it.
class TEnginePreviewer {
public:
    virtual ~TEnginePreviewer() = default;
    // Paints one picture; false when the window is gone (the preview then stops).
    virtual bool PaintFrame(const avhelpers::TBitmap& bitmap, int frameNumber, std::int64_t pts) = 0;
};

// Makes the preview window of an engine; installed by the layer that has one.
// Without a factory previews are converted but painted nowhere.
using TPreviewerFactory = std::function<std::unique_ptr<TEnginePreviewer>()>;
void SetPreviewerFactory(TPreviewerFactory factory);

enum class TPostHook { phPreview, phBitmap, phHBITMAP };
using TPostHooks = std::set<TPostHook>;

struct TPostHookContext {
    std::unique_ptr<avhelpers::TFormatConverter> Converter;
    std::unique_ptr<TEnginePreviewer> Previewer;
    std::int64_t preview_last_time = 0;
    std::int64_t preview_cur_time = 0;
};

// A loaded frame-hook plug-in in the chain.
struct TFrameHookEntry {
    ZcHookConfigure Configure = nullptr;
    ZcHookProcess Process = nullptr;
    ZcHookRelease Release = nullptr;
    void* ctx = nullptr;
};

// A codec the transcode set-up opened.
struct TCodecItem {
    TAVOutputStream* ost = nullptr;  // for encoders
    TAVInputStream* ist = nullptr;   // for decoders
};

class TCustomFFmpeg;

// Event signatures (the sender is the engine).
using TProgressEvent = std::function<void(TCustomFFmpeg* sender, int fileIndex, int frameNumber, int fps,
                                          float quality, double bitrate, std::int64_t currentSize,
                                          std::int64_t currentDuration, std::int64_t totalDuration)>;
using TVideoHookEvent = std::function<void(TCustomFFmpeg* sender, avhelpers::TBitmap* bitmap, int frameNumber,
                                           std::int64_t pts, bool& update, bool& stop)>;
using TFrameHookEvent = std::function<void(TCustomFFmpeg* sender, AVFrame* picture, AVPixelFormat pixFmt,
                                           int frameNumber, int width, int height, std::int64_t pts)>;
using TAudioHookEvent = std::function<void(TCustomFFmpeg* sender, std::int64_t pts, std::uint8_t* samples,
                                           int size, int sampleRate, int channels, AVSampleFormat sampleFmt)>;
using TPreviewBitmapEvent =
    std::function<void(TCustomFFmpeg* sender, avhelpers::TBitmap* bitmap, int frameNumber, std::int64_t pts)>;
using TBeforeFindStreamInfoEvent = std::function<void(TCustomFFmpeg* sender, AVFormatContext* ctx)>;
using TTerminateNotify = std::function<void(TCustomFFmpeg* sender)>;

inline constexpr int MAX_STREAMS = 1024;
inline constexpr int MaxFilesLimit = 512;
// The largest picture a decoder may allocate, and the application converts:
// 8192x8192 pixels in all (a 16000x16000 header would need gigabytes).
inline constexpr int MaxPictureSide = 8192;
// A gap between pictures longer than this is jumped, not filled with copies.
inline constexpr double MaxFilledGapSeconds = 60;
inline constexpr std::int64_t MaxPicturePixels = std::int64_t{MaxPictureSide} * MaxPictureSide;

// The process-wide codec-list lock (engines' lists of opened codecs).
std::mutex& CodecListLock();
// The process-wide post-hook lock.
std::mutex& PostHookLock();

// Microseconds from a library time text ("Invalid %s specification for %s: %s" on failure).
std::int64_t ParseTimeSpec(const std::string& context, const std::string& text, bool isDuration);

class TCustomFFmpeg {
public:
    // maxFiles: maximum inputs and maximum outputs, 1 to 512.
    explicit TCustomFFmpeg(int maxFiles);
    virtual ~TCustomFFmpeg();
    TCustomFFmpeg(const TCustomFFmpeg&) = delete;
    TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

    // ---- Control ----

    // Starts the conversion on a worker thread (true returned) or runs it in
    // the calling thread until it ends (false returned). A task runs at most
    // once; a second call, or one after the task was terminated (see
    // StopOrTerminate), does nothing and returns false.
    bool StartConvert(bool useThread, avbind::TThreadPriority priority = avbind::TThreadPriority::tpNormal);
    void Stop(bool waitForStop);
    void Pause();
    void Resume();
    bool Paused() const { return FPaused; }
    // Stops a running task, or terminates one that never started (exactly once).
    void StopOrTerminate(bool wait);

    // ---- Inputs and outputs ----

    // Opens an input with the pending input options; false with LastErrMsg.
    bool OpenInputFile(const std::string& fileName);
    // Creates an output and its streams; the new output count, or -1 with LastErrMsg.
    int OpenOutputFile(const std::string& fileName, bool join);
    // After a joined output: one output entry per input, all on the one context.
    void ExpandJoinedOutput();
    // Checks a codec chosen by name (empty: automatic, id 0); false with LastErrMsg.
    bool LookupCodec(const std::string& name, AVMediaType type, AVCodecID& id, int strictness, bool encoder);

    struct TInputKinds {
        bool Video = false, Audio = false, Subtitle = false, Data = false;
    };
    // The media kinds the opened inputs offer (with join: that every input offers).
    TInputKinds check_inputs(bool join);

    // Stream creators for output `f`; raise on failure.
    void new_video_stream(AVFormatContext* oc, int f);
    void new_audio_stream(AVFormatContext* oc, int f);
    void new_subtitle_stream(AVFormatContext* oc, int f);
    void new_data_stream(AVFormatContext* oc, int f);

    // ---- Options ----

    void SetExtOption(const std::string& AName, const std::string& AValue);
    // Names that take no value on a command line (flags, ignored names, new*).
    static bool IsValuelessOption(const std::string& name);
    void SetForcedFormat(const std::string& name);
    bool SetLibOption(const std::string& name, const std::string& value);
    bool SetLibOptionInt(const std::string& name, int value);
    void SetVerbose(int value) { FTaskOpts.verbose = value; }
    void SetFrameRate(const std::string& value);
    bool SetBitrate(const std::string& option, const std::string& value);
    void SetFrameSize(const std::string& value);
    void SetPixelFormat(const std::string& value);
    void SetSampleFormat(const std::string& value);
    void SetAspectRatio(const std::string& value);
    void AddMetadata(const std::string& key, const std::string& value);
    void SetAudioRate(int value);
    void SetAudioChannels(int value);
    void SetCodecTag(const std::string& option, const std::string& value);
    void SetCodecName(const std::string& option, const std::string& value);
    void SetVideoFilters(const std::string& value);
    void SetRecordingTime(std::int64_t value);
    void SetStartTime(std::int64_t value);
    void SetProgramId(int value);
    void SetAudioVolume(int value);
    void SetAudioSyncMethod(int value) { FTaskOpts.audio_sync_method = value; }
    void SetVideoSyncMethod(int value) { FTaskOpts.video_sync_method = value; }
    void SetMuxMaxDelay(float value);
    void SetMuxPreload(float value);
    void SetHookBitsPixel(int value);
    // The folder the next input may open other files in ("" = anywhere).
    void SetReadFolder(const std::string& folder) { FFileOpts.read_folder = folder; }
    // The next output's creation time (seconds since 1970).
    void SetRecordingTimestamp(std::int64_t seconds) { FFileOpts.recording_timestamp = seconds; }

    // The option state the settings above have built up.
    const TFileOptions& FileOptions() const { return FFileOpts; }
    const TTaskOptions& TaskOptions() const { return FTaskOpts; }

    // Post hooks, changed under the post-hook lock.
    TPostHooks PostHooks();
    void SetPostHooks(const TPostHooks& hooks);

    // ---- Properties ----

    int nb_input_files() const { return Fnb_input_files; }
    int nb_output_files() const { return Fnb_output_files; }
    bool Converting() const { return FConverting; }
    bool Finished() const { return FFinished; }
    bool FatalException() const { return FFatalException; }
    const std::string& FatalMessage() const { return FFatalMessage; }
    const std::string& LastErrMsg() const { return FLastErrMsg; }
    bool Terminated() const { return FTerminated; }
    // A stop was asked for (and the task has not started again since).
    bool StopRequested() const { return FBroken; }
    std::int64_t TotalOutputDuration() const { return FTotalOutputDuration; }
    int ReadTimeout() const { return FReadTimeout; }
    void SetReadTimeout(int ms) { FReadTimeout = ms; }

    // An unknown option name raises (true) or is passed over (false).
    bool HaltOnInvalidOption() const { return FHaltOnInvalidOption; }
    void SetHaltOnInvalidOption(bool on) { FHaltOnInvalidOption = on; }
    // How often progress is reported and previews are painted (microseconds).
    std::int64_t ReportInterval() const { return FReportInterval; }
    void SetReportInterval(std::int64_t us) { FReportInterval = us; }
    std::int64_t PreviewInterval() const { return FPreviewInterval; }
    void SetPreviewInterval(std::int64_t us) { FPreviewInterval = us; }

    // ---- Events ----
    // Set before the task starts. Progress, hooks and previews are called on
    // the thread that runs the task; the termination notice at the very end
    // of it (for a task stopped before it ran, on a thread of its own).
    void SetOnAudioHook(TAudioHookEvent handler) { FOnAudioHook = std::move(handler); }
    void SetOnBeforeFindStreamInfo(TBeforeFindStreamInfoEvent handler) {
        FOnBeforeFindStreamInfo = std::move(handler);
    }
    void SetOnInputVideoHook(TVideoHookEvent handler) { FOnInputVideoHook = std::move(handler); }
    void SetOnOutputVideoHook(TVideoHookEvent handler) { FOnOutputVideoHook = std::move(handler); }
    void SetOnInputFrameHook(TFrameHookEvent handler) { FOnInputFrameHook = std::move(handler); }
    void SetOnOutputFrameHook(TFrameHookEvent handler) { FOnOutputFrameHook = std::move(handler); }
    void SetOnPreviewBitmap(TPreviewBitmapEvent handler) { FOnPreviewBitmap = std::move(handler); }
    void SetOnProgress(TProgressEvent handler) { FOnProgress = std::move(handler); }
    void SetOnTerminate(TTerminateNotify handler) { FOnTerminate = std::move(handler); }

    // ---- What the task holds, for reading ----

    int MaxFiles() const { return FMaxFiles; }
    // The opened context of input `index` (null when none).
    AVFormatContext* InputContext(int index) const {
        return index >= 0 && index < Fnb_input_files ? Finput_files[static_cast<std::size_t>(index)].ctx.get()
                                                     : nullptr;
    }
    const std::vector<TAVInputFile>& InputFiles() const { return Finput_files; }
    const std::vector<std::unique_ptr<TAVInputStream>>& InputStreams() const { return Finput_streams; }
    const std::vector<const AVCodec*>& InputCodecs() const { return Finput_codecs; }
    // The context of output `index` (null when none).
    AVFormatContext* OutputContext(int index) const {
        return index >= 0 && index < FMaxFiles ? Foutput_files[static_cast<std::size_t>(index)].ctx.get() : nullptr;
    }
    const std::vector<std::unique_ptr<TAVOutputStream>>& OutputStreams(int file) const {
        return Foutput_files.at(static_cast<std::size_t>(file)).streams;
    }
    // Library options pending for the next input or output.
    const avhelpers::TFFOptions& LibOptions() const { return FOptions; }
    const avhelpers::TFormatConverter& InputVideoHook() const { return FInputVideoHook; }
    const TPostHookContext& OutputVideoHook() const { return FOutputVideoHook; }
    const std::vector<avbind::TAVBSFContextPtr>& BitstreamFilters(AVMediaType type) const {
        return type == AVMEDIA_TYPE_VIDEO   ? Fvideo_bitstream_filters
               : type == AVMEDIA_TYPE_AUDIO ? Faudio_bitstream_filters
                                            : Fsubtitle_bitstream_filters;
    }
    const std::vector<TFrameHookEntry>& FrameHooks() const { return FFirstHook; }
    int DuplicatedFrames() const { return Fnb_frames_dup; }
    int DroppedFrames() const { return Fnb_frames_drop; }

protected:
    bool FHaltOnInvalidOption = true;
    std::int64_t FReportInterval = 500000;
    std::int64_t FPreviewInterval = 100000;

    TAudioHookEvent FOnAudioHook;
    TBeforeFindStreamInfoEvent FOnBeforeFindStreamInfo;
    TVideoHookEvent FOnInputVideoHook, FOnOutputVideoHook;
    TFrameHookEvent FOnInputFrameHook, FOnOutputFrameHook;
    TPreviewBitmapEvent FOnPreviewBitmap;
    TProgressEvent FOnProgress;
    TTerminateNotify FOnTerminate;

    // ---- Engine state ----
    // Written by the options and the engine's stages only; written on the
    // building thread before the task starts and on the worker while it runs.

    int FMaxFiles;

    // Inputs.
    std::vector<TAVInputFile> Finput_files;
    int Fnb_input_files = 0;
    std::vector<const AVCodec*> Finput_codecs;               // forced decoders per input stream
    std::vector<std::unique_ptr<TAVInputStream>> Finput_streams;

    // Outputs.
    std::vector<TAVOutputFile> Foutput_files;
    int Fnb_output_files = 0;

    // Options for the next file and for the whole task.
    TFileOptions FFileOpts;
    TTaskOptions FTaskOpts;
    TFilePtr Fvstats_file;
    bool Fusing_vhook = false;
    bool FFilesAddedAtStart = false;  // inputs and outputs are added on the worker thread as the task starts

    // Statistics.
    std::int64_t Fvideo_size = 0, Faudio_size = 0, Fextra_size = 0;
    int Fnb_frames_dup = 0, Fnb_frames_drop = 0;
    bool FShowDupOrDrop = false;
    std::int64_t Ftimer_start = 0;

    // Bitstream-filter chains for the next stream of each type.
    std::vector<avbind::TAVBSFContextPtr> Fvideo_bitstream_filters, Faudio_bitstream_filters,
        Fsubtitle_bitstream_filters;

    // Library options pending for the next input or output.
    avhelpers::TFFOptions FOptions;

    // Opened codecs (guarded by the codec-list lock).
    std::vector<TCodecItem> FEncoderList, FDecoderList;

    // Hooks and preview.
    std::vector<TFrameHookEntry> FFirstHook;
    avhelpers::TFormatConverter FInputVideoHook;
    TPostHookContext FOutputVideoHook;

    // The transcode run itself: set-up, packet loop, drain, trailers. Sets
    // FFinished when it reaches its end unbroken.
    virtual void RunTranscode();
    // Releases every input, output and pending resource of the task.
    void CleanUp();
    // Waits here while paused; returns at once once stopping.
    void PassPauseGate();

    // Interrupt checks registered for blocking library calls.
    static bool ReadTimeoutCheck(void* sender);
    static bool StopCheck(void* sender);

    // Control.
    std::thread FThread;
    // Guards FThread: the thread that starts the task assigns it, and the
    // one that stops the task (which may be another) joins it.
    std::mutex FThreadLock;
    std::thread FTermThread;
    std::atomic<bool> FHasWorker{false};
    // Taken by the first of a start and a termination of a task that never
    // ran, from whatever threads they come: only that one ends the task.
    std::atomic<bool> FClaimed{false};
    avbind::TManualResetEvent FStopEvent{true};
    avbind::TManualResetEvent FTermEvent{true};
    std::atomic<bool> FJoinMode{false};
    std::atomic<bool> FConverting{false};
    std::atomic<bool> FBroken{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FPaused{false};
    std::mutex FPauseLock;
    std::condition_variable FPauseGate;
    int FReadTimeout = 10000;                     // milliseconds
    std::atomic<std::int64_t> FLastRead{INT64_MAX};  // microseconds
    bool FFatalException = false;
    std::set<int> FUnreadableOutputs;  // outputs the run could not make readable: removed at the clean-up
    std::string FFatalMessage;
    std::int64_t FTotalOutputDuration = -1;
    std::string FLastErrMsg;
    TPostHooks FPostHooks;
    bool FPostHooksChanged = false;

private:
    // The records by the int indexes the libraries and the maps use.
    TAVInputFile& InputFileAt(int i) { return Finput_files[static_cast<std::size_t>(i)]; }
    const TAVInputFile& InputFileAt(int i) const { return Finput_files[static_cast<std::size_t>(i)]; }
    std::unique_ptr<TAVInputStream>& InputStreamAt(int i) { return Finput_streams[static_cast<std::size_t>(i)]; }
    const std::unique_ptr<TAVInputStream>& InputStreamAt(int i) const {
        return Finput_streams[static_cast<std::size_t>(i)];
    }
    TAVOutputContextRef& OutputFileAt(int i) { return Foutput_files[static_cast<std::size_t>(i)].ctx; }
    const TAVOutputContextRef& OutputFileAt(int i) const { return Foutput_files[static_cast<std::size_t>(i)].ctx; }
    std::vector<std::unique_ptr<TAVOutputStream>>& OutputStreamsOf(int f) {
        return Foutput_files[static_cast<std::size_t>(f)].streams;
    }

    void RunConversion();
    void WorkerBody(avbind::TThreadPriority priority);
    void TerminationStep();
    void Fail(const std::string& message);
    void CloseCodecs();
    void Guarded(const std::function<void()>& step);
    void ClearPostHookContext();

    // Option handlers.
    void AddStreamMap(const std::string& arg);
    void AddMetadataMap(const std::string& arg);
    void AddChapterMap(const std::string& arg);
    void SetInputTsScale(const std::string& arg);
    void ParseMetadata(const std::string& arg);
    void SetQScale(const std::string& arg);
    void SetPass(const std::string& arg);
    void SetPassLogFile(const std::string& name, const std::string& arg);
    void SetVStats(bool on);
    void SetIntraMatrix(const std::string& arg);
    void SetInterMatrix(const std::string& arg);
    void SetTopFieldFirst(const std::string& arg);
    void SetStreamId(const std::string& name, const std::string& arg);
    void AddBitstreamFilter(const std::string& name, const std::string& arg);
    void AddStreamToLastOutput(const std::string& name);
    // Output stream creation.
    TAVOutputStream& AllocOutputStream(AVFormatContext* oc, int f);
    struct TNewStream;
    TNewStream NewStreamCommon(AVFormatContext* oc, int f, AVMediaType type);
    void PickEncoderSampleFormat(AVCodecContext* ctx, const AVCodec* enc);
    void PickEncoderPixelFormat(AVCodecContext* ctx, const AVCodec* enc);
    void ParseForcedKeyFrames(const std::string& text, TAVOutputStream& ost);
    void ParseRcOverride(AVCodecContext* ctx);
    // The read-timeout watchdog around blocking library calls of this thread.
    void ArmWatchdog();
    void DisarmWatchdog();
    // Why the watchdog ended an open: a stop or the read timeout.
    std::string WatchdogMessage(const std::string& fileName) const;
    // Positions an input at `timestamp` (microseconds, the file's own time)
    // or before it, early enough that the picture there can be decoded.
    void SeekToStart(AVFormatContext* ic, std::int64_t timestamp, const std::string& fileName);
    void LogDoNothing(const std::string& name);

public:
    // Disc targets, preset files and frame-hook plug-ins.
    void ApplyTarget(const std::string& target, const std::string& norm, const std::string& normDefault);
    void LoadPresetFile(const std::string& option, const std::string& path);
    void AddVideoHook(const std::string& value);

private:
    void SetTarget(const std::string& value);

    // ---- The transcode run ----
    // State of one run, shared by set-up, loop and ending.
    struct TRunState {
        std::vector<TAVOutputStream*> Table;  // every output stream, in file then stream order
        int GroupSize = 0;                    // streams of output file 0
        std::vector<char> NoPacket;           // per input file: answered "try again"
        int NoPacketCount = 0;
        int TypeCount[AVMEDIA_TYPE_NB] = {};
        int Threshold[AVMEDIA_TYPE_NB] = {};
        int FileIndex = 0;                    // input being read; -1 = none chosen
        std::int64_t LastReport = 0;
        bool StopCheckRegistered = false;
        bool TrailersWritten = false;
        avbind::TAVPacketPtr Packet;          // the packet being dispatched
        avbind::TAVPacketPtr OutPacket;       // packets on their way to a muxer
        avbind::TAVFramePtr Frame;            // the decoded unit being served
    };
    TRunState FRun;

    // Set-up.
    void SetupStreamTable();
    void ComputeProbeThresholds();
    bool EligibleForMapping(const TAVInputStream& ist) const;
    void ChooseSource(TAVOutputStream& ost, int fileIndex, int position);
    void SetupStreamCopy(TAVOutputStream& ost, TAVInputStream& ist, AVFormatContext* oc);
    void SetupEncoding(TAVOutputStream& ost, TAVInputStream& ist, AVFormatContext* oc, int position);
    void PickEncoderSampleRate(AVCodecContext* ctx, const AVCodec* enc);
    // The stream's filter graph for the decoder's pictures, or again (from
    // set) for pictures of another size or format, still ending in the encoder's size.
    int BuildVideoFilterGraph(TAVInputStream& ist, TAVOutputStream& ost, const AVFrame* from = nullptr);
    // One library graph: buffer source (srcArgs), an optional scale, the
    // description, a sink limited to sinkFormats (ended by AV_PIX_FMT_NONE).
    int BuildFilterPiece(avbind::TAVFilterGraphPtr& graph, AVFilterContext*& src, AVFilterContext*& sink,
                         const std::string& srcArgs, const int* sinkFormats, int scaleWidth, int scaleHeight,
                         const std::string& description, int swsFlags);
    void SetupTwoPass(TAVOutputStream& ost, int position);
    // The input's sample aspect ratio (0/1 when unknown).
    AVRational InputAspect(const TAVInputStream& ist) const;
    // The sample aspect ratio that keeps a picture's display aspect at another size.
    static AVRational ScaledAspect(AVRational sar, int fromWidth, int fromHeight, int toWidth, int toHeight);
    // The filters that turn the input's pictures upright; empty when none are needed.
    std::string UprightFilters(const TAVInputStream& ist);
    void OpenRunCodecs();
    void ApplyMetadataMaps();
    void CopyChapters(int inFile, int outFile);
    void WriteHeaders();
    void InitBitstreamFilters(TAVOutputStream& ost);
    void DumpStreamMapping();
    [[noreturn]] void SetupError(const std::string& message);
    void CleanupRun();

    // Loop and ending.
    void RunLoop();
    void EndRun();
    // Whether a file's output starts at a cut ("ss" on either side).
    bool CutsStart(const TAVInputFile& file) const;
    // The "itsscale" factor of a file's stream (1 when none).
    double TsScale(int fileIndex, int streamIndex) const;
    // Where the output ends in a file's timeline (microseconds); INT64_MAX = no end.
    std::int64_t CutEnd(const TAVInputFile& file) const;
    // Limits, decodes or copies one packet of input stream `index`.
    void ProcessPacket(int fileIndex, int index, AVPacket* pkt);
    // A stream copy of a cut file starts at a key frame: the file's packets
    // wait until it is known which one, then go on moved to start there.
    void StartHolding();
    void HoldPacket(int fileIndex, int index, AVPacket* pkt);
    void ReleaseHeld(int fileIndex);
    bool EndOfJoinedInput(int k);
    int DispatchInputPacket(TAVInputStream& ist, int index, AVPacket* pkt);
    void ServeOutputs(TAVInputStream& ist, AVPacket* pkt, AVFrame* frame, AVSubtitle* subtitle);
    // The quantizer (lambda) a decoder reported for a picture; 0 when it reported none.
    static float PictureQuality(const AVFrame* frame);
    void CopyPacket(TAVOutputStream& ost, TAVInputStream& ist, const AVPacket* pkt);
    void DrainEncoders(TAVInputStream& ist);
    void DrainEncoder(TAVOutputStream& ost);
    void MuxPacket(AVFormatContext* oc, AVPacket* pkt, TAVOutputStream& ost);
    void WritePacket(AVFormatContext* oc, AVPacket* pkt, TAVOutputStream& ost);
    void EncodeSubtitle(AVFormatContext* oc, TAVOutputStream& ost, TAVInputStream& ist, AVSubtitle* sub,
                        std::int64_t pts);
    void ReportProgress(bool isLast);
    std::int64_t OutputTimeMicros(const TAVOutputStream& ost) const;
    AVFormatContext* ContextOf(const TAVOutputStream& ost) const { return OutputFileAt(ost.file_index).get(); }
    // Video path.
    void PrepareDecodedPicture(TAVInputStream& ist, AVFrame* frame);
    bool RunVideoHook(TVideoHookEvent& event, avhelpers::TFormatConverter& converter, std::int64_t pts,
                      int frameNumber, AVFrame* picture);
    AVFrame* RunOutputHooks(AVFrame* picture, std::int64_t pts, int frameNumber, bool& converted);
    void RunPostHooks(AVFrame* picture, bool converted, std::int64_t pts, int frameNumber);
    void EncodeDecodedVideo(TAVOutputStream& ost, TAVInputStream& ist, AVFrame* frame);
    void PullFilteredPictures(TAVOutputStream& ost, TAVInputStream& ist);
    // Moves what the graph of in-program filter step `index` gives out through
    // that filter and on, down to the encoder.
    void RunFilterSteps(TAVOutputStream& ost, TAVInputStream& ist, std::size_t index);
    // End of input: every graph in turn gives out what it holds back.
    void FlushVideoFilters(TAVOutputStream& ost, TAVInputStream& ist);
    // duration: how long the picture shows (microseconds; 0 = unknown).
    int EncodeVideoFrame(TAVOutputStream& ost, TAVInputStream& ist, AVFrame* picture, std::int64_t syncPts,
                         std::int64_t duration);
    void WriteVideoStats(TAVOutputStream& ost, int frameSize);
    // Audio path.
    AVFrame* AudioHookAndVolume(TAVInputStream& ist, AVFrame* frame);
    void EncodeDecodedAudio(TAVOutputStream& ost, TAVInputStream& ist, AVFrame* frame);
    void ResampleIntoFifo(TAVOutputStream& ost, const AVFrame* frame);
    void FlushAudioFifo(TAVOutputStream& ost, bool last);
    // Sends a frame (null: drain) to the stream's encoder and muxes what comes
    // out; returns the bytes produced.
    int EncodeAndMux(TAVOutputStream& ost, AVFrame* frame);

    avbind::TAVFramePtr FInputPicture;   // engine copy of a decoded picture for the input hooks
    avbind::TAVFramePtr FOutputPicture;  // engine copy of the final picture for the output hooks
    avbind::TAVFramePtr FAudioChunk;     // a decoded chunk after the hook, volume or sync step
    avbind::TAVFramePtr FAudioSlice;     // a decoded chunk cut at the start or the end

    // `out` becomes a reference to `count` samples of `in` from `skip` on.
    static void SliceAudioFrame(avbind::TAVFramePtr& out, const AVFrame* in, int skip, int count);
};

} // namespace engine
