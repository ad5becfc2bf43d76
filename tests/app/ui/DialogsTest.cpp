#include "tests/app/ui/UiFixture.h"

#include "app/Language.h"

#include <gmock/gmock.h>

#include <QTimer>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using UiDialogs = zctest::TWindowTest;

// The caption a control shows, whatever its kind.
QString TextOf(QObject* o) {
    if (auto* b = qobject_cast<QAbstractButton*>(o)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(o)) return l->text();
    if (auto* g = qobject_cast<QGroupBox*>(o)) return g->title();
    if (auto* m = qobject_cast<QMenu*>(o)) return m->title();
    if (auto* a = qobject_cast<QAction*>(o)) return a->text();
    return "<no caption>";
}

TEST_F(UiDialogs, EveryCaptionComesFromEachLanguageFile) {
    for (const int language : {1, 2, 3}) {
        SCOPED_TRACE(language);
        CreateAndShow({{"setting", "displayHelpDialog", "0"}, {"common", "language", std::to_string(language)}});
        const app::TLanguageTexts texts = app::LoadLanguage(W->Common());
        ASSERT_TRUE(texts.Error.empty()) << texts.Error;
        const std::map<std::string, QWidget*> windows = {
            {"frmMain", W.get()},           {"frmSettingAdvance", W->frmSettingAdvance},
            {"frmBatchAdd", W->frmBatchAdd}, {"frmSetting", W->frmSetting},
            {"frmHelpDialog", W->frmHelpDialog}};
        const std::map<std::string, int> columns = {{"columns0", 0},   {"columns1", 1},        {"columns2", 2},
                                                    {"columnSize", 3}, {"columnFrameRate", 4}, {"columns3", 5}};
        int checked = 0;
        for (const app::TLanguageKey& key : app::LanguageKeys()) {
            if (key.Kind != app::TLanguageKeyKind::Caption) continue;
            const std::string name = key.Key;
            const bool title = name == "Caption" || name == "title";
            const std::string expected = texts.Caption(key.Section, title ? "Caption" : name);
            EXPECT_FALSE(expected.empty()) << key.Section << "." << key.Key;
            if (key.Section == std::string("frmDirectory")) {
                // Folders are chosen in the desktop's dialog, under this caption.
                if (!title) continue;
                W->FolderQuestions.clear();
                W->ButtonSelectOuputFolder->click();
                ASSERT_EQ(W->FolderQuestions.size(), 1u);
                EXPECT_EQ(W->FolderQuestions[0][0], expected);
                ++checked;
                continue;
            }
            QWidget* window = windows.at(key.Section);
            if (title) {
                EXPECT_EQ(window->windowTitle().toStdString(), expected) << key.Section;
            } else if (columns.count(name)) {
                EXPECT_EQ(W->ListViewFiles->horizontalHeaderItem(columns.at(name))->text().toStdString(), expected);
            } else if (name.rfind("N_Splitter", 0) == 0) {
                auto* a = window->findChild<QAction*>(QString::fromStdString(name));
                ASSERT_NE(a, nullptr) << name;
                EXPECT_TRUE(a->isSeparator()) << name;
                EXPECT_TRUE(a->text().isEmpty()) << name;  // some styles draw a separator's text
            } else {
                QObject* control = nullptr;
                for (QObject* o : window->findChildren<QObject*>())
                    if (o->objectName().compare(QString::fromStdString(name), Qt::CaseInsensitive) == 0) control = o;
                ASSERT_NE(control, nullptr) << key.Section << "." << name;
                EXPECT_EQ(TextOf(control).toStdString(), expected) << key.Section << "." << name;
            }
            ++checked;
        }
        EXPECT_GT(checked, 60);
        EXPECT_EQ(W->windowTitle().toStdString(), texts.ApplicationTitle);
        EXPECT_EQ(W->ButtonConverter->text().toStdString(), texts.strCommonButtonConverterStart);
        W.reset();
    }
}

