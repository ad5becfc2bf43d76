#include "app/ui/Dialogs.h"

#include "app/AdvancedSettings.h"
#include "app/IniFile.h"
#include "app/ConverterCore.h"
#include "app/PathsAndLinks.h"
#include "app/ui/MainWindow.h"

#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include <exception>

namespace ui {

namespace {

template <class W>
W* Named(QWidget* parent, const char* name) {
    W* w = new W(parent);
    w->setObjectName(name);
    return w;
}

QLabel* Label(QWidget* parent, const char* name) { return Named<QLabel>(parent, name); }

QHBoxLayout* ButtonRow(QPushButton* ok, QPushButton* cancel) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(ok);
    row->addWidget(cancel);
    return row;
}

// A settings write that fails (folder gone, read-only file) leaves the
// setting as it was; the dialog has nothing better to offer.
template <class F>
void WriteSetting(F write) {
    try {
        write();
    } catch (const std::exception& e) {
        qWarning("%s", e.what());
    }
}

Qt::WindowFlags DialogFlags() {
    return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
}

} // namespace

// ---- Advanced settings ----

TfrmSettingAdvance::TfrmSettingAdvance(TfrmMain& main) : QDialog(&main, DialogFlags()), FMain(main) {
    setObjectName("frmSettingAdvance");
    auto combo = [this](const char* name) {
        auto* c = Named<QComboBox>(this, name);
        c->setEditable(true);
        c->setInsertPolicy(QComboBox::NoInsert);
        c->setMinimumWidth(120);
        return c;
    };
    GroupBoxSettingsVideo = Named<QGroupBox>(this, "GroupBoxSettingsVideo");
    auto* video = new QFormLayout(GroupBoxSettingsVideo);
    video->addRow(Label(GroupBoxSettingsVideo, "labelVideoBitrate"),
                  comboBoxVideoBitrate = combo("comboBoxVideoBitrate"));
    video->addRow(Label(GroupBoxSettingsVideo, "labelFrameRate"), comboBoxFrameRate = combo("comboBoxFrameRate"));
    video->addRow(Label(GroupBoxSettingsVideo, "labelVideoSize"), comboBoxVideoSize = combo("comboBoxVideoSize"));
    GroupBoxSettingsAudio = Named<QGroupBox>(this, "GroupBoxSettingsAudio");
    auto* audio = new QFormLayout(GroupBoxSettingsAudio);
    audio->addRow(Label(GroupBoxSettingsAudio, "labelAudioBitrate"),
                  comboBoxAudioBitrate = combo("comboBoxAudioBitrate"));
    audio->addRow(Label(GroupBoxSettingsAudio, "labelSampleRate"), comboBoxSampleRate = combo("comboBoxSampleRate"));
    audio->addRow(Label(GroupBoxSettingsAudio, "labelChannel"), comboBoxChannel = combo("comboBoxChannel"));
    ButtonOK = Named<QPushButton>(this, "ButtonOK");
    ButtonCancel = Named<QPushButton>(this, "ButtonCancel");
    ButtonOK->setDefault(true);

    auto* groups = new QHBoxLayout;
    groups->addWidget(GroupBoxSettingsVideo);
    groups->addWidget(GroupBoxSettingsAudio);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(groups);
    layout->addLayout(ButtonRow(ButtonOK, ButtonCancel));

    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    connect(ButtonCancel, &QPushButton::clicked, this, [this] { hide(); });
}

void TfrmSettingAdvance::Open() {
    const app::TAdvancedForm form = app::FillAdvancedSettings(FMain.VideoProfile());
    auto fill = [](QComboBox* box, const std::vector<std::string>& choices, const std::string& text) {
        box->clear();
        for (const std::string& c : choices) box->addItem(QString::fromStdString(c));
        box->setEditText(QString::fromStdString(text));
    };
    fill(comboBoxVideoBitrate, form.VideoBitrates, form.Texts.VideoBitrate);
    fill(comboBoxFrameRate, form.FrameRates, form.Texts.FrameRate);
    fill(comboBoxVideoSize, form.VideoSizes, form.Texts.VideoSize);
    fill(comboBoxAudioBitrate, form.AudioBitrates, form.Texts.AudioBitrate);
    fill(comboBoxSampleRate, form.SampleRates, form.Texts.SampleRate);
    fill(comboBoxChannel, form.Channels, form.Texts.Channel);
    show();
    raise();
}

