#include "app/ui/InstanceLink.h"
#include "tests/app/ui/UiFixture.h"
#include "tests/support/MediaFixtures.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMimeData>
#include <QStatusBar>
#include <QUrl>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using UiMainWindow = zctest::TWindowTest;

using zctest::ReadAll;

TEST_F(UiMainWindow, StartUpShowsTitleProfilesOutputFolderAndEmptiesTheLog) {
    Create({{"setting", "displayHelpDialog", "0"}, {"app", "version", "2.1"}});
    std::ofstream(LogFile) << "old run\n";
    W->show();
    Settle();

    EXPECT_EQ(W->windowTitle().toStdString(), "zconv Video Converter 2.1");
    EXPECT_EQ(W->ButtonAdd->text().toStdString(), "Add");
    EXPECT_EQ(W->ButtonConverter->text().toStdString(), "Convert");
    EXPECT_EQ(W->N_Convert->text().toStdString(), "&Start");  // its own caption until a run starts
    EXPECT_EQ(W->labelOutputFolderNotice->text().toStdString(),
              "Converted files are saved here. Default: Documents/ZconvVideoConverter");
    const char* columns[] = {"File", "Start Time", "End Time", "Size", "Frame rate", "Progress"};
    ASSERT_EQ(W->ListViewFiles->columnCount(), 6);
    for (int c = 0; c < 6; ++c) EXPECT_EQ(W->ListViewFiles->horizontalHeaderItem(c)->text().toStdString(), columns[c]);

    // Every shipped profile is listed; the last one found is active.
    const auto& entries = W->Catalogue().arrayCommonProfiles;
    ASSERT_GE(entries.size(), 2u);
    ASSERT_EQ(W->ComboBoxOutputFormat->count(), static_cast<int>(entries.size()));
    EXPECT_EQ(W->ComboBoxOutputFormat->currentIndex(), W->ComboBoxOutputFormat->count() - 1);
    EXPECT_EQ(W->ComboBoxOutputFormat->itemText(0).toStdString(), entries[0].strPfTitle_en);
    EXPECT_EQ(W->VideoProfile().GetProfileName(), entries.back().strPfTitle_en);

    // The default output folder gets its trailing separator and is created.
    const std::string folder = Dir.File("docs") + "/ZconvVideoConverter/";
    EXPECT_EQ(W->EditOutputFolder->text().toStdString(), folder);
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(W->Messages.empty());  // the libraries were found
    EXPECT_EQ(ReadAll(LogFile), "");

    // Resizable: the original 474 x 432 client area is the least it takes,
    // and the list grows with the window.
    EXPECT_GE(W->centralWidget()->width(), 474);
    EXPECT_GE(W->centralWidget()->height(), 432);
    EXPECT_NE(W->minimumSize(), W->maximumSize());
    const int listWidth = W->ListViewFiles->width();
    W->resize(W->width() + 200, W->height() + 100);
    Settle();
    EXPECT_GE(W->ListViewFiles->width(), listWidth + 150);

    // Choosing another device makes its profile the active one.
    W->ComboBoxOutputFormat->setCurrentIndex(0);
    emit W->ComboBoxOutputFormat->activated(0);
    EXPECT_EQ(W->VideoProfile().GetProfileName(), entries[0].strPfTitle_en);
}

