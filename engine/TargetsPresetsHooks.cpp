// Option handlers that do more than store a value: disc targets, preset
// files and frame-hook plug-ins.
#include "engine/FFmpeg.h"

#include "avbind/FFLoad.h"

#include <cmath>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <strings.h>

namespace engine {

using namespace avbind;

namespace {

std::string Trimmed(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

enum class TNorm { PAL, NTSC, FILM };

} // namespace

// ---- Targets ----

void TCustomFFmpeg::SetTarget(const std::string& value) {
    std::string type = Trimmed(value);
    std::string norm = "auto";
    for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
        if (type.rfind(prefix, 0) == 0) {
            norm = std::string(prefix, std::strlen(prefix) - 1);
            type.erase(0, std::strlen(prefix));
            break;
        }
    }
    ApplyTarget(type, norm, "ntsc");
}

void TCustomFFmpeg::ApplyTarget(const std::string& target, const std::string& norm, const std::string& normDefault) {
    TNorm n = TNorm::PAL;
    bool known = true;
    if (norm == "pal")
        n = TNorm::PAL;
    else if (norm == "ntsc")
        n = TNorm::NTSC;
    else if (norm == "film")
        n = TNorm::FILM;
    else
        known = false;
    bool decided = known;
    auto decide = [&](long long fr) {
        if (fr == 25000) {
            n = TNorm::PAL;
            decided = true;
        } else if (fr == 29970 || fr == 23976) {
            n = TNorm::NTSC;
            decided = true;
        }
    };
    if (!decided) {
        decide(Fframe_rate.den ? std::llround(Fframe_rate.num * 1000.0 / Fframe_rate.den) : 0);
        // The inputs opened so far: the first video stream of a known rate decides.
        for (const auto& ist : Finput_streams) {
            if (decided) break;
            if (ist->st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
            const AVRational rate = ist->st->avg_frame_rate.num ? ist->st->avg_frame_rate : ist->st->r_frame_rate;
            if (rate.den) decide(std::llround(rate.num * 1000.0 / rate.den));
        }
    }
    if (!decided) {
        n = normDefault == "film" ? TNorm::FILM : normDefault == "ntsc" ? TNorm::NTSC : TNorm::PAL;
    }
    if (!known && Fverbose > 0)
        FFLogger().Log(this, llVerbose, "Assuming %s for target.", n == TNorm::PAL ? "PAL" : "NTSC");

    const bool pal = n == TNorm::PAL;
    const char* rate = pal ? "25" : n == TNorm::NTSC ? "30000/1001" : "24000/1001";
    auto lib = [this](const char* name, const char* value) { SetLibOption(name, value); };
    auto defaultAspect = [this](const char* aspect) {
        if (Fframe_aspect_ratio != 0) return;
        FFLogger().Log(this, llInfo, "Assuming %s for aspect ratio", aspect);
        SetAspectRatio(aspect);
    };
    if (target == "vcd") {
        SetCodecName("vcodec", "mpeg1video");
        SetCodecName("acodec", "mp2");
        SetForcedFormat("vcd");
        SetFrameSize(pal ? "352x288" : "352x240");
        SetFrameRate(rate);
        lib("g", pal ? "15" : "18");
        lib("b", "1150000");
        lib("maxrate", "1150000");
        lib("minrate", "1150000");
        lib("bufsize", "327680");
        lib("ab", "224000");
        Faudio_sample_rate = 44100;
        Faudio_channels = 2;
        lib("packetsize", "2324");
        lib("muxrate", "1411200");
        Fmux_preload = 0.44f;
        defaultAspect("4:3");
    } else if (target == "svcd") {
        SetCodecName("vcodec", "mpeg2video");
        SetCodecName("acodec", "mp2");
        SetForcedFormat("svcd");
        SetFrameSize(pal ? "480x576" : "480x480");
        SetFrameRate(rate);
        SetPixelFormat("yuv420p");
        lib("g", pal ? "15" : "18");
        lib("b", "2040000");
        lib("maxrate", "2516000");
        lib("minrate", "0");
        lib("bufsize", "1835008");
        lib("flags", "+scan_offset");
        lib("ab", "224000");
        Faudio_sample_rate = 44100;
        lib("packetsize", "2324");
        if (Faudio_channels == 1) Faudio_channels = 2;
        defaultAspect("4:3");
    } else if (target == "dvd") {
        SetCodecName("vcodec", "mpeg2video");
        SetCodecName("acodec", "ac3");
        SetForcedFormat("dvd");
        SetFrameSize(pal ? "720x576" : "720x480");
        SetFrameRate(rate);
        SetPixelFormat("yuv420p");
        lib("g", pal ? "15" : "18");
        lib("b", "6000000");
        lib("maxrate", "9000000");
        lib("minrate", "0");
        lib("bufsize", "1835008");
        lib("packetsize", "2048");
        lib("muxrate", "10080000");
        lib("ab", "448000");
        Faudio_sample_rate = 48000;
        if (Faudio_channels == 1) Faudio_channels = 2;
        defaultAspect("16:9");
    } else if (target == "dv" || target == "dv50") {
        SetForcedFormat("dv");
        SetFrameSize(pal ? "720x576" : "720x480");
        SetPixelFormat(target == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
        SetFrameRate(rate);
        Faudio_sample_rate = 48000;
        Faudio_channels = 2;
    } else {
        RaiseFF("Unknown target type");
    }
}

// ---- Preset files ----

void TCustomFFmpeg::LoadPresetFile(const std::string& option, const std::string& path) {
    if (option.empty() || path.empty()) return;
    if (!std::strchr("afsv", option[0])) throw std::logic_error("LoadPresetFile: unknown preset option " + option);
    // A preset is a small text file: a device or a pipe named here would be
    // read for ever, or would never answer.
    constexpr std::uintmax_t kMaxPresetSize = 1 << 20;
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        RaiseFF("Preset file \"%s\" is not a regular file", path.c_str());
    if (std::filesystem::exists(status) && std::filesystem::file_size(path, ec) > kMaxPresetSize)
        RaiseFF("Preset file \"%s\" is larger than 1 MiB", path.c_str());
    std::ifstream in(path, std::ios::binary);
    if (!in) RaiseFF("Preset file \"%s\" not found", path.c_str());
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = Trimmed(buffer.str());
    std::string normalised;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            normalised += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            normalised += text[i];
        }
    }
    std::istringstream lines(normalised);
    for (std::string raw; std::getline(lines, raw);) {
        const std::string line = Trimmed(raw);
        if (line.empty() || line[0] == '#') continue;
        const std::size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? line : line.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (key.empty() || value.empty()) RaiseFF("%s: Invalid syntax: \"%s\"", path.c_str(), line.c_str());
        const std::string lower = Lower(key);
        if (lower == "acodec" || lower == "vcodec" || lower == "scodec" || lower == "dcodec") {
            SetCodecName(lower, value);
        } else if (!SetLibOption(key, value) && HaltOnInvalidOption) {
            RaiseFF("%s\r\n%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                    avhelpers::LastOptionError().c_str(), path.c_str(), line.c_str(), key.c_str(), value.c_str());
        }
    }
}

// ---- Frame-hook plug-ins ----

namespace {

// Loaded once per process; never unloaded (their code may run in any engine).
std::mutex GHookModulesLock;
std::map<std::string, void*> GHookModules;  // lower-cased path -> module

// Loads the module and adds a configured entry to the chain; 0 or a negative code.
int LoadFrameHook(std::vector<TFrameHookEntry>& chain, std::vector<std::string>& tokens) {
    if (tokens.empty()) return -2;
    const std::string& path = tokens[0];
    void* module = nullptr;
    {
        std::lock_guard lock(GHookModulesLock);
        auto found = GHookModules.find(Lower(path));
        if (found != GHookModules.end()) {
            module = found->second;
        } else {
            // Dependencies beside the module are found through its own run path;
            // the process's search path and folder are left alone.
            module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!module) {
                const char* error = dlerror();
                avutil.av_log(nullptr, AV_LOG_ERROR, "%s\n", error ? error : "cannot load the module");
                return -1;
            }
            GHookModules[Lower(path)] = module;
        }
    }
    TFrameHookEntry entry;
    entry.Configure = reinterpret_cast<ZcHookConfigure>(dlsym(module, "Configure"));
    entry.Process = reinterpret_cast<ZcHookProcess>(dlsym(module, "Process"));
    entry.Release = reinterpret_cast<ZcHookRelease>(dlsym(module, "Release"));
    if (!entry.Process) {
        avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n", path.c_str());
        return -2;
    }
    if (!entry.Configure && tokens.size() > 1) {
        avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n", path.c_str());
        return -2;
    }
    if (entry.Configure) {
        std::vector<char*> argv;
        for (std::string& t : tokens) argv.push_back(t.data());
        argv.push_back(nullptr);
        if (entry.Configure(&entry.ctx, static_cast<int>(tokens.size()), argv.data()) != 0) {
            avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", path.c_str());
            return -22;
        }
    }
    chain.push_back(entry);
    return 0;
}

} // namespace

void TCustomFFmpeg::AddVideoHook(const std::string& value) {
    const char separator = value.find('|') != std::string::npos ? '|' : ' ';
    std::vector<std::string> tokens;
    std::string token;
    std::istringstream in(value);
    while (std::getline(in, token, separator))
        if (!token.empty() && tokens.size() < 254) tokens.push_back(token);
    if (LoadFrameHook(FFirstHook, tokens) != 0) RaiseFF("%s", ("Failed to add video hook function: " + value).c_str());
    Fusing_vhook = true;
}

} // namespace engine
