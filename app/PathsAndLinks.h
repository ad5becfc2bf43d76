// The application's common services: where the program's files live, the
// product and settings files, the interface language, the help links, and
// small helpers (folder creation, splitting, opening links).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace app {

// Opens a folder, file, web or mail address with the desktop's default
// handler. Must not block and must not report failures.
using THyperLinkLauncher = std::function<void(const std::string& target)>;

// Spawns `xdg-open target` detached (not waited for, no zombie left); output
// goes to /dev/null and every failure stays silent.
void DesktopOpen(const std::string& target);

// Folders the services start from. An empty field is worked out from the
// system: the program folder from /proc/self/exe, application data from
// $XDG_CONFIG_HOME (default ~/.config), documents from $XDG_DOCUMENTS_DIR,
// then user-dirs.dirs, then ~/Documents. Tests fill them to stay out of the
// real home.
struct TCommonFolders {
    std::string AppPath;
    std::string AppDataPath;
    std::string DocumentsPath;
    THyperLinkLauncher Launcher; // empty: DesktopOpen
};

// Edition numbers of the product file; anything else counts as kEditionDefault.
inline constexpr int kEditionDefault = 21;

class TfrmCommon {
public:
    // Runs InitCommon.
    TfrmCommon();
    explicit TfrmCommon(TCommonFolders folders);

    // Set by InitCommon.
    std::string strCommonAppPath;      // ends in "/"
    std::string strCommonSettingFile;  // <config folder>/config.ini
    std::string strCommonLanguageFile; // <program folder>/language/{gb,en,jp}.ini
    int iLanguage = 2;                 // 1 Chinese, 3 Japanese, anything else English
    std::string strCommonHomepageUrl;
    std::string strCommonSupportEmail; // plain address; opened as a mailto: link
    std::string strFeedbackUrl;
    std::string strCommonHelpUrl;
    std::string strCommonHowToUseItunes;

    void FormCreate() { InitCommon(); }

    std::string GetAppPath() const;         // ends in "/"
    std::string GetAppDataPath() const;     // no trailing "/"
    std::string GetMyDocmentPath() const;   // no trailing "/"
    std::string GetConfigPath() const;      // <app data>/Zconv<tag>Converter/
    std::string GetIniProductFileName() const;
    std::string GetIniConfigFileName() const;
    std::string GetLogFileName() const;
    std::string GetProductTag() const;      // read from the product file at each call
    int GetProductID() const;               // read from the product file at each call
    // The `folder` setting; when empty, <documents>/Zconv<tag>Converter (no trailing "/").
    std::string GetDefaultOutputFolder() const;
    bool isDisplayHelpDialog() const;       // displayHelpDialog = 1
    bool isDisplayHowToUseItunes() const;   // displayHelpItunes = 1
    // Stores 1 or 0 at once. Throws EIniFileError when the file cannot be written.
    void SetDisplayHelpDialog(bool on);
    void SetDisplayHowToUseItunes(bool on);
    // `version` in section `app` of the settings file (empty when missing).
    std::string GetVersion() const;

    // Trailing "/" removed, then the folder and its missing parents created;
    // failures are silent.
    static void CreateFolder(const std::string& path);
    // The non-empty pieces between delimiters, in order ("a;;b;" -> a, b).
    static std::vector<std::string> split(const std::string& source, const std::string& delimiter);

    void visitHyperLink(const std::string& target) const;
    void shellForHomePageUrl() const;
    void shellForSupportEmail() const;
    void shellForFeedback() const;
    void shellForHelpUrl() const;
    void shellForHowToUseItunes() const;

private:
    void InitCommon();

    TCommonFolders FFolders;
};

// Name of the configuration and default output folders for a product tag.
std::string ProductFolderName(const std::string& productTag);

} // namespace app
