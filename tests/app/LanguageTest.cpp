#include "app/IniFile.h"
#include "app/Language.h"
#include "app/PathsAndLinks.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

using app::EFormatError;
using app::FormatTagText;
using app::LoadLanguage;
using app::TIniFile;
using zctest::TTempDir;

namespace {

std::string BinDir() {
    const char* bin = std::getenv("ZC_TEST_BIN");
    return bin ? bin : "";
}

// A language file with every key set to "<section>.<key>", except the format texts.
std::string FullFile(const std::string& title = "Converter for %s") {
    std::string out;
    std::string section;
    for (const app::TLanguageKey& k : app::LanguageKeys()) {
        if (section != k.Section) out += std::string("[") + (section = k.Section) + "]\n";
        std::string value = std::string(k.Section) + "." + k.Key;
        if (std::string(k.Key) == "Title") value = title;
        if (std::string(k.Key) == "labelOutputFolderNotice") value = "Saved in Documents/%s, 100%%";
        if (std::string(k.Key) == "labelWelcom") value = "Welcome to %s. %s converts video.";
        out += std::string(k.Key) + "=" + value + "\n";
    }
    return out;
}

} // namespace

TEST(LanguageTest, TitleAndFormatTextsReceiveTheProductTag) {
    TTempDir dir;
    const std::string lang = dir.Write("en.ini", FullFile());
    const std::string settings = dir.Write("config.ini", "[app]\nversion=2.1\n");
    auto t = LoadLanguage(lang, settings, "X7");
    EXPECT_EQ(t.Error, "");
    EXPECT_EQ(t.ApplicationTitle, "Converter for X7 2.1");
    EXPECT_EQ(t.Caption("frmMain", "Caption"), "Converter for X7 2.1");
    EXPECT_EQ(t.Caption("frmMain", "labelOutputFolderNotice"), "Saved in Documents/X7, 100%");
    EXPECT_EQ(t.Caption("frmHelpDialog", "labelWelcom"), "Welcome to X7. X7 converts video.");
    // Other texts are used unchanged, %s or not.
    EXPECT_EQ(t.Caption("FRMMAIN", "n_add"), "frmMain.N_Add");
    EXPECT_EQ(t.Caption("frmHelpDialog", "Caption"), "frmHelpDialog.title");
    EXPECT_EQ(t.Caption("frmSettingAdvance", "Caption"), "frmSettingAdvance.Caption");
    EXPECT_EQ(t.strLanguage_MsgDontLoadAVLib, "frmMain.strLanguage_MsgDontLoadAVLib");
    EXPECT_EQ(t.strLanguage_ErrorFormatAudioSampleRateDefault, "frmMain.strLanguage_ErrorFormatAudioSampleRateDefault");
    EXPECT_EQ(t.strCommonButtonConverterStop, "frmMain.strCommonButtonConverterStop");
    EXPECT_EQ(t.strLanguage_MsgProcessFinished, "frmMain.strLanguage_MsgProcessFinished");
    EXPECT_EQ(t.Caption("frmMain", "strLanguage_MsgProcessFinished"), "") << "fields are not captions";

    // Without a version the title ends in a space.
    EXPECT_EQ(LoadLanguage(lang, dir.File("none.ini"), "X7").ApplicationTitle, "Converter for X7 ");
}

TEST(LanguageTest, MissingFileOrKeysGiveEmptyTexts) {
    TTempDir dir;
    const std::string settings = dir.Write("config.ini", "[app]\nversion=2.1\n");
    auto none = LoadLanguage(dir.File("missing.ini"), settings, "X7");
    EXPECT_EQ(none.Error, "");
    EXPECT_EQ(none.ApplicationTitle, " 2.1");
    EXPECT_EQ(none.Caption("frmMain", "ButtonAdd"), "");
    EXPECT_EQ(none.Caption("frmMain", "labelOutputFolderNotice"), "");
    EXPECT_EQ(none.strCommonButtonConverterStart, "");

    std::string partial = FullFile();
    for (const char* drop : {"N_Splitter1=frmMain.N_Splitter1\n", "columns3=frmMain.columns3\n"})
        partial.erase(partial.find(drop), std::string(drop).size());
    auto t = LoadLanguage(dir.Write("partial.ini", partial), settings, "X7");
    EXPECT_EQ(t.Caption("frmMain", "N_Splitter1"), "");
    EXPECT_EQ(t.Caption("frmMain", "columns3"), "");
    EXPECT_EQ(t.Caption("frmMain", "columns2"), "frmMain.columns2");
    EXPECT_EQ(t.Caption("frmMain", "N_Splitter2"), "frmMain.N_Splitter2");
}

