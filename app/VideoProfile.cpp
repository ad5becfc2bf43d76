#include "app/VideoProfile.h"

#include "app/Des.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <system_error>

namespace app {

namespace {

constexpr int kFieldCount = 14;

std::string FlagText(bool v) { return v ? "1" : "0"; }

// Any text other than "0", an empty one too, counts as true.
bool FlagValue(const std::string& v) { return v != "0"; }

struct TGroup {
    std::string Default, All;
    bool Enable = true;
};

TGroup ParseGroup(const std::string& piece, int field) {
    const std::vector<std::string> parts = TVideoProfile::split(piece, "|");
    if (parts.size() < 3)
        throw std::out_of_range("Damaged profile line: field " + std::to_string(field) +
                                " has fewer than 3 parts");
    return {parts[0], parts[1], FlagValue(parts[2])};
}

std::string GroupText(const std::string& def, const std::string& all, bool enable) {
    return def + "|" + all + "|" + FlagText(enable) + kProfileSeparator;
}

bool EndsWithPf(const std::string& name) {
    if (name.size() < 3) return false;
    const std::string tail = name.substr(name.size() - 3);
    return tail[0] == '.' && std::tolower(static_cast<unsigned char>(tail[1])) == 'p' &&
           std::tolower(static_cast<unsigned char>(tail[2])) == 'f';
}

} // namespace

EProfileError::EProfileError(const std::string& fileName, const std::string& reason)
    : std::runtime_error(fileName + ": " + reason), FFileName(fileName), FReason(reason) {}

std::vector<std::string> TVideoProfile::split(const std::string& source, const std::string& delimiter) {
    std::vector<std::string> pieces;
    if (delimiter.empty()) {
        pieces.push_back(source);
        return pieces;
    }
    std::size_t start = 0;
    for (std::size_t at; (at = source.find(delimiter, start)) != std::string::npos;
         start = at + delimiter.size())
        pieces.push_back(source.substr(start, at - start));
    pieces.push_back(source.substr(start));
    return pieces;
}

std::string TVideoProfile::ToLine() const {
    const std::string sep = kProfileSeparator;
    std::string line = strProfileName + sep + strChineseProfileName + sep + strProfileExt + sep + strFormat + sep;
    line += GroupText(strVideoCodecDefault, strVideoCodecAll, bVideoCodecEnable);
    line += GroupText(strVideoBirateDefault, strVideoBirateAll, bVideoBirateEnable);
    line += GroupText(strVideoFrameRateDefault, strVideoFrameRateAll, bVideoFrameRateEnable);
    line += GroupText(strVideoSizeDefault, strVideoSizeAll, bVideoSizeEnable);
    line += FlagText(bVideoEnable) + sep;
    line += GroupText(strAudioCodecDefault, strAudioCodecAll, bAudioCodecEnable);
    line += GroupText(strAudioBitrateDefault, strAudioBitrateAll, bAudioBitrateEnable);
    line += GroupText(strAudioSampleRateDefault, strAudioSampleRateAll, bAudioSampleRateEnable);
    line += GroupText(strAudioChannelDefault, strAudioChannelAll, bAudioChannelEnable);
    line += FlagText(bAudioEnable) + sep;
    return line;
}

void TVideoProfile::FromLine(const std::string& line) {
    const std::vector<std::string> f = split(line, kProfileSeparator);
    if (f.size() < kFieldCount)
        throw std::out_of_range("Damaged profile line: field " + std::to_string(f.size()) + " is missing");
    // Everything is parsed before anything is stored, so a damaged line
    // leaves the profile as it was.
    const TGroup vc = ParseGroup(f[4], 4), vb = ParseGroup(f[5], 5), vr = ParseGroup(f[6], 6),
                 vs = ParseGroup(f[7], 7), ac = ParseGroup(f[9], 9), ab = ParseGroup(f[10], 10),
                 ar = ParseGroup(f[11], 11), ah = ParseGroup(f[12], 12);
    strProfileName = f[0];
    strChineseProfileName = f[1];
    strProfileExt = f[2];
    strFormat = f[3];
    strVideoCodecDefault = vc.Default, strVideoCodecAll = vc.All, bVideoCodecEnable = vc.Enable;
    strVideoBirateDefault = vb.Default, strVideoBirateAll = vb.All, bVideoBirateEnable = vb.Enable;
    strVideoFrameRateDefault = vr.Default, strVideoFrameRateAll = vr.All, bVideoFrameRateEnable = vr.Enable;
    strVideoSizeDefault = vs.Default, strVideoSizeAll = vs.All, bVideoSizeEnable = vs.Enable;
    bVideoEnable = FlagValue(f[8]);
    strAudioCodecDefault = ac.Default, strAudioCodecAll = ac.All, bAudioCodecEnable = ac.Enable;
    strAudioBitrateDefault = ab.Default, strAudioBitrateAll = ab.All, bAudioBitrateEnable = ab.Enable;
    strAudioSampleRateDefault = ar.Default, strAudioSampleRateAll = ar.All, bAudioSampleRateEnable = ar.Enable;
    strAudioChannelDefault = ah.Default, strAudioChannelAll = ah.All, bAudioChannelEnable = ah.Enable;
    bAudioEnable = FlagValue(f[13]);
}

void TVideoProfile::LoadProfileFromFile(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    std::error_code ec;
    if (!in || std::filesystem::is_directory(fileName, ec))
        throw EProfileError(fileName, "cannot open the file");
    std::string line;
    std::getline(in, line);
    if (in.bad()) throw EProfileError(fileName, "cannot read the file");
    // Tolerate a text editor's byte-order mark and CR-LF line end.
    if (line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    try {
        FromLine(line.find(kProfileSeparator) != std::string::npos ? line : DecipherText(line));
    } catch (const ECipherError& e) {
        throw EProfileError(fileName, e.what());
    } catch (const std::out_of_range& e) {
        throw EProfileError(fileName, e.what());
    }
}

void TVideoProfile::SaveProfileToFile(const std::string& fileName) const {
    const std::string sep = kProfileSeparator;
    const std::string* plain[] = {&strProfileName, &strChineseProfileName, &strProfileExt, &strFormat};
    for (const std::string* v : plain)
        if (v->find(sep) != std::string::npos)
            throw EProfileError(fileName, "the value \"" + *v + "\" contains " + sep);
    const std::string* grouped[] = {
        &strVideoCodecDefault,   &strVideoCodecAll,      &strVideoBirateDefault,     &strVideoBirateAll,
        &strVideoFrameRateDefault, &strVideoFrameRateAll, &strVideoSizeDefault,     &strVideoSizeAll,
        &strAudioCodecDefault,   &strAudioCodecAll,      &strAudioBitrateDefault,    &strAudioBitrateAll,
        &strAudioSampleRateDefault, &strAudioSampleRateAll, &strAudioChannelDefault, &strAudioChannelAll};
    for (const std::string* v : grouped)
        if (v->find(sep) != std::string::npos || v->find('|') != std::string::npos)
            throw EProfileError(fileName, "the value \"" + *v + "\" contains " + sep + " or |");

    const std::string text = EncipherText(ToLine()) + "\n";
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    if (!out) throw EProfileError(fileName, "cannot create the file");
    out << text;
    out.close();
    if (!out) throw EProfileError(fileName, "cannot write the file");
}

void TVideoProfile::ClearAll() {
    for (std::string* s : {&strProfileName, &strChineseProfileName, &strProfileExt, &strFormat,
                           &strVideoCodecDefault, &strVideoCodecAll, &strVideoBirateDefault,
                           &strVideoBirateAll, &strVideoFrameRateDefault, &strVideoFrameRateAll,
                           &strVideoSizeDefault, &strVideoSizeAll, &strAudioCodecDefault,
                           &strAudioCodecAll, &strAudioBitrateDefault, &strAudioBitrateAll,
                           &strAudioSampleRateDefault, &strAudioSampleRateAll, &strAudioChannelDefault,
                           &strAudioChannelAll})
        s->clear();
    for (bool* b : {&bVideoCodecEnable, &bVideoBirateEnable, &bVideoFrameRateEnable, &bVideoSizeEnable,
                    &bVideoEnable, &bAudioCodecEnable, &bAudioBitrateEnable, &bAudioSampleRateEnable,
                    &bAudioChannelEnable, &bAudioEnable})
        *b = true;
}

std::vector<std::string> TProfileCatalogue::DeviceNames(bool chinese) const {
    std::vector<std::string> names;
    names.reserve(arrayCommonProfiles.size());
    for (const TProfile& p : arrayCommonProfiles)
        names.push_back(chinese && !p.strPfTitle_gb.empty() ? p.strPfTitle_gb : p.strPfTitle_en);
    return names;
}

std::vector<std::string> FindProfileFiles(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return files;
    for (const fs::directory_entry& entry : it) {
        const std::string name = entry.path().filename().string();
        if (!EndsWithPf(name)) continue;
        std::error_code dirEc;
        if (entry.is_directory(dirEc)) continue;
        files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

TProfileCatalogue LoadProfile(const std::filesystem::path& folder, TVideoProfile& active) {
    TProfileCatalogue catalogue;
    const std::vector<std::string> files = FindProfileFiles(folder);
    if (files.empty()) {
        std::error_code ec;
        catalogue.Errors.push_back(std::filesystem::is_directory(folder, ec)
                                       ? "No profile (*.pf) in " + folder.string()
                                       : "The profile folder " + folder.string() + " cannot be read");
    }
    TVideoProfile reader;
    for (const std::string& file : files) {
        try {
            reader.LoadProfileFromFile(file);
        } catch (const EProfileError& e) {
            catalogue.Errors.push_back(e.what());
            continue;
        }
        catalogue.arrayCommonProfiles.push_back(
            {file, reader.GetChineseProfileName(), reader.GetProfileName()});
        reader.ClearAll();
    }
    active.ClearAll();
    // The last entry is the active one; should its file have gone in the
    // meantime, the one before it is taken.
    for (int i = static_cast<int>(catalogue.arrayCommonProfiles.size()) - 1; i >= 0; --i) {
        try {
            SelectProfile(catalogue, i, active);
            break;
        } catch (const EProfileError& e) {
            catalogue.Errors.push_back(e.what());
        }
    }
    return catalogue;
}

void SelectProfile(TProfileCatalogue& catalogue, int index, TVideoProfile& active) {
    if (index < 0 || index >= static_cast<int>(catalogue.arrayCommonProfiles.size()))
        throw std::out_of_range("No profile entry " + std::to_string(index));
    active.LoadProfileFromFile(catalogue.arrayCommonProfiles[static_cast<std::size_t>(index)].strFileName);
    catalogue.ActiveIndex = index;
}

namespace {

// Codecs by the names people know them by; others as the libraries call them.
std::string CodecTitle(const std::string& name) {
    static const std::map<std::string, std::string> titles = {
        {"libx264", "H.264"}, {"h264", "H.264"},  {"libx265", "HEVC"},      {"hevc", "HEVC"},
        {"mpeg4", "MPEG-4"},  {"h263", "H.263"},  {"libvpx-vp9", "VP9"},    {"libvpx", "VP8"},
        {"aac", "AAC"},       {"libmp3lame", "MP3"}, {"libopus", "Opus"},   {"libvorbis", "Vorbis"},
        {"mp2", "MP2"},       {"ac3", "AC-3"},    {"flac", "FLAC"}};
    const auto found = titles.find(name);
    return found == titles.end() ? name : found->second;
}

bool IsSourceValue(std::string v) {
    std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return std::tolower(c); });
    return v.empty() || v == "-1" || v == "auto";
}

} // namespace

std::string ProfileSummary(const TVideoProfile& p) {
    const std::string dot = " \u00b7 ";
    std::string video = "no video";
    if (p.GetVideoEnable()) {
        video = (IsSourceValue(p.GetVideoSizeDefault()) ? std::string("source size") : p.GetVideoSizeDefault()) + dot +
                (IsSourceValue(p.GetVideoFrameRateDefault()) ? std::string("source frame rate")
                                                              : p.GetVideoFrameRateDefault() + " fps") +
                dot + CodecTitle(p.GetVideoCodecDefault()) + " " + p.GetVideoBirateDefault();
    }
    std::string audio = "no sound";
    if (p.GetAudioEnable()) {
        const long rate = std::strtol(p.GetAudioSampleRateDefault().c_str(), nullptr, 10);
        std::string kHz = std::to_string(rate / 1000);
        if (rate % 1000) {
            char fraction[8];
            std::snprintf(fraction, sizeof fraction, "%03ld", rate % 1000);
            std::string f = fraction;
            while (!f.empty() && f.back() == '0') f.pop_back();
            kHz += "." + f;
        }
        const std::string& channels = p.GetAudioChannelDefault();
        audio = CodecTitle(p.GetAudioCodecDefault()) + " " + p.GetAudioBitrateDefault() + " " + kHz + " kHz " +
                (channels == "1" ? "mono" : channels == "2" ? "stereo" : channels + " channels");
    }
    return video + dot + audio;
}

} // namespace app
