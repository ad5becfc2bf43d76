// The main window's dialogs: advanced settings, batch add, settings and the
// welcome prompt (folders are chosen with the desktop's own dialog). Each is
// created once and then only shown and hidden, so its controls keep their
// state between showings.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include <functional>

namespace app {
class TfrmCommon;
class TConverterCore;
struct TLanguageTexts;
}

namespace ui {

class TfrmMain;

class TfrmSettingAdvance : public QDialog {
public:
    explicit TfrmSettingAdvance(TfrmMain& main);
    // Fills the boxes from the active profile and shows the dialog (not modal).
    void Open();
    void ButtonOKClick();

    QGroupBox *GroupBoxSettingsVideo, *GroupBoxSettingsAudio;
    QComboBox *comboBoxVideoBitrate, *comboBoxFrameRate, *comboBoxVideoSize;
    QComboBox *comboBoxAudioBitrate, *comboBoxSampleRate, *comboBoxChannel;
    QPushButton *ButtonOK, *ButtonCancel;

private:
    TfrmMain& FMain;
};

class TFrmBatchAdd : public QDialog {
public:
    explicit TFrmBatchAdd(TfrmMain& main);
    void buttonOKClick();

    QLineEdit* editFolder;      // the folder to scan
    QPushButton* buttonBrowse;  // the desktop's folder dialog
    QCheckBox* checkBoxIsSubDirectorie;
    QLineEdit* editExt;
    QPushButton *buttonOK, *buttonCancel;

private:
    TfrmMain& FMain;
};

class TfrmSetting : public QDialog {
public:
    // Sets both boxes from the settings once (FormCreate); each box that is
    // checked writes its setting back at once.
    // The existing-file rule is stored as it is chosen, too.
    TfrmSetting(QWidget* parent, app::TConverterCore& core);

    QCheckBox *CheckBoxViewDemo, *CheckBoxViewHowToUseItunes;
    QComboBox* ComboBoxExistingFiles;
    QSpinBox* SpinBoxJobs;  // files converted at once; 0 shows "automatic"
    QComboBox* ComboBoxLanguage;  // stored as "language" in section "common"
    // The texts that are not control captions: the existing-file choices, "automatic".
    void ApplyTexts(const app::TLanguageTexts& texts);
    // Called after another language was chosen and stored.
    std::function<void()> OnLanguageChanged;
    QPushButton *ButtonOK, *ButtonCancel;
};

class TfrmHelpDialog : public QDialog {
public:
    TfrmHelpDialog(QWidget* parent, app::TfrmCommon& common);

    QLabel *labelWelcom, *labelIntroduction;
    QCheckBox* checkBoxDontDisplay;
    QPushButton *ButtonYes, *ButtonNo;
};

} // namespace ui
