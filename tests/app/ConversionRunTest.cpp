#include "app/ConversionRun.h"

#include "avbind/Text.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

using namespace app;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(DurationTexts, FormatAndParse) {
    EXPECT_EQ(DurationToStr(3723456789LL), "01:02:03.456");
    EXPECT_EQ(DurationToStr(-1), "00:00:00.000");
    EXPECT_EQ(DurationToStr(360000000000LL), "100:00:00.000");
    EXPECT_EQ(StrToDuration("01:02:03.456"), 3723456000LL);
    EXPECT_EQ(StrToDuration("00:00:00"), 0);
    EXPECT_EQ(StrToDuration("01:02.5"), 0);
    EXPECT_EQ(StrToDuration("00:00:01.5"), 1005000);
    EXPECT_EQ(StrToDuration("aa:00:01.5"), 0);
}

TEST(DurationTexts, NumbersWithThousands) {
    EXPECT_EQ(KKStrToInt("128k"), 128000);
    EXPECT_EQ(KKStrToInt("64K"), 64000);
    EXPECT_EQ(KKStrToInt("44100"), 44100);
    EXPECT_THROW(KKStrToInt(""), avbind::EConvertError);
    EXPECT_THROW(KKStrToInt("k"), avbind::EConvertError);
    EXPECT_THROW(KKStrToInt("1.5k"), avbind::EConvertError);
    // Too large to fit: refused with the text named, never wrapped round.
    EXPECT_EQ(KKStrToInt("2147483k"), 2147483000);
    for (const char* big : {"2147484k", "4294968k", "3000000k", "99999999999"}) {
        try {
            KKStrToInt(big);
            ADD_FAILURE() << big << " was accepted";
        } catch (const avbind::EConvertError& e) {
            EXPECT_NE(std::string(e.what()).find(big), std::string::npos) << e.what();
        }
    }
}

TEST(DurationTexts, FilesAtOnceAndTheirThreads) {
    EXPECT_EQ(AutomaticJobs(1), 1);
    EXPECT_EQ(AutomaticJobs(2), 2);
    EXPECT_EQ(AutomaticJobs(64), 16);
    EXPECT_EQ(TaskThreads(2, 1), 2);  // one file has the whole machine
    EXPECT_EQ(TaskThreads(16, 4), 4);
    EXPECT_EQ(TaskThreads(2, 8), 1);  // never less than one
    EXPECT_EQ(TaskThreads(4, 0), 4);
    EXPECT_GE(UsableCores(), 1);
    EXPECT_EQ(ClockText(3723.4), "01:02:03");
    EXPECT_EQ(ClockText(-1), "00:00:00");
}

TEST(DurationTexts, ProgressAndOutputNames) {
    EXPECT_EQ(ProgressPercent(30900000, 61200000), 49);
    EXPECT_EQ(ProgressPercent(500000, 61200000), 0);
    EXPECT_EQ(ProgressPercent(5000000, 900000), 0);  // under a second in total: no division by zero
    EXPECT_EQ(ProgressPercent(5000000, -1), 0);
    EXPECT_EQ(OutputPath("/out", "/clips/holiday.avi", "mp4"), "/out/holiday.mp4");
    EXPECT_EQ(OutputPath("/out/", "/clips/a.b.mkv", "mp4"), "/out/a.b.mp4");
    EXPECT_EQ(OutputPath("/out", "/clips/clip", "mp4"), "/out/clip.mp4");
    // Names stay within 255 bytes, cut between characters.
    const std::string x251(251, 'x');
    EXPECT_EQ(OutputPath("/out", "/clips/" + x251 + ".avi", "webm"), "/out/" + x251.substr(0, 250) + ".webm");
    EXPECT_EQ(FitFileName(x251, " (2).mkv"), x251.substr(0, 247) + " (2).mkv");
    std::string wide;
    for (int i = 0; i < 90; ++i) wide += "\xE8\xA7\x86";  // 270 bytes of 3-byte characters
    EXPECT_EQ(FitFileName(wide, ".mp4"), wide.substr(0, 249) + ".mp4");
    EXPECT_TRUE(MatchesExtension("CLIP.AVI", "avi"));
    EXPECT_FALSE(MatchesExtension("clips", "avi"));
    EXPECT_TRUE(MatchesExtension("clips", "*"));
    EXPECT_TRUE(MatchesExtension("clip.avi", "av?"));
    EXPECT_TRUE(MatchesExtension("clip.AVI", "a*"));
    EXPECT_FALSE(MatchesExtension("clip.mkv", "a*"));
}

