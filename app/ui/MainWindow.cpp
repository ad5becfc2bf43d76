#include "app/ui/MainWindow.h"

#include "app/IniFile.h"

#include "avbind/FFLoad.h"
#include "avbind/FFLog.h"
#include "avhelpers/InProgramFilters.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDBusInterface>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QLibraryInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace ui {

namespace fs = std::filesystem;

bool QtOpen(const std::string& target) {
    return QDesktopServices::openUrl(OpenedUrl(target));
}

QUrl OpenedUrl(const std::string& target) {
    const QString text = QString::fromStdString(target);
    const bool link = text.contains("://") || text.startsWith("mailto:", Qt::CaseInsensitive);
    return link ? QUrl(text) : QUrl::fromLocalFile(text);
}

QString CannotOpenText(const std::string& target) {
    const QUrl url = OpenedUrl(target);
    if (url.scheme() == "mailto")
        return QString("No mail program is set up on this desktop. Write to %1.").arg(url.path());
    const QString where = url.isLocalFile() ? url.toLocalFile() : url.toString();
    return QString("No program is set up on this desktop to open it. It is here:\n%1").arg(where);
}

QStringList SupportedExtensions() {
    QStringList extensions;
    for (const std::string& e : app::ReadableExtensions()) extensions << QString::fromStdString(e);
    return extensions;
}

QString OpenDialogFilter() {
    QStringList all;
    for (const QString& e : SupportedExtensions()) all << "*." + e;
    return QStringList{"Support files (" + all.join(' ') + ")",
                       "RM files (*.rm *.rmvb)",
                       "AVI files (*.avi)",
                       "MPEG files (*.mpg *.mpeg)",
                       "WMV files (*.wmv *.asf)",
                       "Portable device files (*.3gp *.mp4 *.avs *.psp *.mkv)",
                       "Web and camera files (*.webm *.m4v *.ts *.mts *.m2ts *.ogv *.flv)",
                       "Sound files (*.mp3 *.wav *.flac *.ogg *.oga *.opus *.m4a *.aac *.ac3 *.wma *.mka)",
                       "DVD VCD Files (*.vob *.dat)",
                       "Quick Time Files (*.mov *.qt)",
                       "All files (*)"}
        .join(";;");
}

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The list's columns: name, start, end, source size, source frame rate, progress.
constexpr int kColumns = 6;
constexpr int kProgressColumn = 5;

// A remembered choice; a settings file that cannot be written keeps the old one.
void Remember(app::TfrmCommon& common, const std::string& key, const std::string& value) {
    try {
        app::TIniFile(common.GetIniConfigFileName()).WriteString("setting", key, value);
    } catch (const std::exception& e) {
        qWarning("%s", e.what());
    }
}

// Sets the caption of every control of `window` named in the language file's
// section; a key the file lacks leaves an empty caption.
void ApplyCaptions(QWidget* window, const app::TLanguageTexts& texts) {
    const std::string section = window->objectName().toStdString();
    QList<QObject*> children = window->findChildren<QObject*>();
    for (const app::TLanguageKey& key : app::LanguageKeys()) {
        if (key.Kind != app::TLanguageKeyKind::Caption || section != key.Section) continue;
        const QString name = key.Key;
        const bool title =
            name.compare("Caption", Qt::CaseInsensitive) == 0 || name.compare("title", Qt::CaseInsensitive) == 0;
        // A window's own title is kept under "Caption", whatever its key.
        const QString text = Q(texts.Caption(key.Section, title ? "Caption" : key.Key));
        if (title) {
            window->setWindowTitle(text);
            continue;
        }
        for (QObject* child : children) {
            if (child->objectName().compare(name, Qt::CaseInsensitive) != 0) continue;
            if (auto* b = qobject_cast<QAbstractButton*>(child)) b->setText(text);
            else if (auto* l = qobject_cast<QLabel*>(child)) l->setText(text);
            else if (auto* g = qobject_cast<QGroupBox*>(child)) g->setTitle(text);
            else if (auto* m = qobject_cast<QMenu*>(child)) m->setTitle(text);
            else if (auto* a = qobject_cast<QAction*>(child)) {
                // A separator entry stays a separator only while its caption is
                // "-"; a separator gets no text, which some styles would draw.
                if (name.startsWith("N_Splitter")) a->setSeparator(text == "-");
                a->setText(a->isSeparator() ? QString() : text);
            }
            break;
        }
    }
}

QPushButton* Button(QWidget* parent, const char* name, int w, int h) {
    auto* b = new QPushButton(parent);
    b->setObjectName(name);
    b->setMinimumSize(w, h);
    return b;
}

} // namespace

