// The encoder front-end: a list of conversion tasks built from option
// records and option text, run on worker threads (or one after another),
// with progress, hook and termination events delivered to the caller.
#pragma once

#include "avbind/FFLog.h"
#include "avbind/Sync.h"
#include "engine/Engine.h"
#include "probe/Probe.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace encoder {

enum TOptionTargetType { ttIgnore, ttVCD, ttSVCD, ttDVD };
enum TOptionNormType { ntAuto, ntPAL, ntNTSC };
using TOptionNormDefault = TOptionNormType;  // ntPAL or ntNTSC

struct TInputOptions {
    std::string FileName;
    std::string ForceFormat;
    std::int64_t TimeStart = AV_NOPTS_VALUE;
    int ProgramID = -1;
    // When set, what the input names (a playlist's segments) is read only
    // from inside this folder.
    std::string ReadFolder;
    std::string ExtOptions;
    int Tag = 0;
    void* Data = nullptr;
};

struct TStreamInfo {
    double TimeStamp = -1.0;  // days since 1899-12-30, local time; 0 = now, negative = none
    int Year = -1;
    int Track = -1;
    std::string Title, Author, Copyright, Comment, Album, Genre;
};

struct TOutputOptions {
    std::string FileName;
    std::string FileExt;
    std::string ForceFormat;
    int PacketSize = -1;
    int MuxRate = -1;
    float MuxDelay = -1.0f;
    float MuxPreload = -1.0f;
    std::string AudioCodec;
    bool DisableAudio = false;
    int AudioVolume = -1;
    int AudioChannels = -1;
    int AudioSampleRate = -1;
    int AudioBitrate = -1;
    int AudioBitRateTolerance = -1;
    std::string AudioLanguage;
    int AudioSyncMethod = 0;
    std::string AudioTag;
    std::string VideoCodec;
    bool DisableVideo = false;
    std::string FrameRate;
    std::string FrameSize;
    std::string FrameAspectRatio;
    int GroupPictureSize = -1;
    int VideoBitrate = -1;
    int VideoMaxRate = -1;
    int VideoMinRate = -1;
    int VideoBitRateTolerance = -1;
    int VideoBufSize = -1;
    int VideoSyncMethod = -1;
    std::string VideoTag;
    std::string VideoFilters;
    std::string VideoLanguage;
    std::string SubtitleCodec;
    bool DisableSubtitle = false;
    std::string SubtitleLanguage;
    std::string DataCodec;
    std::string FilePreset;
    bool InputSync = false;
    bool CopyTimestamp = false;
    std::int64_t TimeStart = AV_NOPTS_VALUE;
    std::int64_t TimeLength = AV_NOPTS_VALUE;
    TStreamInfo Info;
    TOptionTargetType TargetType = ttIgnore;
    TOptionNormType NormType = ntAuto;
    TOptionNormDefault NormDefault = ntPAL;
    bool AudioHook = false;
    bool VideoInputHook = false;
    bool VideoOutputHook = false;
    int VideoHookBitsPixel = 24;
    bool FrameInputHook = false;
    bool FrameOutputHook = false;
    bool Join = false;
    std::string ExtOptions;
    int Tag = 0;
    void* Data = nullptr;
};

void InitInputOptions(TInputOptions& options);
void InitOutputOptions(TOutputOptions& options);

// One key=value line of option text.
struct TOptionLine {
    std::string Key;
    std::string Value;
};
// Trims the text, turns line breaks and "<CRLF>" into lines and splits each
// at its first "="; keys are lower-cased.
std::vector<TOptionLine> ParseOptionText(const std::string& text);

// ---- Events ----

struct TProgressInfo {
    int TaskIndex = 0;
    int FileIndex = 0;
    int FrameNumber = 0;
    int FPS = 0;
    float Quality = 0;
    float BitRate = 0;
    std::int64_t CurrentSize = 0;
    std::int64_t CurrentDuration = 0;
    std::int64_t TotalDuration = 0;
};

struct TTerminateInfo {
    int TaskIndex = 0;
    bool Finished = false;
    bool Exception = false;
    std::string ExceptionMsg;
};

