// The values of the options with their own little languages: times, sizes,
// rates, aspect, stream and metadata maps, metadata, forced key frames,
// bit rates, stream ids. The first byte picks the option, the rest is its value.
#include "engine/Engine.h"
#include "tests/fuzz/FuzzSupport.h"

#include <exception>
#include <iterator>

namespace {

const char* const kOptions[] = {
    "ss", "t", "itsoffset", "timestamp", "s", "r", "aspect", "map", "map_metadata", "map_chapters",
    "metadata", "force_key_frames", "b", "ab", "vb", "maxrate", "bufsize", "streamid", "itsscale",
    "pix_fmt", "sample_fmt", "ar", "ac", "vtag", "atag", "vol", "padtop", "croptop", "g", "qscale",
    "rc_override", "inter_matrix", "intra_matrix", "aspect", "loglevel", "target", "programid", "fs",
    "vf", "vbsf", "absf", "vpre",
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zcfuzz::LoadMediaLibraries();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const char* name = kOptions[data[0] % std::size(kOptions)];
    const std::string value(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        (void)engine::ParseTimeSpec("fuzz", value, (data[0] & 0x80) != 0);
    } catch (const std::exception&) {
    }
    engine::TCustomFFmpeg task(4);
    try {
        task.SetExtOption(name, value);
        // Twice: several of these options add to lists kept by the task.
        task.SetExtOption(name, value);
    } catch (const std::exception&) {
    }
    return 0;
}
