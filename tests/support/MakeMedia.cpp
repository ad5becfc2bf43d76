// zc_make_media: writes one test media file for the shell tests.
//   zc_make_media OUT --format NAME [--seconds S] [--no-video] [--no-audio]
//                 [--audio-first] [--size WxH] [--rate N/D] [--sample-rate HZ]
//                 [--channels N] [--start MICROSECONDS] [--programs N]
//                 [--no-duration] [--vcodec NAME] [--acodec NAME] [--meta KEY=VALUE]...
//                 [--mux KEY=VALUE]...
//                 [--sar N:D] [--rotate DEGREES] [--audio-delay MICROSECONDS] [--gap SECONDS] [--cover]
#include "avbind/FFLoad.h"
#include "tests/support/MediaFixtures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Usage(const char* message) {
    std::fprintf(stderr, "zc_make_media: %s\n", message);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    zctest::TMediaRecipe mediaRecipe;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--no-video") mediaRecipe.Video = false;
        else if (arg == "--no-audio") mediaRecipe.Audio = false;
        else if (arg == "--audio-first") mediaRecipe.VideoFirst = false;
        else if (arg == "--no-duration") mediaRecipe.NoDuration = true;
        else if (arg == "--cover") mediaRecipe.CoverPicture = true;
        else if (arg.rfind("--", 0) == 0 && !hasValue) return Usage(("missing value of " + arg).c_str());
        else if (arg == "--format") mediaRecipe.Format = argv[++i];
        else if (arg == "--seconds") mediaRecipe.Seconds = std::strtod(argv[++i], nullptr);
        else if (arg == "--size") {
            if (std::sscanf(argv[++i], "%dx%d", &mediaRecipe.Width, &mediaRecipe.Height) != 2) return Usage("bad --size");
        } else if (arg == "--rate") {
            if (std::sscanf(argv[++i], "%d/%d", &mediaRecipe.FrameRate.num, &mediaRecipe.FrameRate.den) != 2) return Usage("bad --rate");
        } else if (arg == "--sample-rate") mediaRecipe.SampleRate = std::atoi(argv[++i]);
        else if (arg == "--channels") mediaRecipe.Channels = std::atoi(argv[++i]);
        else if (arg == "--start") mediaRecipe.StartOffsetMicros = std::strtoll(argv[++i], nullptr, 10);
        else if (arg == "--programs") mediaRecipe.Programs = std::atoi(argv[++i]);
        else if (arg == "--vcodec") mediaRecipe.VideoCodec = argv[++i];
        else if (arg == "--rotate") mediaRecipe.Rotation = std::atoi(argv[++i]);
        else if (arg == "--audio-delay") mediaRecipe.AudioDelayMicros = std::strtoll(argv[++i], nullptr, 10);
        else if (arg == "--gap") mediaRecipe.VideoGapSeconds = std::strtod(argv[++i], nullptr);
        else if (arg == "--sar") {
            if (std::sscanf(argv[++i], "%d:%d", &mediaRecipe.SampleAspect.num, &mediaRecipe.SampleAspect.den) != 2)
                return Usage("bad --sar");
        }
        else if (arg == "--acodec") mediaRecipe.AudioCodec = argv[++i];
        else if (arg == "--meta") {
            const std::string kv = argv[++i];
            const std::size_t eq = kv.find('=');
            if (eq == std::string::npos) return Usage("--meta needs KEY=VALUE");
            mediaRecipe.Metadata[kv.substr(0, eq)] = kv.substr(eq + 1);
        } else if (arg == "--mux") {
            const std::string kv = argv[++i];
            const std::size_t eq = kv.find('=');
            if (eq == std::string::npos) return Usage("--mux needs KEY=VALUE");
            mediaRecipe.MuxerOptions[kv.substr(0, eq)] = kv.substr(eq + 1);
        } else if (arg.rfind("--", 0) == 0) return Usage(("unknown option " + arg).c_str());
        else if (out.empty()) out = arg;
        else return Usage("more than one output file");
    }
    if (out.empty() || mediaRecipe.Format.empty()) return Usage("usage: zc_make_media OUT --format NAME [options]");

    avbind::TFFBinding binding;
    avbind::FFLoader().SetInstallLogger(false);
    if (!avbind::FFLoader().Load(avbind::ProbeLibraries)) {
        std::fprintf(stderr, "zc_make_media: %s\n", avbind::FFLoader().LastErrMsg().c_str());
        return 1;
    }
    std::string error;
    if (!zctest::WriteTestMedia(out, mediaRecipe, error)) {
        std::fprintf(stderr, "zc_make_media: %s: %s\n", out.c_str(), error.c_str());
        return 1;
    }
    return 0;
}
