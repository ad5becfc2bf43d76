#include "app/ConversionRun.h"

#include "app/PathsAndLinks.h"

#include "avbind/Text.h"
#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <fnmatch.h>
#include <sched.h>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>

namespace app {

namespace fs = std::filesystem;

std::string DurationToStr(std::int64_t micros) {
    const std::int64_t s = micros / 1000000;
    return avbind::Format("%.2lld:%.2lld:%.2lld.%.3lld", static_cast<long long>(s / 60 / 60),
                          static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60),
                          static_cast<long long>(micros % 1000000 * 1000 / 1000000));
}

namespace {

// Pieces between separators; empty pieces are dropped.
std::vector<std::string> Pieces(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c == separator) {
            if (!piece.empty()) pieces.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty()) pieces.push_back(piece);
    return pieces;
}

// A file by device and inode, so links and other spellings of a name are the
// same file; {0, 0} when it cannot be read.
TFileIdentity Identity(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? TFileIdentity{st.st_dev, st.st_ino} : TFileIdentity{};
}

} // namespace

std::int64_t StrToDuration(const std::string& text) {
    const std::vector<std::string> parts = Pieces(text, '.');
    if (parts.size() != 2) return 0;
    const std::vector<std::string> clock = Pieces(parts[0], ':');
    if (clock.size() != 3) return 0;
    int h = 0, m = 0, s = 0, f = 0;
    if (!avbind::TryStrToInt(clock[0], h) || !avbind::TryStrToInt(clock[1], m) || !avbind::TryStrToInt(clock[2], s) ||
        !avbind::TryStrToInt(parts[1], f))
        return 0;
    const std::int32_t seconds = h * 3600 + m * 60 + s;
    return static_cast<std::int64_t>(seconds) * 1000000 + static_cast<std::int64_t>(f) * 1000000 / 1000;
}

int KKStrToInt(const std::string& text) {
    const bool thousands = !text.empty() && (text.back() == 'k' || text.back() == 'K');
    const std::int64_t number = avbind::StrToInt64(thousands ? text.substr(0, text.size() - 1) : text);
    // A number that does not fit is refused, not wrapped round.
    if (number > INT_MAX / (thousands ? 1000 : 1) || number < INT_MIN / (thousands ? 1000 : 1))
        throw avbind::EConvertError("'" + text + "' is too large a number");
    return static_cast<int>(number * (thousands ? 1000 : 1));
}

int ProgressPercent(std::int64_t currentDuration, std::int64_t totalDuration) {
    const std::int64_t total = totalDuration / 1000000;
    if (total <= 0) return 0;
    const std::int64_t percent = currentDuration / 1000000 * 100 / total;
    return static_cast<int>(std::clamp<std::int64_t>(percent, 0, 100));
}

std::string FitFileName(std::string stem, const std::string& suffix) {
    constexpr std::size_t kNameMax = 255;  // bytes, the file systems' limit
    if (stem.size() + suffix.size() <= kNameMax) return stem + suffix;
    std::size_t keep = suffix.size() < kNameMax ? kNameMax - suffix.size() : 0;
    // Never end inside a UTF-8 character: back off over continuation bytes.
    while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
    return stem.substr(0, keep) + suffix;
}

std::string OutputPath(const std::string& folder, const std::string& input, const std::string& extension) {
    std::string name = fs::path(input).filename().string();
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot);
    return (fs::path(folder) / FitFileName(name, "." + extension)).string();
}

std::string LocalFileName(const std::string& path) {
    const std::size_t colon = path.find(':');
    if (colon == std::string::npos || path.find('/') < colon) return path;
    return "./" + path;
}

bool MatchesExtension(const std::string& name, const std::string& extension) {
    if (extension.empty() || extension == "*") return true;
    // The pattern "*." + extension, wildcards included ("av?", "m*").
    const std::string pattern = "*." + extension;
    return fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
}

int AutomaticJobs(int cores) { return std::clamp(cores, 1, 16); }

int TaskThreads(int cores, int running) { return std::max(1, cores / std::max(1, running)); }

int UsableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

void RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string AllowedContainers(const std::string& path) {
    const std::string ext = avbind::LowerCase(fs::path(path).extension().string());
    if (ext == ".m3u8" || ext == ".m3u" || ext == ".ffconcat") return {};
    static const std::string list = [] {
        std::string names;
        void* it = nullptr;
        while (const AVInputFormat* f = avbind::avformat.av_demuxer_iterate(&it)) {
            const std::string name = f->name;
            if (name == "hls" || name == "concat" || name == "dash") continue;
            names += (names.empty() ? "" : ",") + name;  // "mov,mp4,m4a,..." lists each of its names
        }
        return names;
    }();
    return list;
}

