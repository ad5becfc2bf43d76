// The "target" option: a disc or broadcast norm sets a whole group of
// options (container, codecs, size, rate, bit rates) at once.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avbind/Text.h"

#include <cmath>
#include <map>
#include <strings.h>

namespace engine {

using namespace avbind;

namespace {

enum class TNorm { PAL, NTSC, FILM };

} // namespace

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
        decide(FFileOpts.frame_rate.den ? std::llround(FFileOpts.frame_rate.num * 1000.0 / FFileOpts.frame_rate.den)
                                        : 0);
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
    if (!known && FTaskOpts.verbose > 0)
        FFLogger().Log(this, llVerbose, "Assuming %s for target.", n == TNorm::PAL ? "PAL" : "NTSC");

    const bool pal = n == TNorm::PAL;
    const char* rate = pal ? "25" : n == TNorm::NTSC ? "30000/1001" : "24000/1001";
    auto lib = [this](const char* name, const char* value) { SetLibOption(name, value); };
    auto defaultAspect = [this](const char* aspect) {
        if (FFileOpts.frame_aspect_ratio != 0) return;
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
        FFileOpts.audio_sample_rate = 44100;
        FFileOpts.audio_channels = 2;
        lib("packetsize", "2324");
        lib("muxrate", "1411200");
        FFileOpts.mux_preload = 0.44f;
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
        FFileOpts.audio_sample_rate = 44100;
        lib("packetsize", "2324");
        if (FFileOpts.audio_channels == 1) FFileOpts.audio_channels = 2;
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
        FFileOpts.audio_sample_rate = 48000;
        if (FFileOpts.audio_channels == 1) FFileOpts.audio_channels = 2;
        defaultAspect("16:9");
    } else if (target == "dv" || target == "dv50") {
        SetForcedFormat("dv");
        SetFrameSize(pal ? "720x576" : "720x480");
        SetPixelFormat(target == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
        SetFrameRate(rate);
        FFileOpts.audio_sample_rate = 48000;
        FFileOpts.audio_channels = 2;
    } else {
        RaiseFF("Unknown target type");
    }
}

} // namespace engine