TEST_F(UiMainWindow, StartUpMessagesStayInTheLog) {
    // A damaged profile among the shipped ones, in a program folder of its own.
    const std::string bin = Dir.File("bin");
    fs::create_directories(bin);
    fs::copy(std::string(ZC_UI_TEST_BIN) + "/language", bin + "/language", fs::copy_options::recursive);
    fs::copy(std::string(ZC_UI_TEST_BIN) + "/profile", bin + "/profile", fs::copy_options::recursive);
    fs::copy_file(std::string(ZC_UI_TEST_BIN) + "/product.ini", bin + "/product.ini");
    std::ofstream(bin + "/profile/zz-damaged.pf") << "\x01\x02 not a profile";
    app::TCommonFolders folders = Folders();
    folders.AppPath = bin + "/";
    app::TfrmCommon common(folders);
    app::TIniFile(common.GetIniConfigFileName()).WriteString("setting", "displayHelpDialog", "0");
    std::ofstream(common.GetLogFileName()) << "old run\n";
    W = std::make_unique<zctest::TTestWindow>(folders);
    W->show();
    Settle();
    const std::string log = ReadAll(common.GetLogFileName());
    EXPECT_THAT(log, testing::HasSubstr("zz-damaged.pf"));
    EXPECT_THAT(log, testing::Not(testing::HasSubstr("old run")));
}

TEST_F(UiMainWindow, AnOutputFolderSettingWithItsSeparatorIsShownUnchanged) {
    const std::string out = Dir.File("out") + "/";
    CreateAndShow({{"setting", "displayHelpDialog", "0"}, {"setting", "folder", out}});
    EXPECT_EQ(W->EditOutputFolder->text().toStdString(), out);
    EXPECT_TRUE(fs::is_directory(out));
}

