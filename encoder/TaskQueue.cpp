#include "encoder/TaskQueue.h"

#include "avbind/Text.h"
#include "avbind/FFLoad.h"
#include "avhelpers/StreamProtocol.h"
#include "encoder/Previewer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

namespace encoder {

using namespace avbind;

// ---- Records and option text ----

void InitInputOptions(TInputOptions& options) { options = TInputOptions{}; }
void InitOutputOptions(TOutputOptions& options) { options = TOutputOptions{}; }

std::vector<TOptionLine> ParseOptionText(const std::string& text) {
    std::size_t first = 0, last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
    std::string body;
    for (std::size_t i = first; i < last; ++i) {
        if (text[i] == '\r') {
            body += '\n';
            if (i + 1 < last && text[i + 1] == '\n') ++i;
        } else {
            body += text[i];
        }
    }
    for (std::size_t pos; (pos = body.find("<CRLF>")) != std::string::npos;) body.replace(pos, 6, "\n");
    std::vector<TOptionLine> lines;
    if (body.empty()) return lines;
    std::size_t start = 0;
    while (start <= body.size()) {
        const std::size_t lf = body.find('\n', start);
        const std::string line = body.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
        if (lf == std::string::npos && line.empty()) break;  // a final line break ends the text
        const std::size_t eq = line.find('=');
        TOptionLine option{eq == std::string::npos ? line : line.substr(0, eq),
                           eq == std::string::npos ? std::string() : line.substr(eq + 1)};
        std::transform(option.Key.begin(), option.Key.end(), option.Key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        lines.push_back(std::move(option));
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    return lines;
}

namespace {

bool OneOf(const std::string& key, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (key == n) return true;
    return false;
}

std::int64_t Int64OrUnset(const std::string& value) {
    try {
        return StrToInt64(value);
    } catch (const EConvertError&) {
        return AV_NOPTS_VALUE;
    }
}

std::string StreamName(const void* stream, const std::string& privateData) {
    return Format("stream:%d:%s", avhelpers::StreamKey(stream), privateData.c_str());
}

// The input record of option text: "TimeStart" is a field, the rest stays text.
TInputOptions InputOptionsFromText(const std::string& text) {
    TInputOptions options;
    for (const TOptionLine& line : ParseOptionText(text)) {
        if (line.Key == "timestart")
            options.TimeStart = Int64OrUnset(line.Value);
        else
            options.ExtOptions += line.Key + "=" + line.Value + "\n";
    }
    return options;
}

// Seconds since 1970 (UTC) of a local date-time counted in days since 1899-12-30.
std::int64_t UnixSeconds(double localDays) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return std::llround((localDays - 25569.0) * 86400.0 - static_cast<double>(local.tm_gmtoff));
}

} // namespace

// ---- Tasks ----

TFFmpeg::TFFmpeg(int maxFiles, TCustomEncoder* parent)
    : TCustomFFmpeg(maxFiles), FDecoders(static_cast<std::size_t>(maxFiles)),
      FInputOptions(static_cast<std::size_t>(maxFiles)), FOutputOptions(static_cast<std::size_t>(maxFiles)),
      FParent(parent) {}

TFFmpeg::~TFFmpeg() {
    // The worker must be gone before the connections it calls through are.
    Stop(true);
    FOnAudioHook = nullptr;
    FOnBeforeFindStreamInfo = nullptr;
    FOnInputVideoHook = FOnOutputVideoHook = nullptr;
    FOnInputFrameHook = FOnOutputFrameHook = nullptr;
    FOnPreviewBitmap = nullptr;
    FOnProgress = nullptr;
    FOnTerminate = nullptr;
    FDecoders.clear();
}

void TFFmpeg::Defer(std::function<void(int taskIndex)> setUp) {
    FSetUp = std::move(setUp);
    FFilesAddedAtStart = true;
    // A waiting task holds no library contexts: its option defaults are made when it starts.
    avhelpers::FreeOptions(FOptions);
}

probe::TFFDecoder& TFFmpeg::Decoder(int index) {
    auto& slot = FDecoders.at(static_cast<std::size_t>(index));
    if (!slot) slot = std::make_unique<probe::TFFDecoder>();
    return *slot;
}

namespace {
// The deferred task this thread is setting up, and that set-up's last error.
thread_local TFFmpeg* GSettingUp = nullptr;
thread_local std::string GSetUpError;
// Set while a termination handler runs (on whichever thread it runs), so a
// handler that clears the list does not wait for its own delivery.
thread_local int GInsideDelivery = 0;
} // namespace

void TFFmpeg::RunTranscode() {
    if (FSetUp) {
        GSettingUp = this;
        GSetUpError.clear();
        struct TReset {
            ~TReset() { GSettingUp = nullptr; }
        } reset;
        const auto setUp = std::move(FSetUp);
        FSetUp = nullptr;
        avhelpers::InitOptions(FOptions, SWS_BICUBIC);
        setUp(FParent->GetTaskIndex(this));
    }
    TCustomFFmpeg::RunTranscode();
}

// ---- Encoder ----

TCustomEncoder::TCustomEncoder() : FDecoder(std::make_unique<probe::TFFDecoder>()) {
    InstallPreviewer();
    avhelpers::RegisterStreamProtocol();
}

TCustomEncoder::~TCustomEncoder() {
    FAlive.reset();  // posted progress still queued finds nobody
    OnAudioHook = nullptr;
    OnBeforeFindStreamInfo = nullptr;
    OnPreviewBitmap = nullptr;
    OnProgress = nullptr;
    OnVideoInputHook = OnVideoOutputHook = nullptr;
    OnFrameInputHook = OnFrameOutputHook = nullptr;
    {
        // A task ending now sees the handler and counts its delivery, or
        // sees neither.
        std::lock_guard lock(FTerminateLock);
        OnTerminate = nullptr;
        FPendingTasks = 0;
    }
    // Every worker ends before the task list and the locks go.
    for (auto& task : FTasks) task->Stop(true);
    EndDeliveries();
    FTasks.clear();
    FDecoder.reset();
}

bool TCustomEncoder::LoadAVLib(const std::string& folder) {
    FFLoader().SetLibraryPath(folder);
    if (FFLoader().Load(EncoderLibraries)) return true;
    FLastErrMsg = FFLoader().LastErrMsg();
    return false;
}

bool TCustomEncoder::AVLibLoaded() const { return FFLoader().Loaded(EncoderLibraries); }

void TCustomEncoder::UnloadAVLib() {
    FDecoder->CloseFile();
    FFLoader().Unload(EncoderLibraries);
}

const std::string& TCustomEncoder::LastErrMsg() const { return GSettingUp ? GSetUpError : FLastErrMsg; }

std::string& TCustomEncoder::ErrorSlot() { return GSettingUp ? GSetUpError : FLastErrMsg; }

void TCustomEncoder::CheckBusy(const char* operation) const {
    if (FWorking) throw std::runtime_error(Format("Cannot %s while working.", operation));
}

void TCustomEncoder::ApplyInputOptions(TFFmpeg& task, int index, TInputOptions* options,
                                       const std::string& fileName) {
    if (!options) {
        InitInputOptions(task.FInputOptions[static_cast<std::size_t>(index)]);
        return;
    }
    if (options->FileName.empty()) options->FileName = fileName;
    task.FInputOptions[static_cast<std::size_t>(index)] = *options;
    for (const TOptionLine& line : ParseOptionText(options->ExtOptions)) {
        if (OneOf(line.Key, {"newvideo", "newaudio", "newsubtitle", "newdata", "vfilters", "vf"})) continue;
        task.SetExtOption(line.Key, line.Value);
    }
    if (!options->ForceFormat.empty()) task.SetForcedFormat(options->ForceFormat);
    if (options->TimeStart != AV_NOPTS_VALUE) task.SetStartTime(options->TimeStart);
    if (options->ProgramID >= 0) task.SetProgramId(options->ProgramID);
    task.SetReadFolder(options->ReadFolder);
}

bool TCustomEncoder::OpenInput(TFFmpeg& task, int index, const std::string& fileName) {
    task.SetReadTimeout(ReadTimeout);
    // An open on the main thread is ended by Stop through FOpening; a
    // deferred task's open on its own thread by the task's own stop.
    const bool mainThreadOpen = GSettingUp != &task;
    if (mainThreadOpen) {
        std::lock_guard lock(FOpeningLock);
        FOpening = &task;
    }
    const bool opened = task.OpenInputFile(fileName);
    if (mainThreadOpen) {
        std::lock_guard lock(FOpeningLock);
        FOpening = nullptr;
    }
    if (!opened) return false;
    task.Decoder(index).SetFileHandle(task.InputContext(index));
    return true;
}

bool TCustomEncoder::FileLimitTaken() {
    // A limit the engine cannot take is a refusal, not an exception.
    if (CustomMaxFiles >= 1 && CustomMaxFiles <= engine::MaxFilesLimit) return true;
    FLastErrMsg = Format("The maximum number of files must be 1 to %d, not %d", engine::MaxFilesLimit, CustomMaxFiles);
    return false;
}

std::unique_ptr<TFFmpeg> TCustomEncoder::NewTask() {
    auto task = std::make_unique<TFFmpeg>(CustomMaxFiles, this);
    TFFmpeg* t = task.get();
    task->SetHaltOnInvalidOption(HaltOnInvalidOption);
    task->SetVerbose(Verbose);
    engine::TPostHooks hooks;
    if (FPreview) hooks.insert(engine::TPostHook::phPreview);
    if (FPreviewBitmap) hooks.insert(engine::TPostHook::phBitmap);
    task->SetPostHooks(hooks);
    task->SetOnBeforeFindStreamInfo([this](engine::TCustomFFmpeg* e, AVFormatContext* ctx) {
        DoBeforeFindStreamInfo(e, ctx);
    });
    task->SetOnPreviewBitmap([this, t](engine::TCustomFFmpeg*, avhelpers::TBitmap* bitmap, int frame,
                                       std::int64_t pts) { DoPreviewBitmap(t, bitmap, frame, pts); });
    task->SetOnProgress([this, t](engine::TCustomFFmpeg*, int fileIndex, int frame, int fps, float q, double bitrate,
                                  std::int64_t size, std::int64_t duration, std::int64_t total) {
        DoProgress(t, fileIndex, frame, fps, q, bitrate, size, duration, total);
    });
    task->SetOnTerminate([this, t](engine::TCustomFFmpeg*) { DoTerminate(t); });
    return task;
}

int TCustomEncoder::AddTask(const std::string& fileName, TInputOptions* options) {
    CheckBusy("AddTask");
    if (!FileLimitTaken()) return -1;
    std::unique_ptr<TFFmpeg> task;
    try {
        task = NewTask();
        ApplyInputOptions(*task, 0, options, fileName);
        if (!OpenInput(*task, 0, fileName)) {
            FLastErrMsg = task->LastErrMsg();
            return -1;
        }
    } catch (const std::exception& e) {
        FLastErrMsg = e.what();
        return -1;
    }
    FTasks.push_back(std::move(task));
    return static_cast<int>(FTasks.size()) - 1;
}

int TCustomEncoder::AddDeferredTask(std::function<void(int taskIndex)> setUp) {
    CheckBusy("AddTask");
    if (!FileLimitTaken()) return -1;
    std::unique_ptr<TFFmpeg> task = NewTask();
    task->Defer(std::move(setUp));
    FTasks.push_back(std::move(task));
    return static_cast<int>(FTasks.size()) - 1;
}

int TCustomEncoder::AddTask(const std::string& fileName, const std::string& optionText) {
    TInputOptions options = InputOptionsFromText(optionText);
    return AddTask(fileName, &options);
}

int TCustomEncoder::AddStreamTask(const void* stream, const std::string& privateData, TInputOptions* options) {
    return AddTask(StreamName(stream, privateData), options);
}

bool TCustomEncoder::AddInputFile(int taskIndex, const std::string& fileName, TInputOptions* options) {
    TFFmpeg& task = *FTasks.at(static_cast<std::size_t>(taskIndex));
    if (&task != GSettingUp) CheckBusy("AddInputFile");
    const int index = task.nb_input_files();
    if (index >= task.MaxFiles()) {
        ErrorSlot() = Format("max input files %d reached", task.MaxFiles());
        return false;
    }
    try {
        task.SetHaltOnInvalidOption(HaltOnInvalidOption);
        ApplyInputOptions(task, index, options, fileName);
        if (!OpenInput(task, index, fileName)) {
            InitInputOptions(task.FInputOptions[static_cast<std::size_t>(index)]);
            ErrorSlot() = task.LastErrMsg();
            return false;
        }
    } catch (const std::exception& e) {
        ErrorSlot() = e.what();
        return false;
    }
    return true;
}

bool TCustomEncoder::AddInputFile(int taskIndex, const std::string& fileName, const std::string& optionText) {
    TInputOptions options = InputOptionsFromText(optionText);
    return AddInputFile(taskIndex, fileName, &options);
}

namespace {

// An output record's own fields, applied in their order after its option
// text: a field that is set wins over the text; a field left at its default
// leaves what the text set. (Codecs, presets, the size and the filters are
// the other way round: the text's "def_" values fill only empty fields.)
void ApplyOutputFields(TFFmpeg& task, const TOutputOptions& o) {
    if (!o.ForceFormat.empty()) task.SetForcedFormat(o.ForceFormat);
    if (o.PacketSize > 0) task.SetLibOptionInt("packetsize", o.PacketSize);
    if (o.MuxRate > 0) task.SetLibOptionInt("muxrate", o.MuxRate);
    if (o.MuxDelay > 0) task.SetMuxMaxDelay(o.MuxDelay);
    if (o.MuxPreload > 0) task.SetMuxPreload(o.MuxPreload);
    if (o.DisableAudio) task.SetExtOption("an", "1");
    if (o.AudioVolume >= 0) task.SetAudioVolume(o.AudioVolume);
    if (o.AudioChannels > 0) task.SetAudioChannels(o.AudioChannels);
    if (o.AudioSampleRate > 0) task.SetAudioRate(o.AudioSampleRate);
    if (o.AudioBitrate > 0 && o.TargetType == ttIgnore) task.SetBitrate("ab", std::to_string(o.AudioBitrate));
    if (o.AudioBitRateTolerance > 0) task.SetLibOptionInt("abt", o.AudioBitRateTolerance);
    if (!o.AudioLanguage.empty()) task.SetExtOption("alang", o.AudioLanguage);
    if (o.AudioSyncMethod != 0) task.SetAudioSyncMethod(o.AudioSyncMethod);
    if (!o.AudioTag.empty()) task.SetCodecTag("atag", o.AudioTag);
    if (o.DisableVideo) task.SetExtOption("vn", "1");
    if (!o.FrameRate.empty()) task.SetFrameRate(o.FrameRate);
    if (!o.FrameAspectRatio.empty()) task.SetAspectRatio(o.FrameAspectRatio);
    if (o.GroupPictureSize > 0) task.SetLibOptionInt("g", o.GroupPictureSize);
    if (o.VideoBitrate > 0 && o.TargetType == ttIgnore) task.SetBitrate("vb", std::to_string(o.VideoBitrate));
    if (o.VideoMaxRate > 0) task.SetLibOptionInt("maxrate", o.VideoMaxRate);
    if (o.VideoMinRate > 0) task.SetLibOptionInt("minrate", o.VideoMinRate);
    if (o.VideoBitRateTolerance > 0) task.SetLibOptionInt("bt", o.VideoBitRateTolerance);
    if (o.VideoBufSize > 0) task.SetLibOptionInt("bufsize", o.VideoBufSize);
    if (o.VideoSyncMethod != -1) task.SetVideoSyncMethod(o.VideoSyncMethod);
    if (!o.VideoTag.empty()) task.SetCodecTag("vtag", o.VideoTag);
    if (!o.VideoLanguage.empty()) task.SetExtOption("vlang", o.VideoLanguage);
    if (o.DisableSubtitle) task.SetExtOption("sn", "1");
    if (!o.SubtitleLanguage.empty()) task.SetExtOption("slang", o.SubtitleLanguage);
    if (o.InputSync) task.SetExtOption("isync", "1");
    if (o.CopyTimestamp) task.SetExtOption("copyts", "1");
    if (o.TimeStart != AV_NOPTS_VALUE) task.SetStartTime(o.TimeStart);
    if (o.TimeLength != AV_NOPTS_VALUE) task.SetRecordingTime(o.TimeLength);
    if (o.Info.TimeStamp == 0)
        task.SetRecordingTimestamp(std::time(nullptr));
    else if (o.Info.TimeStamp > 0)
        task.SetRecordingTimestamp(UnixSeconds(o.Info.TimeStamp));
    if (o.Info.Year > 0) task.AddMetadata("year", std::to_string(o.Info.Year));
    if (o.Info.Track > 0) task.AddMetadata("track", std::to_string(o.Info.Track));
    const std::pair<const char*, const std::string*> texts[] = {
        {"title", &o.Info.Title},     {"author", &o.Info.Author}, {"copyright", &o.Info.Copyright},
        {"comment", &o.Info.Comment}, {"album", &o.Info.Album},   {"genre", &o.Info.Genre}};
    for (const auto& [key, value] : texts)
        if (!value->empty()) task.AddMetadata(key, *value);
}

} // namespace

void TCustomEncoder::ConnectOutputHooks(TFFmpeg& task, const TOutputOptions& o) {
    TFFmpeg* t = &task;
    if (o.AudioHook)
        task.SetOnAudioHook([this, t](engine::TCustomFFmpeg*, std::int64_t pts, std::uint8_t* samples,
                                      int size, int rate, int channels, AVSampleFormat format) {
            DoAudioHook(t, pts, samples, size, rate, channels, format);
        });
    if (o.VideoInputHook)
        task.SetOnInputVideoHook([this, t](engine::TCustomFFmpeg*, avhelpers::TBitmap* b, int n,
                                           std::int64_t pts, bool& update, bool& stop) {
            DoInputVideoHook(t, b, n, pts, update, stop);
        });
    if (o.VideoOutputHook)
        task.SetOnOutputVideoHook([this, t](engine::TCustomFFmpeg*, avhelpers::TBitmap* b, int n,
                                            std::int64_t pts, bool& update, bool& stop) {
            DoOutputVideoHook(t, b, n, pts, update, stop);
        });
    if (o.FrameInputHook)
        task.SetOnInputFrameHook([this, t](engine::TCustomFFmpeg*, AVFrame* p, AVPixelFormat f, int n, int w,
                                           int h, std::int64_t pts) { DoInputFrameHook(t, p, f, n, w, h, pts); });
    if (o.FrameOutputHook)
        task.SetOnOutputFrameHook([this, t](engine::TCustomFFmpeg*, AVFrame* p, AVPixelFormat f, int n, int w,
                                            int h, std::int64_t pts) {
            DoOutputFrameHook(t, p, f, n, w, h, pts);
        });
}

bool TCustomEncoder::SetOutputFile(int taskIndex, const std::string& fileName, TOutputOptions* options) {
    TFFmpeg& task = *FTasks.at(static_cast<std::size_t>(taskIndex));
    if (&task != GSettingUp) CheckBusy("SetOutputFile");
    const int index = task.nb_output_files();
    if (index >= task.MaxFiles()) {
        ErrorSlot() = Format("max output files %d reached", task.MaxFiles());
        return false;
    }
    // Lines "name=value": the def_ entries first, then queued codec, size and
    // filter lines for the streams that "new*" options add.
    std::vector<TOptionLine> defaults;
    auto listValue = [&](const std::string& name) -> std::string {
        for (const TOptionLine& line : defaults)
            if (line.Key == name) return line.Value;
        return {};
    };
    bool join = false;
    try {
        task.SetHaltOnInvalidOption(HaltOnInvalidOption);
        if (options) {
            if (options->FileName.empty()) options->FileName = fileName;
            task.FOutputOptions[static_cast<std::size_t>(index)] = *options;
            const TOutputOptions& o = *options;
            defaults = {{"def_acodec", o.AudioCodec}, {"def_vcodec", o.VideoCodec}, {"def_scodec", o.SubtitleCodec},
                        {"def_dcodec", o.DataCodec},   {"def_fpre", o.FilePreset},   {"def_s", o.FrameSize},
                        {"def_vf", o.VideoFilters}};
            const std::vector<TOptionLine> text = ParseOptionText(o.ExtOptions);
            for (TOptionLine line : text) {
                if (!OneOf(line.Key, {"acodec", "vcodec", "scodec", "dcodec", "s", "vfilters", "vf"}) ||
                    line.Value.empty())
                    continue;
                if (line.Key == "vfilters") line.Key = "vf";
                for (TOptionLine& d : defaults)
                    if (d.Key == "def_" + line.Key && d.Value.empty()) {
                        d.Value = line.Value;
                        break;
                    }
                defaults.push_back(line);
            }
            if (o.TargetType != ttIgnore) {
                static const char* const types[] = {"", "vcd", "svcd", "dvd"};
                task.ApplyTarget(types[o.TargetType],
                                 o.NormType == ntPAL    ? "pal"
                                 : o.NormType == ntNTSC ? "ntsc"
                                                        : "auto",
                                 o.NormDefault == ntPAL ? "pal" : "ntsc");
            }
            for (const char* codec : {"acodec", "vcodec", "scodec", "dcodec"}) {
                const std::string value = listValue(std::string("def_") + codec);
                if (!value.empty()) task.SetCodecName(codec, value);
            }
            if (const std::string preset = listValue("def_fpre"); !preset.empty()) task.LoadPresetFile("fpre", preset);
            for (const TOptionLine& line : text) {
                if (OneOf(line.Key, {"newvideo", "newaudio", "newsubtitle", "newdata", "vfilters", "vf", "acodec",
                                     "vcodec", "scodec", "dcodec", "s"}))
                    continue;
                task.SetExtOption(line.Key, line.Value);
            }

            ApplyOutputFields(task, o);
            if (const std::string size = listValue("def_s"); !size.empty()) task.SetFrameSize(size);
            if (const std::string filters = listValue("def_vf"); !filters.empty()) task.SetVideoFilters(filters);

            ConnectOutputHooks(task, o);
            task.SetHookBitsPixel(o.VideoHookBitsPixel);
            join = o.Join;
        } else {
            InitOutputOptions(task.FOutputOptions[static_cast<std::size_t>(index)]);
        }

        task.SetReadTimeout(ReadTimeout);
        if (task.OpenOutputFile(fileName, join) < 0) {
            ErrorSlot() = task.LastErrMsg();
            InitOutputOptions(task.FOutputOptions[static_cast<std::size_t>(index)]);
            return false;
        }
        if (options) {
            // Each additional stream takes the next queued codec (and size and filters) of its kind.
            auto apply = [&](const std::string& name) {
                for (auto it = defaults.begin(); it != defaults.end(); ++it) {
                    if (it->Key == name) {
                        const std::string value = it->Value;
                        defaults.erase(it);
                        task.SetExtOption(name, value);
                        return;
                    }
                }
                task.SetExtOption(name, listValue("def_" + name));
            };
            for (const TOptionLine& line : ParseOptionText(options->ExtOptions)) {
                if (line.Key == "newaudio") apply("acodec");
                else if (line.Key == "newvideo") {
                    apply("vcodec");
                    apply("s");
                    apply("vf");
                } else if (line.Key == "newsubtitle") apply("scodec");
                else if (line.Key == "newdata") apply("dcodec");
                else continue;
                task.SetExtOption(line.Key, line.Value);
            }
        }
        if (join) task.ExpandJoinedOutput();
    } catch (const std::exception& e) {
        ErrorSlot() = e.what();
        return false;
    }
    return true;
}

bool TCustomEncoder::SetOutputFile(int taskIndex, const std::string& fileName, const std::string& optionText) {
    TOutputOptions options;
    auto flag = [](const std::string& value) { return value != "0"; };
    for (const TOptionLine& line : ParseOptionText(optionText)) {
        const std::string& k = line.Key;
        if (k == "audiohook") options.AudioHook = flag(line.Value);
        else if (k == "videoinputhook") options.VideoInputHook = flag(line.Value);
        else if (k == "videooutputhook") options.VideoOutputHook = flag(line.Value);
        else if (k == "frameinputhook") options.FrameInputHook = flag(line.Value);
        else if (k == "frameoutputhook") options.FrameOutputHook = flag(line.Value);
        else if (k == "join") options.Join = flag(line.Value);
        else if (k == "videohookbitspixel") {
            int bits = 24;
            options.VideoHookBitsPixel = TryStrToInt(line.Value, bits) ? bits : 24;
        } else if (k == "timestart") options.TimeStart = Int64OrUnset(line.Value);
        else if (k == "timelength") options.TimeLength = Int64OrUnset(line.Value);
        else options.ExtOptions += line.Key + "=" + line.Value + "\n";
    }
    return SetOutputFile(taskIndex, fileName, &options);
}

bool TCustomEncoder::SetOutputStream(int taskIndex, const void* stream, TOutputOptions* options,
                                     const std::string& privateData) {
    return SetOutputFile(taskIndex, StreamName(stream, privateData), options);
}

void TCustomEncoder::ClearTasks() {
    if (FWorking && !FTerminated) throw std::runtime_error("Cannot ClearTasks while working.");
    WaitForDeliveries();
    FLastErrMsg.clear();
    {
        // Not while a start holds a task (see StartNextTask).
        std::lock_guard lock(FTerminateLock);
        FTasks.clear();
        FCompleteTasks = 0;
        FCurrentTask = -1;
        FPendingTasks = 0;
        FThreadMode = false;
    }
    FTerminated = false;
    FWorking = false;
    FPaused = false;
}

void TCustomEncoder::Exchange(int index1, int index2) {
    CheckBusy("Exchange");
    std::swap(FTasks.at(static_cast<std::size_t>(index1)), FTasks.at(static_cast<std::size_t>(index2)));
}

void TCustomEncoder::RemoveTask(int taskIndex) {
    CheckBusy("RemoveTask");
    FTasks.at(static_cast<std::size_t>(taskIndex));  // an index outside the list raises
    FTasks.erase(FTasks.begin() + taskIndex);
}

int TCustomEncoder::GetTaskIndex(const TFFmpeg* task) const {
    for (std::size_t i = 0; i < FTasks.size(); ++i)
        if (FTasks[i].get() == task) return static_cast<int>(i);
    return -1;
}

void TCustomEncoder::SetPostHookOfEveryTask(engine::TPostHook hook, bool on) {
    for (auto& task : FTasks) {
        engine::TPostHooks hooks = task->PostHooks();
        if (on)
            hooks.insert(hook);
        else
            hooks.erase(hook);
        task->SetPostHooks(hooks);
    }
}

void TCustomEncoder::SetPreview(bool value) {
    FPreview = value;
    SetPostHookOfEveryTask(engine::TPostHook::phPreview, value);
}

void TCustomEncoder::SetPreviewBitmap(bool value) {
    FPreviewBitmap = value;
    SetPostHookOfEveryTask(engine::TPostHook::phBitmap, value);
}

// ---- Running ----

void TCustomEncoder::Start(int threadCount) {
    CheckBusy("StartTask");
    {
        std::lock_guard progress(FProgressLock);
        ++FRunNumber;
        FPostedProgress.clear();
        FProgressQueued = false;
    }
    {
        std::lock_guard lock(FTerminateLock);
        FCompleteTasks = 0;
        FCurrentTask = 0;
        FPendingTasks = static_cast<int>(FTasks.size());
        FTerminated = false;
        FThreadMode = threadCount > 0;
        FWorking = true;
        FPaused = false;
        // An empty list ends at once; otherwise the run would never end and
        // the list could not be cleared.
        if (FTasks.empty()) {
            EndOfRun();
            return;
        }
    }
    // The run's own copy: a final notice's handler may clear the list (and
    // the encoder's run state) while this loop still counts.
    const bool threaded = threadCount > 0;
    int threads = threadCount;
    for (;;) {
        {
            std::lock_guard lock(FTerminateLock);
            if (FPendingTasks <= 0) break;
        }
        // Not under the lock: without threads the task converts right here,
        // and a Stop from elsewhere must still get through.
        StartNextTask();
        if (threaded && --threads <= 0) break;
    }
}

void TCustomEncoder::StartNextTask() {
    std::unique_lock lock(FTerminateLock);
    if (FPendingTasks <= 0) return;
    --FPendingTasks;
    TFFmpeg* task = FTasks[static_cast<std::size_t>(FCurrentTask)].get();
    ++FCurrentTask;
    const bool threaded = FThreadMode;
    task->SetReportInterval(static_cast<std::int64_t>(FProgressInterval) * 1000);
    // A worker's start is quick and stays under the lock, so that a Stop and
    // a final notice that clears the list cannot free the task meanwhile. A
    // run without threads converts right here, where a Stop must get through.
    if (!threaded) lock.unlock();
    task->StartConvert(threaded, ThreadPriority);
}

void TCustomEncoder::Pause() {
    if (!FWorking || FPaused) return;
    for (auto& task : FTasks) task->Pause();
    FPaused = true;
}

void TCustomEncoder::Resume() {
    if (!FWorking || !FPaused) return;
    for (auto& task : FTasks) task->Resume();
    FPaused = false;
}

void TCustomEncoder::Stop(bool wait) {
    {
        std::lock_guard lock(FOpeningLock);
        if (FOpening) FOpening->Stop(false);
    }
    {
        std::lock_guard lock(FTerminateLock);
        FPendingTasks = 0;
    }
    if (!FWorking) return;
    FPaused = false;
    for (auto& task : FTasks) task->StopOrTerminate(wait);
}

// ---- Events ----

void TCustomEncoder::DoTerminate(TFFmpeg* task) {
    // One task's end at a time, from whichever thread it comes (its worker,
    // a termination thread, or the run's own thread without threads): its
    // notice, its count, the next start and the run's end stay in turn.
    std::lock_guard lock(FTerminateLock);
    if (OnTerminate) {
        const TTerminateInfo info{GetTaskIndex(task), task->Finished(), task->FatalException(),
                                  task->FatalMessage()};
        if (FThreadMode || !FWorking)
            Deliver(info);
        else
            OnTerminate(this, info);
    }
    ++FCompleteTasks;
    if (FPendingTasks < 1) {
        // Once: a task counted twice must not end the run twice.
        if (FCompleteTasks == static_cast<int>(FTasks.size())) EndOfRun();
    } else if (FThreadMode) {
        StartNextTask();
    }
}

void TCustomEncoder::EndOfRun() {
    // The final notice's delivery is counted before the run shows as ended,
    // so nobody who waits for the deliveries after seeing the end misses it.
    // Called under the run lock.
    const bool delivered = OnTerminate && (FThreadMode || !FWorking);
    if (delivered) ++FActiveDeliveries;
    // Ended before the final event goes out: its handler may clear the list.
    FTerminated = true;
    if (OnTerminate) {
        const TTerminateInfo info{-1, true, false, ""};
        if (delivered)
            Deliver(info, true);
        else
            OnTerminate(this, info);
    }
}


void TCustomEncoder::Deliver(const TTerminateInfo& info, bool counted) {
    // Terminations never make a worker wait for the main thread: one delivery
    // thread hands them over, in the order the tasks ended, so the run's
    // final notice always comes after every task's.
    TTerminateEvent handler = OnTerminate;
    const bool inMainThread = TriggerEventInMainThread;
    std::lock_guard lock(FDeliveryLock);
    if (!counted) ++FActiveDeliveries;
    FDeliveryQueue.push_back([this, handler, info, inMainThread] {
        const auto call = [&] {
            ++GInsideDelivery;
            try {
                handler(this, info);
            } catch (const std::exception& e) {
                FFLogger().Log(this, llError, e.what());
            } catch (...) {
                FFLogger().Log(this, llError, "a termination handler failed");
            }
            --GInsideDelivery;
        };
        if (inMainThread)
            CallInMainThread(call);
        else
            call();
    });
    if (!FDeliveryThread.joinable()) FDeliveryThread = std::thread([this] { DeliverInTurn(); });
    FDeliveryWake.notify_one();
}

void TCustomEncoder::DeliverInTurn() {
    std::unique_lock lock(FDeliveryLock);
    for (;;) {
        FDeliveryWake.wait(lock, [this] { return FDeliveryEnding || !FDeliveryQueue.empty(); });
        if (FDeliveryQueue.empty()) return;  // ending, and everything is delivered
        {
            // Released before the count drops: the handler's captures go with it.
            const std::function<void()> next = std::move(FDeliveryQueue.front());
            FDeliveryQueue.pop_front();
            lock.unlock();
            next();
        }
        --FActiveDeliveries;
        lock.lock();
    }
}

void TCustomEncoder::StopAndHandOver() {
    Stop(true);
    // Stopped tasks still send their ends, then the run's final notice.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    WaitServingMainThread([&] { return FWorking && !FTerminated && std::chrono::steady_clock::now() < deadline; });
    WaitForDeliveries();
}

void TCustomEncoder::WaitServingMainThread(const std::function<bool()>& pending) {
    // A delivery may wait for the main thread: keep serving it meanwhile.
    while (pending()) {
        if (IsMainThread())
            PumpMainThreadQueue(std::chrono::milliseconds(5));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void TCustomEncoder::WaitForDeliveries() {
    // A handler that clears the list runs inside a delivery and cannot wait
    // for its own delivery to end; the ones after it need nothing it clears.
    if (GInsideDelivery > 0) return;
    WaitServingMainThread([&] { return FActiveDeliveries > 0; });
}

void TCustomEncoder::EndDeliveries() {
    if (GInsideDelivery > 0) {
        // Its own delivery thread would be joined from inside itself.
        std::fprintf(stderr, "zconv: an encoder was destroyed from inside its own termination handler\n");
        std::abort();
    }
    WaitForDeliveries();
    {
        std::lock_guard lock(FDeliveryLock);
        FDeliveryEnding = true;
    }
    FDeliveryWake.notify_one();
    if (FDeliveryThread.joinable()) FDeliveryThread.join();
}

void TCustomEncoder::DoProgress(TFFmpeg* task, int fileIndex, int frameNumber, int fps, float quality,
                                double bitrate, std::int64_t currentSize, std::int64_t currentDuration,
                                std::int64_t totalDuration) {
    if (!OnProgress) return;
    std::lock_guard lock(FProgressLock);
    FProgressInfo = TProgressInfo{GetTaskIndex(task), fileIndex, frameNumber, fps, quality,
                                  static_cast<float>(bitrate), currentSize, currentDuration, totalDuration};
    if (TriggerEventInMainThread && PostProgress) {
        FPostedProgress[FProgressInfo.TaskIndex] = FProgressInfo;
        if (FProgressQueued) return;
        FProgressQueued = true;
        PostToMainThread([alive = std::weak_ptr<TCustomEncoder*>(FAlive), run = FRunNumber] {
            const auto self = alive.lock();
            if (self && (*self)->FRunNumber == run) (*self)->HandOverProgress();
        });
        return;
    }
    if (TriggerEventInMainThread)
        CallInMainThread([&] { OnProgress(this, &FProgressInfo); });
    else
        OnProgress(this, &FProgressInfo);
}

void TCustomEncoder::HandOverProgress() {
    std::map<int, TProgressInfo> reports;
    {
        std::lock_guard lock(FProgressLock);
        reports.swap(FPostedProgress);
        FProgressQueued = false;
    }
    for (auto& [task, info] : reports)
        if (OnProgress) OnProgress(this, &info);
}

void TCustomEncoder::DoPreviewBitmap(TFFmpeg* task, avhelpers::TBitmap* bitmap, int frameNumber, std::int64_t pts) {
    if (!OnPreviewBitmap) return;
    std::lock_guard lock(FPreviewLock);
    FPreviewInfo = TPreviewInfo{GetTaskIndex(task), bitmap, frameNumber, pts};
    if (TriggerEventInMainThread)
        CallInMainThread([&] { OnPreviewBitmap(this, FPreviewInfo); });
    else
        OnPreviewBitmap(this, FPreviewInfo);
}

void TCustomEncoder::DoBeforeFindStreamInfo(engine::TCustomFFmpeg* task, AVFormatContext* ctx) {
    if (!OnBeforeFindStreamInfo) return;
    std::lock_guard lock(FFindStreamLock);
    if (TriggerEventInMainThread)
        CallInMainThread([&] { OnBeforeFindStreamInfo(task, ctx); });
    else
        OnBeforeFindStreamInfo(task, ctx);
}

namespace {

void RunVideoHook(const TVideoHookEvent& handler, TCustomEncoder* sender, std::mutex& lock, THookInfo& info,
                  int taskIndex, avhelpers::TBitmap* bitmap, int frameNumber, std::int64_t pts, bool& update,
                  bool& stop) {
    if (!handler) return;
    std::lock_guard guard(lock);
    info = THookInfo{taskIndex, bitmap, frameNumber, pts, update, stop};
    handler(sender, &info);
    update = info.Update;
    stop = info.StopHook;
}

void RunFrameHook(const TFrameHookEvent& handler, TCustomEncoder* sender, std::mutex& lock, TFrameHookInfo& info,
                  int taskIndex, AVFrame* picture, AVPixelFormat pixFmt, int frameNumber, int width, int height,
                  std::int64_t pts) {
    if (!handler) return;
    std::lock_guard guard(lock);
    info = TFrameHookInfo{taskIndex, frameNumber, picture, pixFmt, width, height, pts};
    handler(sender, &info);
}

} // namespace

void TCustomEncoder::DoInputVideoHook(TFFmpeg* task, avhelpers::TBitmap* bitmap, int frameNumber, std::int64_t pts,
                                      bool& update, bool& stop) {
    RunVideoHook(OnVideoInputHook, this, FVideoHookLock, FVideoHookInfo, GetTaskIndex(task), bitmap, frameNumber, pts,
                 update, stop);
}

void TCustomEncoder::DoOutputVideoHook(TFFmpeg* task, avhelpers::TBitmap* bitmap, int frameNumber, std::int64_t pts,
                                       bool& update, bool& stop) {
    RunVideoHook(OnVideoOutputHook, this, FVideoHookLock, FVideoHookInfo, GetTaskIndex(task), bitmap, frameNumber,
                 pts, update, stop);
}

void TCustomEncoder::DoInputFrameHook(TFFmpeg* task, AVFrame* picture, AVPixelFormat pixFmt, int frameNumber,
                                      int width, int height, std::int64_t pts) {
    RunFrameHook(OnFrameInputHook, this, FFrameHookLock, FFrameHookInfo, GetTaskIndex(task), picture, pixFmt,
                 frameNumber, width, height, pts);
}

void TCustomEncoder::DoOutputFrameHook(TFFmpeg* task, AVFrame* picture, AVPixelFormat pixFmt, int frameNumber,
                                       int width, int height, std::int64_t pts) {
    RunFrameHook(OnFrameOutputHook, this, FFrameHookLock, FFrameHookInfo, GetTaskIndex(task), picture, pixFmt,
                 frameNumber, width, height, pts);
}

void TCustomEncoder::DoAudioHook(TFFmpeg* task, std::int64_t pts, std::uint8_t* samples, int size, int sampleRate,
                                 int channels, AVSampleFormat sampleFormat) {
    if (!OnAudioHook) return;
    std::lock_guard lock(FAudioHookLock);
    OnAudioHook(this, GetTaskIndex(task), pts, samples, size, sampleRate, channels, sampleFormat);
}

} // namespace encoder
