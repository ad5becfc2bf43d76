#include "app/ConverterCore.h"

#include "app/IniFile.h"
#include "avbind/FFLoad.h"
#include "avbind/FFLog.h"
#include "avhelpers/InProgramFilters.h"

#include <fstream>
#include <strings.h>

namespace app {

TProfileValues ProfileValues(const TVideoProfile& p) {
    return {p.GetProfileExt(),          p.GetVideoCodecDefault(), p.GetVideoBirateDefault(),
            p.GetVideoFrameRateDefault(), p.GetVideoSizeDefault(),  p.GetAudioCodecDefault(),
            p.GetAudioBitrateDefault(),   p.GetAudioSampleRateDefault(), p.GetAudioChannelDefault(),
            p.GetVideoEnable(),           p.GetAudioEnable()};
}

TConverterCore::TConverterCore(TfrmCommon& common) : FCommon(common) {
    FRun = std::make_unique<TConversionRun>(
        FEncoder,
        [this](const std::string& path) {
            // The probe reads a file under the same limits as its conversion.
            FProbe.ProtocolWhitelist = AllowedProtocols;
            FProbe.FormatWhitelist = AllowedContainers(path);
            TListedSource source;
            if (!FProbe.LoadFile(path)) return source;
            source.Length = FProbe.FileStreamInfo().Duration;
            const TSourceInfo pictures = SourceInfo(FProbe.FileHandle());
            // The video's own stream, not a cover picture beside it.
            if (pictures.Width > 0) {
                const bool turned = pictures.Rotation == 90 || pictures.Rotation == 270;
                source.Width = turned ? pictures.Height : pictures.Width;
                source.Height = turned ? pictures.Width : pictures.Height;
                source.FrameRate = pictures.FrameRate;
            }
            FProbe.CloseFile();
            return source;
        });
    FRun->LogFileName = FCommon.GetLogFileName();
    FRun->ExistingFiles = StoredExistingFiles();
}

TConverterCore::~TConverterCore() {
    FRun.reset();
    if (FLogRouted) avbind::FFLogger().SetOnLog(nullptr);
}

void TConverterCore::StartLog() { std::ofstream(FRun->LogFileName, std::ios::trunc); }

namespace {

// The six values in one setting: "videoBitrate|frameRate|size|audioBitrate|sampleRate|channels".
std::string JoinValues(const TAdvancedTexts& t) {
    return t.VideoBitrate + "|" + t.FrameRate + "|" + t.VideoSize + "|" + t.AudioBitrate + "|" + t.SampleRate + "|" +
           t.Channel;
}

bool SplitValues(const std::string& text, TAdvancedTexts& t) {
    // Every value is checked non-empty, so dropping empty pieces loses nothing.
    const std::vector<std::string> parts = TfrmCommon::split(text, "|");
    if (parts.size() != 6) return false;
    t = {parts[0], parts[1], parts[2], parts[3], parts[4], parts[5]};
    return true;
}

} // namespace

void TConverterCore::LoadProfiles(bool restoreApplied) {
    FApplied.clear();
    FCatalogue = LoadProfile(FCommon.GetAppPath() + "profile", FProfile);
    for (const std::string& error : FCatalogue.Errors) Log(error);
    if (!restoreApplied) return;
    const TIniFile settings(FCommon.GetIniConfigFileName());
    for (std::size_t i = 0; i < FCatalogue.arrayCommonProfiles.size(); ++i) {
        TAdvancedTexts texts;
        // Stored values pass the same checks before they count.
        if (SplitValues(settings.ReadString("applied", FCatalogue.arrayCommonProfiles[i].strPfTitle_en, ""), texts)) {
            TVideoProfile scratch;
            if (ApplyAdvancedSettings(scratch, texts, {}).Passed)
                FApplied[static_cast<int>(i)] = AdvancedValues(scratch);
        }
    }
    if (const auto applied = FApplied.find(FCatalogue.ActiveIndex); applied != FApplied.end())
        WriteAdvancedValues(FProfile, applied->second);
}

bool TConverterCore::LoadLibraries() {
    const std::string folder = FCommon.GetAppPath() + "lib";
    // Library lines go straight to the file from whichever thread writes
    // them: no worker waits for the main thread to log.
    avbind::FFLogger().SetTriggerEventInMainThread(false);
    avbind::FFLogger().SetOnLog(
        [this](const void*, std::uint32_t, avbind::TLogLevel, const std::string& msg) { Log(msg); });
    FLogRouted = true;
    if (!FEncoder.AVLibLoaded() && !FEncoder.LoadAVLib(folder)) {
        FLoadError = FEncoder.LastErrMsg();
        Log(FLoadError);
        return false;
    }
    avhelpers::RegisterNativeFilters();
    if (!FProbe.AVLibLoaded()) FProbe.LoadAVLib(folder);
    FLoadError.clear();
    return true;
}

void TConverterCore::SelectDevice(int index) {
    SelectProfile(FCatalogue, index, FProfile);
    if (const auto applied = FApplied.find(index); applied != FApplied.end())
        WriteAdvancedValues(FProfile, applied->second);
}

void TConverterCore::SelectDevice(const std::string& name) {
    for (std::size_t i = 0; i < FCatalogue.arrayCommonProfiles.size(); ++i)
        if (strcasecmp(FCatalogue.arrayCommonProfiles[i].strPfTitle_en.c_str(), name.c_str()) == 0) {
            SelectDevice(static_cast<int>(i));
            return;
        }
    FProfile.LoadProfileFromFile(name);
    FCatalogue.ActiveIndex = -1;
}

TAdvancedCheck TConverterCore::ApplyAdvanced(const TAdvancedTexts& texts, const TAdvancedMessages& messages) {
    const TAdvancedCheck check = ApplyAdvancedSettings(FProfile, texts, messages);
    if (!check.Passed || FCatalogue.ActiveIndex < 0) return check;
    FApplied[FCatalogue.ActiveIndex] = AdvancedValues(FProfile);
    try {
        TIniFile(FCommon.GetIniConfigFileName())
            .WriteString("applied",
                         FCatalogue.arrayCommonProfiles[static_cast<std::size_t>(FCatalogue.ActiveIndex)].strPfTitle_en,
                         JoinValues(FApplied[FCatalogue.ActiveIndex]));
    } catch (const std::exception& e) {
        Log(e.what());
    }
    return check;
}

TExistingFiles TConverterCore::StoredExistingFiles() const {
    return ExistingFilesFromName(TIniFile(FCommon.GetIniConfigFileName()).ReadString("setting", "existing", ""));
}

void TConverterCore::StoreExistingFiles(TExistingFiles policy) {
    TIniFile(FCommon.GetIniConfigFileName()).WriteString("setting", "existing", ExistingFilesName(policy));
    FRun->ExistingFiles = policy;
}

} // namespace app

namespace app {

int TConverterCore::StoredJobs() const {
    const int jobs = TIniFile(FCommon.GetIniConfigFileName()).ReadInteger("setting", "jobs", 0);
    return jobs >= 1 && jobs <= 64 ? jobs : 0;
}

void TConverterCore::StoreJobs(int jobs) {
    TIniFile(FCommon.GetIniConfigFileName()).WriteInteger("setting", "jobs", jobs >= 1 && jobs <= 64 ? jobs : 0);
}

} // namespace app