namespace {

class ConversionRunTest : public testing::Test {
protected:
    zctest::TTempDir FDir;
    encoder::TFFEncoder FEncoder;
    TConversionRun FRun{FEncoder, [this](const std::string& path) { return TListedSource{Duration(path)}; }};
    TProfileValues FProfile{"mp4", "mpeg4", "300k", "25", "auto", "aac", "64k", "44100", "2"};

    std::int64_t Duration(const std::string& path) {
        probe::TFFDecoder probe;
        if (!probe.LoadFile(path)) return -1;
        return probe.FileStreamInfo().Duration;
    }
    std::string Clip(const std::string& name) {
        zctest::TMediaRecipe mediaRecipe;
        mediaRecipe.Format = "matroska";
        mediaRecipe.Width = 160;
        mediaRecipe.Height = 120;
        return zctest::MakeTestMedia(FDir.File(name), mediaRecipe);
    }
    bool WaitForIdle() {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (FRun.Converting()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            avbind::PumpMainThreadQueue(5ms);
        }
        return true;
    }
};

} // namespace

TEST_F(ConversionRunTest, ListRowsAndFolders) {
    fs::create_directories(FDir.Path() / "in" / "clips");
    fs::create_directories(FDir.Path() / "in" / "more.avi");
    for (const char* name : {"in/b.avi", "in/A.AVI", "in/notes.txt", "in/clips/c.avi", "in/more.avi/d.avi"})
        std::ofstream(FDir.File(name)) << "x";
    FRun.AddFolder(FDir.File("in"), true, "avi");
    std::vector<std::string> names;
    for (const TListRow& row : FRun.Rows()) names.push_back(fs::path(row.Path).filename().string());
    // The pattern picks files: every sub-folder is entered.
    EXPECT_THAT(names, testing::ElementsAre("A.AVI", "b.avi", "c.avi", "d.avi"));
    EXPECT_EQ(FRun.Rows()[0].DurationText, "00:00:00.000");               // not media: no duration

    FRun.Clear();
    FRun.AddFolder(FDir.File("in"), true, "");
    EXPECT_EQ(FRun.Rows().size(), 5u);
    FRun.Clear();
    FRun.AddFolder(FDir.File("in"), false, "*");
    EXPECT_EQ(FRun.Rows().size(), 3u);  // folders are never rows
    EXPECT_TRUE(FRun.MoveDown(0));
    EXPECT_FALSE(FRun.MoveDown(2));
    EXPECT_FALSE(FRun.MoveUp(0));
    FRun.Remove({0, 2});
    ASSERT_EQ(FRun.Rows().size(), 1u);
}

TEST_F(ConversionRunTest, LinksBackUpAreFollowedOnceAndEachFileIsAddedOnce) {
    fs::create_directories(FDir.Path() / "top" / "sub");
    std::ofstream(FDir.File("top/a.avi")) << "x";
    std::ofstream(FDir.File("top/sub/b.avi")) << "x";
    fs::create_directory_symlink(".", FDir.File("top/loop"));
    fs::create_directory_symlink("..", FDir.File("top/sub/up"));
    fs::create_symlink("a.avi", FDir.File("top/same.avi"));
    const auto started = std::chrono::steady_clock::now();
    FRun.AddFolder(FDir.File("top"), true, "avi");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    std::vector<std::string> names;
    for (const TListRow& row : FRun.Rows()) names.push_back(fs::path(row.Path).filename().string());
    EXPECT_THAT(names, testing::ElementsAre("a.avi", "b.avi"));
}