TfrmMain::TfrmMain(app::TCommonFolders folders) {
    // FormCreate: bFirstShow starts true.
    setObjectName("frmMain");
    setAcceptDrops(true);
    CreateControls();
    CreateMenus();

    frmSettingAdvance = new TfrmSettingAdvance(*this);
    frmBatchAdd = new TFrmBatchAdd(*this);
    // An open that the desktop cannot do is said, with where the thing is.
    if (!folders.Launcher)
        folders.Launcher = [this](const std::string& target) {
            if (!QtOpen(target)) ShowMessageBox(CannotOpenText(target));
        };
    FCommon = std::make_unique<app::TfrmCommon>(std::move(folders));
    FCore = std::make_unique<app::TConverterCore>(*FCommon);
    frmSetting = new TfrmSetting(this, *FCore);
    // Another language applies at once: the settings are read again, then every caption.
    frmSetting->OnLanguageChanged = [this] {
        FCommon->FormCreate();
        LoadLanguage();
        ShowDeviceNames();
        ShowDeviceValues();
        EnableForm(!Converting());
        RefreshList();
    };
    frmHelpDialog = new TfrmHelpDialog(this, *FCommon);

    app::TConversionRun& run = FCore->Run();
    // Keep repainting while a folder scan probes file after file.
    run.ScanStopped = [] {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        return false;
    };
    run.OnRowProgress = [this](int row) { ShowRowState(row); };
    run.OnRowState = [this](int row) { ShowRowState(row); };
    run.OnRunEnded = [this] { RunEnded(); };
    run.SkipListed = true;
    EnableForm(true);
}

TfrmMain::~TfrmMain() {
    // The core stops and drains the encoder before the run goes; nothing
    // calls back into this window on the way.
    app::TConversionRun& run = FCore->Run();
    run.OnRunEnded = nullptr;
    run.OnRowProgress = nullptr;
    run.OnRowState = nullptr;
    run.ScanStopped = nullptr;
    FCore.reset();
}

