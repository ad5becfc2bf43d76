// The main window: the file list with a progress bar per row, the list
// buttons, the device list, the output folder, the convert button and the
// menus; it owns the encoder, the probe, the conversion run and the dialogs.
#pragma once

#include "app/ConversionRun.h"
#include "app/ConverterCore.h"
#include "app/Language.h"
#include "app/PathsAndLinks.h"
#include "app/VideoProfile.h"
#include "app/ui/Dialogs.h"
#include "encoder/TaskQueue.h"
#include "probe/Probe.h"

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTableWidget>
#include <QTranslator>
#include <QUrl>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ui {

// Opens a folder, file, web or mail address with the desktop's default
// handler; false when the desktop has none for it.
bool QtOpen(const std::string& target);
// The address QtOpen opens for a target (a plain path becomes a file address).
QUrl OpenedUrl(const std::string& target);
// What the user is told when the desktop cannot open the target.
QString CannotOpenText(const std::string& target);

// The extensions of the open dialog's "Support files" entry, also used for
// folders dropped onto the list (the converter's readable extensions).
QStringList SupportedExtensions();
// The open dialog's filter, in Qt's "Description (patterns);;..." form.
QString OpenDialogFilter();

class TfrmMain : public QMainWindow {
public:
    // Creates the windows in start-up order: this window, the advanced
    // settings, the batch add, the common services (which read the product
    // and settings files), the settings and the welcome prompt. Empty
    // folders are worked out from the system.
    explicit TfrmMain(app::TCommonFolders folders = {});
    ~TfrmMain() override;

    // ---- Overridable interaction (tests answer these without a modal box) ----
    // A plain message box captioned with the application title.
    virtual void ShowMessageBox(const QString& text);
    // A question box with Yes and No; true for Yes.
    virtual bool ShowQuestionBox(const QString& text);
    // The About box's text: title, version, the media libraries' versions.
    QString AboutText() const;
    virtual void ShowAbout();
    // A desktop notification (how a run ended).
    virtual void Notify(const QString& text);
    // What the user chose at the end of a run that did not convert everything.
    enum class TSummaryChoice { Close, OpenFolder, OpenLog };
    // The end-of-run summary with buttons to open the output folder or the log.
    virtual TSummaryChoice ShowRunSummary(const QString& text);
    // The multi-selection open dialog; the chosen files in order, none when cancelled.
    virtual QStringList AskOpenFiles();
    // The desktop's folder dialog, starting at `start`; empty when cancelled.
    virtual QString AskFolder(const QString& caption, const QString& start);

    // ---- List actions ----
    void ActionAddFile();
    void ActionRemoveFile();
    void ActionClearAllFile();
    void ActionMoveUp();
    void ActionMoveDown();
    void ActionStart();
    void ActionStop();
    void AddFileToListView(const QString& path);
    void addDirectorieToListView(const QString& folder, bool includeSubFolders, const QString& extension);
    // Files are added as they are; folders with every supported file below them.
    void AddDroppedPaths(const QStringList& paths);
    void ButtonConverterClick();
    void ButtonSelectOuputFolderClick();
    // The list's context menu for a row: Remove, Open containing folder, and
    // Open output (Done) or Show reason (a row that ended with one).
    std::unique_ptr<QMenu> CreateRowMenu(int row);
    // A double-click: opens a finished row's output, shows a failed row's reason.
    void RowActivated(int row);
    // Hands the window files from another start of the program.
    void TakeFilesFromElsewhere(const QStringList& paths);
    // True: idle; false: converting.
    void EnableForm(bool idle);
    // Shows the values in force under the device list (marked when applied).
    void ShowDeviceValues();

    // ---- State for the dialogs and the tests ----
    app::TfrmCommon& Common() { return *FCommon; }
    app::TConverterCore& Core() { return *FCore; }
    app::TVideoProfile& VideoProfile() { return FCore->Profile(); }
    const app::TProfileCatalogue& Catalogue() const { return FCore->Catalogue(); }
    const app::TLanguageTexts& Texts() const { return FTexts; }
    const QString& ApplicationTitle() const { return FTitle; }
    encoder::TFFEncoder& Encoder() { return FCore->Encoder(); }
    app::TConversionRun& Run() { return FCore->Run(); }
    bool Converting() const { return FCore->Run().Converting(); }
    // The progress bar of a row; null for a row that does not exist. Its
    // text is the row's state (a percent while converting), its tooltip the reason.
    QProgressBar* RowBar(int row) const;

    // Controls, by their names.
    QTableWidget* ListViewFiles;
    QGroupBox* GroupBoxButtons;
    QPushButton *ButtonAdd, *ButtonRemove, *ButtonClearAll, *ButtonMoveUp, *ButtonMoveDown;
    QGroupBox* GroupBoxOutputFormat;
    QLabel* LabelOutputFormat;
    QComboBox* ComboBoxOutputFormat;
    QPushButton* ButtonSettingAdvance;
    QLabel* LabelAppliedValues;  // the values in force, marked when the user applied some
    QGroupBox* GroupBoxOutputFolder;
    QLabel* LabelOutputFolder;
    QLineEdit* EditOutputFolder;
    QPushButton* ButtonSelectOuputFolder;
    QLabel* labelOutputFolderNotice;
    QPushButton* ButtonConverter;
    QMenu *N_Control, *N_Options, *N_Tools, *N_Help;
    QAction *N_Add, *N_BatchAdd, *N_Remove, *N_ClearAll, *N_Splitter1, *N_Convert, *N_Splitter2, *N_Exit;
    QAction* N_Setting;
    QAction* N_ViewLog;
    QAction *N_LocalHelp, *N_HomePage, *N_Support, *N_FeedBack, *N_Update;
    QAction* N_About;  // Help > About: the program's and the libraries' versions
    QAction* SelectAllRows;  // Ctrl+A outside the text boxes

    // Dialogs, created once.
    TfrmSettingAdvance* frmSettingAdvance;
    TFrmBatchAdd* frmBatchAdd;
    TfrmSetting* frmSetting;
    TfrmHelpDialog* frmHelpDialog;

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void CreateControls();
    void CreateMenus();
    void FormShow();
    void LoadLanguage();
    void LoadProfile();
    // The device list in the interface's language.
    void ShowDeviceNames();
    void DeviceChanged(int index);
    void RefreshList(int selectRow = -1);
    void ShowRowState(int row);
    // The whole list's percent and time left in the title while converting.
    void ShowListProgress();
    // Says how many files were not added because they are listed already.
    void ReportLeftOut();
    void RunEnded();
    // Tells how a run ended (or why none started).
    void ReportRun();
    // Moves every selected row one place up (-1) or down (+1), keeping them selected.
    void MoveSelectedRows(int step);
    // While converting: keeps `add` for the end of the run (and says so);
    // while another addition scans: keeps it for the scan's end. True then.
    bool HoldForLater(std::function<void()> add);
    // Runs an addition, then the ones that came while it ran.
    void Adding(const std::function<void()>& work);

    std::unique_ptr<app::TfrmCommon> FCommon;
    std::unique_ptr<app::TConverterCore> FCore;
    app::TLanguageTexts FTexts;
    std::unique_ptr<QTranslator> FToolkitTexts = std::make_unique<QTranslator>();
    QString FTitle;
    bool bFirstShow = true;
    bool FStarted = false;   // the start-up sequence ran
    bool FClosing = false;
    std::vector<std::function<void()>> FAfterRun;  // additions that came during a run
    bool FAdding = false;                             // an addition (maybe a long folder scan) is under way
    std::vector<std::function<void()>> FAfterAdding;  // additions that came during it
};

} // namespace ui