namespace {

// A playlist's text under a name that does not say so (the containers
// allowed for it refuse it anyway; this names the reason).
bool LooksLikeHiddenPlaylist(const std::string& path) {
    if (AllowedContainers(path).empty()) return false;
    char head[32] = {};
    std::ifstream in(path, std::ios::binary);
    in.read(head, sizeof head - 1);
    std::string text(head, static_cast<std::size_t>(in.gcount()));
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    return text.rfind("#EXTM3U", 0) == 0 || text.rfind("ffconcat version", 0) == 0;
}

} // namespace

TSourceInfo SourceInfo(const AVFormatContext* ic) {
    TSourceInfo info;
    if (!ic) return info;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const AVStream* st = ic->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && info.Width == 0 && par->width > 0 && par->height > 0 &&
            !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            info.Width = par->width;
            info.Height = par->height;
            const AVRational sar = st->sample_aspect_ratio.num > 0 ? st->sample_aspect_ratio : par->sample_aspect_ratio;
            if (sar.num > 0 && sar.den > 0) {
                info.SarNum = sar.num;
                info.SarDen = sar.den;
            }
            info.Rotation = static_cast<int>(std::lround(avhelpers::DisplayRotation(st)));
            info.FrameRate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate
                             : st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0 ? st->r_frame_rate
                                                                                    : AVRational{0, 1};
        } else if (par->codec_type == AVMEDIA_TYPE_SUBTITLE) {
            if (info.Subtitles++ == 0) info.SubtitleCodec = par->codec_id;
        } else if (par->codec_type == AVMEDIA_TYPE_VIDEO && (st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            info.Cover = true;
        }
    }
    return info;
}

TSourceInfo ProbeSource(probe::TCustomDecoder& probe, const std::string& path) {
    if (!probe.LoadFile(path)) return {};
    const TSourceInfo info = SourceInfo(probe.FileHandle());
    probe.CloseFile();
    return info;
}

namespace {

int EvenAtLeastTwo(double value) { return std::max(2, 2 * static_cast<int>(std::lround(value / 2))); }

} // namespace

TPictureFit FitPicture(const TSourceInfo& source, const std::string& profileSize) {
    TPictureFit fit;
    int width = 0, height = 0;
    char tail = 0;
    const bool fixed =
        std::sscanf(profileSize.c_str(), "%dx%d%c", &width, &height, &tail) == 2 && width > 0 && height > 0;
    if (source.Width <= 0 || source.Height <= 0) {
        if (fixed) fit.FrameSize = profileSize;
        return fit;
    }
    // The picture as shown: upright, in square pixels.
    const bool quarter = source.Rotation % 180 == 90;
    const double sar = source.SarNum > 0 && source.SarDen > 0 ? static_cast<double>(source.SarNum) / source.SarDen : 1;
    double shownWidth = source.Width * sar, shownHeight = source.Height;
    if (quarter) std::swap(shownWidth, shownHeight);
    if (!fixed) {
        const int w = quarter ? source.Height : source.Width, h = quarter ? source.Width : source.Height;
        if (w % 2 || h % 2) fit.FrameSize = avbind::Format("%dx%d", w & ~1 ? w & ~1 : 2, h & ~1 ? h & ~1 : 2);
        return fit;
    }
    const double aspect = shownWidth / shownHeight;
    int inner = width, innerHeight = height;
    if (aspect >= static_cast<double>(width) / height)
        innerHeight = std::min(height, EvenAtLeastTwo(width / aspect));
    else
        inner = std::min(width, EvenAtLeastTwo(height * aspect));
    fit.Filters = avbind::Format("scale=%d:%d,setsar=1", inner, innerHeight);
    if (inner != width || innerHeight != height)
        fit.Filters += avbind::Format(",pad=%d:%d:(ow-iw)/2:(oh-ih)/2:black", width, height);
    return fit;
}

