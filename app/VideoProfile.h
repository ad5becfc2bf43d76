// A device profile (output extension, video and audio settings with their
// choices), its file form, and the catalogue of the profile folder.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace app {

// Raised when a profile file cannot be read or written. Reason() is the
// cause alone ("Invalid file format", ...); what() adds the file name.
class EProfileError : public std::runtime_error {
public:
    EProfileError(const std::string& fileName, const std::string& reason);
    const std::string& FileName() const { return FFileName; }
    const std::string& Reason() const { return FReason; }

private:
    std::string FFileName;
    std::string FReason;
};

// Separates the fields of a profile line.
inline constexpr const char* kProfileSeparator = "[TAMBRIL]";

class TVideoProfile {
public:
    // A new profile is in the cleared state: empty texts, every flag true.
    TVideoProfile() { ClearAll(); }

    void SetProfileName(const std::string& v) { strProfileName = v; }
    void SetChineseProfileName(const std::string& v) { strChineseProfileName = v; }
    void SetProfileExt(const std::string& v) { strProfileExt = v; }
    void SetProfileFormat(const std::string& v) { strFormat = v; }
    const std::string& GetProfileName() const { return strProfileName; }
    const std::string& GetChineseProfileName() const { return strChineseProfileName; }
    const std::string& GetProfileExt() const { return strProfileExt; }
    const std::string& GetFormat() const { return strFormat; }

    void SetVideoCodecDefault(const std::string& v) { strVideoCodecDefault = v; }
    void SetVideoCodecAll(const std::string& v) { strVideoCodecAll = v; }
    void SetVideoCodecEnable(bool v) { bVideoCodecEnable = v; }
    const std::string& GetVideoCodecDefault() const { return strVideoCodecDefault; }
    const std::string& GetVideoCodecAll() const { return strVideoCodecAll; }
    bool GetVideoCodecEnable() const { return bVideoCodecEnable; }

    void SetVideoBirateDefault(const std::string& v) { strVideoBirateDefault = v; }
    void SetVideoBirateAll(const std::string& v) { strVideoBirateAll = v; }
    void SetVideoBirateEnable(bool v) { bVideoBirateEnable = v; }
    const std::string& GetVideoBirateDefault() const { return strVideoBirateDefault; }
    const std::string& GetVideoBirateAll() const { return strVideoBirateAll; }
    bool GetVideoBirateEnable() const { return bVideoBirateEnable; }

    void SetVideoFrameRateDefault(const std::string& v) { strVideoFrameRateDefault = v; }
    void SetVideoFrameRateAll(const std::string& v) { strVideoFrameRateAll = v; }
    void SetVideoFrameRateEnable(bool v) { bVideoFrameRateEnable = v; }
    const std::string& GetVideoFrameRateDefault() const { return strVideoFrameRateDefault; }
    const std::string& GetVideoFrameRateAll() const { return strVideoFrameRateAll; }
    bool GetVideoFrameRateEnable() const { return bVideoFrameRateEnable; }

    void SetVideoSizeDefault(const std::string& v) { strVideoSizeDefault = v; }
    void SetVideoSizeAll(const std::string& v) { strVideoSizeAll = v; }
    void SetVideoSizeEnable(bool v) { bVideoSizeEnable = v; }
    const std::string& GetVideoSizeDefault() const { return strVideoSizeDefault; }
    const std::string& GetVideoSizeAll() const { return strVideoSizeAll; }
    bool GetVideoSizeEnable() const { return bVideoSizeEnable; }

    void SetVideoEnable(bool v) { bVideoEnable = v; }
    bool GetVideoEnable() const { return bVideoEnable; }

    void SetAudioCodecDefault(const std::string& v) { strAudioCodecDefault = v; }
    void SetAudioCodecAll(const std::string& v) { strAudioCodecAll = v; }
    void SetAudioCodecEnable(bool v) { bAudioCodecEnable = v; }
    const std::string& GetAudioCodecDefault() const { return strAudioCodecDefault; }
    const std::string& GetAudioCodecAll() const { return strAudioCodecAll; }
    bool GetAudioCodecEnable() const { return bAudioCodecEnable; }

    void SetAudioBitrateDefault(const std::string& v) { strAudioBitrateDefault = v; }
    void SetAudioBitrateAll(const std::string& v) { strAudioBitrateAll = v; }
    void SetAudioBitrateEnable(bool v) { bAudioBitrateEnable = v; }
    const std::string& GetAudioBitrateDefault() const { return strAudioBitrateDefault; }
    const std::string& GetAudioBitrateAll() const { return strAudioBitrateAll; }
    bool GetAudioBitrateEnable() const { return bAudioBitrateEnable; }

    void SetAudioSampleRateDefault(const std::string& v) { strAudioSampleRateDefault = v; }
    void SetAudioSampleRateAll(const std::string& v) { strAudioSampleRateAll = v; }
    void SetAudioSampleRateEnable(bool v) { bAudioSampleRateEnable = v; }
    const std::string& GetAudioSampleRateDefault() const { return strAudioSampleRateDefault; }
    const std::string& GetAudioSampleRateAll() const { return strAudioSampleRateAll; }
    bool GetAudioSampleRateEnable() const { return bAudioSampleRateEnable; }

