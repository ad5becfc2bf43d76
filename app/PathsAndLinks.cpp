#include "app/PathsAndLinks.h"

#include "app/IniFile.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace app {

namespace fs = std::filesystem;

namespace {

const char* const kProductSection = "product";
const char* const kConfigFileName = "config.ini";
const char* const kLogFileName = "log.txt";

// The support address by language set; the pages are the local help
// shipped in the program folder (help/en, help/zh), which work offline.
const char* const kEnglishSupportEmail = "support@zconv.example.org";
const char* const kChineseSupportEmail = "support-zh@zconv.example.org";

// A local path as a file:// address (the pages are opened with a #part).
std::string FileUrl(const std::string& path) {
    static const char* const hex = "0123456789ABCDEF";
    std::string url = "file://";
    for (const unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~", c)) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        }
    }
    return url;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string StripTrailingSlashes(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

std::string WithTrailingSlash(std::string p) {
    if (p.empty() || p.back() != '/') p += '/';
    return p;
}

std::string HomeFolder() {
    std::string home = Env("HOME");
    if (home.empty()) {
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) home = pw->pw_dir;
    }
    return StripTrailingSlashes(home);
}

std::string ProgramFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "./";
    return WithTrailingSlash(exe.parent_path().string());
}

// XDG_DOCUMENTS_DIR from user-dirs.dirs: "$HOME/..." or an absolute path.
std::string DocumentsFromUserDirs(const std::string& configHome, const std::string& home) {
    std::ifstream in(configHome + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        const size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos || line[b] == '#') continue;
        if (line.compare(b, 18, "XDG_DOCUMENTS_DIR=") != 0) continue;
        std::string v = line.substr(b + 18);
        while (!v.empty() && (v.back() == '\r' || v.back() == ' ' || v.back() == '\t')) v.pop_back();
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        if (v.compare(0, 5, "$HOME") == 0) v = home + v.substr(5);
        v = StripTrailingSlashes(v);
        // A documents entry equal to the home folder means "disabled".
        if (v.empty() || v[0] != '/' || v == home) return {};
        return v;
    }
    return {};
}

const char* FindXdgOpen() {
    static const std::string path = [] {
        std::string dirs = Env("PATH");
        if (dirs.empty()) dirs = "/usr/local/bin:/usr/bin:/bin";
        for (const std::string& dir : TfrmCommon::split(dirs, ":")) {
            const std::string candidate = dir + "/xdg-open";
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        return std::string();
    }();
    return path.empty() ? nullptr : path.c_str();
}

} // namespace

std::string ProductFolderName(const std::string& productTag) {
    return "Zconv" + productTag + "Converter";
}

void DesktopOpen(const std::string& target) {
    const char* exe = FindXdgOpen();
    if (!exe || target.empty()) return;
    // Everything the children need is prepared before fork: only
    // async-signal-safe calls run between fork and exec.
    std::string arg = target;
    char* argv[] = {const_cast<char*>(exe), arg.data(), nullptr};
    const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t child = ::fork();
    if (child == 0) {
        // The grandchild is re-parented to init, so nobody has to wait for it.
        if (::fork() == 0) {
            ::setsid();
            if (devnull >= 0) {
                ::dup2(devnull, 0);
                ::dup2(devnull, 1);
                ::dup2(devnull, 2);
            }
            ::execv(exe, argv);
        }
        ::_exit(0);
    }
    if (devnull >= 0) ::close(devnull);
    if (child > 0)
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
}

TfrmCommon::TfrmCommon() : TfrmCommon(TCommonFolders{}) {}

TfrmCommon::TfrmCommon(TCommonFolders folders) : FFolders(std::move(folders)) {
    const std::string home = HomeFolder();
    FFolders.AppPath = FFolders.AppPath.empty() ? ProgramFolder() : WithTrailingSlash(FFolders.AppPath);
    if (FFolders.AppDataPath.empty()) {
        const std::string xdg = Env("XDG_CONFIG_HOME");
        // Relative values are invalid by the XDG rules and are ignored.
        FFolders.AppDataPath = !xdg.empty() && xdg[0] == '/' ? xdg : home + "/.config";
    }
    FFolders.AppDataPath = StripTrailingSlashes(FFolders.AppDataPath);
    if (FFolders.DocumentsPath.empty()) {
        const std::string xdg = Env("XDG_DOCUMENTS_DIR");
        if (!xdg.empty() && xdg[0] == '/') FFolders.DocumentsPath = xdg;
        else FFolders.DocumentsPath = DocumentsFromUserDirs(FFolders.AppDataPath, home);
        if (FFolders.DocumentsPath.empty()) FFolders.DocumentsPath = home + "/Documents";
    }
    FFolders.DocumentsPath = StripTrailingSlashes(FFolders.DocumentsPath);
    if (!FFolders.Launcher) FFolders.Launcher = DesktopOpen;
    FormCreate();
}

