#include "app/Des.h"
#include "app/VideoProfile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using app::TVideoProfile;

const std::string kLine =
    "My Phone[TAMBRIL]我的手机[TAMBRIL]mp4[TAMBRIL]mp4[TAMBRIL]mpeg4|mpeg4|1[TAMBRIL]"
    "768k|384k;512k;768k|1[TAMBRIL]25|15;25;30|1[TAMBRIL]auto|auto;320x240;480x320|1[TAMBRIL]1[TAMBRIL]"
    "aac|aac|1[TAMBRIL]128k|64k;96k;128k|1[TAMBRIL]44100|22050;44100|1[TAMBRIL]2|1;2|1[TAMBRIL]1[TAMBRIL]";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every field different from the cleared state and from each other.
TVideoProfile FullProfile() {
    TVideoProfile p;
    p.SetProfileName("Name");
    p.SetChineseProfileName("名字");
    p.SetProfileExt("mkv");
    p.SetProfileFormat("matroska");
    p.SetVideoCodecDefault("libx264"), p.SetVideoCodecAll("libx264;mpeg4"), p.SetVideoCodecEnable(false);
    p.SetVideoBirateDefault("900k"), p.SetVideoBirateAll("500k;900k"), p.SetVideoBirateEnable(true);
    p.SetVideoFrameRateDefault("30"), p.SetVideoFrameRateAll("25;30"), p.SetVideoFrameRateEnable(false);
    p.SetVideoSizeDefault("640x480"), p.SetVideoSizeAll("auto;640x480"), p.SetVideoSizeEnable(true);
    p.SetVideoEnable(false);
    p.SetAudioCodecDefault("libopus"), p.SetAudioCodecAll("libopus;aac"), p.SetAudioCodecEnable(false);
    p.SetAudioBitrateDefault("96K"), p.SetAudioBitrateAll("64k;96K"), p.SetAudioBitrateEnable(true);
    p.SetAudioSampleRateDefault("48000"), p.SetAudioSampleRateAll("44100;48000"), p.SetAudioSampleRateEnable(false);
    p.SetAudioChannelDefault("1"), p.SetAudioChannelAll("1;2"), p.SetAudioChannelEnable(true);
    p.SetAudioEnable(false);
    return p;
}

std::string LoadError(TVideoProfile& p, const std::string& file) {
    try {
        p.LoadProfileFromFile(file);
    } catch (const app::EProfileError& e) {
        EXPECT_EQ(e.FileName(), file);
        return e.Reason();
    }
    return "loaded";
}

TEST(VideoProfileTest, Split) {
    using V = std::vector<std::string>;
    EXPECT_EQ(TVideoProfile::split("a|b|", "|"), (V{"a", "b", ""}));
    EXPECT_EQ(TVideoProfile::split("", "|"), (V{""}));
    EXPECT_EQ(TVideoProfile::split("||", "|"), (V{"", "", ""}));
    EXPECT_EQ(TVideoProfile::split("x[TAMBRIL]y", "[TAMBRIL]"), (V{"x", "y"}));
}

TEST(VideoProfileTest, PlainLineFields) {
    TVideoProfile p;
    p.FromLine(kLine);
    EXPECT_EQ(p.GetProfileName(), "My Phone");
    EXPECT_EQ(p.GetChineseProfileName(), "我的手机");
    EXPECT_EQ(p.GetProfileExt(), "mp4");
    EXPECT_EQ(p.GetVideoBirateDefault(), "768k");
    EXPECT_EQ(p.GetVideoBirateAll(), "384k;512k;768k");
    EXPECT_EQ(p.GetVideoSizeDefault(), "auto");
    EXPECT_EQ(p.GetAudioSampleRateAll(), "22050;44100");
    EXPECT_EQ(p.GetAudioChannelDefault(), "2");
    EXPECT_TRUE(p.GetAudioEnable());
    // The writer gives back the same line.
    EXPECT_EQ(p.ToLine(), kLine);
}

