// zconv profiles and zconv convert: the application's catalogue and its
// conversion run, without a window.
#include "cli/Commands.h"

#include "app/ConversionRun.h"
#include "app/ConverterCore.h"
#include "app/PathsAndLinks.h"
#include "app/VideoProfile.h"
#include "avbind/Text.h"
#include "avbind/FFLoad.h"
#include "avbind/FFLog.h"
#include "avbind/Platform.h"
#include "probe/Probe.h"

#include <cctype>
#include <chrono>
#include <optional>
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
        // A profile without video shows none.
        const bool video = p.GetVideoEnable();
        std::printf("%c %-40s %-5s %-12s %-10s %s\n", static_cast<int>(i) == catalogue.ActiveIndex ? '*' : ' ',
                    p.GetProfileName().c_str(), p.GetProfileExt().c_str(), video ? p.GetVideoCodecDefault().c_str() : "-",
                    video ? p.GetVideoSizeDefault().c_str() : "-", p.GetAudioCodecDefault().c_str());
    }
    return catalogue.arrayCommonProfiles.empty() ? 1 : 0;
}

namespace {

// A JSON string with the characters JSON requires escaped; other bytes as they are.
std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') out += '\\', out += static_cast<char>(c);
        else if (c < 0x20) out += avbind::Format("\\u%04x", c);
        else out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string RowEndJson(const app::TListRow& row, std::size_t index) {
    std::string state = app::RowStateName(row.State);
    for (char& c : state) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return avbind::Format("{\"event\":\"ended\",\"row\":%zu,\"file\":%s,\"state\":\"%s\",\"output\":%s,\"reason\":%s}",
                          index + 1, JsonText(row.Path).c_str(), state.c_str(),
                          JsonText(row.State == app::TRowState::Done ? row.Output : "").c_str(),
                          JsonText(row.State == app::TRowState::Done ? "" : row.Reason).c_str());
}

const char* ConvertUsage() {
    return "usage: zconv convert [--profile NAME|FILE] [--out DIR] [--jobs N] [--recursive] [--ext EXT]\n"
           "                     [--overwrite | --skip-existing] [--json] [--] FILES_OR_FOLDERS...\n";
}

} // namespace

