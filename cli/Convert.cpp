// zconv profiles and zconv convert: the application's catalogue and its
// conversion run, without a window.
#include "cli/Commands.h"

#include "app/ConversionRun.h"
#include "app/Unit_common.h"
#include "app/VideoProfile.h"
#include "avbind/Convert.h"
#include "avbind/FFLoad.h"
#include "avbind/FFLog.h"
#include "avbind/Platform.h"
#include "probe/FFDecode.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <strings.h>
#include <unistd.h>

namespace cli {

namespace {

namespace fs = std::filesystem;

volatile std::sig_atomic_t GStop = 0;
void OnStop(int) { GStop = 1; }

std::string ProfileFolder(const app::TfrmCommon& common) { return common.GetAppPath() + "profile"; }

app::TProfileValues ValuesOf(const app::TVideoProfile& p) {
    return {p.GetProfileExt(),          p.GetVideoCodecDefault(), p.GetVideoBirateDefault(),
            p.GetVideoFrameRateDefault(), p.GetVideoSizeDefault(),  p.GetAudioCodecDefault(),
            p.GetAudioBitrateDefault(),   p.GetAudioSampleRateDefault(), p.GetAudioChannelDefault()};
}

// One line per row: a bar with percent, speed and the time left.
std::string RowLine(const app::TListRow& row, double seconds, std::size_t index) {
    const int width = 24;
    const int filled = row.Progress * width / 100;
    std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(width - filled), '.') + "]";
    std::string speed = "   -  ", eta = "--:--";
    if (seconds > 0.5 && row.Done > 0) {
        const double rate = static_cast<double>(row.Done) / 1e6 / seconds;
        speed = avbind::Format("%5.1fx", rate);
        if (row.Total > row.Done && rate > 0) {
            const int left = static_cast<int>((static_cast<double>(row.Total - row.Done) / 1e6) / rate);
            eta = avbind::Format("%02d:%02d", left / 60, left % 60);
        }
    }
    return avbind::Format("%3zu %s %3d%% %s ETA %s  %s", index + 1, bar.c_str(), row.Progress, speed.c_str(),
                          eta.c_str(), fs::path(row.Path).filename().string().c_str());
}

} // namespace

int CommandProfiles(int argc, char** argv) {
    (void)argv;
    if (argc > 2) {
        std::fprintf(stderr, "usage: zconv profiles\n");
        return 2;
    }
    app::TfrmCommon common;
    app::TVideoProfile active;
    const app::TProfileCatalogue catalogue = app::LoadProfile(ProfileFolder(common), active);
    for (const std::string& error : catalogue.Errors) std::fprintf(stderr, "%s\n", error.c_str());
    for (std::size_t i = 0; i < catalogue.arrayCommonProfiles.size(); ++i) {
        app::TVideoProfile p;
        try {
            p.LoadProfileFromFile(catalogue.arrayCommonProfiles[i].strFileName);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            continue;
        }
        std::printf("%c %-40s %-5s %-12s %-10s %s\n", static_cast<int>(i) == catalogue.ActiveIndex ? '*' : ' ',
                    p.GetProfileName().c_str(), p.GetProfileExt().c_str(), p.GetVideoCodecDefault().c_str(),
                    p.GetVideoSizeDefault().c_str(), p.GetAudioCodecDefault().c_str());
    }
    return catalogue.arrayCommonProfiles.empty() ? 1 : 0;
}