TEST_F(UiDialogs, AdvancedSettingsReportTheFirstWrongBoxAndApplyOnlyWhenAllPass) {
    CreateAndShow();
    app::TVideoProfile& profile = W->VideoProfile();
    profile.SetVideoSizeDefault("-1");
    profile.SetVideoSizeAll("-1;320x240;;640x480");
    const app::TVideoProfile before = profile;

    W->ButtonSettingAdvance->click();
    auto* dialog = W->frmSettingAdvance;
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->isModal());
    EXPECT_EQ(dialog->comboBoxVideoSize->currentText().toStdString(), "auto");
    ASSERT_EQ(dialog->comboBoxVideoSize->count(), 3);
    EXPECT_EQ(dialog->comboBoxVideoSize->itemText(0).toStdString(), "auto");
    EXPECT_EQ(dialog->comboBoxVideoBitrate->currentText().toStdString(), profile.GetVideoBirateDefault());
    EXPECT_TRUE(dialog->comboBoxVideoBitrate->isEditable());

    // Two wrong boxes: only the first in checking order is reported.
    dialog->comboBoxVideoBitrate->setEditText("1.5M");
    dialog->comboBoxSampleRate->setEditText("44.1k");
    dialog->ButtonOK->click();
    ASSERT_EQ(W->Messages.size(), 1u);
    EXPECT_EQ(W->Messages[0], W->Texts().strLanguage_ErrorFormatVideoBirateDefault);
    EXPECT_EQ(dialog->focusWidget(), dialog->comboBoxVideoBitrate);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(profile == before);

    dialog->comboBoxVideoBitrate->setEditText("768K");
    dialog->ButtonOK->click();
    ASSERT_EQ(W->Messages.size(), 2u);
    EXPECT_EQ(W->Messages[1], W->Texts().strLanguage_ErrorFormatAudioSampleRateDefault);
    EXPECT_EQ(dialog->focusWidget(), dialog->comboBoxSampleRate);

    dialog->comboBoxSampleRate->setEditText("44100");
    dialog->comboBoxVideoSize->setEditText("AUTO");
    dialog->ButtonOK->click();
    ASSERT_EQ(W->Messages.size(), 3u);
    EXPECT_EQ(W->Messages[2], W->Texts().strLanguage_ErrorFormatVideoSizeDefault);

    dialog->comboBoxVideoSize->setEditText("320X240");
    dialog->comboBoxFrameRate->setEditText("25");
    dialog->comboBoxChannel->setEditText("stereo");
    dialog->ButtonOK->click();
    EXPECT_EQ(W->Messages.size(), 3u);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(profile.GetVideoBirateDefault(), "768K");
    EXPECT_EQ(profile.GetVideoSizeDefault(), "320X240");
    EXPECT_EQ(profile.GetAudioSampleRateDefault(), "44100");
    EXPECT_EQ(profile.GetAudioChannelDefault(), "1");

    // Cancel changes nothing.
    W->ButtonSettingAdvance->click();
    dialog->comboBoxFrameRate->setEditText("30");
    dialog->ButtonCancel->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(profile.GetVideoFrameRateDefault(), "25");
}