TEST_F(ConversionRunTest, EveryRowBecomesATask) {
    const std::string a = Clip("a.mkv"), b = Clip("b.mkv");
    FRun.AddFile(a);
    FRun.AddFile(b);
    FRun.AddFile(a);  // the same file twice: the second gets a name of its own
    FRun.AddFile(FDir.File("missing.mkv"));
    EXPECT_THAT(FRun.Rows()[0].DurationText, testing::StartsWith("00:00:01."));
    FRun.LogFileName = FDir.File("log.txt");
    int ended = 0;
    FRun.OnRunEnded = [&] { ++ended; };
    const std::string out = FDir.File("out");
    ASSERT_TRUE(FRun.Start(FProfile, out));
    EXPECT_EQ(FEncoder.TasksCount(), 4);  // the missing file fails when its task starts
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(SummaryLine(FRun.Counts()), "3 converted, 1 failed");
    EXPECT_EQ(FRun.Rows()[3].State, TRowState::Failed);
    EXPECT_EQ(FRun.Rows()[3].Reason, "No such file or directory");
    EXPECT_EQ(FRun.Rows()[0].Output, out + "/a.mp4");
    EXPECT_EQ(FRun.Rows()[1].Output, out + "/b.mp4");
    EXPECT_EQ(FRun.Rows()[2].Output, out + "/a (2).mp4");
    // "aac" gets the experimental switch; other codecs keep the text empty.
    EXPECT_EQ(FEncoder.Task(0).FOutputOptions[0].ExtOptions, "strict=experimental");
    for (int row = 0; row < 3; ++row) {
        const std::string& path = FRun.Rows()[static_cast<std::size_t>(row)].Output;
        probe::TFFDecoder probe;
        ASSERT_TRUE(probe.LoadFile(path)) << path;
        EXPECT_EQ(probe.FirstVideoStreamInfo().Width, 160);
    }
    const std::string text = zctest::ReadAll(FDir.File("log.txt"));
    EXPECT_THAT(text, testing::HasSubstr("missing.mkv: failed: No such file or directory"));
    EXPECT_THAT(text, testing::Not(testing::HasSubstr("missing.mkv: " + FDir.File("missing.mkv"))));
    EXPECT_THAT(text, testing::HasSubstr("the output is written as " + out + "/a (2).mp4"));
}

TEST_F(ConversionRunTest, AnInputIsNeverTheOutput) {
    const std::string in = FDir.File("same/clip.mp4");
    fs::create_directories(FDir.Path() / "same");
    zctest::TMediaRecipe mediaRecipe;
    mediaRecipe.Format = "mp4";
    mediaRecipe.AudioCodec = "aac";
    mediaRecipe.Width = 64;
    mediaRecipe.Height = 48;
    zctest::MakeTestMedia(in, mediaRecipe);
    const auto size = fs::file_size(in);
    FRun.AddFile(in);
    ASSERT_TRUE(FRun.Start(FProfile, FDir.File("same")));
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(fs::file_size(in), size);
    EXPECT_EQ(FRun.Rows()[0].Output, FDir.File("same/clip (2).mp4"));
    EXPECT_EQ(SummaryLine(FRun.Counts()), "1 converted");

    // A hard link to the input where the output would go is the input too.
    fs::create_directories(FDir.Path() / "linked");
    fs::create_hard_link(in, FDir.File("linked/clip.mp4"));
    ASSERT_TRUE(FRun.Start(FProfile, FDir.File("linked")));
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(fs::file_size(in), size);
    EXPECT_EQ(FRun.Rows()[0].Output, FDir.File("linked/clip (2).mp4"));

    // A 255-byte name whose numbered form would be too long is shortened.
    const std::string longName = std::string(251, 'n') + ".mp4";
    fs::create_directories(FDir.Path() / "long");
    fs::copy_file(in, FDir.File("long/" + longName));
    FRun.Clear();
    FRun.AddFile(FDir.File("long/" + longName));
    ASSERT_TRUE(FRun.Start(FProfile, FDir.File("long")));
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(SummaryLine(FRun.Counts()), "1 converted");
    EXPECT_EQ(FRun.Rows()[0].Output, FDir.File("long/" + std::string(247, 'n') + " (2).mp4"));
    EXPECT_TRUE(fs::exists(FRun.Rows()[0].Output));
}