int CommandConvert(int argc, char** argv) {
    std::string profileArg, outDir, extension;
    int jobs = 0;
    bool recursive = false, json = false;
    std::optional<app::TExistingFiles> existing;
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
        else if (arg == "--json") json = true;
        else if (arg == "--overwrite" || arg == "--skip-existing") {
            const app::TExistingFiles chosen =
                arg == "--overwrite" ? app::TExistingFiles::Overwrite : app::TExistingFiles::Skip;
            if (existing && *existing != chosen) {
                std::fprintf(stderr, "zconv convert: --overwrite and --skip-existing exclude each other\n");
                return 2;
            }
            existing = chosen;
        } else if (arg.rfind("--", 0) != 0) items.push_back(arg);
        else if (arg != "--profile" && arg != "--out" && arg != "--ext" && arg != "--jobs") {
            std::fprintf(stderr, "zconv convert: unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    if (items.empty()) {
        std::fputs(ConvertUsage(), stderr);
        return 2;
    }

    app::TfrmCommon common;
    app::TConverterCore core(common);
    core.StartLog();
    core.LoadProfiles();
    const std::string logFile = common.GetLogFileName();
    if (!profileArg.empty()) {
        try {
            core.SelectDevice(profileArg);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "No profile \"%s\": %s\n", profileArg.c_str(), e.what());
            return 2;
        }
    } else if (core.Catalogue().ActiveIndex < 0) {
        std::fprintf(stderr, "No device profile in %s\n", ProfileFolder(common).c_str());
        return 2;
    }
    if (outDir.empty()) outDir = common.GetDefaultOutputFolder();
    if (!core.LoadLibraries()) {
        std::fprintf(stderr, "%s\n", core.LoadError().c_str());
        return 1;
    }
    app::RaiseOpenFileLimit();
    app::TConversionRun& run = core.Run();
    if (existing) run.ExistingFiles = *existing;
    if (jobs == 0) jobs = core.StoredJobs();

    // Ctrl-C and SIGTERM stop cleanly from here on, a folder scan included.
    GStop = 0;
    signal(SIGINT, OnStop);
    signal(SIGTERM, OnStop);
    run.ScanStopped = [] { return GStop != 0; };
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
    const std::size_t rows = run.Rows().size();
    if (json) {
        for (std::size_t i = 0; i < rows; ++i)
            std::printf("{\"event\":\"added\",\"row\":%zu,\"file\":%s}\n", i + 1, JsonText(run.Rows()[i].Path).c_str());
    } else {
        std::fprintf(stderr, "Converting %zu file(s) with \"%s\" into %s\n", rows,
                     core.Profile().GetProfileName().c_str(), outDir.c_str());
    }

    const bool terminal = !json && isatty(2);
    const auto started = std::chrono::steady_clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    std::vector<int> shown(rows, -1);
    bool drawn = false;
    // The rows, then the whole list: percent and time left.
    auto draw = [&] {
        if (!terminal) return;
        if (drawn) std::fprintf(stderr, "\033[%zuA", rows + 1);
        for (std::size_t i = 0; i < rows; ++i)
            std::fprintf(stderr, "\r\033[K%s\n", RowLine(run.Rows()[i], seconds(), i).c_str());
        const app::TListProgress all = run.ListProgress();
        std::fprintf(stderr, "\r\033[Kall %3d%%, %s left\n", all.Percent,
                     all.SecondsLeft < 0 ? "--:--:--" : app::ClockText(all.SecondsLeft).c_str());
        drawn = true;
    };
    run.OnRowProgress = [&](int row) {
        const app::TListRow& r = run.Rows()[static_cast<std::size_t>(row)];
        if (terminal || shown[static_cast<std::size_t>(row)] == r.Progress) return;
        shown[static_cast<std::size_t>(row)] = r.Progress;
        const app::TListProgress all = run.ListProgress();
        if (json)
            std::printf("{\"event\":\"progress\",\"row\":%d,\"percent\":%d,\"done_us\":%lld,\"total_us\":%lld,"
                        "\"list_percent\":%d,\"list_seconds_left\":%.0f}\n",
                        row + 1, r.Progress, static_cast<long long>(r.Done), static_cast<long long>(r.Total),
                        all.Percent, all.SecondsLeft);
        else
            std::fprintf(stderr, "%s  (all %d%%, %s left)\n", RowLine(r, seconds(), static_cast<std::size_t>(row)).c_str(),
                         all.Percent, all.SecondsLeft < 0 ? "--:--:--" : app::ClockText(all.SecondsLeft).c_str());
    };
    run.OnRowState = [&](int row) {
        if (!json) return;
        const app::TListRow& r = run.Rows()[static_cast<std::size_t>(row)];
        if (r.State == app::TRowState::Converting)
            std::printf("{\"event\":\"started\",\"row\":%d}\n", row + 1);
        else
            std::printf("%s\n", RowEndJson(r, static_cast<std::size_t>(row)).c_str());
        std::fflush(stdout);
    };

    bool started_any = false;
    try {
        started_any = run.Start(core.Values(), outDir, jobs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    // Rows that ended before the run (refused, skipped) are reported now.
    if (json)
        for (std::size_t i = 0; i < rows; ++i)
            if (run.Rows()[i].State == app::TRowState::Failed || run.Rows()[i].State == app::TRowState::Skipped)
                std::printf("%s\n", RowEndJson(run.Rows()[i], i).c_str());
    auto lastDraw = std::chrono::steady_clock::now();
    while (started_any && run.Converting()) {
        avbind::PumpMainThreadQueue(std::chrono::milliseconds(50));
        if (GStop) run.Stop();
        if (std::chrono::steady_clock::now() - lastDraw > std::chrono::milliseconds(250)) {
            draw();
            lastDraw = std::chrono::steady_clock::now();
        }
    }
    // The handlers stay until the end: a late Ctrl-C must not cut the summary short.
    if (drawn) draw();
    const app::TRunCounts counts = run.Counts();
    if (json) {
        std::printf("{\"event\":\"summary\",\"converted\":%d,\"failed\":%d,\"stopped\":%d,\"skipped\":%d}\n",
                    counts.Converted, counts.Failed, counts.Stopped, counts.Skipped);
    } else {
        for (const app::TListRow& row : run.Rows()) {
            switch (row.State) {
            case app::TRowState::Done: std::printf("%s -> %s\n", row.Path.c_str(), row.Output.c_str()); break;
            case app::TRowState::Failed: std::fprintf(stderr, "%s: failed: %s\n", row.Path.c_str(), row.Reason.c_str()); break;
            case app::TRowState::Skipped: std::fprintf(stderr, "%s: skipped: %s\n", row.Path.c_str(), row.Reason.c_str()); break;
            default: std::fprintf(stderr, "%s: stopped\n", row.Path.c_str()); break;
            }
        }
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", app::SummaryLine(counts).c_str());
        if (counts.Failed > 0) std::fprintf(stderr, "The log has the details: %s\n", logFile.c_str());
    }
    // Skipped rows were asked for; anything failed or stopped is not success.
    if (counts.Failed == 0 && counts.Stopped == 0 && counts.Unfinished == 0) return 0;
    return GStop ? 130 : 1;
}

} // namespace cli
