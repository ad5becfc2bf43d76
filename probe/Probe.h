// The media probe: opens a media file (or takes a context opened elsewhere)
// and answers questions about its container and streams.
#pragma once

#include "avbind/AVPtr.h"
#include "avbind/FFLog.h"
#include "avhelpers/StreamProtocol.h"

#include <cstdint>
#include <functional>
#include <string>

namespace probe {

// Container information. Without a file every number is -1.
struct TFileStreamInfo {
    std::int64_t StartTime = -1;  // microseconds; -1 when the container has none
    std::int64_t Duration = -1;   // microseconds; -1 when the container has none
    std::int64_t BitRate = -1;    // bit/s, 0 when unknown
    std::int64_t TimeStamp = -1;  // creation time, microseconds since 1970 (UTC); 0 when unknown
    int Year = -1;                // "year" / "track" metadata; 0 when absent or not a number
    int Track = -1;
    std::string Title, Author, Copyright, Comment, Album, Genre;
};

// Stream records: StartTime and Duration in the stream's time base, the
// ...Scaled values in microseconds; -1 wherever nothing was filled in.
struct TAudioStreamInfo {
    std::string Language, CodecName;
    std::int64_t StartTime = -1, StartTimeScaled = -1;
    std::int64_t Duration = -1, DurationScaled = -1;
    std::int64_t BitRate = -1;
    int Channels = -1;
    int SampleRate = -1;
    AVSampleFormat SampleFormat = AV_SAMPLE_FMT_NONE;  // -1
};

struct TVideoStreamInfo {
    std::string Language, CodecName;
    std::int64_t StartTime = -1, StartTimeScaled = -1;
    std::int64_t Duration = -1, DurationScaled = -1;
    std::int64_t BitRate = -1;
    int Height = -1;
    int Width = -1;
    float AspectRatio = -1.0f;                 // display aspect: width × pixel aspect / height
    AVPixelFormat PixFmt = AV_PIX_FMT_NONE;    // -1
    AVRational FrameRate{-1, -1};
    double Rotation = 0;                       // clockwise degrees a player turns the pictures (display matrix)
};

struct TSubtitleStreamInfo {
    std::string Language, CodecName;
};

class TCustomDecoder;
// Called after the file is opened and before its streams are analysed.
using TBeforeFindStreamInfoEvent = std::function<void(TCustomDecoder* sender, AVFormatContext* context)>;

// Queries that cannot be answered return their empty value (false, a cleared
// record, an empty text), log the reason with the probe as sender and keep it
// in LastErrMsg. Opening and the FileHandle setter throw std::runtime_error
// when a library they need is not loaded. Used on one thread at a time.
class TCustomDecoder : public avbind::TFFBaseComponent {
public:
    TCustomDecoder();
    ~TCustomDecoder() override;
    TCustomDecoder(const TCustomDecoder&) = delete;
    TCustomDecoder& operator=(const TCustomDecoder&) = delete;

    // The probe's libraries, from `folder` (shared with the loader) else the
    // system search. False with the loader's message in LastErrMsg.
    bool LoadAVLib(const std::string& folder);
    bool AVLibLoaded() const;
    // Closes the file first: the probe cannot outlive its libraries' objects.
    void UnloadAVLib();

    // Opens and analyses the file; formatName forces the input format.
    // False with LastErrMsg on failure.
    bool LoadFile(const std::string& fileName, const std::string& formatName = "");
    // When set, what LoadFile may open: the protocols and the containers
    // (the libraries' "protocol_whitelist" and "format_whitelist", comma lists).
    std::string ProtocolWhitelist, FormatWhitelist;
    virtual void CloseFile();

    AVFormatContext* FileHandle() const { return FFileHandle; }
    // Takes a context opened elsewhere; it stays its opener's (CloseFile and
    // the destructor leave it open). Null just closes.
    virtual void SetFileHandle(AVFormatContext* value);

    bool IsAudioStream(int index);
    bool IsVideoStream(int index);
    bool IsSubtitleStream(int index);

    // index < 0: the first stream of the kind. True when the record was filled.
    bool GetAudioStreamInfo(int index, TAudioStreamInfo& info);
    bool GetVideoStreamInfo(int index, TVideoStreamInfo& info);
    bool GetSubtitleStreamInfo(int index, TSubtitleStreamInfo& info);
    TAudioStreamInfo FirstAudioStreamInfo();
    TVideoStreamInfo FirstVideoStreamInfo();
    TSubtitleStreamInfo FirstSubtitleStreamInfo();

    TFileStreamInfo FileStreamInfo();
    // A readable multi-line summary (each line ends in "\n").
    std::string FileInfoText();
    std::string FileName();
    std::string FormatName();
    std::string FormatLongName();

    std::int64_t FileSize() const { return FFileSize; }
    const std::string& ForceFormat() const { return FForceFormat; }
    int StreamCount() const { return FStreamCount; }
    int ProgramCount() const { return FProgramCount; }
    int AudioStreamCount() const { return FAudioStreamCount; }
    int VideoStreamCount() const { return FVideoStreamCount; }
    int SubtitleStreamCount() const { return FSubtitleStreamCount; }
    int FirstAudioStreamIndex() const { return FFirstAudioStreamIndex; }
    int FirstVideoStreamIndex() const { return FFirstVideoStreamIndex; }
    int FirstSubtitleStreamIndex() const { return FFirstSubtitleStreamIndex; }
    const std::string& LastErrMsg() const { return FLastErrMsg; }

    bool TriggerEventInMainThread() const { return FTriggerEventInMainThread; }
    void SetTriggerEventInMainThread(bool value) { FTriggerEventInMainThread = value; }
    // Longest time LoadFile may take, in milliseconds, since a pipe or a
    // device may never deliver; 0 waits for ever.
    int ReadTimeout() const { return FReadTimeout; }
    void SetReadTimeout(int ms) { FReadTimeout = ms; }
    void SetOnBeforeFindStreamInfo(TBeforeFindStreamInfoEvent handler) { FOnBeforeFindStreamInfo = std::move(handler); }

protected:
    virtual void RefreshFileInfo();
    // Logs the message with this probe as sender and keeps it in LastErrMsg.
    void Report(avbind::TLogLevel level, const std::string& message);

private:
    void CheckLibraries() const;
    bool IsKind(int index, AVMediaType kind);
    // The stream at index when it is of the kind; reports and returns null otherwise.
    AVStream* StreamOfKind(int index, AVMediaType kind, int firstIndex, const char* kindName);
    void ReleaseFile() noexcept;
    std::string StreamLine(int index) const;

    AVFormatContext* FFileHandle = nullptr;
    avhelpers::TCustomIOPtr FOwnIO;           // a protocol's I/O context under FOwnHandle
    avbind::TAVInputContextPtr FOwnHandle;  // set when the probe opened FFileHandle itself
    std::string FLastErrMsg;
    std::string FForceFormat;
    std::int64_t FFileSize = -1;
    int FStreamCount = -1;
    int FProgramCount = -1;
    int FAudioStreamCount = -1;
    int FVideoStreamCount = -1;
    int FSubtitleStreamCount = -1;
    int FFirstAudioStreamIndex = -1;
    int FFirstVideoStreamIndex = -1;
    int FFirstSubtitleStreamIndex = -1;
    bool FTriggerEventInMainThread = true;
    int FReadTimeout = 10000;
    TBeforeFindStreamInfoEvent FOnBeforeFindStreamInfo;
};

// The probe as the application uses it (its frame decoding services are not
// part of this system).
class TFFDecoder : public TCustomDecoder {
public:
    TFFDecoder() = default;
};

} // namespace probe