TEST_F(ConversionRunTest, ABadProfileNumberStartsNothing) {
    FRun.AddFile(Clip("a.mkv"));
    TProfileValues other = FProfile;
    other.AudioCodec = "mp2";
    ASSERT_TRUE(FRun.Start(other, FDir.File("out")));
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(FEncoder.Task(0).FOutputOptions[0].ExtOptions, "");  // only "aac" gets the experimental switch
    TProfileValues bad = FProfile;
    bad.AudioBitrate = "fast";
    EXPECT_THROW(FRun.Start(bad, FDir.File("out")), avbind::EConvertError);
    EXPECT_EQ(FEncoder.TasksCount(), 0);
    EXPECT_FALSE(FRun.Converting());
    TConversionRun empty(FEncoder, nullptr);
    EXPECT_FALSE(empty.Start(FProfile, FDir.File("out")));
}

namespace {

// Hidden files a run left in a folder (its temporary files).
std::vector<std::string> HiddenFiles(const std::string& folder) {
    std::vector<std::string> hidden;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.path().filename().string()[0] == '.') hidden.push_back(entry.path().filename().string());
    return hidden;
}

} // namespace

TEST_F(ConversionRunTest, EveryRowEndsInItsTrueStateWithItsReason) {
    const std::string good = Clip("good.mkv");
    // Every byte after the header zeroed: nothing in it can be read.
    std::string bytes = zctest::ReadAll(good);
    std::fill(bytes.begin() + 600, bytes.end(), '\0');
    const std::string damaged = FDir.Write("damaged.mkv", bytes);
    FRun.AddFile(good);
    FRun.AddFile(damaged);
    FRun.LogFileName = FDir.File("log.txt");
    const std::string out = FDir.File("out");
    ASSERT_TRUE(FRun.Start(FProfile, out));
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(FRun.Rows()[0].State, TRowState::Done);
    EXPECT_EQ(FRun.Rows()[0].Progress, 100);  // the bar stays full after the run
    EXPECT_EQ(FRun.Rows()[1].State, TRowState::Failed);
    EXPECT_FALSE(FRun.Rows()[1].Reason.empty());
    EXPECT_FALSE(fs::exists(out + "/damaged.mp4"));
    EXPECT_EQ(FRun.SummaryText(), "1 converted, 1 failed: damaged.mkv \u2014 " + FRun.Rows()[1].Reason);
    EXPECT_THAT(zctest::ReadAll(FDir.File("log.txt")), testing::HasSubstr(FRun.Rows()[1].Reason));

    // A profile the codec refuses fails every row, with the codec's reason.
    TProfileValues refused = FProfile;
    refused.VideoCodec = "h263";
    refused.VideoSize = "1280x720";
    FRun.ExistingFiles = TExistingFiles::Overwrite;
    if (FRun.Start(refused, out)) {
        ASSERT_TRUE(WaitForIdle());
    }
    EXPECT_EQ(FRun.Rows()[0].State, TRowState::Failed);
    EXPECT_THAT(FRun.Rows()[0].Reason, testing::HasSubstr("encoder"));
    EXPECT_TRUE(HiddenFiles(out).empty());
    EXPECT_GT(fs::file_size(out + "/good.mp4"), 1000u);  // the earlier output is untouched

    // An output folder that is a file: every row says so, nothing starts.
    const std::string notFolder = FDir.Write("file", "x");
    EXPECT_FALSE(FRun.Start(FProfile, notFolder));
    EXPECT_EQ(FRun.Rows()[0].State, TRowState::Failed);
    EXPECT_EQ(FRun.Rows()[0].Reason, "Cannot write into " + notFolder + ": it is not a folder");
    EXPECT_EQ(SummaryLine(FRun.Counts()), "0 converted, 2 failed");
}