TEST_F(UiMainWindow, AddingMovingRemovingAndClearingRows) {
    CreateAndShow();
    const std::string clip = zctest::MakeTestMedia(Dir.File("a.avi"), {.Format = "avi", .Seconds = 1.0});
    const std::string b = Dir.Write("b.avi", "not a video"), c = Dir.Write("c.avi", "");
    W->OpenFiles = {QString::fromStdString(clip), QString::fromStdString(b), QString::fromStdString(c)};
    W->ButtonAdd->click();
    ASSERT_EQ(ListPaths(), (std::vector<std::string>{clip, b, c}));
    // The name is shown, the whole path is the tooltip.
    EXPECT_EQ(W->ListViewFiles->item(0, 0)->text().toStdString(), "a.avi");
    EXPECT_THAT(W->ListViewFiles->item(0, 0)->toolTip().toStdString(), testing::StartsWith(clip));
    EXPECT_EQ(W->ListViewFiles->item(0, 1)->text().toStdString(), "00:00:00");
    EXPECT_NE(W->ListViewFiles->item(0, 2)->text().toStdString(), "00:00:00.000");  // probed
    EXPECT_EQ(W->ListViewFiles->item(1, 2)->text().toStdString(), "00:00:00.000");  // unreadable: still listed
    // The source's picture size and frame rate; nothing for an unreadable file.
    EXPECT_EQ(W->ListViewFiles->item(0, 3)->text().toStdString(), "320x240");
    EXPECT_EQ(W->ListViewFiles->item(0, 4)->text().toStdString(), "25 fps");
    EXPECT_EQ(W->ListViewFiles->item(1, 3)->text().toStdString(), "");
    EXPECT_EQ(W->ListViewFiles->item(1, 4)->text().toStdString(), "");
    for (int r = 0; r < 3; ++r) {
        ASSERT_NE(W->RowBar(r), nullptr);
        EXPECT_EQ(W->RowBar(r)->value(), 0);
    }

    // A file in the list already is not added again, and the user is told.
    W->OpenFiles = {QString::fromStdString(clip)};
    W->N_Add->trigger();
    EXPECT_EQ(W->ListViewFiles->rowCount(), 3);
    EXPECT_EQ(W->statusBar()->currentMessage().toStdString(), "1 file is in the list already and was not added again.");
    EXPECT_TRUE(W->Messages.empty());
    W->Messages.clear();
    EXPECT_EQ(W->N_Add->shortcut(), QKeySequence(QKeySequence::Open));
    EXPECT_EQ(W->N_Remove->shortcut(), QKeySequence(QKeySequence::Delete));
    EXPECT_EQ(W->N_Exit->shortcut(), QKeySequence(QKeySequence::Quit));
    EXPECT_EQ(W->N_BatchAdd->shortcut(), QKeySequence("Ctrl+Shift+O"));
    EXPECT_TRUE(W->N_Remove->shortcuts().contains(QKeySequence(Qt::Key_Backspace)));
    EXPECT_EQ(W->N_Convert->shortcut(), QKeySequence("Ctrl+Return"));
    EXPECT_EQ(W->SelectAllRows->shortcut(), QKeySequence(QKeySequence::SelectAll));

    W->ListViewFiles->selectRow(2);
    W->ButtonMoveUp->click();
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{clip, c, b}));
    EXPECT_EQ(W->ListViewFiles->currentRow(), 1);
    W->ButtonMoveDown->click();
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{clip, b, c}));
    EXPECT_EQ(W->ListViewFiles->currentRow(), 2);
    W->ButtonMoveDown->click();  // already last
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{clip, b, c}));
    W->ListViewFiles->selectRow(0);
    W->ButtonMoveUp->click();  // already first
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{clip, b, c}));

    W->ListViewFiles->selectRow(1);
    W->ButtonRemove->click();
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{clip, c}));
    W->ListViewFiles->clearSelection();
    W->ButtonRemove->click();  // nothing selected: nothing removed
    EXPECT_EQ(W->ListViewFiles->rowCount(), 2);
    EXPECT_NE(W->RowBar(1), nullptr);

    // Several selected rows move together.
    W->OpenFiles = {QString::fromStdString(b)};
    W->ButtonAdd->click();
    ASSERT_EQ(ListPaths(), (std::vector<std::string>{clip, c, b}));
    W->ListViewFiles->clearSelection();
    for (int r : {1, 2})
        W->ListViewFiles->selectionModel()->select(W->ListViewFiles->model()->index(r, 0),
                                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    W->ButtonMoveUp->click();
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{c, b, clip}));
    W->ButtonMoveUp->click();  // the first is at the top: nothing moves
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{c, b, clip}));
    W->ButtonMoveDown->click();
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{clip, c, b}));
    EXPECT_EQ(W->ListViewFiles->selectionModel()->selectedRows().size(), 2);
    W->ListViewFiles->clearSelection();
    W->ListViewFiles->selectRow(2);
    W->ButtonRemove->click();
    ASSERT_EQ(ListPaths(), (std::vector<std::string>{clip, c}));

    // Several selected rows go at once.
    W->OpenFiles = {QString::fromStdString(b)};
    W->ButtonAdd->click();
    W->SelectAllRows->trigger();
    EXPECT_EQ(W->ListViewFiles->selectionModel()->selectedRows().size(), 3);
    W->N_Remove->trigger();
    EXPECT_EQ(W->ListViewFiles->rowCount(), 0);

    W->OpenFiles = {QString::fromStdString(b)};
    W->ButtonAdd->click();
    W->ButtonClearAll->click();
    EXPECT_EQ(W->ListViewFiles->rowCount(), 0);
    EXPECT_EQ(W->RowBar(0), nullptr);

    // An empty list starts nothing and says why.
    W->ButtonConverter->click();
    EXPECT_FALSE(W->Converting());
    EXPECT_TRUE(W->ButtonAdd->isEnabled());
    EXPECT_EQ(W->Messages, (std::vector<std::string>{"The list is empty: add the files to convert first."}));
}

TEST_F(UiMainWindow, TabEntersAndLeavesTheList) {
    CreateAndShow();
    for (const char* name : {"a.avi", "b.avi"}) W->AddFileToListView(QString::fromStdString(Dir.Write(name, "")));
    W->ListViewFiles->setCurrentCell(0, 0);
    W->activateWindow();
    // The list comes first; Tab goes on to the buttons instead of walking its cells.
    W->ListViewFiles->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == W->ListViewFiles; }));
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(W->ListViewFiles, &tab);
    EXPECT_TRUE(WaitFor([&] { return QApplication::focusWidget() == W->ButtonAdd; }))
        << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "none");
    QKeyEvent back(QEvent::KeyPress, Qt::Key_Backtab, Qt::ShiftModifier);
    QApplication::sendEvent(W->ButtonAdd, &back);
    EXPECT_TRUE(WaitFor([&] { return QApplication::focusWidget() == W->ListViewFiles; }));
}

