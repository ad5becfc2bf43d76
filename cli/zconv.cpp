// zconv: the converter's command-line program.
#include "avbind/FFLoad.h"
#include "avbind/FFLog.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string ProgramFolder() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string exe(path, static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: zconv libs [--lib-dir DIR]\n"
                 "  libs   load the media libraries (from DIR, default <program folder>/lib,\n"
                 "         else the system search) and print where each came from\n");
    return 2;
}

// The seven media libraries, in the order they are listed.
const avbind::TLibrary MediaLibraries[] = {avbind::TLibrary::avUtil,   avbind::TLibrary::swResample,
                                           avbind::TLibrary::swScale,  avbind::TLibrary::avCodec,
                                           avbind::TLibrary::avFormat, avbind::TLibrary::avFilter,
                                           avbind::TLibrary::avDevice};

int CommandLibs(int argc, char** argv) {
    std::string libDir = ProgramFolder() + "/lib";
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lib-dir") == 0 && i + 1 < argc)
            libDir = argv[++i];
        else
            return Usage();
    }
    avbind::TFFBinding binding;
    avbind::TFFLoader& loader = avbind::FFLoader();
    loader.SetLibraryPath(libDir);
    if (!loader.Load(avbind::EncoderLibraries)) {
        std::fprintf(stderr, "%s\n", loader.LastErrMsg().c_str());
        return 1;
    }
    for (avbind::TLibrary lib : MediaLibraries) {
        std::printf("%-11s %-10s %s\n", avbind::LibraryItem(lib).Name, loader.VersionText(lib).c_str(),
                    loader.LoadedFrom(lib).c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    if (std::strcmp(argv[1], "libs") == 0) return CommandLibs(argc, argv);
    return Usage();
}