void TfrmCommon::InitCommon() {
    strCommonAppPath = GetAppPath();
    // The settings and the log file can only be written into an existing folder.
    CreateFolder(GetConfigPath());
    strCommonSettingFile = GetConfigPath() + kConfigFileName;

    iLanguage = TIniFile(strCommonSettingFile).ReadInteger("common", "language", 2);

    bool chinese = false;
    if (iLanguage == 1) {
        strCommonLanguageFile = strCommonAppPath + "language/gb.ini";
        chinese = true;
    } else if (iLanguage == 3) {
        strCommonLanguageFile = strCommonAppPath + "language/jp.ini";
    } else {
        strCommonLanguageFile = strCommonAppPath + "language/en.ini";
    }
    // The guide's part for this edition (any unknown edition reads as 21).
    int edition = GetProductID();
    if (edition != 22 && edition != 9) edition = kEditionDefault;
    const std::string pages = FileUrl(strCommonAppPath + "help/" + (chinese ? "zh" : "en") + "/");
    strCommonHomepageUrl = pages + "index.html";
    strCommonHelpUrl = pages + "index.html#edition-" + std::to_string(edition);
    strCommonSupportEmail = chinese ? kChineseSupportEmail : kEnglishSupportEmail;
    strFeedbackUrl = pages + "feedback.html";
    strCommonHowToUseItunes = pages + "after-conversion.html";
}

std::string TfrmCommon::GetAppPath() const { return FFolders.AppPath; }
std::string TfrmCommon::GetAppDataPath() const { return FFolders.AppDataPath; }
std::string TfrmCommon::GetMyDocmentPath() const { return FFolders.DocumentsPath; }

std::string TfrmCommon::GetConfigPath() const {
    return GetAppDataPath() + "/" + ProductFolderName(GetProductTag()) + "/";
}

std::string TfrmCommon::GetIniProductFileName() const { return GetAppPath() + "product.ini"; }
std::string TfrmCommon::GetIniConfigFileName() const { return GetConfigPath() + kConfigFileName; }
std::string TfrmCommon::GetLogFileName() const { return GetConfigPath() + kLogFileName; }

std::string TfrmCommon::GetProductTag() const {
    return TIniFile(GetIniProductFileName()).ReadString(kProductSection, "productTag", "");
}

int TfrmCommon::GetProductID() const {
    return TIniFile(GetIniProductFileName()).ReadInteger(kProductSection, "productID", 0);
}

std::string TfrmCommon::GetDefaultOutputFolder() const {
    const std::string folder = TIniFile(GetIniConfigFileName()).ReadString("setting", "folder", "");
    if (!folder.empty()) return folder;
    return GetMyDocmentPath() + "/" + ProductFolderName(GetProductTag());
}

bool TfrmCommon::isDisplayHelpDialog() const {
    return TIniFile(GetIniConfigFileName()).ReadInteger("setting", "displayHelpDialog", 1) == 1;
}

bool TfrmCommon::isDisplayHowToUseItunes() const {
    return TIniFile(GetIniConfigFileName()).ReadInteger("setting", "displayHelpItunes", 1) == 1;
}

void TfrmCommon::SetDisplayHelpDialog(bool on) {
    TIniFile(GetIniConfigFileName()).WriteInteger("setting", "displayHelpDialog", on ? 1 : 0);
}

void TfrmCommon::SetDisplayHowToUseItunes(bool on) {
    TIniFile(GetIniConfigFileName()).WriteInteger("setting", "displayHelpItunes", on ? 1 : 0);
}

std::string TfrmCommon::GetVersion() const {
    return TIniFile(GetIniConfigFileName()).ReadString("app", "version", "");
}

void TfrmCommon::CreateFolder(const std::string& path) {
    std::string p = path;
    while (!p.empty() && p.back() == '/') p.pop_back();
    if (p.empty()) return;
    std::error_code ec;
    if (fs::is_directory(p, ec)) return;
    fs::create_directories(p, ec);
}

std::vector<std::string> TfrmCommon::split(const std::string& source, const std::string& delimiter) {
    std::vector<std::string> pieces;
    if (delimiter.empty()) {
        if (!source.empty()) pieces.push_back(source);
        return pieces;
    }
    size_t pos = 0;
    for (;;) {
        const size_t at = source.find(delimiter, pos);
        if (at == std::string::npos) break;
        if (at > pos) pieces.push_back(source.substr(pos, at - pos));
        pos = at + delimiter.size();
    }
    if (pos < source.size()) pieces.push_back(source.substr(pos));
    return pieces;
}

void TfrmCommon::visitHyperLink(const std::string& target) const {
    if (!target.empty()) FFolders.Launcher(target);
}

void TfrmCommon::shellForHomePageUrl() const { visitHyperLink(strCommonHomepageUrl); }

void TfrmCommon::shellForSupportEmail() const {
    if (strCommonSupportEmail.empty()) return;
    visitHyperLink(strCommonSupportEmail.compare(0, 7, "mailto:") == 0 ? strCommonSupportEmail
                                                                        : "mailto:" + strCommonSupportEmail);
}

void TfrmCommon::shellForFeedback() const { visitHyperLink(strFeedbackUrl); }
void TfrmCommon::shellForHelpUrl() const { visitHyperLink(strCommonHelpUrl); }
void TfrmCommon::shellForHowToUseItunes() const { visitHyperLink(strCommonHowToUseItunes); }

} // namespace app