struct TPreviewInfo {
    int TaskIndex = 0;
    const avhelpers::TBitmap* Bitmap = nullptr;
    int FrameNumber = 0;
    std::int64_t PTS = 0;
};

struct THookInfo {
    int TaskIndex = 0;
    avhelpers::TBitmap* Bitmap = nullptr;
    int FrameNumber = 0;
    std::int64_t PTS = 0;
    bool Update = true;
    bool StopHook = false;
};

struct TFrameHookInfo {
    int TaskIndex = 0;
    int FrameNumber = 0;
    AVFrame* Picture = nullptr;
    AVPixelFormat PixFmt = AV_PIX_FMT_NONE;
    int Width = 0, Height = 0;
    std::int64_t PTS = 0;
};

class TCustomEncoder;
using TProgressEvent = std::function<void(TCustomEncoder* sender, TProgressInfo* info)>;
using TTerminateEvent = std::function<void(TCustomEncoder* sender, const TTerminateInfo& info)>;
using TPreviewBitmapEvent = std::function<void(TCustomEncoder* sender, const TPreviewInfo& info)>;
using TVideoHookEvent = std::function<void(TCustomEncoder* sender, THookInfo* info)>;
using TFrameHookEvent = std::function<void(TCustomEncoder* sender, TFrameHookInfo* info)>;
using TAudioHookEvent = std::function<void(TCustomEncoder* sender, int taskIndex, std::int64_t pts,
                                           std::uint8_t* samples, int size, int sampleRate, int channels,
                                           AVSampleFormat sampleFormat)>;
using TBeforeFindStreamInfoEvent = std::function<void(engine::TCustomFFmpeg* sender, AVFormatContext* ctx)>;

// One task: an engine with the records it was built from and a probe per input.
class TFFmpeg : public engine::TCustomFFmpeg {
public:
    TFFmpeg(int maxFiles, TCustomEncoder* parent);
    ~TFFmpeg() override;

    // The probe of input `index`, sharing the engine's opened input.
    probe::TFFDecoder& Decoder(int index);

    std::vector<std::unique_ptr<probe::TFFDecoder>> FDecoders;
    std::vector<TInputOptions> FInputOptions;
    std::vector<TOutputOptions> FOutputOptions;
    TCustomEncoder* FParent;

    // Makes this a deferred task (see AddDeferredTask).
    void Defer(std::function<void(int taskIndex)> setUp);

protected:
    void RunTranscode() override;

private:
    // A deferred task's set-up; run once, on the task's own thread.
    std::function<void(int taskIndex)> FSetUp;
};

class TCustomEncoder : public avbind::TFFBaseComponent {
public:
    TCustomEncoder();
    ~TCustomEncoder() override;
    TCustomEncoder(const TCustomEncoder&) = delete;
    TCustomEncoder& operator=(const TCustomEncoder&) = delete;

    bool LoadAVLib(const std::string& folder);
    bool AVLibLoaded() const;
    void UnloadAVLib();

    // Tasks. Index results are -1, flags false on failure, with LastErrMsg.
    int AddTask(const std::string& fileName, TInputOptions* options = nullptr);
    int AddTask(const std::string& fileName, const std::string& optionText);
    // A stream object as the input. A name of its own: as an AddTask overload a
    // string literal ("clip.avi") would convert to the stream pointer.
    int AddStreamTask(const void* stream, const std::string& privateData, TInputOptions* options = nullptr);
    // A task whose inputs are opened and outputs made only when it starts, on
    // its own worker thread: `setUp` gets the task's index and calls
    // AddInputFile and SetOutputFile for it (allowed there while the run
    // works; LastErrMsg is then that thread's). An exception from `setUp` ends
    // the task as failed with its message. So a long list holds no open file
    // and no codec until its tasks start.
    int AddDeferredTask(std::function<void(int taskIndex)> setUp);
    bool AddInputFile(int taskIndex, const std::string& fileName, TInputOptions* options = nullptr);
    bool AddInputFile(int taskIndex, const std::string& fileName, const std::string& optionText);
    bool SetOutputFile(int taskIndex, const std::string& fileName, TOutputOptions* options = nullptr);
    bool SetOutputFile(int taskIndex, const std::string& fileName, const std::string& optionText);
    bool SetOutputStream(int taskIndex, const void* stream, TOutputOptions* options, const std::string& privateData);
    void ClearTasks();
    void Exchange(int index1, int index2);
    void RemoveTask(int taskIndex);
    int GetTaskIndex(const TFFmpeg* task) const;
    int TasksCount() const { return static_cast<int>(FTasks.size()); }
    TFFmpeg& Task(int index) { return *FTasks.at(static_cast<std::size_t>(index)); }