std::vector<std::string> ReadableExtensions() {
    // Worked out once the libraries are there; every folder scan and open
    // dialog asks again.
    static std::vector<std::string> withLibraries;
    if (!withLibraries.empty()) return withLibraries;
    std::vector<std::string> extensions = {
        "avi", "mpg",  "mpeg", "wmv", "asf",  "avs", "vob", "dat", "3gp", "3g2", "mp4", "psp", "rm",  "rmvb",
        "smk", "swf",  "nsv",  "mov", "qt",   "mkv", "webm", "m4v", "ts", "mts", "m2ts", "ogv", "flv", "f4v",
        "divx", "mxf", "m2v",  "dv",  "y4m",  "wtv", "nut", "mp3", "wav", "flac", "ogg", "oga", "opus", "m4a",
        "aac", "ac3", "wma",  "mka", "mp2"};
    if (avbind::FFLoader().Loaded(avbind::TLibrary::avFormat)) {
        // Containers that hold text, subtitles, still pictures, tracker
        // modules or raw pictures without a size: not what a list of videos wants.
        static const std::set<std::string> leftOut = {
            "tty",    "mpl2",      "mpsub",      "aqtitle",   "pjs",     "realtext", "sami",        "scc",
            "stl",    "subviewer", "subviewer1", "sup",       "vobsub",  "vplayer",  "webvtt",      "jacosub",
            "microdvd", "libopenmpt", "mjpeg_2000", "rawvideo", "v210",  "v210x",    "bitpacked",   "mcc",
            "lrc",    "ass",       "srt",        "sbg",       "ffmetadata", "hls",   "concat",      "dash"};
        // Extensions that broad readers also claim but that name sources,
        // text art, subtitles only, still pictures or headerless raw sound.
        static const std::set<std::string> notMedia = {"cgi", "v",   "adf", "idf", "mks", "avif", "mpo",
                                                       "sw",  "sb",  "ub",  "uw",  "al",  "ul",   "txt"};
        void* at = nullptr;
        while (const AVInputFormat* format = avbind::avformat.av_demuxer_iterate(&at)) {
            if (!format->extensions || leftOut.count(format->name)) continue;
            for (const std::string& e : TfrmCommon::split(format->extensions, ","))
                if (!notMedia.count(e) && std::find(extensions.begin(), extensions.end(), e) == extensions.end())
                    extensions.push_back(e);
        }
        withLibraries = extensions;
    }
    return extensions;
}

std::string SizeText(const TListedSource& source) {
    return source.Width > 0 && source.Height > 0 ? avbind::Format("%dx%d", source.Width, source.Height) : "";
}

std::string FrameRateText(const TListedSource& source) {
    if (source.FrameRate.num <= 0 || source.FrameRate.den <= 0) return "";
    const double rate = static_cast<double>(source.FrameRate.num) / source.FrameRate.den;
    // Two decimals only where the rate has them (29.97, 23.98), none for 25.
    std::string text = avbind::Format("%.2f", rate);
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text + " fps";
}

TConversionRun::TConversionRun(encoder::TCustomEncoder& encoder,
                               std::function<TListedSource(const std::string&)> probeSource)
    : FEncoder(encoder), FProbeSource(std::move(probeSource)) {
    // The application's encoder settings: a report a second, posted so no
    // worker waits for the window, workers a step above normal.
    FEncoder.SetProgressInterval(1000);
    FEncoder.PostProgress = true;
    FEncoder.ThreadPriority = avbind::TThreadPriority::tpHigher;
}

TConversionRun::~TConversionRun() {
    OnRunEnded = nullptr;
    OnRowProgress = nullptr;
    OnRowState = nullptr;
    if (FHandlersInstalled) {
        FEncoder.StopAndHandOver();
        FEncoder.OnProgress = nullptr;
        FEncoder.OnTerminate = nullptr;
    }
    // No unfinished file is left behind, under any name.
    std::lock_guard lock(FTempLock);
    for (const auto& [row, temp] : FTemps) unlink(temp.c_str());
}

// ---- The list ----

bool TConversionRun::AddFile(const std::string& path) {
    const TFileIdentity identity = Identity(path);
    if (SkipListed && identity != TFileIdentity{} &&
        std::any_of(FRows.begin(), FRows.end(), [&](const TListRow& row) { return row.Identity == identity; })) {
        ++FLeftOutAsListed;
        return false;
    }
    TListRow row;
    row.Path = path;
    row.Identity = identity;
    const TListedSource source = FProbeSource ? FProbeSource(LocalFileName(path)) : TListedSource{};
    row.Length = source.Length;
    row.DurationText = DurationToStr(row.Length);
    row.SizeText = SizeText(source);
    row.FrameRateText = FrameRateText(source);
    FRows.push_back(std::move(row));
    return true;
}