void TfrmSettingAdvance::ButtonOKClick() {
    auto text = [](QComboBox* box) { return box->currentText().toStdString(); };
    const app::TAdvancedTexts texts{text(comboBoxVideoBitrate), text(comboBoxFrameRate),  text(comboBoxVideoSize),
                                    text(comboBoxAudioBitrate), text(comboBoxSampleRate), text(comboBoxChannel)};
    const app::TLanguageTexts& t = FMain.Texts();
    const app::TAdvancedMessages messages{t.strLanguage_ErrorFormatVideoBirateDefault,
                                          t.strLanguage_ErrorFormatVideoFrameRateDefault,
                                          t.strLanguage_ErrorFormatVideoSizeDefault,
                                          t.strLanguage_ErrorFormatAudioBitrateDefault,
                                          t.strLanguage_ErrorFormatAudioSampleRateDefault};
    const app::TAdvancedCheck check = FMain.Core().ApplyAdvanced(texts, messages);
    if (!check.Passed) {
        QComboBox* const boxes[] = {comboBoxVideoBitrate, comboBoxFrameRate,  comboBoxVideoSize,
                                    comboBoxAudioBitrate, comboBoxSampleRate, comboBoxChannel};
        boxes[static_cast<int>(check.Box)]->setFocus();
        FMain.ShowMessageBox(QString::fromStdString(check.Message));
        return;
    }
    FMain.ShowDeviceValues();
    hide();
}

// ---- Batch add ----

TFrmBatchAdd::TFrmBatchAdd(TfrmMain& main) : QDialog(&main, DialogFlags()), FMain(main) {
    setObjectName("frmBatchAdd");
    // The folder is typed or chosen with the desktop's own folder dialog.
    editFolder = Named<QLineEdit>(this, "editFolder");
    editFolder->setMinimumWidth(320);
    buttonBrowse = Named<QPushButton>(this, "buttonBrowse");
    buttonBrowse->setText(QString::fromUtf8("\u2026"));
    buttonBrowse->setToolTip("Choose the folder");
    checkBoxIsSubDirectorie = Named<QCheckBox>(this, "checkBoxIsSubDirectorie");
    editExt = Named<QLineEdit>(this, "editExt");
    editExt->setText("*");
    buttonOK = Named<QPushButton>(this, "buttonOK");
    buttonCancel = Named<QPushButton>(this, "buttonCancel");
    buttonOK->setDefault(true);

    auto* folder = new QHBoxLayout;
    folder->addWidget(editFolder, 1);
    folder->addWidget(buttonBrowse);
    auto* ext = new QHBoxLayout;
    ext->addWidget(Label(this, "labelFileNameExt"));
    ext->addWidget(editExt);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label(this, "labelDirectory"));
    layout->addLayout(folder);
    layout->addWidget(checkBoxIsSubDirectorie);
    layout->addLayout(ext);
    layout->addWidget(Label(this, "labelNoticeFileNameExt"));
    layout->addLayout(ButtonRow(buttonOK, buttonCancel));

    connect(buttonBrowse, &QPushButton::clicked, this, [this] {
        const QString chosen = FMain.AskFolder(windowTitle(), editFolder->text());
        if (!chosen.isEmpty()) editFolder->setText(chosen);
    });
    connect(buttonOK, &QPushButton::clicked, this, [this] { buttonOKClick(); });
    connect(buttonCancel, &QPushButton::clicked, this, [this] { hide(); });
}

void TFrmBatchAdd::buttonOKClick() {
    const QString folder = editFolder->text().trimmed();
    if (folder.isEmpty()) return;
    if (!QFileInfo(folder).isDir()) {
        FMain.ShowMessageBox(QString("%1 is not a folder.").arg(folder));
        return;
    }
    hide();
    FMain.addDirectorieToListView(folder, checkBoxIsSubDirectorie->isChecked(), editExt->text().trimmed());
}

// ---- Settings ----

