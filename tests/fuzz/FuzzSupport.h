// Shared pieces of the fuzz targets: a private scratch folder for targets
// whose code under test reads files, and quiet media libraries.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zcfuzz {

// Writes `data` as the file `name` in this process's scratch folder (made on
// first use, removed at exit) and returns its path.
std::string WriteScratchFile(const char* name, std::string_view data);
// The path of `name` in the scratch folder, without creating it.
std::string ScratchPath(const char* name);

// Loads every media library once and silences the log bridge. Aborts when
// the libraries cannot be loaded, since nothing could be fuzzed then.
void LoadMediaLibraries();

// Splits fuzz input into lines: lets one input carry several independent
// texts (a delimiter and a source, a key and a value, ...) and keeps the
// seed files plain text.
struct TPieces {
    TPieces(const std::uint8_t* data, std::size_t size) : FRest(reinterpret_cast<const char*>(data), size) {}
    std::string Next() {
        const std::size_t at = FRest.find('\n');
        std::string piece(FRest.substr(0, at));
        FRest = at == std::string_view::npos ? std::string_view() : FRest.substr(at + 1);
        return piece;
    }
    std::string_view Rest() const { return FRest; }
private:
    std::string_view FRest;
};

// `text` with bytes outside printable ASCII as \xNN, for messages.
std::string Escaped(std::string_view text);

// Stops the fuzzer with a message when an invariant of the code under test fails.
[[noreturn]] void Fail(const std::string& what);

} // namespace zcfuzz
