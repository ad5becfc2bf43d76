// The logic of the main window between the user and the encoder, without a
// toolkit: the file list, building one task per row from the active device
// profile, progress per row, stopping, and the log file.
#pragma once

#include "encoder/TaskQueue.h"
#include "probe/Probe.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sys/types.h>
#include <utility>
#include <string>
#include <vector>

namespace app {

// "%.2d:%.2d:%.2d.%.3d" of microseconds; hours may have more digits.
std::string DurationToStr(std::int64_t micros);
// "hh:mm:ss.fff" to microseconds; 0 unless the text has exactly that shape.
std::int64_t StrToDuration(const std::string& text);
// An integer with an optional trailing "k"/"K" (thousands). Raises
// avbind::EConvertError naming the text when it is no such number or does
// not fit an int.
int KKStrToInt(const std::string& text);
// Whole seconds done × 100 / whole seconds in total; 0 while the total is
// under a second or unknown.
int ProgressPercent(std::int64_t currentDuration, std::int64_t totalDuration);
// `stem` + `suffix` within the file systems' 255-byte name limit: the stem
// is shortened as needed, never inside a UTF-8 character.
std::string FitFileName(std::string stem, const std::string& suffix);
// The folder, a separator, and the input's file name with its extension
// replaced (or appended when it has none), shortened to fit.
std::string OutputPath(const std::string& folder, const std::string& input, const std::string& extension);
// Whether a file name matches "*.ext" (case-insensitive, wildcards in ext allowed); "*" matches everything.
bool MatchesExtension(const std::string& name, const std::string& extension);

// A name the libraries open as the local file it names: a relative name whose
// first part ends in ':' ("a:b.mkv") would be read as a protocol, so it gets
// a leading "./". Other names are returned as they are.
std::string LocalFileName(const std::string& path);
// How many files a run converts at once when the user leaves it automatic:
// one per core, at most 16. On the benchmark (scripts/bench.sh, 8 clips of
// 720p H.264) one single-threaded task per core converts the batch faster
// than fewer tasks with more codec threads each (codecs do not scale
// perfectly); the cap keeps a many-core machine's memory in bounds.
int AutomaticJobs(int cores);
// The codec threads each task gets: the cores shared among the tasks that
// run at once, at least 1.
int TaskThreads(int cores, int running);
// The cores this process may use.
int UsableCores();

// Raises the process's open-file limit to its hard limit: every task holds
// its input and output open, and a long list runs all at once.
void RaiseOpenFileLimit();

// What a run needs to know of a file to fit its pictures and subtitles to a profile.
struct TSourceInfo {
    int Width = 0, Height = 0;   // coded size of the first picture stream; 0 = no picture
    int SarNum = 0, SarDen = 0;  // its pixel aspect; 0 = not stated (square pixels)
    int Rotation = 0;            // clockwise degrees a player turns it
    AVRational FrameRate{0, 1};  // its average (else declared) frame rate; 0/1 unknown
    bool Cover = false;          // a cover picture (an attached picture, not a video)
    int Subtitles = 0;           // subtitle streams
    AVCodecID SubtitleCodec = AV_CODEC_ID_NONE;  // of the first one
};
// The containers a listed file may be read as: every one the libraries have
// except playlists and concatenation lists, which name other files to read,
// unless the file's own extension says it is one (.m3u8, .m3u, .ffconcat).
// Empty: no limit. A comma list for the "format_whitelist" option.
std::string AllowedContainers(const std::string& path);
// The extensions of files the converter reads, lower case without the dot:
// the common video and sound files, and once the media libraries are loaded,
// every extension their containers name, except text, subtitle, picture and
// raw formats (a folder scan must not take notes.txt or photos).
std::vector<std::string> ReadableExtensions();
// The protocols a listed file may use: local files only.
inline constexpr const char* AllowedProtocols = "file";

// What an opened file holds; an empty record for none.
TSourceInfo SourceInfo(const AVFormatContext* file);
// The probe's answers for a file; an empty record when it cannot be read.
TSourceInfo ProbeSource(probe::TCustomDecoder& probe, const std::string& path);

// How a task's pictures are sized: an "s" size and a filter description
// (either may be empty).
struct TPictureFit {
    std::string FrameSize;
    std::string Filters;
};
// A profile size ("WxH") is met exactly: the picture is scaled to fit inside
// it with its display aspect (pixels made square) and padded with black.
// "auto" (or "-1", or no size) keeps the source's size and aspect, rounded to
// even sizes where the source's are odd (encoders of 4:2:0 pictures need that).
TPictureFit FitPicture(const TSourceInfo& source, const std::string& profileSize);

// The device profile's values a task is built from.
struct TProfileValues {
    std::string Ext;
    std::string VideoCodec, VideoBitrate, FrameRate, VideoSize;
    std::string AudioCodec, AudioBitrate, SampleRate, Channels;
    // A profile whose video (or audio) section is switched off leaves those
    // streams out: an audio-only profile.
    bool Video = true, Audio = true;
};

// Where a row stands; the state stays after the run until the next one starts.
enum class TRowState { Waiting, Converting, Done, Failed, Stopped, Skipped };
// "Waiting", "Converting", "Done", "Failed", "Stopped", "Skipped".
const char* RowStateName(TRowState state);

// What a run does when a file already has the output's name.
enum class TExistingFiles { NewName, Overwrite, Skip };
// "new name", "overwrite", "skip"; an unknown text reads as NewName.
const char* ExistingFilesName(TExistingFiles policy);
TExistingFiles ExistingFilesFromName(const std::string& name);

// A file by device and inode.
using TFileIdentity = std::pair<dev_t, ino_t>;

// What the list shows of a file, read when it is added.
struct TListedSource {
    std::int64_t Length = -1;    // microseconds; -1 unknown
    int Width = 0, Height = 0;   // of its pictures as shown (turned upright); 0: none
    AVRational FrameRate{0, 1};  // 0/1: unknown or no pictures
};
// "1280x720"; empty without pictures.
std::string SizeText(const TListedSource& source);
// "25 fps", "29.97 fps"; empty when unknown.
std::string FrameRateText(const TListedSource& source);

struct TListRow {
    std::string Path;
    TFileIdentity Identity{};  // when it was added; {0, 0}: not readable then
    std::string StartText = "00:00:00";
    std::string DurationText;
    std::string SizeText, FrameRateText;  // of the source; empty when unknown
    int Progress = 0;
    std::int64_t Done = 0, Total = -1;  // microseconds of the last report
    std::int64_t Length = -1;  // probed duration in microseconds; -1 unknown
    TRowState State = TRowState::Waiting;
    std::string Reason;  // Failed, Skipped: why, in one line (as logged); Done: a note on the name, if any
    std::string Output;  // the final name: where the file is (Done) or would go
};

// The whole list's progress during a run.
struct TListProgress {
    int Percent = 0;           // of the rows' known length, done
    double SecondsLeft = -1;   // at the speed so far; -1 while unknown
};
// "hh:mm:ss" of whole seconds (hours may have more digits).
std::string ClockText(double seconds);

struct TRunCounts {
    int Converted = 0, Failed = 0, Stopped = 0, Skipped = 0, Unfinished = 0;
};
// "2 converted, 1 failed": the converted count, then each other count that is not zero.
std::string SummaryLine(const TRunCounts& counts);

// Moves a finished temporary file to its final name without replacing what
// is there (the next free "name (n).ext" is taken instead), or, when
// `replace`, replacing a regular file but never a symbolic link or other
// kind of file. The name taken is returned in `finalPath`; false with the
// reason in `error`.
bool MoveIntoPlace(const std::string& temp, std::string& finalPath, bool replace, std::string& error);

class TConversionRun {
public:
    // probeSource: what the list shows of a file (an empty record when it cannot be read).
    TConversionRun(encoder::TCustomEncoder& encoder, std::function<TListedSource(const std::string&)> probeSource);
    // Stops the run: the encoder's notices still on their way reach it before it goes.
    ~TConversionRun();
    TConversionRun(const TConversionRun&) = delete;
    TConversionRun& operator=(const TConversionRun&) = delete;

