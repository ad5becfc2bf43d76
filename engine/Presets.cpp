// Preset files: option lines read from a small text file.
#include "engine/Engine.h"

#include "avbind/Text.h"
#include "avhelpers/FFOptions.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace engine {

using namespace avbind;

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
        const std::string lower = LowerCase(key);
        if (lower == "acodec" || lower == "vcodec" || lower == "scodec" || lower == "dcodec") {
            SetCodecName(lower, value);
        } else if (!SetLibOption(key, value) && FHaltOnInvalidOption) {
            RaiseFF("%s\r\n%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                    avhelpers::LastOptionError().c_str(), path.c_str(), line.c_str(), key.c_str(), value.c_str());
        }
    }
}

} // namespace engine