TEST_F(UiMainWindow, FilesThatComeDuringAFolderScanAreAddedAfterIt) {
    CreateAndShow();
    fs::create_directories(Dir.Path() / "scan");
    const std::string a = Dir.Write("scan/a.avi", ""), b = Dir.Write("scan/b.avi", "");
    const std::string later = Dir.Write("later.avi", "");
    // The scan keeps the window answering; a second start hands a file over meanwhile.
    bool handed = false;
    W->Run().ScanStopped = [&] {
        if (!handed) {
            handed = true;
            W->TakeFilesFromElsewhere({QString::fromStdString(later)});
        }
        return false;
    };
    W->AddDroppedPaths({QString::fromStdString(Dir.File("scan"))});
    ASSERT_TRUE(handed);
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{a, b, later}));
}

TEST_F(UiMainWindow, TheSizeColumnsShowTheVideoNotACoverBesideIt) {
    CreateAndShow();
    zctest::TMediaRecipe recipe;
    recipe.Format = "mp4";
    recipe.AudioCodec = "aac";
    recipe.CoverPicture = true;  // a 1x1 picture after the video stream
    W->AddFileToListView(QString::fromStdString(zctest::MakeTestMedia(Dir.File("covered.mp4"), recipe)));
    ASSERT_EQ(W->ListViewFiles->rowCount(), 1);
    EXPECT_EQ(W->ListViewFiles->item(0, 3)->text().toStdString(), "320x240");
    EXPECT_EQ(W->ListViewFiles->item(0, 4)->text().toStdString(), "25 fps");
}

TEST_F(UiMainWindow, DroppedFilesAndFoldersBecomeRows) {
    CreateAndShow();
    fs::create_directories(Dir.Path() / "drop" / "sub");
    const std::string y = Dir.Write("drop/y.avi", ""), x = Dir.Write("drop/sub/x.MKV", "");
    Dir.Write("drop/notes.txt", "");
    const std::string single = Dir.Write("single.bin", "");

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(single)),
                  QUrl::fromLocalFile(QString::fromStdString(Dir.File("drop")))});
    QDragEnterEvent enter(QPoint(20, 40), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(W.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(20, 40), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(W.get(), &drop);
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{single, x, y}));
}

TEST_F(UiMainWindow, FailedProfileNumberIsShownAndNothingStarts) {
    CreateAndShow();
    W->AddFileToListView(QString::fromStdString(Dir.Write("a.avi", "")));
    W->VideoProfile().SetAudioBitrateDefault("fast");
    W->ButtonConverter->click();
    ASSERT_EQ(W->Messages.size(), 1u);
    EXPECT_NE(W->Messages[0].find("fast"), std::string::npos);
    EXPECT_FALSE(W->Converting());
    EXPECT_TRUE(W->ButtonAdd->isEnabled());
}