void TConversionRun::AddFolder(const std::string& folder, bool recursive, const std::string& extension) {
    AddFolder(folder, recursive, std::vector<std::string>{extension});
}

void TConversionRun::AddFolder(const std::string& folder, bool recursive, const std::vector<std::string>& extensions) {
    std::set<TFileIdentity> folders, files;
    ScanFolder(folder, recursive, extensions, folders, files);
}

void TConversionRun::ScanFolder(const std::string& folder, bool recursive, const std::vector<std::string>& extensions,
                                std::set<TFileIdentity>& folders, std::set<TFileIdentity>& files) {
    // Each real folder is entered once, however links lead back to it.
    const TFileIdentity self = Identity(folder);
    if (self == TFileIdentity{} || !folders.insert(self).second) return;
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(*it);
    std::sort(entries.begin(), entries.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
    for (const fs::directory_entry& entry : entries) {
        if (ScanStopped && ScanStopped()) return;
        // The pattern picks files; sub-folders are entered whatever their names.
        if (entry.is_directory(ec)) {
            if (recursive) ScanFolder(entry.path().string(), recursive, extensions, folders, files);
            continue;
        }
        const std::string name = entry.path().filename().string();
        if (std::none_of(extensions.begin(), extensions.end(),
                         [&](const std::string& e) { return MatchesExtension(name, e); }))
            continue;
        if (const TFileIdentity file = Identity(entry.path().string());
            file != TFileIdentity{} && !files.insert(file).second)
            continue;
        AddFile(entry.path().string());
    }
}

void TConversionRun::Remove(std::vector<int> rows) {
    std::sort(rows.rbegin(), rows.rend());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    for (int row : rows)
        if (row >= 0 && row < static_cast<int>(FRows.size())) FRows.erase(FRows.begin() + row);
}

bool TConversionRun::MoveUp(int row) {
    if (row <= 0 || row >= static_cast<int>(FRows.size())) return false;
    std::swap(FRows[static_cast<std::size_t>(row)], FRows[static_cast<std::size_t>(row - 1)]);
    return true;
}

bool TConversionRun::MoveDown(int row) {
    if (row < 0 || row + 1 >= static_cast<int>(FRows.size())) return false;
    std::swap(FRows[static_cast<std::size_t>(row)], FRows[static_cast<std::size_t>(row + 1)]);
    return true;
}

// ---- The run ----

void TConversionRun::AppendLog(const std::string& line) {
    if (LogFileName.empty()) return;
    std::lock_guard lock(FLogLock);
    std::ofstream out(LogFileName, std::ios::app | std::ios::binary);
    out << line << '\n';
}

const char* RowStateName(TRowState state) {
    switch (state) {
    case TRowState::Waiting: return "Waiting";
    case TRowState::Converting: return "Converting";
    case TRowState::Done: return "Done";
    case TRowState::Failed: return "Failed";
    case TRowState::Stopped: return "Stopped";
    case TRowState::Skipped: return "Skipped";
    }
    return "";
}

const char* ExistingFilesName(TExistingFiles policy) {
    switch (policy) {
    case TExistingFiles::Overwrite: return "overwrite";
    case TExistingFiles::Skip: return "skip";
    case TExistingFiles::NewName: break;
    }
    return "new name";
}

TExistingFiles ExistingFilesFromName(const std::string& name) {
    const std::string n = avbind::LowerCase(name);
    if (n == "overwrite") return TExistingFiles::Overwrite;
    if (n == "skip") return TExistingFiles::Skip;
    return TExistingFiles::NewName;
}

std::string SummaryLine(const TRunCounts& counts) {
    std::string line = std::to_string(counts.Converted) + " converted";
    for (const auto& [count, word] :
         {std::pair{counts.Failed, "failed"}, std::pair{counts.Stopped, "stopped"},
          std::pair{counts.Skipped, "skipped"}, std::pair{counts.Unfinished, "not finished"}})
        if (count > 0) line += ", " + std::to_string(count) + " " + word;
    return line;
}

namespace {

// "name (n).ext" in the same folder, within the name limit.
std::string NumberedName(const fs::path& base, int n) {
    return (base.parent_path() /
            FitFileName(base.stem().string(), " (" + std::to_string(n) + ")" + base.extension().string()))
        .string();
}

bool NameInUse(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Creates a new hidden file beside `finalPath` that no one else has opened
// (O_EXCL, so no link or earlier file is followed).
std::string CreateTempFile(const std::string& finalPath, std::string& error) {
    const fs::path target(finalPath);
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned salt = static_cast<unsigned>(getpid()) * 7919u + counter++ * 104729u +
                              static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
        const std::string temp =
            (target.parent_path() /
             FitFileName("." + target.filename().string(), avbind::Format(".%06x.part", salt & 0xFFFFFF)))
                .string();
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            return temp;
        }
        if (errno != EEXIST) {
            error = "Cannot write into " + target.parent_path().string() + ": " + std::strerror(errno);
            return {};
        }
    }
    error = "Cannot find a free temporary name in " + target.parent_path().string();
    return {};
}

// rename() that fails with EEXIST instead of replacing; a file system
// without the flag gets a hard link and an unlink, which fail the same way.
int RenameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (link(from.c_str(), to.c_str()) != 0) return -1;
    unlink(from.c_str());
    return 0;
}

} // namespace