void TfrmMain::CreateControls() {
    // Laid out, not placed: the window grows with the desktop's fonts and
    // the user's resizing; the original layout's size is the least it takes.
    auto* client = new QWidget(this);
    client->setObjectName("client");
    client->setMinimumSize(474, 432);
    setCentralWidget(client);
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(8, 10, 8, 10);

    ListViewFiles = new QTableWidget(0, kColumns, client);
    ListViewFiles->setObjectName("ListViewFiles");
    ListViewFiles->setShowGrid(true);
    ListViewFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListViewFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListViewFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListViewFiles->setTabKeyNavigation(false);  // Tab leaves the list
    ListViewFiles->verticalHeader()->hide();
    ListViewFiles->horizontalHeader()->setHighlightSections(false);
    ListViewFiles->setWordWrap(false);
    const int widths[kColumns] = {200, 75, 100, 80, 75, 100};
    for (int c = 0; c < kColumns; ++c) {
        ListViewFiles->setHorizontalHeaderItem(c, new QTableWidgetItem);
        ListViewFiles->setColumnWidth(c, widths[c]);
    }
    // The file column takes what the window gives; the progress column keeps its width.
    ListViewFiles->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    // Times, size and rate read in full, captions too, in every language.
    for (int c = 1; c < kProgressColumn; ++c)
        ListViewFiles->horizontalHeader()->setSectionResizeMode(c, QHeaderView::ResizeToContents);
    ListViewFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ListViewFiles, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const int row = ListViewFiles->rowAt(at.y());
        if (row < 0) return;
        if (!ListViewFiles->selectionModel()->isRowSelected(row, QModelIndex())) ListViewFiles->selectRow(row);
        CreateRowMenu(row)->exec(ListViewFiles->viewport()->mapToGlobal(at));
    });
    connect(ListViewFiles, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { RowActivated(row); });
    layout->addWidget(ListViewFiles, 1);

    GroupBoxButtons = new QGroupBox(client);
    GroupBoxButtons->setObjectName("GroupBoxButtons");
    auto* buttons = new QHBoxLayout(GroupBoxButtons);
    ButtonAdd = Button(GroupBoxButtons, "ButtonAdd", 66, 25);
    ButtonRemove = Button(GroupBoxButtons, "ButtonRemove", 66, 25);
    ButtonClearAll = Button(GroupBoxButtons, "ButtonClearAll", 66, 25);
    ButtonMoveUp = Button(GroupBoxButtons, "ButtonMoveUp", 66, 25);
    ButtonMoveDown = Button(GroupBoxButtons, "ButtonMoveDown", 66, 25);
    for (QPushButton* b : {ButtonAdd, ButtonRemove, ButtonClearAll}) buttons->addWidget(b);
    buttons->addStretch(1);
    for (QPushButton* b : {ButtonMoveUp, ButtonMoveDown}) buttons->addWidget(b);
    layout->addWidget(GroupBoxButtons);

    GroupBoxOutputFormat = new QGroupBox(client);
    GroupBoxOutputFormat->setObjectName("GroupBoxOutputFormat");
    LabelOutputFormat = new QLabel(GroupBoxOutputFormat);
    LabelOutputFormat->setObjectName("LabelOutputFormat");
    ComboBoxOutputFormat = new QComboBox(GroupBoxOutputFormat);
    ComboBoxOutputFormat->setObjectName("ComboBoxOutputFormat");
    ComboBoxOutputFormat->setEditable(false);
    ButtonSettingAdvance = Button(GroupBoxOutputFormat, "ButtonSettingAdvance", 56, 25);
    LabelAppliedValues = new QLabel(GroupBoxOutputFormat);
    LabelAppliedValues->setObjectName("LabelAppliedValues");
    LabelAppliedValues->setWordWrap(true);
    auto* formatRows = new QGridLayout(GroupBoxOutputFormat);
    formatRows->addWidget(LabelOutputFormat, 0, 0);
    formatRows->addWidget(ComboBoxOutputFormat, 0, 1);
    formatRows->addWidget(ButtonSettingAdvance, 0, 2);
    formatRows->addWidget(LabelAppliedValues, 1, 1, 1, 2);
    formatRows->setColumnStretch(1, 1);
    layout->addWidget(GroupBoxOutputFormat);

    GroupBoxOutputFolder = new QGroupBox(client);
    GroupBoxOutputFolder->setObjectName("GroupBoxOutputFolder");
    auto* folder = new QGridLayout(GroupBoxOutputFolder);
    LabelOutputFolder = new QLabel(GroupBoxOutputFolder);
    LabelOutputFolder->setObjectName("LabelOutputFolder");
    EditOutputFolder = new QLineEdit(GroupBoxOutputFolder);
    EditOutputFolder->setObjectName("EditOutputFolder");
    ButtonSelectOuputFolder = Button(GroupBoxOutputFolder, "ButtonSelectOuputFolder", 56, 25);
    labelOutputFolderNotice = new QLabel(GroupBoxOutputFolder);
    labelOutputFolderNotice->setObjectName("labelOutputFolderNotice");
    labelOutputFolderNotice->setWordWrap(true);
    QFont small = labelOutputFolderNotice->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    labelOutputFolderNotice->setFont(small);
    folder->addWidget(LabelOutputFolder, 0, 0);
    folder->addWidget(EditOutputFolder, 0, 1);
    folder->addWidget(ButtonSelectOuputFolder, 0, 2);
    folder->addWidget(labelOutputFolderNotice, 1, 0, 1, 3);
    folder->setColumnStretch(1, 1);
    layout->addWidget(GroupBoxOutputFolder);

    ButtonConverter = Button(client, "ButtonConverter", 120, 35);
    layout->addWidget(ButtonConverter, 0, Qt::AlignHCenter);

    connect(ButtonAdd, &QPushButton::clicked, this, [this] { ActionAddFile(); });
    connect(ButtonRemove, &QPushButton::clicked, this, [this] { ActionRemoveFile(); });
    connect(ButtonClearAll, &QPushButton::clicked, this, [this] { ActionClearAllFile(); });
    connect(ButtonMoveUp, &QPushButton::clicked, this, [this] { ActionMoveUp(); });
    connect(ButtonMoveDown, &QPushButton::clicked, this, [this] { ActionMoveDown(); });
    connect(ButtonConverter, &QPushButton::clicked, this, [this] { ButtonConverterClick(); });
    connect(ButtonSettingAdvance, &QPushButton::clicked, this, [this] { frmSettingAdvance->Open(); });
    connect(ButtonSelectOuputFolder, &QPushButton::clicked, this, [this] { ButtonSelectOuputFolderClick(); });
    connect(ComboBoxOutputFormat, &QComboBox::activated, this, [this](int index) { DeviceChanged(index); });
    // A folder typed by the user is the next start's folder too.
    connect(EditOutputFolder, &QLineEdit::editingFinished, this, [this] {
        if (!EditOutputFolder->text().trimmed().isEmpty())
            Remember(*FCommon, "folder", EditOutputFolder->text().trimmed().toStdString());
    });
}