class UiConversionRun : public zctest::TWindowTest {
protected:
    void SetUpRun(double seconds) {
        CreateAndShow({{"setting", "displayHelpDialog", "0"}, {"setting", "folder", Dir.File("out")}});
        // A small, quick profile: MPEG-4 and AAC at 320x240.
        const auto& entries = W->Catalogue().arrayCommonProfiles;
        const auto found = std::find_if(entries.begin(), entries.end(), [](const app::TProfile& p) {
            return p.strFileName.find("mpeg4-aac-320x240") != std::string::npos;
        });
        ASSERT_NE(found, entries.end());
        const int index = static_cast<int>(found - entries.begin());
        W->ComboBoxOutputFormat->setCurrentIndex(index);
        emit W->ComboBoxOutputFormat->activated(index);
        W->Encoder().SetProgressInterval(100);
        for (const char* name : {"one.avi", "two.avi"}) {
            const std::string clip = zctest::MakeTestMedia(Dir.File(name), {.Format = "avi", .Seconds = seconds});
            W->AddFileToListView(QString::fromStdString(clip));
        }
        for (int r = 0; r < 2; ++r)
            QObject::connect(W->RowBar(r), &QProgressBar::valueChanged,
                             [this, r](int v) { Highest[r] = std::max(Highest[r], v); });
    }
    // Each row's bar shows its state after the run; Done rows are full.
    void ExpectRowStates(const std::vector<std::string>& states) {
        ASSERT_EQ(W->ListViewFiles->rowCount(), static_cast<int>(states.size()));
        for (int r = 0; r < W->ListViewFiles->rowCount(); ++r) {
            EXPECT_EQ(W->RowBar(r)->text().toStdString(), states[static_cast<std::size_t>(r)]) << r;
            if (states[static_cast<std::size_t>(r)] == "Done") {
                EXPECT_EQ(W->RowBar(r)->value(), 100);
            }
        }
    }
    void ExpectIdle() {
        EXPECT_FALSE(W->Converting());
        for (QWidget* w : std::initializer_list<QWidget*>{W->ButtonAdd, W->ButtonRemove, W->ButtonClearAll,
                                                          W->ButtonMoveUp, W->ButtonMoveDown, W->ButtonSettingAdvance,
                                                          W->ButtonSelectOuputFolder, W->EditOutputFolder,
                                                          W->ComboBoxOutputFormat})
            EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
        EXPECT_TRUE(W->N_BatchAdd->isEnabled());
        EXPECT_EQ(W->ButtonConverter->text().toStdString(), "Convert");
        EXPECT_EQ(W->N_Convert->text().toStdString(), "Convert");
    }
    int Highest[2] = {0, 0};
};

TEST_F(UiConversionRun, TwoClipsConvertWithMovingBarsAndTheFinalNoticeReturnsToIdle) {
    SetUpRun(3.0);
    W->Answer = true;
    W->ButtonConverter->click();
    ASSERT_TRUE(W->Converting());
    EXPECT_FALSE(W->ButtonAdd->isEnabled());
    EXPECT_FALSE(W->N_ClearAll->isEnabled());
    EXPECT_FALSE(W->EditOutputFolder->isEnabled());
    EXPECT_TRUE(W->ButtonConverter->isEnabled());
    EXPECT_EQ(W->ButtonConverter->text().toStdString(), "Stop");
    EXPECT_EQ(W->N_Convert->text().toStdString(), "Stop");
    // Files that come during the run (another start, a drop, Add folder) wait
    // for its end instead of being lost.
    const std::string later = Dir.Write("later.avi", "");
    W->TakeFilesFromElsewhere({QString::fromStdString(later)});
    EXPECT_EQ(W->ListViewFiles->rowCount(), 2);
    EXPECT_EQ(W->statusBar()->currentMessage().toStdString(), "Added to the list when the conversion ends.");

    ASSERT_TRUE(WaitFor([&] { return !W->Converting() && !W->Questions.empty(); }, 120000));
    ExpectIdle();
    ASSERT_TRUE(WaitFor([&] { return W->ListViewFiles->rowCount() == 3; }));
    EXPECT_EQ(ListPaths().back(), later);
    EXPECT_EQ(W->Run().Rows()[2].State, app::TRowState::Waiting);
    W->ListViewFiles->selectRow(2);
    W->ButtonRemove->click();
    ExpectRowStates({"Done", "Done"});
    EXPECT_TRUE(W->Summaries.empty());
    EXPECT_GT(Highest[0], 0);
    EXPECT_GT(Highest[1], 0);
    for (const char* name : {"one.mp4", "two.mp4"}) EXPECT_GT(fs::file_size(Dir.File("out/") + name), 1000u) << name;

    // The completion prompt: Yes opens the output folder, then the import guide.
    ASSERT_EQ(W->Questions.size(), 1u);
    EXPECT_EQ(W->Questions[0], W->Texts().strLanguage_MsgProcessFinished);
    ASSERT_EQ(Opened.size(), 2u);
    EXPECT_EQ(Opened[0], W->EditOutputFolder->text().toStdString());
    EXPECT_EQ(Opened[1], W->Common().strCommonHowToUseItunes);
    EXPECT_FALSE(ReadAll(LogFile).empty());  // library and engine lines reach the log file

    // Rows stay; a new run converts them again.
    EXPECT_EQ(W->ListViewFiles->rowCount(), 2);
}

