// zconv transcode: ffmpeg-style argument lists become encoder tasks.
#include "cli/Commands.h"

#include "avbind/Platform.h"
#include "avbind/Text.h"
#include "avbind/FFLog.h"
#include "encoder/TaskQueue.h"
#include "engine/Engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace cli {

namespace {

volatile std::sig_atomic_t GInterrupted = 0;
std::atomic<const void*> GChecking{nullptr};  // the scratch engine of the option check
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

// One task: its inputs and outputs with their options, in order.
struct TGroup {
    std::vector<TFileStep> Steps;
    std::vector<TOption> Trailing;  // after the last output: only to add streams to it
};

struct TPlan {
    std::string LibDir;
    int Jobs = 0;  // 0: all tasks at once
    std::vector<TGroup> Groups;
};

bool ParseGroup(const std::vector<std::string>& args, TGroup& group, std::string& error) {
    std::vector<TOption> pending;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-i") {
            if (i + 1 >= args.size()) {
                error = "Missing argument for option \"i\"";
                return false;
            }
            group.Steps.push_back({true, args[++i], std::move(pending)});
            pending.clear();
        } else if (arg.size() > 1 && arg[0] == '-') {
            TOption option{arg.substr(1), {}};
            if (option.Name == "join") {
                option.Value = "1";  // the encoder's switch, not an engine option
            } else if (!engine::TCustomFFmpeg::IsValuelessOption(option.Name)) {
                if (i + 1 >= args.size()) {
                    error = "Missing argument for option \"" + option.Name + "\"";
                    return false;
                }
                option.Value = args[++i];
            }
            pending.push_back(std::move(option));
        } else {
            group.Steps.push_back({false, arg, std::move(pending)});
            pending.clear();
        }
    }
    if (pending.empty()) return true;
    const bool addsStream = std::any_of(pending.begin(), pending.end(), [](const TOption& o) {
        return o.Name == "newvideo" || o.Name == "newaudio" || o.Name == "newsubtitle";
    });
    if (!addsStream || group.Steps.empty() || group.Steps.back().Input) {
        error = "Trailing options were found on the command line: \"-" + pending.front().Name + "\" has no output";
        return false;
    }
    group.Trailing = std::move(pending);
    return true;
}

// Splits the arguments into task groups; false with a message for a malformed list.
bool ParseArguments(int argc, char** argv, TPlan& plan, std::string& error) {
    int i = 2;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lib-dir") == 0 && i + 1 < argc) {
            plan.LibDir = argv[++i];
        } else if (std::strcmp(argv[i], "--jobs") == 0 && i + 1 < argc) {
            if (!avbind::TryStrToInt(argv[++i], plan.Jobs) || plan.Jobs < 1) {
                error = std::string("--jobs takes a positive number, not \"") + argv[i] + "\"";
                return false;
            }
        } else {
            break;
        }
    }
    std::vector<std::string> args;
    auto flush = [&]() {
        TGroup group;
        if (!ParseGroup(args, group, error)) return false;
        if (group.Steps.empty()) {
            error = "A task needs at least one input and one output";
            return false;
        }
        plan.Groups.push_back(std::move(group));
        args.clear();
        return true;
    };
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--next") == 0) {
            if (!flush()) return false;
        } else {
            args.emplace_back(argv[i]);
        }
    }
    return flush();
}

std::string OptionText(const std::vector<TOption>& options) {
    std::string text;
    for (const TOption& o : options) text += o.Name + "=" + o.Value + "\n";
    return text;
}

// Option errors are found before anything is opened: every option is tried
// on a scratch engine in the order given.
bool CheckOptions(const TPlan& plan) {
    // The check says nothing of its own: the real tasks give the warnings.
    avbind::FFLogger().SetOnLog([](const void* sender, std::uint32_t, avbind::TLogLevel, const std::string& msg) {
        if (!GChecking || sender != GChecking) std::fprintf(stderr, "%s\n", msg.c_str());
    });
    for (const TGroup& group : plan.Groups) {
        engine::TCustomFFmpeg scratch(engine::MaxFilesLimit);
        GChecking = &scratch;
        for (const TFileStep& step : group.Steps) {
            for (const TOption& option : step.Options) {
                if (option.Name == "newvideo" || option.Name == "newaudio" || option.Name == "newsubtitle" ||
                    option.Name == "join")
                    continue;
                try {
                    scratch.SetExtOption(option.Name, option.Value);
                } catch (const std::exception& e) {
                    GChecking = nullptr;
                    std::fprintf(stderr, "%s\n", e.what());
                    return false;
                }
            }
        }
        GChecking = nullptr;
    }
    return true;
}