void TfrmMain::CreateMenus() {
    auto menu = [this](const char* name) {
        QMenu* m = menuBar()->addMenu(QString());
        m->setObjectName(name);
        return m;
    };
    auto entry = [](QMenu* m, const char* name) {
        QAction* a = m->addAction(QString());
        a->setObjectName(name);
        return a;
    };
    N_Control = menu("N_Control");
    N_Add = entry(N_Control, "N_Add");
    N_BatchAdd = entry(N_Control, "N_BatchAdd");
    N_Remove = entry(N_Control, "N_Remove");
    N_ClearAll = entry(N_Control, "N_ClearAll");
    N_Splitter1 = entry(N_Control, "N_Splitter1");
    N_Splitter1->setSeparator(true);
    N_Convert = entry(N_Control, "N_Convert");
    N_Splitter2 = entry(N_Control, "N_Splitter2");
    N_Splitter2->setSeparator(true);
    N_Exit = entry(N_Control, "N_Exit");
    N_Options = menu("N_Options");
    N_Setting = entry(N_Options, "N_Setting");
    N_Tools = menu("N_Tools");
    N_ViewLog = entry(N_Tools, "N_ViewLog");
    N_Help = menu("N_Help");
    N_LocalHelp = entry(N_Help, "N_LocalHelp");
    N_HomePage = entry(N_Help, "N_HomePage");
    N_Support = entry(N_Help, "N_Support");
    N_FeedBack = entry(N_Help, "N_FeedBack");
    N_Update = entry(N_Help, "N_Update");
    N_Help->addSeparator();
    N_About = N_Help->addAction("About");
    N_About->setObjectName("N_About");

    // The desktop's standard keys.
    N_Add->setShortcut(QKeySequence::Open);
    N_BatchAdd->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    N_Exit->setShortcut(QKeySequence::Quit);
    N_Remove->setShortcuts({QKeySequence(QKeySequence::Delete), QKeySequence(Qt::Key_Backspace)});
    N_Convert->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    N_LocalHelp->setShortcut(QKeySequence::HelpContents);
    // Select all is the list's: the text boxes keep their own Ctrl+A.
    SelectAllRows = new QAction(this);
    SelectAllRows->setObjectName("SelectAllRows");
    SelectAllRows->setShortcut(QKeySequence::SelectAll);
    addAction(SelectAllRows);
    connect(SelectAllRows, &QAction::triggered, this, [this] { ListViewFiles->selectAll(); });
    connect(N_Add, &QAction::triggered, this, [this] { ButtonAdd->click(); });
    connect(N_Remove, &QAction::triggered, this, [this] { ButtonRemove->click(); });
    connect(N_ClearAll, &QAction::triggered, this, [this] { ButtonClearAll->click(); });
    connect(N_BatchAdd, &QAction::triggered, this, [this] {
        // Starts where files were last added from.
        if (frmBatchAdd->editFolder->text().isEmpty())
            frmBatchAdd->editFolder->setText(
                Q(app::TIniFile(FCommon->GetIniConfigFileName()).ReadString("setting", "addFolder", "")));
        frmBatchAdd->show();
        frmBatchAdd->raise();
    });
    // The menu's Start entry acts like the convert button.
    connect(N_Convert, &QAction::triggered, this, [this] { ButtonConverterClick(); });
    connect(N_Exit, &QAction::triggered, this, [this] { close(); });
    connect(N_Setting, &QAction::triggered, this, [this] {
        frmSetting->show();
        frmSetting->raise();
    });
    connect(N_ViewLog, &QAction::triggered, this, [this] { FCommon->visitHyperLink(FCommon->GetLogFileName()); });
    connect(N_LocalHelp, &QAction::triggered, this, [this] { FCommon->shellForHelpUrl(); });
    connect(N_HomePage, &QAction::triggered, this, [this] { FCommon->shellForHomePageUrl(); });
    connect(N_Update, &QAction::triggered, this, [this] { FCommon->shellForHomePageUrl(); });
    connect(N_About, &QAction::triggered, this, [this] { ShowAbout(); });
    connect(N_Support, &QAction::triggered, this, [this] { FCommon->shellForSupportEmail(); });
    connect(N_FeedBack, &QAction::triggered, this, [this] { FCommon->shellForFeedback(); });
}

// ---- Start-up ----

void TfrmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (FStarted) return;
    FStarted = true;
    FormShow();
    // Where the user left it last time, else a comfortable first size within
    // the screen, centred.
    const QByteArray geometry = QByteArray::fromBase64(QByteArray::fromStdString(
        app::TIniFile(FCommon->GetIniConfigFileName()).ReadString("setting", "geometry", "")));
    if (!geometry.isEmpty() && restoreGeometry(geometry)) return;
    resize(std::max(width(), 720), std::max(height(), 540));
    if (QScreen* s = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TfrmMain::FormShow() {
    // The log starts empty before anything of this start is written to it:
    // damaged profiles and a library that would not load stay in it.
    FCore->StartLog();
    LoadLanguage();
    LoadProfile();

    std::string folder = FCommon->GetDefaultOutputFolder();
    if (folder.empty() || folder.back() != '/') folder += '/';
    app::TfrmCommon::CreateFolder(folder);
    EditOutputFolder->setText(Q(folder));

    if (!FCore->LoadLibraries()) ShowMessageBox(Q(FTexts.strLanguage_MsgDontLoadAVLib));
}

void TfrmMain::LoadLanguage() {
    FTexts = app::LoadLanguage(*FCommon);
    // The toolkit's own texts (Yes, No, the file dialog) in the same language.
    QCoreApplication::removeTranslator(FToolkitTexts.get());
    const char* toolkit = FCommon->iLanguage == 1 ? "qtbase_zh_CN" : FCommon->iLanguage == 3 ? "qtbase_ja" : nullptr;
    if (toolkit && FToolkitTexts->load(toolkit, QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(FToolkitTexts.get());
    FTitle = Q(FTexts.ApplicationTitle);
    setWindowTitle(FTitle);
    for (QWidget* window :
         std::initializer_list<QWidget*>{this, frmSettingAdvance, frmBatchAdd, frmSetting, frmHelpDialog})
        ApplyCaptions(window, FTexts);
    frmSetting->ApplyTexts(FTexts);
    setWindowTitle(FTitle);
    const char* columns[kColumns] = {"columns0", "columns1", "columns2", "columnSize", "columnFrameRate", "columns3"};
    for (int c = 0; c < kColumns; ++c)
        ListViewFiles->horizontalHeaderItem(c)->setText(Q(FTexts.Caption("frmMain", columns[c])));
    // The menu's Start entry keeps its own caption until a run starts or stops.
    ButtonConverter->setText(Q(FTexts.strCommonButtonConverterStart));
    frmHelpDialog->update();
}

void TfrmMain::LoadProfile() {
    FCore->LoadProfiles(true);
    // The device chosen last time, while it is still there.
    const std::string device = app::TIniFile(FCommon->GetIniConfigFileName()).ReadString("setting", "device", "");
    const auto& entries = Catalogue().arrayCommonProfiles;
    for (std::size_t i = 0; i < entries.size() && !device.empty(); ++i) {
        if (entries[i].strPfTitle_en != device || static_cast<int>(i) == Catalogue().ActiveIndex) continue;
        try {
            FCore->SelectDevice(static_cast<int>(i));
        } catch (const std::exception& e) {
            FCore->Log(e.what());
        }
        break;
    }
    ShowDeviceNames();
    ShowDeviceValues();
}

void TfrmMain::ShowDeviceNames() {
    ComboBoxOutputFormat->clear();
    for (const std::string& name : Catalogue().DeviceNames(FCommon->iLanguage == 1))
        ComboBoxOutputFormat->addItem(Q(name));
    ComboBoxOutputFormat->setCurrentIndex(Catalogue().ActiveIndex);
}

void TfrmMain::DeviceChanged(int index) {
    if (index < 0 || index == Catalogue().ActiveIndex) return;
    try {
        FCore->SelectDevice(index);
    } catch (const std::exception& e) {
        ComboBoxOutputFormat->setCurrentIndex(Catalogue().ActiveIndex);
        ShowMessageBox(Q(e.what()));
        return;
    }
    Remember(*FCommon, "device", Catalogue().arrayCommonProfiles[static_cast<std::size_t>(index)].strPfTitle_en);
    ShowDeviceValues();
    // An open advanced-settings dialog shows the new device's values, so
    // its OK never writes one device's values into another.
    if (frmSettingAdvance->isVisible()) frmSettingAdvance->Open();
}

void TfrmMain::paintEvent(QPaintEvent* event) {
    QMainWindow::paintEvent(event);
    if (!bFirstShow) return;
    bFirstShow = false;
    // Shown after this paint has finished, above the window, without blocking it.
    if (FCommon->isDisplayHelpDialog())
        QTimer::singleShot(0, this, [this] {
            frmHelpDialog->show();
            frmHelpDialog->raise();
        });
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (Converting()) {
        const int running = Run().Counts().Unfinished;
        if (!ShowQuestionBox(QString("%1 conversions are running. Stop them and quit?").arg(running))) {
            event->ignore();
            return;
        }
    }
    // Workers end before the window goes (unfinished files removed); no
    // prompt on the way out.
    FClosing = true;
    if (Converting()) Run().Stop();
    Remember(*FCommon, "geometry", saveGeometry().toBase64().toStdString());
    for (QWidget* w : std::initializer_list<QWidget*>{frmSettingAdvance, frmBatchAdd, frmSetting, frmHelpDialog})
        w->hide();
    QMainWindow::closeEvent(event);
}

// ---- Interaction ----

void TfrmMain::ShowMessageBox(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, FTitle, text, QMessageBox::Ok, this);
    box.exec();
}

bool TfrmMain::ShowQuestionBox(const QString& text) {
    return QMessageBox::question(this, FTitle, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

QStringList TfrmMain::AskOpenFiles() {
    // Opens where the last files were added from.
    const QString folder = Q(app::TIniFile(FCommon->GetIniConfigFileName()).ReadString("setting", "addFolder", ""));
    const QStringList files = QFileDialog::getOpenFileNames(this, "Open video files", folder, OpenDialogFilter());
    if (!files.isEmpty()) Remember(*FCommon, "addFolder", fs::path(files.first().toStdString()).parent_path().string());
    return files;
}

QString TfrmMain::AboutText() const {
    QString text = FTitle + "\n" + QString("Version %1").arg(ZC_VERSION);
    avbind::TFFLoader& loader = avbind::FFLoader();
    if (loader.Loaded(avbind::EncoderLibraries))
        for (avbind::TLibrary lib : {avbind::TLibrary::avCodec, avbind::TLibrary::avFormat, avbind::TLibrary::avFilter})
            text += "\n" + QString("%1 %2").arg(avbind::LibraryItem(lib).Name, Q(loader.VersionText(lib)));
    return text;
}

void TfrmMain::ShowAbout() { QMessageBox::about(this, "About " + FTitle, AboutText()); }

TfrmMain::TSummaryChoice TfrmMain::ShowRunSummary(const QString& text) {
    QMessageBox box(QMessageBox::Warning, FTitle, text, QMessageBox::Close, this);
    QPushButton* folder = box.addButton("Open output folder", QMessageBox::AcceptRole);
    QPushButton* log = box.addButton("Open log", QMessageBox::ActionRole);
    box.setDefaultButton(folder);
    box.exec();
    if (box.clickedButton() == folder) return TSummaryChoice::OpenFolder;
    if (box.clickedButton() == log) return TSummaryChoice::OpenLog;
    return TSummaryChoice::Close;
}

QString TfrmMain::AskFolder(const QString& caption, const QString& start) {
    return QFileDialog::getExistingDirectory(this, caption, start);
}

// ---- The list ----

QProgressBar* TfrmMain::RowBar(int row) const {
    QWidget* cell = ListViewFiles->cellWidget(row, kProgressColumn);
    return cell ? cell->findChild<QProgressBar*>() : nullptr;
}

void TfrmMain::RefreshList(int selectRow) {
    const std::vector<app::TListRow>& rows = Run().Rows();
    ListViewFiles->setRowCount(static_cast<int>(rows.size()));
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        const app::TListRow& row = rows[static_cast<std::size_t>(i)];
        // The file's name; its whole path is the tooltip and the item's data.
        const QString texts[kProgressColumn] = {Q(fs::path(row.Path).filename().string()), Q(row.StartText),
                                                Q(row.DurationText), Q(row.SizeText), Q(row.FrameRateText)};
        for (int c = 0; c < kProgressColumn; ++c) {
            QTableWidgetItem* item = ListViewFiles->item(i, c);
            if (!item) ListViewFiles->setItem(i, c, item = new QTableWidgetItem);
            item->setText(texts[c]);
        }
        ListViewFiles->item(i, 0)->setData(Qt::UserRole, Q(row.Path));
        ListViewFiles->item(i, 0)->setToolTip(Q(row.Path));
        if (!RowBar(i)) {
            // Placed over the progress cell, 2 pixels in from its top and bottom.
            auto* cell = new QWidget;
            auto* layout = new QVBoxLayout(cell);
            layout->setContentsMargins(0, 2, 0, 2);
            auto* bar = new QProgressBar(cell);
            bar->setRange(0, 100);
            bar->setAlignment(Qt::AlignCenter);
            layout->addWidget(bar);
            ListViewFiles->setCellWidget(i, kProgressColumn, cell);
        }
        ShowRowState(i);
    }
    if (selectRow >= 0 && selectRow < ListViewFiles->rowCount()) {
        ListViewFiles->selectRow(selectRow);
        ListViewFiles->setCurrentCell(selectRow, 0);
    }
    ListViewFiles->viewport()->update();
}

void TfrmMain::ReportLeftOut() {
    if (const int left = Run().TakeLeftOutAsListed(); left > 0)
        // A note in the status line: nothing went wrong, nothing to answer.
        statusBar()->showMessage(left == 1
                                     ? QString("1 file is in the list already and was not added again.")
                                     : QString("%1 files are in the list already and were not added again.").arg(left),
                                 10000);
}

void TfrmMain::ShowDeviceValues() {
    // The values a conversion would use, under the device, which keeps its
    // own name; values applied in the advanced settings are marked as such.
    const QString values = Q(app::ProfileSummary(VideoProfile()));
    LabelAppliedValues->setText(FCore->DeviceValuesApplied()
                                    ? Q(FTexts.Caption("frmMain", "textValuesApplied")) + " " + values
                                    : values);
    LabelAppliedValues->show();
}

void TfrmMain::ShowListProgress() {
    if (!Converting()) {
        setWindowTitle(FTitle);
        return;
    }
    const app::TListProgress all = Run().ListProgress();
    const QString left = all.SecondsLeft < 0 ? QString() : " \u00b7 " + Q(app::ClockText(all.SecondsLeft)) + " left";
    setWindowTitle(QString::number(all.Percent) + "%" + left + " \u2014 " + FTitle);
}

void TfrmMain::ShowRowState(int index) {
    QProgressBar* bar = RowBar(index);
    if (!bar || index >= static_cast<int>(Run().Rows().size())) return;
    const app::TListRow& row = Run().Rows()[static_cast<std::size_t>(index)];
    bar->setValue(row.Progress);
    // A row that never ran shows an empty bar; afterwards its state stays.
    const bool fresh = row.State == app::TRowState::Waiting && !Converting();
    bar->setTextVisible(!fresh);
    if (row.State == app::TRowState::Converting)
        bar->setFormat("%p%");
    else
        bar->setFormat(app::RowStateName(row.State));
    QString tip = app::RowStateName(row.State);
    if (!row.Reason.empty()) tip += ": " + Q(row.Reason);
    if (row.State == app::TRowState::Done) tip += "\n" + Q(row.Output);
    bar->setToolTip(fresh ? QString() : tip);
    ShowListProgress();
    if (QTableWidgetItem* name = ListViewFiles->item(index, 0))
        name->setToolTip(Q(row.Path) + (fresh ? QString() : "\n" + tip));

}

bool TfrmMain::HoldForLater(std::function<void()> add) {
    if (Converting()) {
        // A running list does not change: what comes now is added when it ends.
        FAfterRun.push_back(std::move(add));
        statusBar()->showMessage("Added to the list when the conversion ends.", 10000);
        return true;
    }
    // A folder scan keeps the window answering (a second start, a drop):
    // what comes meanwhile is added after the scan, in turn.
    if (FAdding) {
        FAfterAdding.push_back(std::move(add));
        return true;
    }
    return false;
}

void TfrmMain::Adding(const std::function<void()>& work) {
    FAdding = true;
    work();
    FAdding = false;
    while (!FAfterAdding.empty()) {
        const std::function<void()> next = std::move(FAfterAdding.front());
        FAfterAdding.erase(FAfterAdding.begin());
        next();
    }
}

void TfrmMain::AddFileToListView(const QString& path) {
    if (HoldForLater([this, path] { AddFileToListView(path); })) return;
    Adding([&] { Run().AddFile(path.toStdString()); });
    RefreshList();
    ReportLeftOut();
}

void TfrmMain::addDirectorieToListView(const QString& folder, bool includeSubFolders, const QString& extension) {
    if (HoldForLater([=, this] { addDirectorieToListView(folder, includeSubFolders, extension); })) return;
    Adding([&] {
        // "*" (or nothing) means every file the converter takes, not notes or pictures.
        if (extension.isEmpty() || extension == "*")
            Run().AddFolder(folder.toStdString(), includeSubFolders, app::ReadableExtensions());
        else
            Run().AddFolder(folder.toStdString(), includeSubFolders, extension.toStdString());
    });
    RefreshList();
    ReportLeftOut();
}

void TfrmMain::AddDroppedPaths(const QStringList& paths) {
    if (HoldForLater([this, paths] { AddDroppedPaths(paths); })) return;
    Adding([&] {
        const std::vector<std::string> extensions = app::ReadableExtensions();
        for (const QString& path : paths) {
            std::error_code ec;
            if (fs::is_directory(path.toStdString(), ec))
                Run().AddFolder(path.toStdString(), true, extensions);
            else
                Run().AddFile(path.toStdString());
        }
    });
    RefreshList();
    ReportLeftOut();
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    if (paths.isEmpty()) return;
    event->acceptProposedAction();
    AddDroppedPaths(paths);
}

void TfrmMain::ActionAddFile() {
    for (const QString& file : AskOpenFiles()) Run().AddFile(file.toStdString());
    RefreshList();
    ReportLeftOut();
}

void TfrmMain::ActionRemoveFile() {
    std::vector<int> rows;
    for (const QModelIndex& index : ListViewFiles->selectionModel()->selectedRows()) rows.push_back(index.row());
    if (rows.empty()) return;
    Run().Remove(rows);
    RefreshList();
}

void TfrmMain::ActionClearAllFile() {
    Run().Clear();
    RefreshList();
}

void TfrmMain::ActionMoveUp() { MoveSelectedRows(-1); }

void TfrmMain::ActionMoveDown() { MoveSelectedRows(+1); }

void TfrmMain::MoveSelectedRows(int step) {
    std::vector<int> rows;
    for (const QModelIndex& index : ListViewFiles->selectionModel()->selectedRows()) rows.push_back(index.row());
    if (rows.empty()) return;
    // The selected rows move together, one place, while the first (or last) can.
    std::sort(rows.begin(), rows.end());
    if (step > 0) std::reverse(rows.begin(), rows.end());
    for (int& row : rows) {
        if (!(step < 0 ? Run().MoveUp(row) : Run().MoveDown(row))) return;
        row += step;
    }
    RefreshList(rows.back());
    for (int row : rows)
        ListViewFiles->selectionModel()->select(ListViewFiles->model()->index(row, 0),
                                                QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

// ---- The run ----

void TfrmMain::ButtonConverterClick() {
    if (ButtonAdd->isEnabled())
        ActionStart();
    else
        ActionStop();
}

void TfrmMain::ActionStart() {
    if (Run().Rows().empty()) {
        ShowMessageBox("The list is empty: add the files to convert first.");
        return;
    }
    bool started = false;
    try {
        started = Run().Start(FCore->Values(), EditOutputFolder->text().toStdString(), FCore->StoredJobs());
    } catch (const std::exception& e) {
        ShowMessageBox(Q(e.what()));
        return;
    }
    if (started) EnableForm(false);
    RefreshList();
    // No task could be made: every row says why.
    if (!started) ReportRun();
}

void TfrmMain::ActionStop() {
    // Ends the run; RunEnded follows from inside it.
    Run().Stop();
}

void TfrmMain::RunEnded() {
    EnableForm(true);
    RefreshList();
    ShowListProgress();
    if (FClosing) return;
    // Told once the encoder's final notice has been delivered, so no worker
    // or delivery thread waits on the question; files that came during the
    // run join the list after the run's report.
    QTimer::singleShot(0, this, [this] {
        if (FClosing) return;
        ReportRun();
        std::vector<std::function<void()>> held;
        held.swap(FAfterRun);
        for (const auto& add : held) add();
    });
}

void TfrmMain::Notify(const QString& text) {
    // The desktop's notification service, when there is one; nothing otherwise.
    QDBusInterface service("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications");
    if (!service.isValid()) return;
    service.asyncCall("Notify", FTitle, 0u, QString("zconverter"), FTitle, text, QStringList(), QVariantMap(), 5000);
}

void TfrmMain::ReportRun() {
    const app::TRunCounts counts = Run().Counts();
    // Seen from elsewhere too: a run often ends while the window is in the background.
    if (!isActiveWindow() || !FCommon->isDisplayHowToUseItunes()) Notify(Q(Run().SummaryText()));
    if (counts.Converted + counts.Skipped == static_cast<int>(Run().Rows().size())) {
        if (!FCommon->isDisplayHowToUseItunes() || !ShowQuestionBox(Q(FTexts.strLanguage_MsgProcessFinished))) return;
        FCommon->visitHyperLink(EditOutputFolder->text().toStdString());
        FCommon->shellForHowToUseItunes();
        return;
    }
    switch (ShowRunSummary(Q(Run().SummaryText()))) {
    case TSummaryChoice::OpenFolder: FCommon->visitHyperLink(EditOutputFolder->text().toStdString()); break;
    case TSummaryChoice::OpenLog: FCommon->visitHyperLink(FCommon->GetLogFileName()); break;
    case TSummaryChoice::Close: break;
    }
}

void TfrmMain::EnableForm(bool idle) {
    for (QWidget* w : std::initializer_list<QWidget*>{ButtonAdd, ButtonRemove, ButtonClearAll, ButtonMoveUp,
                                                      ButtonMoveDown, ButtonSettingAdvance, ButtonSelectOuputFolder,
                                                      EditOutputFolder, ComboBoxOutputFormat})
        w->setEnabled(idle);
    for (QAction* a : {N_Add, N_BatchAdd, N_Remove, N_ClearAll}) a->setEnabled(idle);
    const QString caption = Q(idle ? FTexts.strCommonButtonConverterStart : FTexts.strCommonButtonConverterStop);
    ButtonConverter->setText(caption);
    N_Convert->setText(caption);
}

void TfrmMain::ButtonSelectOuputFolderClick() {
    // The desktop's own folder dialog (path field, bookmarks, new folder),
    // under the folder chooser's caption.
    const QString folder = AskFolder(Q(FTexts.Caption("frmDirectory", "Caption")), EditOutputFolder->text());
    if (folder.isEmpty()) return;
    EditOutputFolder->setText(folder);
    Remember(*FCommon, "folder", folder.toStdString());
}

std::unique_ptr<QMenu> TfrmMain::CreateRowMenu(int index) {
    auto menu = std::make_unique<QMenu>(this);
    if (index < 0 || index >= static_cast<int>(Run().Rows().size())) return menu;
    const app::TListRow row = Run().Rows()[static_cast<std::size_t>(index)];
    auto entry = [&](const char* name, const QString& text, auto act) {
        QAction* a = menu->addAction(text);
        a->setObjectName(name);
        connect(a, &QAction::triggered, this, act);
        return a;
    };
    entry("RowRemove", N_Remove->text(), [this] { ActionRemoveFile(); })->setEnabled(!Converting());
    entry("RowOpenFolder", "Open containing folder",
          [this, row] { FCommon->visitHyperLink(fs::path(row.Path).parent_path().string()); });
    if (row.State == app::TRowState::Done)
        entry("RowOpenOutput", "Open output", [this, row] { FCommon->visitHyperLink(row.Output); });
    else if (!row.Reason.empty())
        entry("RowShowReason", "Show reason", [this, row] { ShowMessageBox(Q(row.Reason)); });
    return menu;
}

void TfrmMain::RowActivated(int index) {
    if (index < 0 || index >= static_cast<int>(Run().Rows().size())) return;
    const app::TListRow& row = Run().Rows()[static_cast<std::size_t>(index)];
    if (row.State == app::TRowState::Done)
        FCommon->visitHyperLink(row.Output);
    else if (row.State != app::TRowState::Converting && !row.Reason.empty())
        ShowMessageBox(Q(row.Reason));
}

void TfrmMain::TakeFilesFromElsewhere(const QStringList& paths) {
    if (!paths.isEmpty()) AddDroppedPaths(paths);
    // Brought to the front either way: the user asked for the program.
    if (isMinimized()) showNormal();
    raise();
    activateWindow();
}

} // namespace ui