TEST_F(ConversionRunTest, ExistingFilesAreKeptReplacedOrSkippedAsChosen) {
    FRun.AddFile(Clip("clip.mkv"));
    const std::string out = FDir.File("out");
    ASSERT_TRUE(FRun.Start(FProfile, out));
    ASSERT_TRUE(WaitForIdle());
    const std::string first = zctest::ReadAll(out + "/clip.mp4");
    ASSERT_FALSE(first.empty());

    // The same job again: a new name, the first output byte for byte.
    ASSERT_TRUE(FRun.Start(FProfile, out));
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(FRun.Rows()[0].State, TRowState::Done);
    EXPECT_EQ(FRun.Rows()[0].Output, out + "/clip (2).mp4");
    EXPECT_EQ(FRun.Rows()[0].Reason, "written as clip (2).mp4");
    EXPECT_EQ(zctest::ReadAll(out + "/clip.mp4"), first);

    // Skip: nothing is converted, nothing touched.
    FRun.ExistingFiles = TExistingFiles::Skip;
    EXPECT_FALSE(FRun.Start(FProfile, out));
    EXPECT_EQ(FRun.Rows()[0].State, TRowState::Skipped);
    EXPECT_EQ(FRun.Rows()[0].Reason, out + "/clip.mp4 already exists");
    EXPECT_EQ(SummaryLine(FRun.Counts()), "0 converted, 1 skipped");

    // Overwrite replaces the regular file in place.
    std::ofstream(out + "/clip.mp4", std::ios::trunc) << "old";
    FRun.ExistingFiles = TExistingFiles::Overwrite;
    ASSERT_TRUE(FRun.Start(FProfile, out));
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(FRun.Rows()[0].Output, out + "/clip.mp4");
    EXPECT_GT(fs::file_size(out + "/clip.mp4"), 1000u);

    // A symbolic link at the output name is never followed nor replaced, even when overwriting.
    const std::string target = FDir.Write("precious.txt", "keep me");
    fs::remove(out + "/clip.mp4");
    fs::create_symlink(target, out + "/clip.mp4");
    ASSERT_TRUE(FRun.Start(FProfile, out));
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(zctest::ReadAll(target), "keep me");
    EXPECT_TRUE(fs::is_symlink(out + "/clip.mp4"));
    EXPECT_EQ(FRun.Rows()[0].Output, out + "/clip (2).mp4");
    EXPECT_TRUE(HiddenFiles(out).empty());
}

TEST_F(ConversionRunTest, AStoppedRowLeavesNothingUnderItsNameAndFinishedOnesStay) {
    const std::string quick = Clip("quick.mkv");
    zctest::TMediaRecipe longRecipe;
    longRecipe.Format = "matroska";
    longRecipe.Seconds = 30;
    longRecipe.Width = 640;
    longRecipe.Height = 480;
    const std::string slow = zctest::MakeTestMedia(FDir.File("slow.mkv"), longRecipe);
    FRun.AddFile(quick);
    FRun.AddFile(slow);
    FRun.AddFile(Clip("queued.mkv"));
    const std::string out = FDir.File("out");
    std::vector<int> stateChanges;
    FRun.OnRowState = [&](int row) { stateChanges.push_back(row); };
    ASSERT_TRUE(FRun.Start(FProfile, out, 2));
    // Only running tasks' files exist, hidden, before anything finished.
    for (const auto& entry : fs::directory_iterator(out))
        EXPECT_EQ(entry.path().filename().string()[0], '.') << entry.path();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (FRun.Rows()[0].State != TRowState::Done && std::chrono::steady_clock::now() < deadline)
        avbind::PumpMainThreadQueue(5ms);
    ASSERT_EQ(FRun.Rows()[0].State, TRowState::Done);
    FRun.Stop();
    EXPECT_FALSE(FRun.Converting());
    EXPECT_EQ(FRun.Rows()[1].State, TRowState::Stopped);
    EXPECT_EQ(FRun.Rows()[2].State, TRowState::Stopped);
    EXPECT_EQ(SummaryLine(FRun.Counts()), "1 converted, 2 stopped");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) names.push_back(entry.path().filename().string());
    EXPECT_THAT(names, testing::ElementsAre("quick.mp4"));
    EXPECT_GE(std::count(stateChanges.begin(), stateChanges.end(), 1), 1);
}