TEST(VideoProfileTest, FlagsAndExtraPieces) {
    std::string line = kLine;
    TVideoProfile p;
    line.replace(line.find("768k|384k;512k;768k|1"), 21, "768k|384k;768k|0");
    p.FromLine(line);
    EXPECT_EQ(p.GetVideoBirateDefault(), "768k");
    EXPECT_EQ(p.GetVideoBirateAll(), "384k;768k");
    EXPECT_FALSE(p.GetVideoBirateEnable());

    line.replace(line.find("768k|384k;768k|0"), 16, "768k|384k;768k|");
    p.FromLine(line);
    EXPECT_TRUE(p.GetVideoBirateEnable());

    // "yes", "" and "2" are all true; extra group pieces and a sixteenth field
    // are ignored.
    line = kLine;
    line.replace(line.find("mpeg4|mpeg4|1"), 13, "mpeg4|mpeg4|yes|extra");
    line += "sixteenth[TAMBRIL]";
    TVideoProfile q;
    q.SetVideoCodecEnable(false);
    q.FromLine(line);
    TVideoProfile expected;
    expected.FromLine(kLine);
    EXPECT_EQ(q, expected);
}

TEST(VideoProfileTest, ClearAll) {
    TVideoProfile p = FullProfile();
    p.ClearAll();
    EXPECT_EQ(p, TVideoProfile());
    EXPECT_EQ(p.ToLine(),
              "[TAMBRIL][TAMBRIL][TAMBRIL][TAMBRIL]||1[TAMBRIL]||1[TAMBRIL]||1[TAMBRIL]||1[TAMBRIL]1[TAMBRIL]"
              "||1[TAMBRIL]||1[TAMBRIL]||1[TAMBRIL]||1[TAMBRIL]1[TAMBRIL]");
    EXPECT_TRUE(p.GetVideoCodecEnable() && p.GetVideoEnable() && p.GetAudioChannelEnable());
}

TEST(VideoProfileTest, SaveAndLoadGivesBackEveryField) {
    zctest::TTempDir dir;
    const TVideoProfile saved = FullProfile();
    const std::string file = dir.File("full.pf");
    saved.SaveProfileToFile(file);

    const std::string content = ReadAll(file);
    EXPECT_EQ(content.find("[TAMBRIL]"), std::string::npos);
    EXPECT_EQ(content.find('\n'), content.size() - 1) << "one line";
    EXPECT_EQ(app::DecipherText(content.substr(0, content.size() - 1)), saved.ToLine());

    TVideoProfile loaded;
    loaded.LoadProfileFromFile(file);
    EXPECT_EQ(loaded, saved);

    // Saving replaces the earlier content.
    TVideoProfile other;
    other.FromLine(kLine);
    other.SaveProfileToFile(file);
    loaded.LoadProfileFromFile(file);
    EXPECT_EQ(loaded, other);
}

TEST(VideoProfileTest, PlainAndEncipheredFilesLoadAlike) {
    zctest::TTempDir dir;
    TVideoProfile plain, enciphered, crlf;
    plain.LoadProfileFromFile(dir.Write("plain.pf", kLine + "\nignored second line\n"));
    enciphered.LoadProfileFromFile(dir.Write("enc.pf", app::EncipherText(kLine) + "\n"));
    crlf.LoadProfileFromFile(dir.Write("crlf.pf", "\xEF\xBB\xBF" + app::EncipherText(kLine) + "\r\n"));
    EXPECT_EQ(plain.GetProfileName(), "My Phone");
    EXPECT_EQ(enciphered, plain);
    EXPECT_EQ(crlf, plain);
}