TEST_F(UiDialogs, AdvancedSettingsFollowTheDeviceAndAppliedValuesStayWithIt) {
    CreateAndShow();
    const auto& entries = W->Catalogue().arrayCommonProfiles;
    ASSERT_GE(entries.size(), 2u);
    auto pick = [&](int index) {
        W->ComboBoxOutputFormat->setCurrentIndex(index);
        emit W->ComboBoxOutputFormat->activated(index);
    };
    pick(0);
    const std::string secondSize = [&] {
        app::TVideoProfile p;
        p.LoadProfileFromFile(entries[1].strFileName);
        return p.GetVideoSizeDefault() == "-1" ? std::string("auto") : p.GetVideoSizeDefault();
    }();
    W->ButtonSettingAdvance->click();
    auto* dialog = W->frmSettingAdvance;
    dialog->comboBoxVideoSize->setEditText("640x360");
    // Another device while the dialog is open: it shows that device's values,
    // so OK cannot write the first device's values into the second.
    pick(1);
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->comboBoxVideoSize->currentText().toStdString(), secondSize);
    dialog->ButtonOK->click();
    EXPECT_EQ(W->VideoProfile().GetVideoSizeDefault(), secondSize == "auto" ? "-1" : secondSize);

    // Values applied to a device come back with it until the program ends.
    pick(0);
    W->ButtonSettingAdvance->click();
    dialog->comboBoxVideoSize->setEditText("640x360");
    dialog->ButtonOK->click();
    EXPECT_THAT(W->LabelAppliedValues->text().toStdString(), testing::StartsWith("In use (your values): 640x360"));
    ASSERT_GE(entries.size(), 3u);
    pick(2);  // nothing applied to this one: its own values, unmarked
    EXPECT_TRUE(W->LabelAppliedValues->isVisibleTo(W.get()));
    EXPECT_EQ(W->LabelAppliedValues->text().toStdString(), app::ProfileSummary(W->VideoProfile()));
    pick(0);
    EXPECT_EQ(W->VideoProfile().GetVideoSizeDefault(), "640x360");
    EXPECT_THAT(W->LabelAppliedValues->text().toStdString(), testing::HasSubstr("your values"));

    // And in the next session, for the device chosen last.
    W.reset();
    CreateAndShow();
    EXPECT_EQ(W->ComboBoxOutputFormat->currentIndex(), 0);
    EXPECT_EQ(W->VideoProfile().GetVideoSizeDefault(), "640x360");
    EXPECT_THAT(W->LabelAppliedValues->text().toStdString(), testing::HasSubstr("your values"));
}

TEST_F(UiDialogs, TheLanguageIsChosenInTheSettingsAndAppliesAtOnce) {
    CreateAndShow();
    const std::string english = W->windowTitle().toStdString();
    auto* box = W->frmSetting->ComboBoxLanguage;
    EXPECT_EQ(box->currentIndex(), 0);
    box->setCurrentIndex(2);
    emit box->activated(2);
    EXPECT_EQ(app::TIniFile(ConfigFile).ReadString("common", "language", ""), "3");
    EXPECT_EQ(W->Texts().ApplicationTitle, app::LoadLanguage(W->Common()).ApplicationTitle);
    EXPECT_NE(W->windowTitle().toStdString(), english);
    EXPECT_EQ(W->ButtonConverter->text().toStdString(), W->Texts().strCommonButtonConverterStart);
    // The toolkit's standard buttons follow.
    EXPECT_NE(QCoreApplication::translate("QPlatformTheme", "&Yes").toStdString(), "&Yes");
    // Devices are named in Chinese where their profile has such a name.
    const int active = W->ComboBoxOutputFormat->currentIndex();
    const auto& entry = W->Catalogue().arrayCommonProfiles[static_cast<std::size_t>(active)];
    EXPECT_EQ(W->ComboBoxOutputFormat->currentText().toStdString(), entry.strPfTitle_en);
    box->setCurrentIndex(1);
    emit box->activated(1);
    EXPECT_EQ(W->ComboBoxOutputFormat->currentIndex(), active);
    EXPECT_EQ(W->ComboBoxOutputFormat->currentText().toStdString(), entry.strPfTitle_gb);
    // The settings' own texts follow the language too.
    EXPECT_EQ(W->frmSetting->SpinBoxJobs->specialValueText().toStdString(), "\u81ea\u52a8");
    EXPECT_EQ(W->frmSetting->ComboBoxExistingFiles->itemText(1).toStdString(), "\u8986\u76d6");
    EXPECT_EQ(W->frmSetting->findChild<QLabel*>("labelLanguage")->text().toStdString(), "\u8bed\u8a00\uff1a");
    box->setCurrentIndex(0);
    emit box->activated(0);
    EXPECT_EQ(W->windowTitle().toStdString(), english);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes").toStdString(), "&Yes");
    EXPECT_EQ(W->ComboBoxOutputFormat->currentText().toStdString(), entry.strPfTitle_en);
    EXPECT_EQ(W->frmSetting->SpinBoxJobs->specialValueText().toStdString(), "automatic");
}