bool MoveIntoPlace(const std::string& temp, std::string& finalPath, bool replace, std::string& error) {
    const fs::path base(finalPath);
    std::string path = finalPath;
    for (int n = 2; n < 10000; path = NumberedName(base, n++)) {
        struct stat st {};
        const bool exists = lstat(path.c_str(), &st) == 0;
        int moved;
        // rename() swaps the name itself: a link put there meanwhile is replaced, never followed.
        if (exists && replace && S_ISREG(st.st_mode))
            moved = rename(temp.c_str(), path.c_str());
        else if (exists)
            continue;  // not ours to replace
        else
            moved = RenameNoReplace(temp, path);
        if (moved == 0) {
            finalPath = path;
            return true;
        }
        if (errno == EEXIST) continue;  // taken meanwhile
        error = "Cannot move the finished file to " + path + ": " + std::strerror(errno);
        return false;
    }
    error = "No free name for " + finalPath;
    return false;
}

std::string TConversionRun::ChooseOutputName(const std::string& planned,
                                             const std::set<TFileIdentity>& inputs,
                                             const std::set<std::string>& taken) const {
    // A name another row takes, or an input of the run, is never written;
    // an existing file only when the user chose to replace regular files.
    auto free = [&](const std::string& path) {
        if (taken.count(path) || inputs.count(Identity(path))) return false;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return true;
        return ExistingFiles == TExistingFiles::Overwrite && S_ISREG(st.st_mode);
    };
    if (ExistingFiles == TExistingFiles::Skip && NameInUse(planned) && !taken.count(planned)) return {};
    std::string path = planned;
    for (int n = 2; !free(path); ++n) path = NumberedName(fs::path(planned), n);
    return path;
}