TEST(VideoProfileTest, DamagedFilesFailAndLeaveTheProfile) {
    zctest::TTempDir dir;
    const TVideoProfile before = FullProfile();
    TVideoProfile p = before;

    EXPECT_EQ(LoadError(p, dir.File("missing.pf")), "cannot open the file");
    std::filesystem::create_directory(dir.File("folder.pf"));
    EXPECT_EQ(LoadError(p, dir.File("folder.pf")), "cannot open the file");
    EXPECT_EQ(LoadError(p, dir.Write("empty.pf", "")), "Invalid file format");
    EXPECT_EQ(LoadError(p, dir.Write("junk.pf", "not a profile!\n")), "Invalid Base64 Character");
    EXPECT_EQ(LoadError(p, dir.Write("short.pf", app::Base64Encode("1234") + "\n")), "Invalid file format");

    // Too few fields, plain and enciphered; a group without its flag.
    const std::string cut = kLine.substr(0, kLine.find("2|1;2|1"));
    EXPECT_EQ(LoadError(p, dir.Write("cut.pf", cut)), "Damaged profile line: field 13 is missing");
    EXPECT_EQ(LoadError(p, dir.Write("cut2.pf", app::EncipherText(cut))),
              "Damaged profile line: field 13 is missing");
    std::string noFlag = kLine;
    noFlag.replace(noFlag.find("44100|22050;44100|1"), 19, "44100|22050;44100");
    EXPECT_EQ(LoadError(p, dir.Write("group.pf", noFlag)), "Damaged profile line: field 11 has fewer than 3 parts");

    // Bytes flipped in an enciphered file.
    std::string enc = app::EncipherText(kLine);
    enc[enc.size() - 6] = enc[enc.size() - 6] == 'A' ? 'B' : 'A';
    const std::string reason = LoadError(p, dir.Write("flipped.pf", enc));
    EXPECT_NE(reason, "loaded");

    EXPECT_EQ(p, before);
    try {
        p.LoadProfileFromFile(dir.File("missing.pf"));
    } catch (const app::EProfileError& e) {
        EXPECT_NE(std::string(e.what()).find("missing.pf"), std::string::npos) << "what() names the file";
    }
}

TEST(VideoProfileTest, SaveRefusesValuesThatWouldNotReadBack) {
    zctest::TTempDir dir;
    const std::string file = dir.Write("kept.pf", "old");
    TVideoProfile p = FullProfile();
    p.SetVideoSizeAll("640x480|320x240");
    EXPECT_THROW(p.SaveProfileToFile(file), app::EProfileError);
    p = FullProfile();
    p.SetProfileName("a[TAMBRIL]b");
    EXPECT_THROW(p.SaveProfileToFile(file), app::EProfileError);
    EXPECT_EQ(ReadAll(file), "old");
    // "|" is fine outside the groups.
    p.SetProfileName("a|b");
    p.SaveProfileToFile(file);
    TVideoProfile q;
    q.LoadProfileFromFile(file);
    EXPECT_EQ(q.GetProfileName(), "a|b");

    EXPECT_THROW(p.SaveProfileToFile(dir.File("no/such/folder.pf")), app::EProfileError);
}

std::string Named(const std::string& name) {
    TVideoProfile p;
    p.FromLine(kLine);
    p.SetProfileName(name);
    p.SetChineseProfileName(name + " gb");
    return p.ToLine() + "\n";
}

TEST(VideoProfileTest, CatalogueOrderPatternAndActiveProfile) {
    zctest::TTempDir dir;
    dir.Write("b.pf", Named("B"));
    dir.Write("A.PF", Named("A"));
    TVideoProfile enc;
    enc.FromLine(Named("C"));
    enc.SaveProfileToFile(dir.File("c.Pf"));
    dir.Write("d.pf.txt", Named("not a profile"));
    dir.Write("notes.txt", "x");
    std::filesystem::create_directory(dir.File("x.pf"));

    const std::vector<std::string> files = app::FindProfileFiles(dir.Path());
    EXPECT_EQ(files, (std::vector<std::string>{dir.File("A.PF"), dir.File("b.pf"), dir.File("c.Pf")}));

    TVideoProfile active = FullProfile();
    const app::TProfileCatalogue cat = app::LoadProfile(dir.Path(), active);
    EXPECT_EQ(cat.DeviceNames(), (std::vector<std::string>{"A", "B", "C"}));
    ASSERT_EQ(cat.arrayCommonProfiles.size(), 3u);
    EXPECT_EQ(cat.arrayCommonProfiles[1].strFileName, dir.File("b.pf"));
    EXPECT_EQ(cat.arrayCommonProfiles[1].strPfTitle_en, "B");
    EXPECT_EQ(cat.arrayCommonProfiles[1].strPfTitle_gb, "B gb");
    EXPECT_TRUE(cat.Errors.empty());
    EXPECT_EQ(cat.ActiveIndex, 2);
    EXPECT_EQ(active.GetProfileName(), "C");
    EXPECT_EQ(active.GetChineseProfileName(), "C gb");
}

