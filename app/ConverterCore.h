// The application core both front ends share: it loads the media libraries,
// keeps the log file, holds the device profiles with the values the user
// applied to each, turns the active profile into task values, and owns the
// encoder, the probe and the conversion run. The window and `zconv convert`
// only show what it reports.
#pragma once

#include "app/AdvancedSettings.h"
#include "app/ConversionRun.h"
#include "app/PathsAndLinks.h"
#include "app/VideoProfile.h"
#include "encoder/TaskQueue.h"
#include "probe/Probe.h"

#include <map>
#include <memory>
#include <string>

namespace app {

// The task values of a profile, exactly as it holds them.
TProfileValues ProfileValues(const TVideoProfile& profile);

class TConverterCore {
public:
    explicit TConverterCore(TfrmCommon& common);
    // The run goes before the encoder (it stops and drains it first), then
    // the libraries' lines stop coming here.
    ~TConverterCore();
    TConverterCore(const TConverterCore&) = delete;
    TConverterCore& operator=(const TConverterCore&) = delete;

    // ---- Start-up, in this order ----
    // Empties the log file, so what start-up writes next stays in it.
    void StartLog();
    // Reads the device profiles; each damaged file is a line in the log. With
    // `restoreApplied`, the advanced values applied in an earlier session
    // (section "applied" of config.ini, by device title) come back too.
    void LoadProfiles(bool restoreApplied = false);
    // Loads the media libraries (from <program folder>/lib, else the
    // system's), registers the in-program filters and sends the libraries'
    // lines to the log file. False, with the reason logged and in LoadError().
    bool LoadLibraries();
    const std::string& LoadError() const { return FLoadError; }

    // ---- Devices ----
    TProfileCatalogue& Catalogue() { return FCatalogue; }
    TVideoProfile& Profile() { return FProfile; }
    // Makes an entry the active device; the values applied to it earlier in
    // this program's life come back with it. Raises EProfileError (the
    // device stays) or std::out_of_range.
    void SelectDevice(int index);
    // Selects the device whose English title is `name` (any letter case),
    // else loads `name` as a profile file. Raises with the reason.
    void SelectDevice(const std::string& name);
    // Checks the advanced values; when they pass they become the active
    // device's, kept for it until the program ends, and stored for the next
    // session (a settings file that cannot be written only loses that).
    TAdvancedCheck ApplyAdvanced(const TAdvancedTexts& texts, const TAdvancedMessages& messages);
    TProfileValues Values() const { return ProfileValues(FProfile); }
    // Whether the active device runs with values the user applied.
    bool DeviceValuesApplied() const { return FApplied.count(FCatalogue.ActiveIndex) > 0; }

    // ---- Settings ----
    // The existing-file rule stored in config.ini ("setting", "existing").
    TExistingFiles StoredExistingFiles() const;
    // Stores it; raises EIniFileError when the file cannot be written.
    void StoreExistingFiles(TExistingFiles policy);

    // Files converted at once, stored in config.ini ("setting", "jobs"):
    // 1..64, or 0 for automatic (also for anything else stored there).
    int StoredJobs() const;
    void StoreJobs(int jobs);

    // ---- Parts ----
    TfrmCommon& Common() { return FCommon; }
    encoder::TFFEncoder& Encoder() { return FEncoder; }
    probe::TFFDecoder& Probe() { return FProbe; }
    TConversionRun& Run() { return *FRun; }
    void Log(const std::string& line) {
        if (FRun) FRun->AppendLog(line);
    }

private:
    TfrmCommon& FCommon;
    encoder::TFFEncoder FEncoder;
    probe::TFFDecoder FProbe;
    std::unique_ptr<TConversionRun> FRun;  // declared last: destroyed first
    TProfileCatalogue FCatalogue;
    TVideoProfile FProfile;
    std::map<int, TAdvancedTexts> FApplied;  // device -> the advanced values applied to it
    std::string FLoadError;
    bool FLogRouted = false;  // the library log is sent to this core's log file
};

} // namespace app