bool TConversionRun::Start(const TProfileValues& profile, const std::string& outputFolder, int jobs) {
    FEncoder.ClearTasks();
    FTaskRow.clear();
    FTemps.clear();
    for (TListRow& row : FRows) {
        row.Progress = 0;
        row.Done = 0;
        row.Total = -1;
        row.State = TRowState::Waiting;
        row.Reason.clear();
        row.Output.clear();
    }
    if (FRows.empty()) return false;
    // Every number is read before anything starts, so a bad profile starts nothing.
    const int videoBitrate = KKStrToInt(profile.VideoBitrate);
    const int channels = KKStrToInt(profile.Channels);
    const int sampleRate = KKStrToInt(profile.SampleRate);
    const int audioBitrate = KKStrToInt(profile.AudioBitrate);

    // Inputs by device and inode, so links and other spellings of a name are caught.
    std::set<TFileIdentity> inputs;
    for (const TListRow& row : FRows) inputs.insert(Identity(row.Path));
    inputs.erase(TFileIdentity{});
    std::set<std::string> taken;
    std::string folderError;
    std::error_code ec;
    fs::create_directories(outputFolder, ec);
    if (!fs::is_directory(outputFolder, ec))
        folderError = "Cannot write into " + outputFolder + ": " +
                      (fs::exists(outputFolder, ec) ? "it is not a folder" : std::strerror(ENOENT));
    const int cores = UsableCores();
    const int running = std::min<int>(jobs > 0 ? jobs : AutomaticJobs(cores), static_cast<int>(FRows.size()));
    const std::string threads = "threads=" + std::to_string(TaskThreads(cores, running)) + "\n";
    // The container is named, not guessed from the temporary file's extension.
    const AVOutputFormat* format = avbind::avformat.av_guess_format(nullptr, ("x." + profile.Ext).c_str(), nullptr);

    for (std::size_t r = 0; r < FRows.size(); ++r) {
        TListRow& row = FRows[r];
        const int rowIndex = static_cast<int>(r);
        auto fail = [&](std::string reason) {
            // Most reasons start with the file's name; the row names it already.
            for (const std::string& name : {row.Path, LocalFileName(row.Path)})
                if (reason.rfind(name + ": ", 0) == 0) reason.erase(0, name.size() + 2);
            row.State = TRowState::Failed;
            row.Reason = reason;
            AppendLog(row.Path + ": " + reason);
        };
        if (!folderError.empty()) {
            fail(folderError);
            continue;
        }
        if (!format) {
            fail("No container is known for the extension \"" + profile.Ext + "\"");
            continue;
        }
        const std::string planned = OutputPath(outputFolder, row.Path, profile.Ext);
        const std::string path = ChooseOutputName(planned, inputs, taken);
        if (path.empty()) {
            row.State = TRowState::Skipped;
            row.Output = planned;
            row.Reason = planned + " already exists";
            AppendLog(row.Path + ": skipped: " + row.Reason);
            continue;
        }
        row.Output = path;
        taken.insert(path);
        if (path != planned) {
            row.Reason = "written as " + fs::path(path).filename().string();
            AppendLog(row.Path + ": the output is written as " + path);
        }
        encoder::TInputOptions input;
        input.FileName = LocalFileName(row.Path);
        // What a file names inside stays local, and a file that is not
        // called a playlist is not read as one.
        input.ExtOptions = threads + "protocol_whitelist=" + AllowedProtocols;
        if (const std::string containers = AllowedContainers(row.Path); !containers.empty())
            input.ExtOptions += "\nformat_whitelist=" + containers;
        else  // a playlist reads its segments from its own folder only
            input.ReadFolder = fs::absolute(row.Path).parent_path().string();
        encoder::TOutputOptions output;
        output.FileExt = profile.Ext;
        output.ForceFormat = format->name;
        output.TimeStart = StrToDuration(row.StartText);
        output.VideoCodec = profile.VideoCodec;
        output.VideoBitrate = videoBitrate;
        // "auto" (or nothing): the source's own rate.
        output.FrameRate = avbind::LowerCase(profile.FrameRate) == "auto" ? "" : profile.FrameRate;
        output.AudioCodec = profile.AudioCodec;
        if (profile.AudioCodec == "aac") output.ExtOptions = "strict=experimental";
        // AVI stores no start time for its sound: sound that starts late is
        // lined up with silence instead.
        if (avbind::LowerCase(profile.Ext) == "avi") output.AudioSyncMethod = 1;
        output.AudioChannels = channels;
        output.AudioSampleRate = sampleRate;
        output.AudioBitrate = audioBitrate;
        output.DisableVideo = !profile.Video;
        output.DisableAudio = !profile.Audio;
        // Nothing of the row is opened or created before its task starts:
        // this runs on the task's own thread then.
        const int task = FEncoder.AddDeferredTask([this, rowIndex, input, output, path, size = profile.VideoSize,
                                                   ext = profile.Ext, source = row.Path](int taskIndex) mutable {
            std::string error;
            const std::string temp = CreateTempFile(path, error);
            if (temp.empty()) throw std::runtime_error(error);
            {
                std::lock_guard lock(FTempLock);
                FTemps[rowIndex] = temp;
            }
            if (LooksLikeHiddenPlaylist(source))
                throw std::runtime_error("this is a playlist, which names other files to read: it is converted only "
                                         "when its name ends in .m3u8, .m3u or .ffconcat");
            if (!FEncoder.AddInputFile(taskIndex, input.FileName, &input))
                throw std::runtime_error(FEncoder.LastErrMsg());
            const TSourceInfo info = SourceInfo(FEncoder.Task(taskIndex).InputContext(0));
            if (static_cast<std::int64_t>(info.Width) * info.Height > engine::MaxPicturePixels)
                throw std::runtime_error(avbind::Format(
                    "The pictures are %dx%d: this converter takes pictures of at most %dx%d pixels in all",
                    info.Width, info.Height, engine::MaxPictureSide, engine::MaxPictureSide));
            const TPictureFit fit = FitPicture(info, size);
            output.FrameSize = fit.FrameSize;
            output.VideoFilters = fit.Filters;
            ChooseSubtitles(info, ext, source, output);
            // A cover picture is not a video: sound with a cover stays sound.
            if (info.Cover && info.Width == 0 && !output.DisableVideo) {
                output.DisableVideo = true;
                AppendLog(source + ": its cover picture is left out");
            }
            output.FileName = LocalFileName(temp);
            if (!FEncoder.SetOutputFile(taskIndex, output.FileName, &output))
                throw std::runtime_error(FEncoder.LastErrMsg());
        });
        if (task < 0) {
            fail(FEncoder.LastErrMsg());
            continue;
        }
        FTaskRow[task] = rowIndex;
    }
    if (FEncoder.TasksCount() == 0) return false;

    FEncoder.OnProgress = [this](encoder::TCustomEncoder*, encoder::TProgressInfo* info) {
        const auto found = FTaskRow.find(info->TaskIndex);
        if (found == FTaskRow.end()) return;
        TListRow& row = FRows[static_cast<std::size_t>(found->second)];
        if (row.State != TRowState::Waiting && row.State != TRowState::Converting) return;
        row.Progress = ProgressPercent(info->CurrentDuration, info->TotalDuration);
        row.Done = info->CurrentDuration;
        row.Total = info->TotalDuration;
        if (row.State == TRowState::Waiting) {
            row.State = TRowState::Converting;
            if (OnRowState) OnRowState(found->second);
        }
        if (OnRowProgress) OnRowProgress(found->second);
    };
    FEncoder.OnTerminate = [this](encoder::TCustomEncoder*, const encoder::TTerminateInfo& info) {
        if (info.TaskIndex < 0) {
            Stop();
            return;
        }
        const auto found = FTaskRow.find(info.TaskIndex);
        if (found == FTaskRow.end()) return;
        if (info.Finished)
            EndRow(found->second, TRowState::Done, "");
        else if (info.Exception)
            EndRow(found->second, TRowState::Failed, info.ExceptionMsg);
        else
            EndRow(found->second, TRowState::Stopped, "");
    };
    FHandlersInstalled = true;
    FConverting = true;
    FStarted = std::chrono::steady_clock::now();
    FEncoder.Start(running);
    return true;
}

