// The real main window with its message boxes and open dialog answered by
// the test, in a folder of its own (program files from the build's bin/).
#pragma once

#include "app/IniFile.h"
#include "app/ui/MainWindow.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QThread>

#include <array>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zctest {

class TTestWindow : public ui::TfrmMain {
public:
    using TfrmMain::TfrmMain;
    void ShowMessageBox(const QString& text) override { Messages.push_back(text.toStdString()); }
    bool ShowQuestionBox(const QString& text) override {
        Questions.push_back(text.toStdString());
        return Answer;
    }
    QStringList AskOpenFiles() override { return OpenFiles; }
    TSummaryChoice ShowRunSummary(const QString& text) override {
        Summaries.push_back(text.toStdString());
        return SummaryAnswer;
    }

    void Notify(const QString& text) override { Notifications.push_back(text.toStdString()); }
    QString AskFolder(const QString& caption, const QString& start) override {
        FolderQuestions.push_back({caption.toStdString(), start.toStdString()});
        return FolderAnswer;
    }

    std::vector<std::string> Messages, Questions, Summaries, Notifications;
    bool Answer = false;
    TSummaryChoice SummaryAnswer = TSummaryChoice::Close;
    QStringList OpenFiles;
    QString FolderAnswer;  // empty: the folder dialog was cancelled
    std::vector<std::array<std::string, 2>> FolderQuestions;  // caption, start
};

class TWindowTest : public testing::Test {
protected:
    // Settings written before the window is created, as section, key, value.
    void Create(const std::vector<std::array<std::string, 3>>& settings = {{"setting", "displayHelpDialog", "0"}}) {
        app::TfrmCommon common(Folders());
        ConfigFile = common.GetIniConfigFileName();
        LogFile = common.GetLogFileName();
        app::TIniFile ini(ConfigFile);
        for (const auto& s : settings) ini.WriteString(s[0], s[1], s[2]);
        W = std::make_unique<TTestWindow>(Folders());
    }
    void CreateAndShow(const std::vector<std::array<std::string, 3>>& settings = {{"setting", "displayHelpDialog", "0"}}) {
        Create(settings);
        W->show();
        Settle();
    }
    app::TCommonFolders Folders() {
        return {std::string(ZC_UI_TEST_BIN) + "/", Dir.File("appdata"), Dir.File("docs"),
                [this](const std::string& target) { Opened.push_back(target); }};
    }
    // Runs the event loop until the condition holds or the time is up.
    static bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            QApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
        return true;
    }
    static void Settle() {
        WaitFor([] { return false; }, 100);
    }
    std::string Setting(const std::string& key) const {
        return app::TIniFile(ConfigFile).ReadString("setting", key, "<missing>");
    }
    std::vector<std::string> ListPaths() const {
        std::vector<std::string> paths;
        for (int r = 0; r < W->ListViewFiles->rowCount(); ++r)
            paths.push_back(W->ListViewFiles->item(r, 0)->data(Qt::UserRole).toString().toStdString());
        return paths;
    }

    TTempDir Dir;
    std::vector<std::string> Opened;
    std::string ConfigFile, LogFile;
    std::unique_ptr<TTestWindow> W;
};

} // namespace zctest