TEST_F(UiConversionRun, AStopIsToldTruthfullyOnceAndLeavesNoPartialFile) {
    SetUpRun(20.0);
    W->SummaryAnswer = zctest::TTestWindow::TSummaryChoice::OpenLog;
    W->ButtonConverter->click();
    ASSERT_TRUE(W->Converting());
    WaitFor([] { return false; }, 300);
    W->ButtonConverter->click();
    EXPECT_FALSE(W->Converting());
    ExpectIdle();
    ExpectRowStates({"Stopped", "Stopped"});
    // The encoder's final notice after a stop does not report a second time.
    WaitFor([] { return false; }, 1000);
    EXPECT_TRUE(W->Questions.empty());  // not the "finished" prompt
    EXPECT_EQ(W->Summaries, (std::vector<std::string>{"0 converted, 2 stopped"}));
    EXPECT_EQ(Opened, (std::vector<std::string>{LogFile}));
    EXPECT_FALSE(fs::exists(Dir.File("out")) && !fs::is_empty(Dir.File("out")));
}

TEST_F(UiConversionRun, ABatchWithAFailureEndsWithASummaryAndRowsThatSayWhy) {
    SetUpRun(1.0);
    W->AddFileToListView(QString::fromStdString(Dir.Write("broken.avi", std::string(4000, 'x'))));
    W->ButtonConverter->click();
    ASSERT_TRUE(WaitFor([&] { return !W->Converting() && !W->Summaries.empty(); }, 60000));
    ExpectRowStates({"Done", "Done", "Failed"});
    EXPECT_THAT(W->RowBar(2)->toolTip().toStdString(), testing::StartsWith("Failed: "));
    {
        // A finished row opens its output (menu and double-click), a failed one shows why.
        const auto entries = [&](int row) {
            std::vector<std::string> names;
            const std::unique_ptr<QMenu> menu = W->CreateRowMenu(row);
            for (QAction* a : menu->actions()) names.push_back(a->objectName().toStdString());
            return names;
        };
        const auto trigger = [&](int row, const char* name) {
            std::unique_ptr<QMenu> menu = W->CreateRowMenu(row);
            menu->findChild<QAction*>(name)->trigger();
        };
        EXPECT_EQ(entries(0), (std::vector<std::string>{"RowRemove", "RowOpenFolder", "RowOpenOutput"}));
        EXPECT_EQ(entries(2), (std::vector<std::string>{"RowRemove", "RowOpenFolder", "RowShowReason"}));
        Opened.clear();
        trigger(0, "RowOpenOutput");
        trigger(2, "RowOpenFolder");
        W->RowActivated(0);
        EXPECT_EQ(Opened, (std::vector<std::string>{Dir.File("out/one.mp4"), Dir.Path().string(),
                                                    Dir.File("out/one.mp4")}));
        trigger(2, "RowShowReason");
        W->RowActivated(2);
        ASSERT_EQ(W->Messages.size(), 2u);
        EXPECT_EQ(W->Messages[0], W->Run().Rows()[2].Reason);
        EXPECT_EQ(W->Messages[1], W->Run().Rows()[2].Reason);
        W->Messages.clear();
    }
    ASSERT_EQ(W->Summaries.size(), 1u);
    EXPECT_THAT(W->Summaries[0], testing::StartsWith("2 converted, 1 failed: broken.avi \u2014 "));
    EXPECT_TRUE(W->Questions.empty());
    EXPECT_GT(fs::file_size(Dir.File("out/one.mp4")), 1000u);

    // The same job again keeps the first outputs and names the new ones "(2)".
    const std::string first = ReadAll(Dir.File("out/one.mp4"));
    W->Summaries.clear();
    W->ButtonConverter->click();
    ASSERT_TRUE(WaitFor([&] { return !W->Converting() && !W->Summaries.empty(); }, 60000));
    EXPECT_EQ(ReadAll(Dir.File("out/one.mp4")), first);
    EXPECT_TRUE(fs::exists(Dir.File("out/one (2).mp4")));
    EXPECT_THAT(W->RowBar(0)->toolTip().toStdString(), testing::HasSubstr("written as one (2).mp4"));
}

