#include "app/Language.h"

#include "app/IniFile.h"
#include "app/PathsAndLinks.h"

#include <cctype>

namespace app {

namespace {

using K = TLanguageKeyKind;

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string* FieldOf(TLanguageTexts& t, const std::string& key) {
    static const std::pair<const char*, std::string TLanguageTexts::*> fields[] = {
        {"strCommonButtonConverterStart", &TLanguageTexts::strCommonButtonConverterStart},
        {"strCommonButtonConverterStop", &TLanguageTexts::strCommonButtonConverterStop},
        {"strLanguage_MsgDontLoadAVLib", &TLanguageTexts::strLanguage_MsgDontLoadAVLib},
        {"strLanguage_ErrorFormatVideoBirateDefault", &TLanguageTexts::strLanguage_ErrorFormatVideoBirateDefault},
        {"strLanguage_ErrorFormatVideoFrameRateDefault", &TLanguageTexts::strLanguage_ErrorFormatVideoFrameRateDefault},
        {"strLanguage_ErrorFormatVideoSizeDefault", &TLanguageTexts::strLanguage_ErrorFormatVideoSizeDefault},
        {"strLanguage_ErrorFormatAudioBitrateDefault", &TLanguageTexts::strLanguage_ErrorFormatAudioBitrateDefault},
        {"strLanguage_ErrorFormatAudioSampleRateDefault",
         &TLanguageTexts::strLanguage_ErrorFormatAudioSampleRateDefault},
        {"strLanguage_MsgProcessFinished", &TLanguageTexts::strLanguage_MsgProcessFinished},
    };
    for (const auto& [name, member] : fields)
        if (key == name) return &(t.*member);
    return nullptr;
}

// Precision counts code points, so a cut never splits a character.
std::string TakeCodePoints(const std::string& s, size_t count) {
    size_t i = 0;
    while (i < s.size() && count > 0) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
        --count;
    }
    return s.substr(0, i);
}

size_t CodePoints(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

} // namespace

std::string FormatTagText(const std::string& format, const std::vector<std::string>& args) {
    auto fail = [&]() -> EFormatError {
        return EFormatError("Format '" + format + "' invalid or incompatible with argument");
    };
    std::string out;
    size_t next = 0;
    size_t i = 0;
    auto number = [&](size_t& value) {
        const size_t start = i;
        value = 0;
        while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) {
            value = value * 10 + size_t(format[i] - '0');
            if (value > 10000) throw fail();
            ++i;
        }
        return i > start;
    };
    while (i < format.size()) {
        const char c = format[i++];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i < format.size() && format[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        size_t width = 0, precision = 0, index = 0;
        bool left = false, hasPrecision = false;
        const size_t save = i;
        if (number(index) && i < format.size() && format[i] == ':') {
            next = index;
            ++i;
        } else {
            i = save;
        }
        if (i < format.size() && format[i] == '-') {
            left = true;
            ++i;
        }
        number(width);
        if (i < format.size() && format[i] == '.') {
            ++i;
            hasPrecision = number(precision);
            if (!hasPrecision) throw fail();
        }
        if (i >= format.size() || (format[i] != 's' && format[i] != 'S') || next >= args.size()) throw fail();
        ++i;
        std::string piece = hasPrecision ? TakeCodePoints(args[next], precision) : args[next];
        ++next;
        const size_t len = CodePoints(piece);
        if (len < width) {
            const std::string pad(width - len, ' ');
            piece = left ? piece + pad : pad + piece;
        }
        out += piece;
    }
    return out;
}

const std::vector<TLanguageKey>& LanguageKeys() {
    static const std::vector<TLanguageKey> keys = {
        {"App", "Title", K::Title, 1},

        {"frmMain", "N_Control", K::Caption, 0},
        {"frmMain", "N_Add", K::Caption, 0},
        {"frmMain", "N_BatchAdd", K::Caption, 0},
        {"frmMain", "N_Remove", K::Caption, 0},
        {"frmMain", "N_ClearAll", K::Caption, 0},
        {"frmMain", "N_Splitter1", K::Caption, 0},
        {"frmMain", "N_Convert", K::Caption, 0},
        {"frmMain", "N_Splitter2", K::Caption, 0},
        {"frmMain", "N_Exit", K::Caption, 0},
        {"frmMain", "N_Options", K::Caption, 0},
        {"frmMain", "N_Setting", K::Caption, 0},
        {"frmMain", "N_Tools", K::Caption, 0},
        {"frmMain", "N_ViewLog", K::Caption, 0},
        {"frmMain", "N_Help", K::Caption, 0},
        {"frmMain", "N_LocalHelp", K::Caption, 0},
        {"frmMain", "N_HomePage", K::Caption, 0},
        {"frmMain", "N_Support", K::Caption, 0},
        {"frmMain", "N_FeedBack", K::Caption, 0},
        {"frmMain", "N_Update", K::Caption, 0},
        {"frmMain", "columns0", K::Caption, 0},
        {"frmMain", "columns1", K::Caption, 0},
        {"frmMain", "columns2", K::Caption, 0},
        {"frmMain", "columns3", K::Caption, 0},
        {"frmMain", "columnSize", K::Caption, 0},
        {"frmMain", "columnFrameRate", K::Caption, 0},
        {"frmMain", "textValuesApplied", K::Text, 0},
        {"frmMain", "ButtonAdd", K::Caption, 0},
        {"frmMain", "ButtonRemove", K::Caption, 0},
        {"frmMain", "ButtonClearAll", K::Caption, 0},
        {"frmMain", "ButtonMoveUp", K::Caption, 0},
        {"frmMain", "ButtonMoveDown", K::Caption, 0},
        {"frmMain", "GroupBoxOutputFormat", K::Caption, 0},
        {"frmMain", "LabelOutputFormat", K::Caption, 0},
        {"frmMain", "ButtonSettingAdvance", K::Caption, 0},
        {"frmMain", "GroupBoxOutputFolder", K::Caption, 0},
        {"frmMain", "LabelOutputFolder", K::Caption, 0},
        {"frmMain", "ButtonSelectOuputFolder", K::Caption, 0},
        {"frmMain", "labelOutputFolderNotice", K::Caption, 1},
        {"frmMain", "strCommonButtonConverterStart", K::Field, 0},
        {"frmMain", "strCommonButtonConverterStop", K::Field, 0},
        {"frmMain", "strLanguage_MsgDontLoadAVLib", K::Field, 0},
        {"frmMain", "strLanguage_ErrorFormatVideoBirateDefault", K::Field, 0},
        {"frmMain", "strLanguage_ErrorFormatVideoFrameRateDefault", K::Field, 0},
        {"frmMain", "strLanguage_ErrorFormatVideoSizeDefault", K::Field, 0},
        {"frmMain", "strLanguage_ErrorFormatAudioBitrateDefault", K::Field, 0},
        {"frmMain", "strLanguage_ErrorFormatAudioSampleRateDefault", K::Field, 0},
        {"frmMain", "strLanguage_MsgProcessFinished", K::Field, 0},

        {"frmSettingAdvance", "Caption", K::Caption, 0},
        {"frmSettingAdvance", "GroupBoxSettingsVideo", K::Caption, 0},
        {"frmSettingAdvance", "labelVideoBitrate", K::Caption, 0},
        {"frmSettingAdvance", "labelFrameRate", K::Caption, 0},
        {"frmSettingAdvance", "labelVideoSize", K::Caption, 0},
        {"frmSettingAdvance", "GroupBoxSettingsAudio", K::Caption, 0},
        {"frmSettingAdvance", "labelAudioBitrate", K::Caption, 0},
        {"frmSettingAdvance", "labelSampleRate", K::Caption, 0},
        {"frmSettingAdvance", "labelChannel", K::Caption, 0},
        {"frmSettingAdvance", "ButtonOK", K::Caption, 0},
        {"frmSettingAdvance", "ButtonCancel", K::Caption, 0},

        {"frmBatchAdd", "Caption", K::Caption, 0},
        {"frmBatchAdd", "labelDirectory", K::Caption, 0},
        {"frmBatchAdd", "checkBoxIsSubDirectorie", K::Caption, 0},
        {"frmBatchAdd", "labelFileNameExt", K::Caption, 0},
        {"frmBatchAdd", "labelNoticeFileNameExt", K::Caption, 0},
        {"frmBatchAdd", "buttonOK", K::Caption, 0},
        {"frmBatchAdd", "buttonCancel", K::Caption, 0},

        {"frmSetting", "Caption", K::Caption, 0},
        {"frmSetting", "CheckBoxViewDemo", K::Caption, 0},
        {"frmSetting", "CheckBoxViewHowToUseItunes", K::Caption, 0},
        {"frmSetting", "ButtonOK", K::Caption, 0},
        {"frmSetting", "ButtonCancel", K::Caption, 0},
        {"frmSetting", "labelExistingFiles", K::Caption, 0},
        {"frmSetting", "labelJobs", K::Caption, 0},
        {"frmSetting", "labelLanguage", K::Caption, 0},
        {"frmSetting", "textNewName", K::Text, 0},
        {"frmSetting", "textReplace", K::Text, 0},
        {"frmSetting", "textSkip", K::Text, 0},
        {"frmSetting", "textAutomatic", K::Text, 0},

        {"frmHelpDialog", "title", K::Caption, 0},
        {"frmHelpDialog", "labelWelcom", K::Caption, 2},
        {"frmHelpDialog", "labelIntroduction", K::Caption, 0},
        {"frmHelpDialog", "checkBoxDontDisplay", K::Caption, 0},
        {"frmHelpDialog", "ButtonYes", K::Caption, 0},
        {"frmHelpDialog", "ButtonNo", K::Caption, 0},

        // The folder chooser's texts: without them its captions could not
        // follow the interface language.
        {"frmDirectory", "Caption", K::Caption, 0},
        {"frmDirectory", "LabelDirectory", K::Caption, 0},
        {"frmDirectory", "ButtonOK", K::Caption, 0},
        {"frmDirectory", "ButtonCancel", K::Caption, 0},
    };
    return keys;
}

std::string TLanguageTexts::Caption(const std::string& window, const std::string& control) const {
    for (const auto& [name, controls] : Captions) {
        if (!SameName(name, window)) continue;
        for (const auto& [c, text] : controls)
            if (SameName(c, control)) return text;
    }
    return {};
}

TLanguageTexts LoadLanguage(const std::string& languageFile, const std::string& settingsFile,
                            const std::string& productTag) {
    TLanguageTexts t;
    const std::string version = TIniFile(settingsFile).ReadString("app", "version", "");
    const TIniFile lang(languageFile);
    for (const TLanguageKey& k : LanguageKeys()) {
        std::string text = lang.ReadString(k.Section, k.Key, "");
        if (k.TagPlaces > 0) {
            try {
                text = FormatTagText(text, std::vector<std::string>(size_t(k.TagPlaces), productTag));
            } catch (const EFormatError& e) {
                t.Error = e.what();
                break;
            }
        }
        switch (k.Kind) {
        case K::Title:
            t.ApplicationTitle = text + " " + version;
            t.Captions["frmMain"]["Caption"] = t.ApplicationTitle;
            break;
        case K::Caption:
            // The welcome prompt names its window title "title".
            t.Captions[k.Section][SameName(k.Key, "title") ? "Caption" : k.Key] = text;
            break;
        case K::Field:
            if (std::string* field = FieldOf(t, k.Key)) *field = text;
            break;
        case K::Text:
            t.Captions[k.Section][k.Key] = text;
            break;
        }
    }
    return t;
}

TLanguageTexts LoadLanguage(const TfrmCommon& common) {
    return LoadLanguage(common.strCommonLanguageFile, common.GetIniConfigFileName(), common.GetProductTag());
}

} // namespace app