    // ---- The list ----
    // False when the file is left out because it is listed already (with SkipListed).
    bool AddFile(const std::string& path);
    // A file already in the list (the same file, by device and inode) is not
    // added again; how many were left out so far is counted.
    bool SkipListed = false;
    int TakeLeftOutAsListed() { return std::exchange(FLeftOutAsListed, 0); }
    // Adds the files matching "*.ext" (empty: "*"; wildcards allowed), in
    // every sub-folder too when `recursive`; names in sorted order. Each real
    // folder is entered and each file added once, whatever links lead there.
    void AddFolder(const std::string& folder, bool recursive, const std::string& extension);
    // The same for files matching any of the extensions.
    void AddFolder(const std::string& folder, bool recursive, const std::vector<std::string>& extensions);
    void Remove(std::vector<int> rows);
    void Clear() { FRows.clear(); }
    bool MoveUp(int row);
    bool MoveDown(int row);
    const std::vector<TListRow>& Rows() const { return FRows; }

    // ---- The run ----
    // Builds one task per row and starts them, at most `jobs` at once
    // (0: AutomaticJobs); each task's codecs share the cores among them. Each task writes a hidden temporary file in the output folder
    // that takes its final name only when the task finished. False when no
    // task could be made: the list is empty, or every row is Failed or
    // Skipped with its reason (logged). Raises EConvertError for a profile
    // number that is no number (nothing started).
    bool Start(const TProfileValues& profile, const std::string& outputFolder, int jobs = 0);
    // Stops the run; every row ends in its true state and unfinished
    // temporary files are removed.
    void Stop();
    bool Converting() const { return FConverting; }
    TRunCounts Counts() const;
    // From the rows' lengths and the speed since Start.
    TListProgress ListProgress() const;
    // The summary line, then each failed row's file name and reason
    // ("2 converted, 1 failed: clip.avi — moov atom not found"), at most
    // `reasons` of them.
    std::string SummaryText(std::size_t reasons = 8) const;