    // Running.
    void Start(int threadCount);
    void Pause();
    void Resume();
    // Also ends an input open that waits for data on another thread (a pipe).
    void Stop(bool wait);
    // Stops every task and hands over every notice still on its way (the
    // run's final one included), so that the handlers' owner may go.
    // Called on the main thread, which it keeps serving meanwhile.
    void StopAndHandOver();

    // State and settings.
    bool Working() const { return FWorking; }
    bool Paused() const { return FPaused; }
    bool Terminated() const { return FTerminated; }
    const std::string& LastErrMsg() const;
    int ProgressInterval() const { return FProgressInterval; }
    void SetProgressInterval(int ms) { FProgressInterval = ms <= 100 ? 100 : ms; }
    bool Preview() const { return FPreview; }
    void SetPreview(bool value);
    bool PreviewBitmap() const { return FPreviewBitmap; }
    void SetPreviewBitmap(bool value);
    probe::TFFDecoder& Decoder() { return *FDecoder; }

    avbind::TThreadPriority ThreadPriority = avbind::TThreadPriority::tpNormal;
    bool TriggerEventInMainThread = true;
    // With TriggerEventInMainThread: progress is posted to the main thread
    // and the worker goes on at once; reports that pile up while the main
    // thread is busy are merged, the newest per task. Off: the worker waits
    // until its report was handled.
    bool PostProgress = false;
    int ReadTimeout = 10000;
    int Verbose = 1;
    bool HaltOnInvalidOption = true;
    int CustomMaxFiles = 20;
    void* UserData = nullptr;

    // Where the events run: with TriggerEventInMainThread (the default),
    // OnProgress, OnTerminate and OnPreviewBitmap run on the main thread (the
    // binding's call queue); without it, OnProgress and OnPreviewBitmap run
    // on the task's worker thread and OnTerminate on the delivery thread.
    // OnTerminate comes once per task, in the order the tasks ended, then
    // once with TaskIndex -1 for the whole run; no worker waits for it. Its
    // handler may clear the list (ClearTasks) but must not destroy the
    // encoder. The audio, video and frame hooks always run on the worker
    // thread, one task at a time (each kind under its own lock).
    TAudioHookEvent OnAudioHook;
    TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;
    TPreviewBitmapEvent OnPreviewBitmap;
    TProgressEvent OnProgress;
    TTerminateEvent OnTerminate;
    TVideoHookEvent OnVideoInputHook, OnVideoOutputHook;
    TFrameHookEvent OnFrameInputHook, OnFrameOutputHook;

protected:
    virtual void DoInputVideoHook(TFFmpeg* task, avhelpers::TBitmap* bitmap, int frameNumber, std::int64_t pts,
                                  bool& update, bool& stop);
    virtual void DoOutputVideoHook(TFFmpeg* task, avhelpers::TBitmap* bitmap, int frameNumber, std::int64_t pts,
                                   bool& update, bool& stop);
    virtual void DoInputFrameHook(TFFmpeg* task, AVFrame* picture, AVPixelFormat pixFmt, int frameNumber, int width,
                                  int height, std::int64_t pts);
    virtual void DoOutputFrameHook(TFFmpeg* task, AVFrame* picture, AVPixelFormat pixFmt, int frameNumber,
                                   int width, int height, std::int64_t pts);
    virtual void DoPreviewBitmap(TFFmpeg* task, avhelpers::TBitmap* bitmap, int frameNumber, std::int64_t pts);
    virtual void DoProgress(TFFmpeg* task, int fileIndex, int frameNumber, int fps, float quality, double bitrate,
                            std::int64_t currentSize, std::int64_t currentDuration, std::int64_t totalDuration);
    virtual void DoTerminate(TFFmpeg* task);
    // The record's hook switches, as handlers on the task's engine.
    void ConnectOutputHooks(TFFmpeg& task, const TOutputOptions& options);
    void DoAudioHook(TFFmpeg* task, std::int64_t pts, std::uint8_t* samples, int size, int sampleRate, int channels,
                     AVSampleFormat sampleFormat);
    void DoBeforeFindStreamInfo(engine::TCustomFFmpeg* task, AVFormatContext* ctx);

private:
    void CheckBusy(const char* operation) const;
    // Where a failure's message goes: the set-up thread's own text during a
    // deferred set-up, else FLastErrMsg.
    std::string& ErrorSlot();
    // False, with the reason, when CustomMaxFiles is outside what the engine takes.
    bool FileLimitTaken();
    std::unique_ptr<TFFmpeg> NewTask();
    void SetPostHookOfEveryTask(engine::TPostHook hook, bool on);
    void ApplyInputOptions(TFFmpeg& task, int index, TInputOptions* options, const std::string& fileName);
    bool OpenInput(TFFmpeg& task, int index, const std::string& fileName);
    void StartNextTask();
    void EndOfRun();
    // Queues a termination for the delivery thread (started with the first);
    // `counted`: the caller counted it in FActiveDeliveries already.
    void Deliver(const TTerminateInfo& info, bool counted = false);
    // The delivery thread's body: hands over queued terminations one by one.
    void DeliverInTurn();
    // Waits until every queued termination has been handed over.
    void WaitForDeliveries();
    // Waits for the deliveries, then ends and joins the delivery thread.
    void EndDeliveries();
    // Waits while `pending` holds, running main-thread calls when on the main thread.
    void WaitServingMainThread(const std::function<bool()>& pending);