TEST_F(UiConversionRun, ClosingDuringARunAsksAndStopsCleanly) {
    SetUpRun(20.0);
    W->ButtonConverter->click();
    ASSERT_TRUE(W->Converting());
    WaitFor([] { return false; }, 300);
    W->Answer = false;
    EXPECT_FALSE(W->close());
    EXPECT_EQ(W->Questions, (std::vector<std::string>{"2 conversions are running. Stop them and quit?"}));
    EXPECT_TRUE(W->Converting());
    W->Answer = true;
    EXPECT_TRUE(W->close());
    EXPECT_FALSE(W->Converting());
    EXPECT_TRUE(W->Summaries.empty());
    std::error_code ec;
    EXPECT_TRUE(fs::is_empty(Dir.File("out"), ec));  // nothing half-written, under any name
}

TEST_F(UiConversionRun, NoCompletionPromptWhenSwitchedOff) {
    SetUpRun(1.0);
    W->frmSetting->CheckBoxViewHowToUseItunes->click();
    W->ButtonConverter->click();
    ASSERT_TRUE(WaitFor([&] { return !W->Converting(); }, 60000));
    WaitFor([] { return false; }, 300);
    EXPECT_TRUE(W->Questions.empty());
    EXPECT_TRUE(W->Summaries.empty());
    // Without the prompt, the desktop is told.
    EXPECT_EQ(W->Notifications, (std::vector<std::string>{"2 converted"}));
    ExpectIdle();
}

TEST_F(UiMainWindow, TheWindowComesBackWhereAndAsLargeAsItWasLeft) {
    CreateAndShow();
    W->resize(900, 640);
    Settle();
    const QSize size = W->size();
    W->close();
    W.reset();
    CreateAndShow();
    EXPECT_EQ(W->size(), size);
    EXPECT_NE(Setting("geometry"), "");
}

TEST_F(UiMainWindow, FilesFromASecondStartReachTheRunningWindow) {
    CreateAndShow();
    const std::string clip = Dir.Write("clip.avi", "");
    const QString name = ui::InstanceLinkName(QString::fromStdString(Dir.File("appdata")));
    // Nobody listens yet: the second start would open its own window.
    EXPECT_FALSE(ui::HandToRunningInstance(name, {QString::fromStdString(clip)}));
    const ui::TInstanceLink link(name, [&](const QStringList& paths) { W->TakeFilesFromElsewhere(paths); });
    ASSERT_TRUE(link.Listening());
    // Names relative to the second start's folder arrive whole.
    const QString here = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(Dir.Path().string()));
    const bool handed = ui::HandToRunningInstance(name, {"clip.avi"});
    QDir::setCurrent(here);
    ASSERT_TRUE(handed);
    ASSERT_TRUE(WaitFor([&] { return W->ListViewFiles->rowCount() == 1; }));
    EXPECT_EQ(ListPaths(), (std::vector<std::string>{clip}));
    // A start without files only brings the window forward.
    EXPECT_TRUE(ui::HandToRunningInstance(name, {}));
    Settle();
    EXPECT_EQ(W->ListViewFiles->rowCount(), 1);
    // A name with a line end in it arrives whole.
    const std::string odd = Dir.Write("two\nlines.avi", "");
    ASSERT_TRUE(ui::HandToRunningInstance(name, {QString::fromStdString(odd)}));
    ASSERT_TRUE(WaitFor([&] { return W->ListViewFiles->rowCount() == 2; }));
    EXPECT_EQ(ListPaths().back(), odd);
    // The socket lies in a folder only this user can enter.
    struct stat folder {};
    ASSERT_EQ(lstat(QFileInfo(name).path().toLocal8Bit().constData(), &folder), 0);
    EXPECT_EQ(folder.st_uid, getuid());
    EXPECT_EQ(folder.st_mode & 077, 0u);
    // Another settings folder is another window.
    EXPECT_NE(ui::InstanceLinkName(QString::fromStdString(Dir.File("other"))), name);
}