void TConversionRun::EndRow(int rowIndex, TRowState state, const std::string& reason) {
    TListRow& row = FRows[static_cast<std::size_t>(rowIndex)];
    if (row.State != TRowState::Waiting && row.State != TRowState::Converting) return;  // ended already
    std::string tempPath;
    {
        std::lock_guard lock(FTempLock);
        if (const auto temp = FTemps.find(rowIndex); temp != FTemps.end()) {
            tempPath = temp->second;
            FTemps.erase(temp);
        }
    }
    struct stat st {};
    if (state == TRowState::Done) {
        std::string error, path = row.Output;
        // A task that left no file (nothing written) has not converted anything.
        if (tempPath.empty() || lstat(tempPath.c_str(), &st) != 0 || st.st_size == 0) {
            state = TRowState::Failed;
            row.Reason = "nothing was written";
        } else if (!MoveIntoPlace(tempPath, path, ExistingFiles == TExistingFiles::Overwrite, error)) {
            state = TRowState::Failed;
            row.Reason = error;
        } else {
            tempPath.clear();
            if (path != row.Output) {
                row.Reason = "written as " + fs::path(path).filename().string();
                AppendLog(row.Path + ": the output is written as " + path);
            }
            row.Output = path;
            row.Progress = 100;
        }
    } else if (state == TRowState::Failed) {
        row.Reason = reason.empty() ? "the conversion failed" : reason;
        // Most reasons start with the file's name; the row names it already.
        for (const std::string& name : {row.Path, LocalFileName(row.Path)})
            if (row.Reason.rfind(name + ": ", 0) == 0) row.Reason.erase(0, name.size() + 2);
        // The user knows the file by its final name, not the temporary one.
        for (std::size_t at; !tempPath.empty() && (at = row.Reason.find(tempPath)) != std::string::npos;)
            row.Reason.replace(at, tempPath.size(), row.Output);
    } else {
        row.Reason.clear();
    }
    if (!tempPath.empty()) unlink(tempPath.c_str());
    if (state == TRowState::Failed) AppendLog(row.Path + ": failed: " + row.Reason);
    row.State = state;
    if (OnRowState) OnRowState(rowIndex);
}

