// Interface language files: every caption and message of the interface comes
// from one INI file whose sections are window names and whose keys are
// control or field names.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace app {

class TfrmCommon;

// Raised by FormatTagText for a format the arguments cannot fill.
class EFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Fills "%s" places (also "%N:s", width "%-10s", precision "%.3s") from
// `args` in order; "%%" is a literal percent sign. More places than
// arguments, or any other conversion, throws EFormatError.
std::string FormatTagText(const std::string& format, const std::vector<std::string>& args);

enum class TLanguageKeyKind {
    Title,   // application title: format text + " " + version
    Caption, // caption of the control `Key` of window `Section`
    Field,   // a message field of TLanguageTexts
    Text,    // a text of window `Section` that is not a control's caption (a choice, a prefix)
};

struct TLanguageKey {
    const char* Section;
    const char* Key;
    TLanguageKeyKind Kind;
    int TagPlaces; // > 0: a format text receiving the product tag this many times
};

// Every key LoadLanguage reads, in reading order. The shipped language files
// hold exactly these keys.
const std::vector<TLanguageKey>& LanguageKeys();

struct TLanguageTexts {
    // Title format + " " + version; also the caption of the main window.
    std::string ApplicationTitle;
    // Window (section name) -> control (key name) -> caption. A window's own
    // title is stored under "Caption" (also for frmHelpDialog's "title").
    std::map<std::string, std::map<std::string, std::string>> Captions;

    std::string strCommonButtonConverterStart;
    std::string strCommonButtonConverterStop;
    std::string strLanguage_MsgDontLoadAVLib;
    std::string strLanguage_ErrorFormatVideoBirateDefault;
    std::string strLanguage_ErrorFormatVideoFrameRateDefault;
    std::string strLanguage_ErrorFormatVideoSizeDefault;
    std::string strLanguage_ErrorFormatAudioBitrateDefault;
    std::string strLanguage_ErrorFormatAudioSampleRateDefault;
    std::string strLanguage_MsgProcessFinished;

    // Empty when every key was read; otherwise the format error that stopped
    // loading at that key (the keys after it stay empty).
    std::string Error;

    // The caption of a control (or a Text key); window and control names
    // compare case-insensitively. Empty when the file did not supply it.
    std::string Caption(const std::string& window, const std::string& control) const;
};

// Reads the language file once. Missing file or keys give empty texts; the
// title is then a single space followed by the version. `version` comes from
// section `app` of the settings file.
TLanguageTexts LoadLanguage(const std::string& languageFile, const std::string& settingsFile,
                            const std::string& productTag);
// Same, with the files and the product tag of the common services.
TLanguageTexts LoadLanguage(const TfrmCommon& common);

} // namespace app