TEST(VideoProfileTest, CatalogueSkipsDamagedFilesAndSelects) {
    zctest::TTempDir dir;
    dir.Write("1.pf", Named("One"));
    dir.Write("2.pf", "garbage!");
    dir.Write("3.pf", Named("Three"));
    TVideoProfile active;
    app::TProfileCatalogue cat = app::LoadProfile(dir.Path(), active);
    EXPECT_EQ(cat.DeviceNames(), (std::vector<std::string>{"One", "Three"}));
    ASSERT_EQ(cat.Errors.size(), 1u);
    EXPECT_NE(cat.Errors[0].find("2.pf"), std::string::npos);
    EXPECT_NE(cat.Errors[0].find("Invalid Base64 Character"), std::string::npos);
    EXPECT_EQ(active.GetProfileName(), "Three");

    app::SelectProfile(cat, 0, active);
    EXPECT_EQ(cat.ActiveIndex, 0);
    EXPECT_EQ(active.GetProfileName(), "One");

    // A file gone since start-up: the choice fails and nothing changes.
    std::filesystem::remove(dir.File("3.pf"));
    EXPECT_THROW(app::SelectProfile(cat, 1, active), app::EProfileError);
    EXPECT_THROW(app::SelectProfile(cat, 2, active), std::out_of_range);
    EXPECT_EQ(cat.ActiveIndex, 0);
    EXPECT_EQ(active.GetProfileName(), "One");
}

TEST(VideoProfileTest, EmptyOrMissingFolder) {
    zctest::TTempDir dir;
    TVideoProfile active = FullProfile();
    app::TProfileCatalogue cat = app::LoadProfile(dir.Path(), active);
    EXPECT_TRUE(cat.arrayCommonProfiles.empty());
    EXPECT_EQ(cat.ActiveIndex, -1);
    EXPECT_EQ(active, TVideoProfile());
    EXPECT_EQ(cat.Errors.size(), 1u);

    cat = app::LoadProfile(dir.Path() / "absent", active);
    EXPECT_TRUE(cat.arrayCommonProfiles.empty());
    EXPECT_EQ(cat.Errors.size(), 1u);
}