TEST_F(UiDialogs, FilesAtOnceIsAnOptionStoredAtOnce) {
    CreateAndShow();
    auto* box = W->frmSetting->SpinBoxJobs;
    EXPECT_EQ(box->value(), 0);
    EXPECT_EQ(box->text().toStdString(), "automatic");
    box->setValue(3);
    EXPECT_EQ(Setting("jobs"), "3");
    EXPECT_EQ(W->Core().StoredJobs(), 3);
    box->setValue(0);
    EXPECT_EQ(Setting("jobs"), "0");
}

TEST_F(UiDialogs, TheExistingFileRuleIsAnOptionStoredAtOnce) {
    CreateAndShow();
    auto* box = W->frmSetting->ComboBoxExistingFiles;
    EXPECT_EQ(box->currentIndex(), 0);  // a new name by default
    EXPECT_EQ(W->Run().ExistingFiles, app::TExistingFiles::NewName);
    box->setCurrentIndex(2);
    emit box->activated(2);
    EXPECT_EQ(Setting("existing"), "skip");
    EXPECT_EQ(W->Run().ExistingFiles, app::TExistingFiles::Skip);
    W.reset();
    Create();
    EXPECT_EQ(W->Run().ExistingFiles, app::TExistingFiles::Skip);
    EXPECT_EQ(W->frmSetting->ComboBoxExistingFiles->currentIndex(), 2);
}

TEST_F(UiDialogs, SettingsAreWrittenToConfigIniAtOnce) {
    CreateAndShow({{"setting", "displayHelpDialog", "0"}});
    // Set once at creation; a setting that is on was written back at that moment.
    EXPECT_EQ(Setting("displayHelpItunes"), "1");
    EXPECT_EQ(Setting("displayHelpDialog"), "0");
    EXPECT_FALSE(W->frmSetting->CheckBoxViewDemo->isChecked());
    EXPECT_TRUE(W->frmSetting->CheckBoxViewHowToUseItunes->isChecked());

    W->N_Setting->trigger();
    ASSERT_TRUE(W->frmSetting->isVisible());
    W->frmSetting->CheckBoxViewHowToUseItunes->click();
    EXPECT_EQ(Setting("displayHelpItunes"), "0");
    EXPECT_FALSE(W->Common().isDisplayHowToUseItunes());
    W->frmSetting->CheckBoxViewDemo->click();
    EXPECT_EQ(Setting("displayHelpDialog"), "1");
    // Cancel neither undoes nor repeats the writes.
    W->frmSetting->ButtonCancel->click();
    EXPECT_FALSE(W->frmSetting->isVisible());
    EXPECT_EQ(Setting("displayHelpItunes"), "0");
    EXPECT_EQ(Setting("displayHelpDialog"), "1");
}

TEST_F(UiDialogs, WelcomePromptAtFirstPaintAndItsDontShowBox) {
    CreateAndShow({});  // no settings: the prompt is on by default
    EXPECT_EQ(Setting("displayHelpDialog"), "1");  // written back by the settings dialog's creation
    ASSERT_TRUE(WaitFor([&] { return W->frmHelpDialog->isVisible(); }));
    EXPECT_FALSE(W->frmHelpDialog->isModal());
    EXPECT_EQ(W->frmHelpDialog->windowTitle().toStdString(), "Welcome");
    EXPECT_NE(W->frmHelpDialog->labelWelcom->text().toStdString().find("zconv Video Converter. zconv Video Converter"),
              std::string::npos);

    W->frmHelpDialog->checkBoxDontDisplay->click();
    EXPECT_EQ(Setting("displayHelpDialog"), "0");
    W->frmHelpDialog->checkBoxDontDisplay->click();
    EXPECT_EQ(Setting("displayHelpDialog"), "1");
    W->frmHelpDialog->checkBoxDontDisplay->click();

    W->frmHelpDialog->ButtonYes->click();
    EXPECT_FALSE(W->frmHelpDialog->isVisible());
    ASSERT_EQ(Opened.size(), 1u);
    EXPECT_EQ(Opened[0], W->Common().strCommonHelpUrl);
    // The settings dialog keeps what it read at creation.
    EXPECT_TRUE(W->frmSetting->CheckBoxViewDemo->isChecked());

    // Switched off: the next start shows no prompt.
    W.reset();
    Create({});
    W->show();
    Settle();
    EXPECT_FALSE(W->frmHelpDialog->isVisible());
}