TEST_F(UiMainWindow, HelpLinksOpenPagesShippedWithTheProgram) {
    for (const char* language : {"2", "1"}) {
        CreateAndShow({{"setting", "displayHelpDialog", "0"}, {"common", "language", language}});
        const app::TfrmCommon& c = W->Common();
        for (const std::string& link :
             {c.strCommonHelpUrl, c.strCommonHomepageUrl, c.strFeedbackUrl, c.strCommonHowToUseItunes}) {
            const QUrl url(QString::fromStdString(link));
            ASSERT_TRUE(url.isLocalFile()) << link;
            const std::string page = url.toLocalFile().toStdString();
            EXPECT_TRUE(fs::is_regular_file(page)) << link;
            // The part a link names is on its page.
            if (url.hasFragment()) {
                EXPECT_NE(ReadAll(page).find("id=\"" + url.fragment().toStdString() + "\""), std::string::npos) << link;
            }
        }
        EXPECT_NE(c.strCommonHelpUrl.find(std::string(language) == "1" ? "/help/zh/" : "/help/en/"), std::string::npos);
        W.reset();
    }
}

TEST(UiOpening, WhatCannotBeOpenedIsSaidWithWhereItIs) {
    EXPECT_EQ(ui::CannotOpenText("/tmp/my clips/log.txt").toStdString(),
              "No program is set up on this desktop to open it. It is here:\n/tmp/my clips/log.txt");
    EXPECT_EQ(ui::CannotOpenText("file:///usr/lib/zconv/help/en/index.html#edition-21").toStdString(),
              "No program is set up on this desktop to open it. It is here:\n/usr/lib/zconv/help/en/index.html");
    EXPECT_EQ(ui::CannotOpenText("mailto:help@example.org").toStdString(),
              "No mail program is set up on this desktop. Write to help@example.org.");
    EXPECT_TRUE(ui::OpenedUrl("/tmp/a#b.mp4").isLocalFile());
    EXPECT_EQ(ui::OpenedUrl("/tmp/a#b.mp4").toLocalFile().toStdString(), "/tmp/a#b.mp4");
}

TEST_F(UiMainWindow, MenuEntriesOpenTheirLinksAndTheLog) {
    CreateAndShow();
    W->N_ViewLog->trigger();
    W->N_LocalHelp->trigger();
    W->N_Support->trigger();
    ASSERT_EQ(Opened.size(), 3u);
    EXPECT_EQ(Opened[0], LogFile);
    EXPECT_EQ(Opened[1], W->Common().strCommonHelpUrl);
    EXPECT_EQ(Opened[2].rfind("mailto:", 0), 0u);
    const std::string about = W->AboutText().toStdString();
    EXPECT_THAT(about, testing::HasSubstr(std::string("Version ") + ZC_VERSION));
    EXPECT_THAT(about, testing::HasSubstr("avcodec 59."));
}

} // namespace