int CommandConvert(int argc, char** argv) {
    std::string profileArg, outDir, extension;
    int jobs = 0;
    bool recursive = false;
    std::vector<std::string> items;
    bool optionsEnded = false;  // after "--" every argument is a file, even "-x" or "--x"
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg == "--") {
            if (optionsEnded) items.push_back(arg);
            optionsEnded = true;
            continue;
        }
        auto value = [&](std::string& target) {
            if (i + 1 >= argc) return false;
            target = argv[++i];
            return true;
        };
        std::string number;
        if (arg == "--profile" ? !value(profileArg)
            : arg == "--out"   ? !value(outDir)
            : arg == "--ext"   ? !value(extension)
            : arg == "--jobs"  ? !value(number) || !avbind::TryStrToInt(number, jobs) || jobs < 1
                               : false) {
            std::fprintf(stderr, "zconv convert: %s needs a value\n", arg.c_str());
            return 2;
        }
        if (arg == "--recursive") recursive = true;
        else if (arg.rfind("--", 0) != 0) items.push_back(arg);
        else if (arg != "--profile" && arg != "--out" && arg != "--ext" && arg != "--jobs") {
            std::fprintf(stderr, "zconv convert: unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    if (items.empty()) {
        std::fprintf(stderr,
                     "usage: zconv convert [--profile NAME|FILE] [--out DIR] [--jobs N] [--recursive] [--ext EXT] "
                     "[--] FILES_OR_FOLDERS...\n");
        return 2;
    }

    app::TfrmCommon common;
    app::TVideoProfile profile;
    app::TProfileCatalogue catalogue = app::LoadProfile(ProfileFolder(common), profile);
    if (!profileArg.empty()) {
        bool found = false;
        for (std::size_t i = 0; i < catalogue.arrayCommonProfiles.size() && !found; ++i) {
            if (strcasecmp(catalogue.arrayCommonProfiles[i].strPfTitle_en.c_str(), profileArg.c_str()) == 0) {
                app::SelectProfile(catalogue, static_cast<int>(i), profile);
                found = true;
            }
        }
        if (!found) {
            try {
                profile.LoadProfileFromFile(profileArg);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "No profile \"%s\": %s\n", profileArg.c_str(), e.what());
                return 2;
            }
        }
    } else if (catalogue.ActiveIndex < 0) {
        std::fprintf(stderr, "No device profile in %s\n", ProfileFolder(common).c_str());
        return 2;
    }
    if (outDir.empty()) outDir = common.GetDefaultOutputFolder();
    if (!LoadLibraries(avbind::ProgramFolder() + "/lib")) return 1;
    app::RaiseOpenFileLimit();

    // Library and engine messages go to the log file, emptied at start.
    const std::string logFile = common.GetLogFileName();
    std::ofstream(logFile, std::ios::trunc);
    // Ctrl-C and SIGTERM stop cleanly from here on, a folder scan included.
    GStop = 0;
    signal(SIGINT, OnStop);
    signal(SIGTERM, OnStop);
    encoder::TFFEncoder enc;
    probe::TFFDecoder probe;
    app::TConversionRun run(
        enc,
        [&](const std::string& path) {
            if (!probe.LoadFile(path)) return std::int64_t{-1};
            const std::int64_t d = probe.FileStreamInfo().Duration;
            probe.CloseFile();
            return d;
        },
        [&](const std::string& path) { return app::ProbeSource(probe, path); });
    run.LogFileName = logFile;
    run.ScanStopped = [] { return GStop != 0; };
    avbind::FFLogger().SetOnLog(
        [&](const void*, std::uint32_t, avbind::TLogLevel, const std::string& msg) { run.AppendLog(msg); });
    for (const std::string& item : items) {
        std::error_code ec;
        if (GStop) break;
        if (fs::is_directory(item, ec))
            run.AddFolder(item, recursive, extension);
        else
            run.AddFile(item);
    }
    if (GStop) {
        std::fprintf(stderr, "Stopped while collecting the files.\n");
        return 130;
    }
    if (run.Rows().empty()) {
        std::fprintf(stderr, "Nothing to convert.\n");
        return 1;
    }
    std::fprintf(stderr, "Converting %zu file(s) with \"%s\" into %s\n", run.Rows().size(),
                 profile.GetProfileName().c_str(), outDir.c_str());

    const bool terminal = isatty(2);
    const auto started = std::chrono::steady_clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    std::vector<int> shown(run.Rows().size(), -1);
    bool drawn = false;
    auto draw = [&] {
        if (!terminal) return;
        if (drawn) std::fprintf(stderr, "\033[%zuA", run.Rows().size());
        for (std::size_t i = 0; i < run.Rows().size(); ++i)
            std::fprintf(stderr, "\r\033[K%s\n", RowLine(run.Rows()[i], seconds(), i).c_str());
        drawn = true;
    };
    run.OnRowProgress = [&](int row) {
        const app::TListRow& r = run.Rows()[static_cast<std::size_t>(row)];
        if (terminal) return;
        if (shown[static_cast<std::size_t>(row)] == r.Progress) return;
        shown[static_cast<std::size_t>(row)] = r.Progress;
        std::fprintf(stderr, "%s\n", RowLine(r, seconds(), static_cast<std::size_t>(row)).c_str());
    };
    std::vector<app::TListRow> final;
    run.OnRunEnded = [&] { final = run.Rows(); };

    try {
        if (!run.Start(ValuesOf(profile), outDir, jobs)) {
            std::fprintf(stderr, "No file could be opened; see %s\n", logFile.c_str());
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    auto lastDraw = std::chrono::steady_clock::now();
    while (run.Converting()) {
        avbind::PumpMainThreadQueue(std::chrono::milliseconds(50));
        if (GStop) run.Stop();
        if (std::chrono::steady_clock::now() - lastDraw > std::chrono::milliseconds(250)) {
            draw();
            lastDraw = std::chrono::steady_clock::now();
        }
    }
    // The handlers stay until the end: a late Ctrl-C must not cut the summary short.
    if (terminal && !final.empty()) {
        if (drawn) std::fprintf(stderr, "\033[%zuA", final.size());
        for (std::size_t i = 0; i < final.size(); ++i)
            std::fprintf(stderr, "\r\033[K%s\n", RowLine(final[i], seconds(), i).c_str());
    }
    int finished = 0;
    for (std::size_t i = 0; i < run.Rows().size(); ++i) {
        const auto output = run.Outputs().find(static_cast<int>(i));
        const auto failure = run.Failures().find(static_cast<int>(i));
        if (output == run.Outputs().end())
            std::fprintf(stderr, "%s: not converted (see %s)\n", run.Rows()[i].Path.c_str(), logFile.c_str());
        else if (failure != run.Failures().end())
            std::fprintf(stderr, "%s: %s\n", run.Rows()[i].Path.c_str(), failure->second.c_str());
        else {
            std::printf("%s -> %s\n", run.Rows()[i].Path.c_str(), output->second.c_str());
            ++finished;
        }
    }
    if (GStop) return 130;
    return finished == static_cast<int>(run.Rows().size()) ? 0 : 1;
}

} // namespace cli
