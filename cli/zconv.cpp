// zconv: the converter's command-line program.
#include "cli/Commands.h"

#include "avbind/FFLoad.h"
#include "avbind/FFLog.h"
#include "avbind/Platform.h"
#include "avhelpers/InProgramFilters.h"

#include <cstdio>
#include <cstring>

namespace cli {

bool LoadLibraries(const std::string& libDir) {
    avbind::TFFLoader& loader = avbind::FFLoader();
    loader.SetLibraryPath(libDir);
    if (!loader.Load(avbind::EncoderLibraries)) {
        std::fprintf(stderr, "%s\n", loader.LastErrMsg().c_str());
        return false;
    }
    avhelpers::RegisterNativeFilters();
    avbind::FFLogger().SetTriggerEventInMainThread(false);
    avbind::FFLogger().SetOnLog([](const void*, std::uint32_t, avbind::TLogLevel, const std::string& msg) {
        std::fprintf(stderr, "%s\n", msg.c_str());
    });
    return true;
}

// The seven media libraries, in the order they are listed.
const avbind::TLibrary MediaLibraries[] = {avbind::TLibrary::avUtil,   avbind::TLibrary::swResample,
                                           avbind::TLibrary::swScale,  avbind::TLibrary::avCodec,
                                           avbind::TLibrary::avFormat, avbind::TLibrary::avFilter,
                                           avbind::TLibrary::avDevice};

int CommandLibs(int argc, char** argv) {
    std::string libDir = avbind::ProgramFolder() + "/lib";
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lib-dir") == 0 && i + 1 < argc) {
            libDir = argv[++i];
        } else {
            std::fprintf(stderr, "zconv libs: unexpected argument \"%s\"\n", argv[i]);
            return 2;
        }
    }
    if (!LoadLibraries(libDir)) return 1;
    avbind::TFFLoader& loader = avbind::FFLoader();
    for (avbind::TLibrary lib : MediaLibraries) {
        std::printf("%-11s %-10s %s\n", avbind::LibraryItem(lib).Name, loader.VersionText(lib).c_str(),
                    loader.LoadedFrom(lib).c_str());
    }
    return 0;
}

} // namespace cli

namespace {

int Usage(FILE* to, int status) {
    std::fprintf(to,
                 "usage: zconv convert [--profile NAME|FILE] [--out DIR] [--jobs N] [--recursive] [--ext EXT]\n"
                 "                     [--overwrite | --skip-existing] [--json] [--] FILES_OR_FOLDERS...\n"
                 "       zconv profiles\n"
                 "       zconv transcode [--lib-dir DIR] [-name value | -flag]... -i INPUT ...\n"
                 "                       [-name value | -flag]... OUTPUT ... [--next ...]\n"
                 "       zconv probe [--lib-dir DIR] [--json] FILE\n"
                 "       zconv libs [--lib-dir DIR]\n"
                 "       zconv --version | --help\n"
                 "  convert    convert files (and folders: their files, sub-folders with --recursive,\n"
                 "             only names ending in .EXT with --ext) with a device profile, each into\n"
                 "             the output folder (default: the application's) under its own name;\n"
                 "             --jobs N converts at most N files at once. An existing file is kept\n"
                 "             and the output takes the next free name \"name (2).ext\", unless\n"
                 "             --overwrite replaces it or --skip-existing leaves that file out.\n"
                 "             --json prints one JSON object per line for each file's events and\n"
                 "             the summary. Exit 0 when every file converted, 1 when one failed\n"
                 "             or was not converted, 130 when stopped, 2 for a usage error\n"
                 "  profiles   list the device profiles (* marks the active one)\n"
                 "  transcode  configure one conversion with transcoder options; -join before\n"
                 "             the output appends every input into it, one after another; --next\n"
                 "             starts another task with its own inputs and outputs\n"
                 "  probe      print the container and stream information of a media file\n"
                 "             (--json: one JSON object, times in microseconds)\n"
                 "  libs       load the media libraries (from DIR, default <program folder>/lib,\n"
                 "             else the system search) and print where each came from\n");
    return status;
}

int Version() {
    std::printf("zconv %s\n", ZC_VERSION);
    if (!cli::LoadLibraries(avbind::ProgramFolder() + "/lib")) return 1;
    for (avbind::TLibrary lib : cli::MediaLibraries)
        std::printf("%-11s %s\n", avbind::LibraryItem(lib).Name, avbind::FFLoader().VersionText(lib).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage(stderr, 2);
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "help") == 0)
        return Usage(stdout, 0);
    avbind::TFFBinding binding;
    if (std::strcmp(argv[1], "--version") == 0) return Version();
    if (std::strcmp(argv[1], "libs") == 0) return cli::CommandLibs(argc, argv);
    if (std::strcmp(argv[1], "transcode") == 0) return cli::CommandTranscode(argc, argv);
    if (std::strcmp(argv[1], "profiles") == 0) return cli::CommandProfiles(argc, argv);
    if (std::strcmp(argv[1], "convert") == 0) return cli::CommandConvert(argc, argv);
    if (std::strcmp(argv[1], "probe") == 0) return cli::CommandProbe(argc, argv);
    return Usage(stderr, 2);
}