TRunCounts TConversionRun::Counts() const {
    TRunCounts counts;
    for (const TListRow& row : FRows) {
        switch (row.State) {
        case TRowState::Done: ++counts.Converted; break;
        case TRowState::Failed: ++counts.Failed; break;
        case TRowState::Stopped: ++counts.Stopped; break;
        case TRowState::Skipped: ++counts.Skipped; break;
        default: ++counts.Unfinished; break;
        }
    }
    return counts;
}

void TConversionRun::ChooseSubtitles(const TSourceInfo& source, const std::string& extension,
                                     const std::string& path, encoder::TOutputOptions& output) {
    if (source.Subtitles == 0) return;
    // Text becomes a text format the container takes (its own first);
    // subtitles in pictures are copied where the container takes them.
    const AVOutputFormat* format = avbind::avformat.av_guess_format(nullptr, ("x." + extension).c_str(), nullptr);
    auto takes = [&](AVCodecID id) {
        return format && id != AV_CODEC_ID_NONE &&
               avbind::avformat.avformat_query_codec(format, id, FF_COMPLIANCE_NORMAL) == 1;
    };
    const AVCodecDescriptor* d = avbind::avcodec.avcodec_descriptor_get(source.SubtitleCodec);
    std::string why;
    if (d && (d->props & AV_CODEC_PROP_TEXT_SUB)) {
        for (AVCodecID id : {format ? format->subtitle_codec : AV_CODEC_ID_NONE, AV_CODEC_ID_MOV_TEXT,
                             AV_CODEC_ID_WEBVTT, AV_CODEC_ID_SUBRIP, AV_CODEC_ID_ASS}) {
            if (!takes(id) || !avbind::avcodec.avcodec_find_encoder(id)) continue;
            output.SubtitleCodec = avbind::avcodec.avcodec_get_name(id);
            return;
        }
        why = "the " + extension + " container takes no text subtitles";
    } else if (takes(source.SubtitleCodec)) {
        output.SubtitleCodec = "copy";
        return;
    } else {
        why = "the " + extension + " container takes no subtitles in pictures";
    }
    output.DisableSubtitle = true;
    AppendLog(path + ": its subtitles are left out: " + why);
}

std::string ClockText(double seconds) {
    const long long s = seconds > 0 ? static_cast<long long>(seconds + 0.5) : 0;
    return avbind::Format("%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

TListProgress TConversionRun::ListProgress() const {
    // Rows that failed or were skipped leave the reckoning; a stopped or
    // finished row counts whole.
    double total = 0, done = 0;
    for (const TListRow& row : FRows) {
        const double length = row.Total > 0 ? static_cast<double>(row.Total) : static_cast<double>(row.Length);
        if (length <= 0 || row.State == TRowState::Failed || row.State == TRowState::Skipped) continue;
        total += length;
        if (row.State == TRowState::Done || row.State == TRowState::Stopped)
            done += length;
        else if (row.State == TRowState::Converting)
            done += std::clamp(static_cast<double>(row.Done), 0.0, length);
    }
    TListProgress progress;
    if (total <= 0) return progress;
    progress.Percent = static_cast<int>(done * 100 / total);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStarted).count();
    if (done > 0 && elapsed > 0.5) progress.SecondsLeft = (total - done) / (done / elapsed);
    return progress;
}

std::string TConversionRun::SummaryText(std::size_t reasons) const {
    std::vector<const TListRow*> failed;
    for (const TListRow& row : FRows)
        if (row.State == TRowState::Failed) failed.push_back(&row);
    std::string text = SummaryLine(Counts());
    auto line = [](const TListRow& row) {
        return fs::path(row.Path).filename().string() + " \u2014 " + row.Reason;
    };
    if (failed.size() == 1) return text + ": " + line(*failed[0]);
    for (std::size_t i = 0; i < failed.size() && i < reasons; ++i) text += "\n" + line(*failed[i]);
    if (failed.size() > reasons) text += "\n" + std::to_string(failed.size() - reasons) + " more in the log";
    return text;
}

void TConversionRun::Stop() {
    // A second pass after a user's stop finds nothing to do.
    if (!FConverting) return;
    FConverting = false;
    // A stop from outside: every task's end (its row's state) is in before
    // the run counts as ended. After the run's final notice there is none left.
    if (FEncoder.Terminated())
        FEncoder.Stop(true);
    else
        FEncoder.StopAndHandOver();
    // Tasks that never started end here.
    for (const auto& [task, row] : FTaskRow) EndRow(row, TRowState::Stopped, "");
    if (OnRunEnded) OnRunEnded();
}

} // namespace app