TEST_F(UiDialogs, BatchAddScansTheChosenFolderForTheTrimmedExtension) {
    CreateAndShow();
    fs::create_directories(Dir.Path() / "clips" / "more.avi");
    const std::string a = Dir.Write("clips/a.avi", ""), b = Dir.Write("clips/B.AVI", "");
    Dir.Write("clips/c.mkv", "");
    const std::string inner = Dir.Write("clips/more.avi/d.avi", "");

    W->N_BatchAdd->trigger();
    auto* dialog = W->frmBatchAdd;
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->editExt->text().toStdString(), "*");
    EXPECT_FALSE(dialog->checkBoxIsSubDirectorie->isChecked());
    // The folder comes from the desktop's folder dialog (or is typed).
    W->FolderAnswer = QString::fromStdString(Dir.File("clips"));
    dialog->buttonBrowse->click();
    ASSERT_EQ(dialog->editFolder->text().toStdString(), Dir.File("clips"));
    // "*" takes the files the converter reads, not a text file beside them.
    Dir.Write("clips/notes.txt", "");
    dialog->buttonOK->click();
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{b, a, Dir.File("clips/c.mkv")}));
    W->ButtonClearAll->click();
    W->N_BatchAdd->trigger();
    dialog->editExt->setText("  avi ");
    dialog->buttonOK->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{b, a}));

    // The dialog remembers its state; sub-folders whose names match are entered.
    W->ButtonClearAll->click();
    W->N_BatchAdd->trigger();
    EXPECT_EQ(dialog->editExt->text().toStdString(), "  avi ");
    dialog->checkBoxIsSubDirectorie->setChecked(true);
    dialog->buttonOK->click();
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{b, a, inner}));
}

TEST_F(UiDialogs, FolderChooserSetsTheOutputFolderOnlyOnOk) {
    CreateAndShow();
    const std::string before = W->EditOutputFolder->text().toStdString();
    fs::create_directories(Dir.Path() / "target");
    // Cancelled: nothing changes; the dialog started at the folder in the box.
    W->ButtonSelectOuputFolder->click();
    ASSERT_EQ(W->FolderQuestions.size(), 1u);
    EXPECT_EQ(W->FolderQuestions[0][1], before);
    EXPECT_EQ(W->EditOutputFolder->text().toStdString(), before);
    W->FolderAnswer = QString::fromStdString(Dir.File("target"));
    W->ButtonSelectOuputFolder->click();
    EXPECT_EQ(W->EditOutputFolder->text().toStdString(), Dir.File("target"));

    // The folder and the device chosen are there again at the next start.
    W->ComboBoxOutputFormat->setCurrentIndex(0);
    emit W->ComboBoxOutputFormat->activated(0);
    const std::string device = W->VideoProfile().GetProfileName();
    W.reset();
    CreateAndShow();
    EXPECT_EQ(W->EditOutputFolder->text().toStdString(), Dir.File("target") + "/");
    EXPECT_EQ(W->ComboBoxOutputFormat->currentIndex(), 0);
    EXPECT_EQ(W->VideoProfile().GetProfileName(), device);
}

} // namespace