// The profiles shipped with the program, as staged beside it.
TEST(VideoProfileTest, ShippedProfiles) {
    const char* bin = std::getenv("ZC_TEST_BIN");
    ASSERT_TRUE(bin && *bin) << "ZC_TEST_BIN not set";
    TVideoProfile active;
    const app::TProfileCatalogue cat = app::LoadProfile(std::filesystem::path(bin) / "profile", active);
    EXPECT_TRUE(cat.Errors.empty()) << cat.Errors.front();
    ASSERT_GE(cat.arrayCommonProfiles.size(), 10u);

    for (const app::TProfile& entry : cat.arrayCommonProfiles) {
        TVideoProfile p;
        p.LoadProfileFromFile(entry.strFileName);
        EXPECT_FALSE(p.GetProfileName().empty());
        EXPECT_FALSE(p.GetChineseProfileName().empty());
        // Every default is among its own choices.
        const auto listed = [](const std::string& def, const std::string& all) {
            for (const std::string& c : TVideoProfile::split(all, ";"))
                if (c == def) return true;
            return false;
        };
        EXPECT_TRUE(listed(p.GetVideoBirateDefault(), p.GetVideoBirateAll())) << entry.strFileName;
        EXPECT_TRUE(listed(p.GetVideoFrameRateDefault(), p.GetVideoFrameRateAll())) << entry.strFileName;
        EXPECT_TRUE(listed(p.GetVideoSizeDefault(), p.GetVideoSizeAll())) << entry.strFileName;
        EXPECT_TRUE(listed(p.GetAudioBitrateDefault(), p.GetAudioBitrateAll())) << entry.strFileName;
        EXPECT_TRUE(listed(p.GetAudioSampleRateDefault(), p.GetAudioSampleRateAll())) << entry.strFileName;
        EXPECT_TRUE(listed(p.GetAudioChannelDefault(), p.GetAudioChannelAll())) << entry.strFileName;
        if (p.GetAudioCodecDefault() == "libopus") {
            EXPECT_EQ(p.GetAudioSampleRateDefault(), "48000");
        }

        // The enciphered form reads back the same.
        zctest::TTempDir dir;
        p.SaveProfileToFile(dir.File("copy.pf"));
        TVideoProfile copy;
        copy.LoadProfileFromFile(dir.File("copy.pf"));
        EXPECT_EQ(copy, p);
    }

    const auto has = [&](const char* ext, const char* vcodec, const char* size, const char* acodec,
                         const char* rate) {
        for (const app::TProfile& entry : cat.arrayCommonProfiles) {
            TVideoProfile p;
            p.LoadProfileFromFile(entry.strFileName);
            if (p.GetProfileExt() == ext && p.GetVideoCodecDefault() == vcodec && p.GetVideoSizeDefault() == size &&
                p.GetAudioCodecDefault() == acodec && p.GetAudioSampleRateDefault() == rate)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(has("mp4", "libx264", "1280x720", "aac", "48000"));
    EXPECT_TRUE(has("mp4", "libx264", "1920x1080", "aac", "48000"));
    EXPECT_TRUE(has("mkv", "libx265", "auto", "aac", "48000"));
    EXPECT_TRUE(has("m4a", "libx264", "auto", "aac", "44100"));
    EXPECT_TRUE(has("mp4", "mpeg4", "320x240", "aac", "44100"));
    EXPECT_TRUE(has("3gp", "h263", "176x144", "aac", "22050"));
    EXPECT_TRUE(has("avi", "mpeg4", "640x480", "libmp3lame", "44100"));
    EXPECT_TRUE(has("webm", "libvpx-vp9", "1280x720", "libopus", "48000"));
    EXPECT_TRUE(has("mkv", "libx264", "auto", "aac", "48000"));

    // The phone profile sorts last and is the one active at start.
    EXPECT_EQ(active.GetProfileExt(), "mp4");
    EXPECT_EQ(active.GetVideoCodecDefault(), "libx264");
    EXPECT_EQ(cat.ActiveIndex, static_cast<int>(cat.arrayCommonProfiles.size()) - 1);
}

TEST(VideoProfileTest, SummaryOfTheValuesInForce) {
    TVideoProfile p;
    p.FromLine("Phone[TAMBRIL]P[TAMBRIL]mp4[TAMBRIL]mp4[TAMBRIL]libx264|libx264|1[TAMBRIL]2500k|2500k|1[TAMBRIL]30|30|1"
               "[TAMBRIL]1280x720|1280x720|1[TAMBRIL]1[TAMBRIL]aac|aac|1[TAMBRIL]128k|128k|1[TAMBRIL]48000|48000|1"
               "[TAMBRIL]2|2|1[TAMBRIL]1[TAMBRIL]");
    EXPECT_EQ(app::ProfileSummary(p), "1280x720 \u00b7 30 fps \u00b7 H.264 2500k \u00b7 AAC 128k 48 kHz stereo");
    p.SetVideoSizeDefault("-1");
    p.SetVideoFrameRateDefault("Auto");
    p.SetVideoCodecDefault("libx265");
    p.SetAudioSampleRateDefault("22050");
    p.SetAudioChannelDefault("1");
    p.SetAudioCodecDefault("some_codec");
    EXPECT_EQ(app::ProfileSummary(p),
              "source size \u00b7 source frame rate \u00b7 HEVC 2500k \u00b7 some_codec 128k 22.05 kHz mono");
    p.SetVideoEnable(false);
    p.SetAudioSampleRateDefault("44100");
    p.SetAudioChannelDefault("6");
    EXPECT_EQ(app::ProfileSummary(p), "no video \u00b7 some_codec 128k 44.1 kHz 6 channels");
    p.SetAudioEnable(false);
    EXPECT_EQ(app::ProfileSummary(p), "no video \u00b7 no sound");
}

} // namespace
