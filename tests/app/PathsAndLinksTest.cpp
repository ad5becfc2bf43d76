#include "app/IniFile.h"
#include "app/PathsAndLinks.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <unistd.h>

using app::TCommonFolders;
using app::TfrmCommon;
using app::TIniFile;
using zctest::TTempDir;

namespace {

// Sets an environment variable for one scope and restores the old value.
class TEnvGuard {
public:
    TEnvGuard(const char* name, const char* value) : FName(name) {
        if (const char* old = std::getenv(name)) FOld = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~TEnvGuard() {
        if (FOld) ::setenv(FName, FOld->c_str(), 1);
        else ::unsetenv(FName);
    }

private:
    const char* FName;
    std::optional<std::string> FOld;
};

class PathsAndLinksTest : public testing::Test {
protected:
    TTempDir Dir;
    std::vector<std::string> Opened;

    std::string AppDir() const { return Dir.File("app"); }
    std::string DataDir() const { return Dir.File("data"); }
    std::string DocsDir() const { return Dir.File("docs"); }

    void SetUp() override {
        std::filesystem::create_directories(AppDir());
        std::filesystem::create_directories(DataDir());
    }
    void Product(const std::string& content) { Dir.Write("app/product.ini", content); }
    TfrmCommon Make() {
        return TfrmCommon(TCommonFolders{AppDir(), DataDir(), DocsDir(),
                                         [this](const std::string& t) { Opened.push_back(t); }});
    }
    std::string Config(const std::string& tag) const { return DataDir() + "/Zconv" + tag + "Converter/"; }
};

} // namespace

TEST_F(PathsAndLinksTest, PathsFollowTheProductTag) {
    Product("[product]\nproductTag=X7\nproductID=22\n");
    TfrmCommon common = Make();
    EXPECT_EQ(common.strCommonAppPath, AppDir() + "/");
    EXPECT_EQ(common.GetIniProductFileName(), AppDir() + "/product.ini");
    EXPECT_EQ(common.GetConfigPath(), Config("X7"));
    EXPECT_EQ(common.strCommonSettingFile, Config("X7") + "config.ini");
    EXPECT_EQ(common.GetIniConfigFileName(), common.strCommonSettingFile);
    EXPECT_EQ(common.GetLogFileName(), Config("X7") + "log.txt");
    EXPECT_EQ(common.GetDefaultOutputFolder(), DocsDir() + "/ZconvX7Converter");
    EXPECT_TRUE(std::filesystem::is_directory(Config("X7"))) << "the configuration folder is made at start-up";
    EXPECT_EQ(common.GetProductID(), 22);
    EXPECT_NE(common.strCommonHelpUrl.find("22"), std::string::npos);

    // Read at each call.
    Product("[product]\nproductTag=Y\n");
    EXPECT_EQ(common.GetProductTag(), "Y");
    EXPECT_EQ(common.GetProductID(), 0);
}

TEST_F(PathsAndLinksTest, MissingProductFileGivesEmptyTagAndDefaultEdition) {
    TfrmCommon common = Make();
    EXPECT_EQ(common.GetProductTag(), "");
    EXPECT_EQ(common.GetConfigPath(), Config(""));
    EXPECT_EQ(common.GetDefaultOutputFolder(), DocsDir() + "/ZconvConverter");

    Product("[product]\nproductID=21\n");
    const std::string edition21 = Make().strCommonHelpUrl;
    EXPECT_EQ(common.strCommonHelpUrl, edition21);
    for (const char* other : {"5", "abc"}) {
        Product(std::string("[product]\nproductID=") + other + "\n");
        EXPECT_EQ(Make().strCommonHelpUrl, edition21) << other;
    }
    Product("[product]\nproductID=9\n");
    EXPECT_NE(Make().strCommonHelpUrl, edition21);
}

TEST_F(PathsAndLinksTest, LanguageSettingChoosesFileAndLinks) {
    std::filesystem::create_directories(Config(""));
    const std::string settings = Config("") + "config.ini";
    const TfrmCommon english = Make();
    EXPECT_EQ(english.iLanguage, 2);
    EXPECT_EQ(english.strCommonLanguageFile, AppDir() + "/language/en.ini");

    struct TCase {
        const char* Value;
        const char* File;
    };
    for (const TCase& c : {TCase{"1", "gb.ini"}, TCase{"3", "jp.ini"}, TCase{"2", "en.ini"}, TCase{"0", "en.ini"},
                           TCase{"7", "en.ini"}, TCase{"x", "en.ini"}}) {
        Dir.Write("data/ZconvConverter/config.ini", std::string("[Common]\nLanguage=") + c.Value + "\n");
        const TfrmCommon common = Make();
        EXPECT_EQ(common.strCommonLanguageFile, AppDir() + "/language/" + c.File) << c.Value;
        // Chinese has its own links; every other choice has the English set.
        const bool chinese = std::string(c.File) == "gb.ini";
        EXPECT_EQ(common.strCommonHomepageUrl != english.strCommonHomepageUrl, chinese) << c.Value;
        EXPECT_EQ(common.strCommonHowToUseItunes != english.strCommonHowToUseItunes, chinese) << c.Value;
        EXPECT_FALSE(common.strCommonSupportEmail.empty());
        EXPECT_FALSE(common.strFeedbackUrl.empty());
    }
}

TEST_F(PathsAndLinksTest, SettingsDefaultsAndWrites) {
    TfrmCommon common = Make();
    EXPECT_TRUE(common.isDisplayHelpDialog());
    EXPECT_TRUE(common.isDisplayHowToUseItunes());
    EXPECT_EQ(common.GetVersion(), "");

    common.SetDisplayHelpDialog(false);
    common.SetDisplayHowToUseItunes(true);
    EXPECT_FALSE(common.isDisplayHelpDialog());
    EXPECT_TRUE(common.isDisplayHowToUseItunes());
    EXPECT_EQ(TIniFile(common.strCommonSettingFile).ReadString("setting", "displayHelpDialog", ""), "0");

    // Only 1 counts as on.
    Dir.Write("data/ZconvConverter/config.ini",
              "[app]\nversion=2.1\n[setting]\ndisplayHelpItunes=2\ndisplayHelpDialog=0x1\nfolder=/srv/out\n");
    EXPECT_FALSE(common.isDisplayHowToUseItunes());
    EXPECT_TRUE(common.isDisplayHelpDialog());
    EXPECT_EQ(common.GetVersion(), "2.1");
    EXPECT_EQ(common.GetDefaultOutputFolder(), "/srv/out");

    std::filesystem::remove_all(Config(""));
    EXPECT_THROW(common.SetDisplayHelpDialog(true), app::EIniFileError);
    EXPECT_TRUE(common.isDisplayHelpDialog()) << "defaults again once the file is gone";
}

TEST_F(PathsAndLinksTest, FoldersFromTheEnvironment) {
    const std::string home = Dir.File("home");
    std::filesystem::create_directories(home + "/.config");
    TEnvGuard h("HOME", home.c_str());
    TEnvGuard c("XDG_CONFIG_HOME", nullptr);
    TEnvGuard d("XDG_DOCUMENTS_DIR", nullptr);

    {
        TfrmCommon common;
        EXPECT_EQ(common.GetAppDataPath(), home + "/.config");
        EXPECT_EQ(common.GetMyDocmentPath(), home + "/Documents");
        const std::string exeDir = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
        EXPECT_EQ(common.GetAppPath(), exeDir + "/");
    }

    Dir.Write("home/.config/user-dirs.dirs", "# written by xdg-user-dirs-update\n"
                                             "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                             "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    EXPECT_EQ(TfrmCommon().GetMyDocmentPath(), home + "/Dokumente");
    Dir.Write("home/.config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/\"\n");
    EXPECT_EQ(TfrmCommon().GetMyDocmentPath(), home + "/Documents") << "an entry naming home is disabled";

    const std::string xdg = Dir.File("xdgconfig");
    TEnvGuard c2("XDG_CONFIG_HOME", xdg.c_str());
    TEnvGuard d2("XDG_DOCUMENTS_DIR", Dir.File("mydocs/").c_str());
    TfrmCommon common;
    EXPECT_EQ(common.GetAppDataPath(), xdg);
    EXPECT_EQ(common.GetMyDocmentPath(), Dir.File("mydocs"));
    EXPECT_EQ(common.GetConfigPath().rfind(xdg + "/Zconv", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(common.GetConfigPath()));
}

TEST(CommonHelpersTest, CreateFolder) {
    TTempDir dir;
    TfrmCommon::CreateFolder(dir.File("Out/sub//"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("Out/sub")));
    TfrmCommon::CreateFolder(dir.File("Out"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("Out/sub")));
    // Under a plain file nothing can be made, and nothing is said.
    dir.Write("file", "x");
    EXPECT_NO_THROW(TfrmCommon::CreateFolder(dir.File("file/sub/")));
    EXPECT_NO_THROW(TfrmCommon::CreateFolder(""));
}

TEST(CommonHelpersTest, Split) {
    using V = std::vector<std::string>;
    EXPECT_EQ(TfrmCommon::split("a;;b;", ";"), (V{"a", "b"}));
    EXPECT_EQ(TfrmCommon::split("01:02:03", ":"), (V{"01", "02", "03"}));
    EXPECT_EQ(TfrmCommon::split("::5", ":"), (V{"5"}));
    EXPECT_EQ(TfrmCommon::split("", ":"), V{});
    EXPECT_EQ(TfrmCommon::split("a--b----c", "--"), (V{"a", "b", "c"}));
    EXPECT_EQ(TfrmCommon::split("abc", ""), V{"abc"});
}

TEST_F(PathsAndLinksTest, LinksGoThroughTheLauncher) {
    TfrmCommon common = Make();
    common.visitHyperLink("/tmp/out/");
    common.visitHyperLink("");
    common.shellForHomePageUrl();
    common.shellForSupportEmail();
    common.shellForFeedback();
    common.shellForHelpUrl();
    common.shellForHowToUseItunes();
    ASSERT_EQ(Opened.size(), 6u);
    EXPECT_EQ(Opened[0], "/tmp/out/");
    EXPECT_EQ(Opened[1], common.strCommonHomepageUrl);
    EXPECT_EQ(Opened[2], "mailto:" + common.strCommonSupportEmail);
    EXPECT_EQ(Opened[3], common.strFeedbackUrl);
    EXPECT_EQ(Opened[4], common.strCommonHelpUrl);
    EXPECT_EQ(Opened[5], common.strCommonHowToUseItunes);
}