TEST(LanguageTest, FormatErrorStopsLoadingAtThatKey) {
    TTempDir dir;
    std::string text = FullFile();
    const std::string notice = "Saved in Documents/%s, 100%%";
    text.replace(text.find(notice), notice.size(), "%s and %s");
    auto t = LoadLanguage(dir.Write("bad.ini", text), dir.File("none.ini"), "X7");
    EXPECT_NE(t.Error.find("%s and %s"), std::string::npos) << t.Error;
    EXPECT_EQ(t.Caption("frmMain", "ButtonSelectOuputFolder"), "frmMain.ButtonSelectOuputFolder");
    EXPECT_EQ(t.Caption("frmMain", "labelOutputFolderNotice"), "");
    EXPECT_EQ(t.strCommonButtonConverterStart, "");
    EXPECT_EQ(t.Caption("frmSetting", "Caption"), "");

    auto badTitle = LoadLanguage(dir.Write("title.ini", FullFile("%s %s")), dir.File("none.ini"), "X7");
    EXPECT_FALSE(badTitle.Error.empty());
    EXPECT_EQ(badTitle.Caption("frmMain", "N_Add"), "");
}

TEST(LanguageTest, FormatTagText) {
    EXPECT_EQ(FormatTagText("%s/%s", {"a", "b"}), "a/b");
    EXPECT_EQ(FormatTagText("50%% of %s", {"X7"}), "50% of X7");
    EXPECT_EQ(FormatTagText("no places", {"X7"}), "no places");
    EXPECT_EQ(FormatTagText("[%4s][%-4s][%.1s]", {"ab", "cd", "ef"}), "[  ab][cd  ][e]");
    EXPECT_EQ(FormatTagText("%1:s %0:s %s", {"a", "b"}), "b a b");
    EXPECT_EQ(FormatTagText("%.1s", {"変換"}), "変");
    for (const char* bad : {"%s %s", "%d", "100%", "%-", "%.s", "%2:s", "%x"})
        EXPECT_THROW(FormatTagText(bad, {"X7"}), EFormatError) << bad;
}

TEST(LanguageTest, LoadsTheFileTheSettingsChoose) {
    TTempDir dir;
    std::filesystem::create_directories(dir.File("app/language"));
    std::filesystem::create_directories(dir.File("data/ZconvX7Converter"));
    dir.Write("app/product.ini", "[product]\nproductTag=X7\n");
    dir.Write("app/language/gb.ini", "[App]\nTitle=转换器 %s\n[frmMain]\nButtonAdd=添加\n");
    dir.Write("data/ZconvX7Converter/config.ini", "[common]\nlanguage=1\n[app]\nversion=3.0\n");
    app::TfrmCommon common({dir.File("app"), dir.File("data"), dir.File("docs"), [](const std::string&) {}});
    auto t = LoadLanguage(common);
    EXPECT_EQ(t.ApplicationTitle, "转换器 X7 3.0");
    EXPECT_EQ(t.Caption("frmMain", "ButtonAdd"), "添加");
}

// The shipped files, as staged beside the programs.
TEST(LanguageTest, ShippedFilesHoldEveryKeyAndFormatCleanly) {
    ASSERT_FALSE(BinDir().empty());
    std::map<std::string, std::set<std::string>> expected;
    for (const app::TLanguageKey& k : app::LanguageKeys()) expected[k.Section].insert(k.Key);

    for (const char* name : {"en.ini", "gb.ini", "jp.ini"}) {
        SCOPED_TRACE(name);
        const std::string path = BinDir() + "/language/" + name;
        ASSERT_TRUE(std::filesystem::exists(path));
        TIniFile ini(path);
        const auto sections = ini.ReadSections();
        EXPECT_EQ(std::set<std::string>(sections.begin(), sections.end()).size(), sections.size());
        EXPECT_EQ(sections.size(), expected.size());
        for (const auto& [section, keys] : expected) {
            const auto found = ini.ReadSectionKeys(section);
            EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), keys) << section;
            EXPECT_EQ(found.size(), keys.size()) << section << ": duplicate keys";
            for (const std::string& key : keys) EXPECT_NE(ini.ReadString(section, key, ""), "") << key;
        }
        EXPECT_EQ(ini.ReadString("frmMain", "N_Splitter1", ""), "-");
        EXPECT_EQ(ini.ReadString("frmMain", "N_Splitter2", ""), "-");

        auto t = LoadLanguage(path, "", "TAG");
        EXPECT_EQ(t.Error, "");
        EXPECT_NE(t.ApplicationTitle.find("TAG"), std::string::npos);
        EXPECT_NE(t.Caption("frmMain", "labelOutputFolderNotice").find("TAG"), std::string::npos);
        const std::string welcome = t.Caption("frmHelpDialog", "labelWelcom");
        EXPECT_NE(welcome.find("TAG"), welcome.rfind("TAG")) << "the tag appears twice";
    }

    TIniFile product(BinDir() + "/product.ini");
    EXPECT_TRUE(product.ValueExists("product", "productTag"));
    const int id = product.ReadInteger("product", "productID", 0);
    EXPECT_TRUE(id == 21 || id == 22 || id == 9) << id;
}