TEST(MoveIntoPlace, NeverReplacesWhatItMayNot) {
    zctest::TTempDir dir;
    const std::string existing = dir.Write("a.mp4", "old");
    std::string path = existing;
    std::string error;
    ASSERT_TRUE(MoveIntoPlace(dir.Write(".t1", "new"), path, false, error)) << error;
    EXPECT_EQ(path, dir.File("a (2).mp4"));
    EXPECT_EQ(zctest::ReadAll(existing), "old");
    path = existing;
    ASSERT_TRUE(MoveIntoPlace(dir.Write(".t2", "newer"), path, true, error)) << error;
    EXPECT_EQ(path, existing);
    EXPECT_EQ(zctest::ReadAll(existing), "newer");
    fs::create_directory(dir.File("b.mp4"));  // not a regular file: kept even when replacing
    path = dir.File("b.mp4");
    ASSERT_TRUE(MoveIntoPlace(dir.Write(".t3", "x"), path, true, error)) << error;
    EXPECT_EQ(path, dir.File("b (2).mp4"));
    path = dir.File("missing/c.mp4");
    EXPECT_FALSE(MoveIntoPlace(dir.Write(".t4", "x"), path, false, error));
    EXPECT_THAT(error, testing::HasSubstr("No such file or directory"));
}

TEST_F(ConversionRunTest, AtMostJobsRowsRunAndTheListReportsItsTimeLeft) {
    std::vector<std::string> clips;
    for (int i = 0; i < 5; ++i) {
        clips.push_back(Clip("c" + std::to_string(i) + ".mkv"));
        FRun.AddFile(clips.back());
    }
    FEncoder.SetProgressInterval(100);
    ASSERT_TRUE(FRun.Start(FProfile, FDir.File("out"), 2));
    int mostConverting = 0;
    int lastPercent = 0;
    FRun.OnRowProgress = [&](int) {
        const TListProgress all = FRun.ListProgress();
        EXPECT_GE(all.Percent, lastPercent);  // the whole list only moves forward
        lastPercent = all.Percent;
    };
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (FRun.Converting() && std::chrono::steady_clock::now() < deadline) {
        int converting = 0;
        for (int t = 0; t < FEncoder.TasksCount(); ++t) converting += FEncoder.Task(t).Converting() ? 1 : 0;
        mostConverting = std::max(mostConverting, converting);
        avbind::PumpMainThreadQueue(2ms);
    }
    ASSERT_FALSE(FRun.Converting());
    EXPECT_LE(mostConverting, 2);
    EXPECT_EQ(SummaryLine(FRun.Counts()), "5 converted");
    EXPECT_EQ(FRun.ListProgress().Percent, 100);
}

TEST_F(ConversionRunTest, AnAutomaticFrameRateKeepsTheSourcesRate) {
    zctest::TMediaRecipe tenFps;
    tenFps.Format = "matroska";
    tenFps.Width = 160;
    tenFps.Height = 120;
    tenFps.FrameRate = {10, 1};
    FRun.AddFile(zctest::MakeTestMedia(FDir.File("ten.mkv"), tenFps));
    TProfileValues automatic = FProfile;
    automatic.FrameRate = "auto";
    ASSERT_TRUE(FRun.Start(automatic, FDir.File("out")));
    ASSERT_TRUE(WaitForIdle());
    ASSERT_EQ(FRun.Rows()[0].State, TRowState::Done) << FRun.Rows()[0].Reason;
    probe::TFFDecoder probe;
    ASSERT_TRUE(probe.LoadFile(FRun.Rows()[0].Output));
    const AVRational rate = probe.FirstVideoStreamInfo().FrameRate;
    EXPECT_NEAR(static_cast<double>(rate.num) / rate.den, 10.0, 0.01);
}

TEST_F(ConversionRunTest, ReadableExtensionsAreMediaOnes) {
    const std::vector<std::string> extensions = ReadableExtensions();
    const auto count = [&](const char* e) { return std::count(extensions.begin(), extensions.end(), e); };
    // The common ones, and those the loaded libraries name (without repeats).
    for (const char* e : {"mkv", "mp4", "ts", "mpg", "wav", "flac", "webm", "ape", "tak", "mxf"}) EXPECT_EQ(count(e), 1) << e;
    // Text, subtitles, pictures and raw pictures without a size are not taken.
    for (const char* e : {"txt", "srt", "vtt", "idx", "nfo", "ppm", "j2k", "yuv", "m3u8", "cgi", "v", "mks", "avif",
                          "mpo", "adf", "sw", "ul"})
        EXPECT_EQ(count(e), 0) << e;
}