std::string Clock(std::int64_t micros) {
    if (micros < 0) micros = 0;
    const std::int64_t s = micros / 1000000;
    return avbind::Format("%02d:%02d:%02d.%02d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                          static_cast<int>(s % 60), static_cast<int>(micros % 1000000 / 10000));
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
    if (!CheckOptions(plan)) return 2;

    encoder::TFFEncoder enc;
    enc.CustomMaxFiles = engine::MaxFilesLimit;
    enc.TriggerEventInMainThread = false;
    bool failed = false;
    std::vector<int> groupOf;  // encoder task index -> task number on the command line
    // Builds one task; a task that cannot be built is reported and left out.
    for (std::size_t g = 0; g < plan.Groups.size(); ++g) {
        const TGroup& group = plan.Groups[g];
        int task = -1;
        bool ok = true;
        for (std::size_t s = 0; s < group.Steps.size() && ok; ++s) {
            const TFileStep& step = group.Steps[s];
            const std::string text = OptionText(step.Options);
            if (step.Input)
                ok = task < 0 ? (task = enc.AddTask(step.Path, text)) >= 0 : enc.AddInputFile(task, step.Path, text);
            else
                ok = task >= 0 && enc.SetOutputFile(task, step.Path, text);
        }
        // Options after the last output belong to the streams they add, in order,
        // as they would on the engine's own command line.
        std::string trailingError;
        for (std::size_t t = 0; ok && task >= 0 && t < group.Trailing.size(); ++t) {
            try {
                enc.Task(task).SetExtOption(group.Trailing[t].Name, group.Trailing[t].Value);
            } catch (const std::exception& e) {
                trailingError = e.what();
                ok = false;
            }
        }
        if (!ok || task < 0) {
            const std::string reason = !trailingError.empty()                    ? trailingError
                                       : task < 0 && enc.LastErrMsg().empty() ? "no input before the output"
                                                                              : enc.LastErrMsg();
            std::fprintf(stderr, "task %zu: %s\n", g, reason.c_str());
            if (task >= 0) enc.RemoveTask(task);
            failed = true;
        } else {
            groupOf.push_back(static_cast<int>(g));
        }
    }
    if (enc.TasksCount() == 0) return 1;

    std::atomic<bool> ended{false};
    std::atomic<bool> allFinished{true};
    std::mutex printLock;
    enc.OnProgress = [&](encoder::TCustomEncoder*, encoder::TProgressInfo* p) {
        std::lock_guard lock(printLock);
        std::fprintf(stderr, "task %d: frame=%5d fps=%3d q=%3.1f size=%8.0fkB time=%s bitrate=%6.1fkbits/s%s\n",
                     groupOf[static_cast<std::size_t>(p->TaskIndex)], p->FrameNumber, p->FPS, p->Quality, static_cast<double>(p->CurrentSize) / 1024,
                     Clock(p->CurrentDuration).c_str(), p->BitRate, p->FileIndex < 0 ? " (final)" : "");
    };
    enc.OnTerminate = [&](encoder::TCustomEncoder*, const encoder::TTerminateInfo& info) {
        if (info.TaskIndex < 0) {
            ended = true;
            return;
        }
        std::lock_guard lock(printLock);
        const int number = groupOf[static_cast<std::size_t>(info.TaskIndex)];
        if (info.Finished) {
            std::fprintf(stderr, "task %d: finished\n", number);
        } else {
            allFinished = false;
            std::fprintf(stderr, "task %d: %s\n", number,
                         info.Exception ? info.ExceptionMsg.c_str() : "stopped before the end");
        }
    };

    // Ctrl-C stops the conversions cleanly: the outputs get their trailers.
    GInterrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    enc.Start(plan.Jobs > 0 ? plan.Jobs : enc.TasksCount());
    bool stopping = false;
    while (!ended) {
        avbind::PumpMainThreadQueue(std::chrono::milliseconds(20));
        if (GInterrupted && !stopping) {
            stopping = true;
            enc.Stop(false);
        }
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    enc.Stop(true);
    enc.ClearTasks();
    if (GInterrupted) return 130;
    return failed || !allFinished ? 1 : 0;
}

} // namespace cli