    std::vector<std::unique_ptr<TFFmpeg>> FTasks;
    std::unique_ptr<probe::TFFDecoder> FDecoder;
    std::string FLastErrMsg;
    int FProgressInterval = 500;
    bool FPreview = false, FPreviewBitmap = false;

    // Run state.
    int FCompleteTasks = 0;
    int FCurrentTask = -1;
    int FPendingTasks = 0;
    std::atomic<bool> FTerminated{false};
    bool FThreadMode = false;
    std::atomic<bool> FWorking{false};
    // The task whose input is being opened (AddTask, AddInputFile), so that
    // Stop from another thread can end an open that waits for data.
    std::mutex FOpeningLock;
    TFFmpeg* FOpening = nullptr;
    bool FPaused = false;
    TProgressInfo FProgressInfo;
    // Posted progress: the newest report per task not yet handed over, whether
    // a hand-over is queued, and the run it belongs to (older runs' reports are dropped).
    std::map<int, TProgressInfo> FPostedProgress;
    bool FProgressQueued = false;
    int FRunNumber = 0;
    std::shared_ptr<TCustomEncoder*> FAlive = std::make_shared<TCustomEncoder*>(this);
    void HandOverProgress();
    TPreviewInfo FPreviewInfo;
    THookInfo FVideoHookInfo;
    TFrameHookInfo FFrameHookInfo;
    std::mutex FAudioHookLock, FPreviewLock, FProgressLock, FVideoHookLock, FFrameHookLock, FFindStreamLock;
    // Guards the run state (FThreadMode, FCompleteTasks, FCurrentTask,
    // FPendingTasks) and keeps task ends in turn: held while a run without
    // threads hands a notice over and while the next task starts. Recursive:
    // a handler may call back (Stop), and a task that fails at once ends
    // inside the start that holds it.
    std::recursive_mutex FTerminateLock;
    // Terminations waiting for the delivery thread (guarded by FDeliveryLock),
    // and how many are queued or being handed over. The thread is joined
    // before the encoder goes.
    std::mutex FDeliveryLock;
    std::condition_variable FDeliveryWake;
    std::deque<std::function<void()>> FDeliveryQueue;
    bool FDeliveryEnding = false;
    std::thread FDeliveryThread;
    std::atomic<int> FActiveDeliveries{0};
};

using TFFEncoder = TCustomEncoder;

} // namespace encoder
