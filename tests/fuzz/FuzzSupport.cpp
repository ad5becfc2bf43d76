#include "tests/fuzz/FuzzSupport.h"

#include "avbind/FFLoad.h"
#include "avbind/FFLog.h"
#include "tests/support/TempDir.h"

#include <cstdio>
#include <fstream>

namespace zcfuzz {

namespace {

// Made on first use, removed with its files when the process exits.
const zctest::TTempDir& ScratchFolder() {
    static const zctest::TTempDir folder;
    return folder;
}

} // namespace

std::string ScratchPath(const char* name) { return ScratchFolder().File(name); }

std::string WriteScratchFile(const char* name, std::string_view data) {
    const std::string path = ScratchPath(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out.flush()) Fail("cannot write " + path);
    return path;
}

void LoadMediaLibraries() {
    // Kept for the whole run: the libraries stay loaded between inputs.
    static avbind::TFFBinding* binding = new avbind::TFFBinding;
    (void)binding;
    avbind::FFLogger().SetOnLog([](const void*, std::uint32_t, avbind::TLogLevel, const std::string&) {});
    avbind::FFLogger().SetLogLevel(avbind::llQuiet);
    if (!avbind::FFLoader().Load(avbind::EncoderLibraries))
        Fail("cannot load the media libraries: " + avbind::FFLoader().LastErrMsg());
}

std::string Escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz invariant failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace zcfuzz
