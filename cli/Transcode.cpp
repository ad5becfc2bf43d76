// zconv transcode: an ffmpeg-style argument list drives one engine.
#include "cli/Commands.h"

#include "avbind/Platform.h"
#include "engine/FFmpeg.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace cli {

namespace {

volatile std::sig_atomic_t GInterrupted = 0;
void OnInterrupt(int) { GInterrupted = 1; }

struct TOption {
    std::string Name;
    std::string Value;
};

// One input or output with the options given before it.
struct TFileStep {
    bool Input = false;
    std::string Path;
    std::vector<TOption> Options;
};

struct TPlan {
    std::string LibDir;
    std::vector<TFileStep> Steps;
    std::vector<TOption> Trailing;  // after the last output: only to add streams to it
};

// Splits the arguments into steps; false with a message for a malformed list.
bool ParseArguments(int argc, char** argv, TPlan& plan, std::string& error) {
    int i = 2;
    if (i + 1 < argc && std::strcmp(argv[i], "--lib-dir") == 0) {
        plan.LibDir = argv[i + 1];
        i += 2;
    }
    std::vector<TOption> pending;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-i") {
            if (i + 1 >= argc) {
                error = "Missing argument for option \"i\"";
                return false;
            }
            plan.Steps.push_back({true, argv[++i], std::move(pending)});
            pending.clear();
        } else if (arg.size() > 1 && arg[0] == '-') {
            TOption option{arg.substr(1), {}};
            if (!engine::TCustomFFmpeg::IsValuelessOption(option.Name)) {
                if (i + 1 >= argc) {
                    error = "Missing argument for option \"" + option.Name + "\"";
                    return false;
                }
                option.Value = argv[++i];
            }
            pending.push_back(std::move(option));
        } else {
            plan.Steps.push_back({false, arg, std::move(pending)});
            pending.clear();
        }
    }
    if (pending.empty()) return true;
    const bool addsStream = std::any_of(pending.begin(), pending.end(), [](const TOption& o) {
        return o.Name == "newvideo" || o.Name == "newaudio" || o.Name == "newsubtitle";
    });
    if (!addsStream || plan.Steps.empty()) {
        error = "Trailing options were found on the command line: \"-" + pending.front().Name + "\" has no output";
        return false;
    }
    plan.Trailing = std::move(pending);
    return true;
}

} // namespace

int CommandTranscode(int argc, char** argv) {
    TPlan plan;
    plan.LibDir = avbind::ProgramFolder() + "/lib";
    std::string error;
    if (!ParseArguments(argc, argv, plan, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (!LoadLibraries(plan.LibDir)) return 1;

    engine::TCustomFFmpeg engine(engine::MaxFilesLimit);
    int inputs = 0, outputs = 0;
    auto applyOptions = [&](const std::vector<TOption>& options) {
        for (const TOption& option : options) {
            try {
                engine.SetExtOption(option.Name, option.Value);
            } catch (const std::exception& e) {
                // Option errors: the engine's own text, or the number conversion's.
                std::fprintf(stderr, "%s\n", e.what());
                return false;
            }
        }
        return true;
    };
    for (const TFileStep& step : plan.Steps) {
        if (!applyOptions(step.Options)) return 2;
        try {
            const bool opened = step.Input ? engine.OpenInputFile(step.Path) : engine.OpenOutputFile(step.Path, false) > 0;
            if (!opened) {
                std::fprintf(stderr, "%s\n", engine.LastErrMsg().c_str());
                return 1;
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 1;
        }
        ++(step.Input ? inputs : outputs);
    }
    // Options after the last output may add streams to it (-newvideo and the like).
    if (!applyOptions(plan.Trailing)) return 2;
    (void)inputs;
    (void)outputs;

    // Ctrl-C stops the conversion cleanly: the outputs get their trailers.
    GInterrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::atomic<bool> ended{false};
    engine.FOnTerminate = [&](engine::TCustomFFmpeg*) { ended = true; };
    if (engine.StartConvert(true)) {
        bool stopping = false;
        while (!ended) {
            avbind::PumpMainThreadQueue(std::chrono::milliseconds(20));
            if (GInterrupted && !stopping) {
                stopping = true;
                engine.Stop(false);
            }
        }
        engine.Stop(true);
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    if (GInterrupted) return 130;
    // The fatal message itself already reached stderr through the log.
    if (!engine.Finished()) {
        if (!engine.FatalException()) std::fprintf(stderr, "Conversion did not finish\n");
        return 1;
    }
    return 0;
}

} // namespace cli