    void SetAudioChannelDefault(const std::string& v) { strAudioChannelDefault = v; }
    void SetAudioChannelAll(const std::string& v) { strAudioChannelAll = v; }
    void SetAudioChannelEnable(bool v) { bAudioChannelEnable = v; }
    const std::string& GetAudioChannelDefault() const { return strAudioChannelDefault; }
    const std::string& GetAudioChannelAll() const { return strAudioChannelAll; }
    bool GetAudioChannelEnable() const { return bAudioChannelEnable; }

    void SetAudioEnable(bool v) { bAudioEnable = v; }
    bool GetAudioEnable() const { return bAudioEnable; }

    // The pieces of `source` between occurrences of `delimiter`. Empty pieces
    // are kept and the text after the last delimiter is always added, so an
    // empty source gives one empty piece.
    static std::vector<std::string> split(const std::string& source, const std::string& delimiter);

    // The plain profile line (fields joined by kProfileSeparator, groups by
    // "|", flags as 1/0, a separator after the last field).
    std::string ToLine() const;
    // Replaces every field from a plain line. Raises std::out_of_range naming
    // the missing piece when the line has fewer than 14 fields or a group
    // fewer than 3 pieces; the profile is then left unchanged.
    void FromLine(const std::string& line);

    // Replaces every field with those of the file's first line, plain or
    // enciphered. Raises EProfileError when the file cannot be opened or its
    // content is damaged; the profile is then left unchanged.
    void LoadProfileFromFile(const std::string& fileName);
    // Writes the enciphered line as the file's only line. Raises EProfileError
    // when the file cannot be written, or, before touching the file, when a
    // value holds the separator (or "|" in a grouped value), since it would
    // not read back the same.
    void SaveProfileToFile(const std::string& fileName) const;

    // Empty texts, every flag true.
    void ClearAll();

    bool operator==(const TVideoProfile&) const = default;

private:
    std::string strProfileName;
    std::string strChineseProfileName;
    std::string strProfileExt;
    std::string strFormat;
    std::string strVideoCodecDefault, strVideoCodecAll;
    bool bVideoCodecEnable = true;
    std::string strVideoBirateDefault, strVideoBirateAll;
    bool bVideoBirateEnable = true;
    std::string strVideoFrameRateDefault, strVideoFrameRateAll;
    bool bVideoFrameRateEnable = true;
    std::string strVideoSizeDefault, strVideoSizeAll;
    bool bVideoSizeEnable = true;
    bool bVideoEnable = true;
    std::string strAudioCodecDefault, strAudioCodecAll;
    bool bAudioCodecEnable = true;
    std::string strAudioBitrateDefault, strAudioBitrateAll;
    bool bAudioBitrateEnable = true;
    std::string strAudioSampleRateDefault, strAudioSampleRateAll;
    bool bAudioSampleRateEnable = true;
    std::string strAudioChannelDefault, strAudioChannelAll;
    bool bAudioChannelEnable = true;
    bool bAudioEnable = true;
};

// One catalogue entry: the profile file and its two display names.
struct TProfile {
    std::string strFileName;    // full path
    std::string strPfTitle_gb;  // the file's Chinese profile name
    std::string strPfTitle_en;  // the file's profile name, shown in the device list
};

struct TProfileCatalogue {
    // One entry per readable profile file, in the order the files were found.
    std::vector<TProfile> arrayCommonProfiles;
    // The entry whose file is loaded as the active profile; -1 when empty.
    int ActiveIndex = -1;
    // One message per file left out because it could not be read.
    std::vector<std::string> Errors;

    // The device list's names: the Chinese ones (where a profile has one) for
    // the Chinese interface, else the English ones.
    std::vector<std::string> DeviceNames(bool chinese = false) const;
};

// The regular files (or links to them) of `folder` whose names end in ".pf"
// in any letter case, as full paths sorted by name (byte order), so the order
// does not depend on the file system. An unreadable folder gives none.
std::vector<std::string> FindProfileFiles(const std::filesystem::path& folder);

// Builds the catalogue of `folder` and loads the last entry into `active`,
// which becomes the active profile; `active` is cleared when no file could be
// read. A damaged file is left out and its reason kept in Errors.
TProfileCatalogue LoadProfile(const std::filesystem::path& folder, TVideoProfile& active);

// Makes entry `index` the active one by loading its file into `active`.
// Raises EProfileError (and leaves both unchanged) when the file cannot be
// read any more, std::out_of_range for an index outside the catalogue.
void SelectProfile(TProfileCatalogue& catalogue, int index, TVideoProfile& active);

// The values a profile converts with, in one line for the window:
// "1280x720 \u00b7 30 fps \u00b7 H.264 2500k \u00b7 AAC 128k 48 kHz stereo"; the
// source's own size and rate read "source size" and "source frame rate", a
// switched-off section "no video" or "no sound".
std::string ProfileSummary(const TVideoProfile& profile);

} // namespace app