TfrmSetting::TfrmSetting(QWidget* parent, app::TConverterCore& core) : QDialog(parent, DialogFlags()) {
    app::TfrmCommon& common = core.Common();
    setObjectName("frmSetting");
    CheckBoxViewDemo = Named<QCheckBox>(this, "CheckBoxViewDemo");
    CheckBoxViewHowToUseItunes = Named<QCheckBox>(this, "CheckBoxViewHowToUseItunes");
    ComboBoxExistingFiles = Named<QComboBox>(this, "ComboBoxExistingFiles");
    // In the order of app::TExistingFiles.
    ComboBoxExistingFiles->addItems({"Keep it, name the new file \"name (2)\"", "Replace it", "Skip that file"});
    ButtonOK = Named<QPushButton>(this, "ButtonOK");
    ButtonCancel = Named<QPushButton>(this, "ButtonCancel");
    ComboBoxLanguage = Named<QComboBox>(this, "ComboBoxLanguage");
    // Each in its own language; the stored numbers are 2, 1 and 3.
    ComboBoxLanguage->addItems({"English", "\u4e2d\u6587", "\u65e5\u672c\u8a9e"});
    SpinBoxJobs = Named<QSpinBox>(this, "SpinBoxJobs");
    SpinBoxJobs->setRange(0, 64);
    SpinBoxJobs->setSpecialValueText("automatic");  // 0
    auto* existing = new QFormLayout;
    existing->addRow(Label(this, "labelExistingFiles"), ComboBoxExistingFiles);
    existing->addRow(Label(this, "labelJobs"), SpinBoxJobs);
    existing->addRow(Label(this, "labelLanguage"), ComboBoxLanguage);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(CheckBoxViewDemo);
    layout->addWidget(CheckBoxViewHowToUseItunes);
    layout->addLayout(existing);
    layout->addLayout(ButtonRow(ButtonOK, ButtonCancel));

    // Each change is written at once; OK and Cancel only close.
    connect(CheckBoxViewDemo, &QCheckBox::toggled, this,
            [&common](bool on) { WriteSetting([&] { common.SetDisplayHelpDialog(on); }); });
    connect(CheckBoxViewHowToUseItunes, &QCheckBox::toggled, this,
            [&common](bool on) { WriteSetting([&] { common.SetDisplayHowToUseItunes(on); }); });
    ComboBoxExistingFiles->setCurrentIndex(static_cast<int>(core.StoredExistingFiles()));
    connect(ComboBoxExistingFiles, &QComboBox::activated, this, [&core](int index) {
        WriteSetting([&] { core.StoreExistingFiles(static_cast<app::TExistingFiles>(index)); });
    });
    static const int kLanguages[3] = {2, 1, 3};  // by the combo's rows
    ComboBoxLanguage->setCurrentIndex(common.iLanguage == 1 ? 1 : common.iLanguage == 3 ? 2 : 0);
    connect(ComboBoxLanguage, &QComboBox::activated, this, [this, &common](int row) {
        WriteSetting([&] {
            app::TIniFile(common.GetIniConfigFileName()).WriteInteger("common", "language", kLanguages[row]);
        });
        if (OnLanguageChanged) OnLanguageChanged();
    });
    SpinBoxJobs->setValue(core.StoredJobs());
    connect(SpinBoxJobs, &QSpinBox::valueChanged, this,
            [&core](int jobs) { WriteSetting([&] { core.StoreJobs(jobs); }); });
    connect(ButtonOK, &QPushButton::clicked, this, [this] { hide(); });
    connect(ButtonCancel, &QPushButton::clicked, this, [this] { hide(); });
    // Checking a box counts as a change, so a setting that is on is written
    // back as 1 here, which creates a missing key.
    CheckBoxViewDemo->setChecked(common.isDisplayHelpDialog());
    CheckBoxViewHowToUseItunes->setChecked(common.isDisplayHowToUseItunes());
}

// ---- Welcome prompt ----

void TfrmSetting::ApplyTexts(const app::TLanguageTexts& texts) {
    // The choices' texts come from the language file; their order is the stored rule's.
    const char* choices[] = {"textNewName", "textReplace", "textSkip"};
    for (int i = 0; i < ComboBoxExistingFiles->count() && i < 3; ++i)
        ComboBoxExistingFiles->setItemText(i, QString::fromStdString(texts.Caption("frmSetting", choices[i])));
    SpinBoxJobs->setSpecialValueText(QString::fromStdString(texts.Caption("frmSetting", "textAutomatic")));
}

TfrmHelpDialog::TfrmHelpDialog(QWidget* parent, app::TfrmCommon& common) : QDialog(parent, DialogFlags()) {
    setObjectName("frmHelpDialog");
    labelWelcom = Label(this, "labelWelcom");
    labelWelcom->setWordWrap(true);
    labelIntroduction = Label(this, "labelIntroduction");
    labelIntroduction->setWordWrap(true);
    checkBoxDontDisplay = Named<QCheckBox>(this, "checkBoxDontDisplay");
    ButtonYes = Named<QPushButton>(this, "ButtonYes");
    ButtonNo = Named<QPushButton>(this, "ButtonNo");
    setMinimumWidth(360);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(labelWelcom);
    layout->addWidget(labelIntroduction);
    layout->addWidget(checkBoxDontDisplay);
    layout->addLayout(ButtonRow(ButtonYes, ButtonNo));

    connect(checkBoxDontDisplay, &QCheckBox::toggled, this,
            [&common](bool dontShow) { WriteSetting([&] { common.SetDisplayHelpDialog(!dontShow); }); });
    connect(ButtonYes, &QPushButton::clicked, this, [this, &common] {
        common.shellForHelpUrl();
        hide();
    });
    connect(ButtonNo, &QPushButton::clicked, this, [this] { hide(); });
}

} // namespace ui