    // What to do with a file already at an output name.
    TExistingFiles ExistingFiles = TExistingFiles::NewName;

    // Every handler below runs on the thread that calls the run's methods
    // (the main thread): the encoder's events reach the run there.
    // Asked before each entry of a folder scan: true ends the scan.
    std::function<bool()> ScanStopped;
    // Called when the run has ended (after the final notice), before the bars reset.
    std::function<void()> OnRunEnded;
    // Called with the row whose bar changed.
    std::function<void(int row)> OnRowProgress;
    // Called with the row whose state changed (started or ended).
    std::function<void(int row)> OnRowState;
    // Appends log lines here (LF line ends); empty: nothing is written. Any thread may log.
    std::string LogFileName;
    void AppendLog(const std::string& line);

private:
    void ScanFolder(const std::string& folder, bool recursive, const std::vector<std::string>& extensions,
                    std::set<TFileIdentity>& folders, std::set<TFileIdentity>& files);
    // Ends a row: its state and reason, its temporary file moved into place or removed.
    void EndRow(int row, TRowState state, const std::string& reason);
    // The final name a row's output takes under the existing-file rule; empty when it is skipped.
    std::string ChooseOutputName(const std::string& planned, const std::set<TFileIdentity>& inputs,
                                 const std::set<std::string>& taken) const;
    // The task's subtitle choice for the container; a line in the log when they are left out.
    void ChooseSubtitles(const TSourceInfo& source, const std::string& extension, const std::string& path,
                         encoder::TOutputOptions& output);

    encoder::TCustomEncoder& FEncoder;
    std::function<TListedSource(const std::string&)> FProbeSource;
    std::vector<TListRow> FRows;
    std::map<int, int> FTaskRow;  // task index -> row
    std::mutex FLogLock;  // library lines arrive from worker threads
    std::mutex FTempLock;  // FTemps: written by the tasks' set-up, read on the main thread
    std::map<int, std::string> FTemps;  // row -> its temporary file, until the row ends
    int FLeftOutAsListed = 0;
    bool FConverting = false;
    std::chrono::steady_clock::time_point FStarted;
    bool FStopping = false;
    bool FHandlersInstalled = false;  // the encoder's handlers call into this run
};

} // namespace app
