#include "app/AdvancedSettings.h"
#include "app/VideoProfile.h"

#include <gtest/gtest.h>

using namespace app;

namespace {

TAdvancedTexts Valid() { return {"768k", "25", "320x240", "128k", "44100", "2"}; }

const TAdvancedMessages Messages{"bad video bitrate", "bad frame rate", "bad size", "bad audio bitrate",
                                 "bad sample rate"};

// The result of checking the valid texts with one of them replaced.
TAdvancedCheck With(std::string TAdvancedTexts::*field, const std::string& text) {
    TAdvancedTexts texts = Valid();
    texts.*field = text;
    return CheckAdvancedSettings(texts, Messages);
}

} // namespace

TEST(AdvancedSettings, BitratesTakeDigitsWithAnOptionalK) {
    for (const char* ok : {"768k", "768K", "500"}) EXPECT_TRUE(With(&TAdvancedTexts::VideoBitrate, ok).Passed) << ok;
    for (const char* bad : {"768 k", "k", "1.5M", "", "768k\n", " 768"}) {
        const TAdvancedCheck check = With(&TAdvancedTexts::VideoBitrate, bad);
        EXPECT_FALSE(check.Passed) << bad;
        EXPECT_EQ(check.Box, TAdvancedBox::VideoBitrate);
        EXPECT_EQ(check.Message, "bad video bitrate");
    }
    EXPECT_EQ(With(&TAdvancedTexts::AudioBitrate, "96 k").Message, "bad audio bitrate");
    // The right shape but too large a number.
    EXPECT_EQ(With(&TAdvancedTexts::VideoBitrate, "4294968k").Message, "bad video bitrate");
    EXPECT_EQ(With(&TAdvancedTexts::AudioBitrate, "99999999999").Message, "bad audio bitrate");
    EXPECT_EQ(With(&TAdvancedTexts::VideoSize, "99999999999x2").Message, "bad size");
    EXPECT_TRUE(With(&TAdvancedTexts::VideoBitrate, "2147483k").Passed);
}

TEST(AdvancedSettings, RatesAndSizes) {
    EXPECT_TRUE(With(&TAdvancedTexts::FrameRate, "25").Passed);
    EXPECT_TRUE(With(&TAdvancedTexts::FrameRate, "auto").Passed);  // the source's own rate
    EXPECT_EQ(With(&TAdvancedTexts::FrameRate, "29.97").Box, TAdvancedBox::FrameRate);
    for (const char* ok : {"auto", "320x240", "320X240"}) EXPECT_TRUE(With(&TAdvancedTexts::VideoSize, ok).Passed) << ok;
    for (const char* bad : {"AUTO", "320*240", "", "x240", "auto320x240"})
        EXPECT_EQ(With(&TAdvancedTexts::VideoSize, bad).Box, TAdvancedBox::VideoSize) << bad;
    EXPECT_TRUE(With(&TAdvancedTexts::SampleRate, "44100").Passed);
    EXPECT_EQ(With(&TAdvancedTexts::SampleRate, "44.1k").Message, "bad sample rate");
}

TEST(AdvancedSettings, OnlyTheFirstFailureIsReportedAndNothingElseChanges) {
    TAdvancedTexts texts = Valid();
    texts.FrameRate = "fast";
    texts.SampleRate = "high";
    texts.Channel = "stereo";
    const TAdvancedCheck check = CheckAdvancedSettings(texts, Messages);
    EXPECT_FALSE(check.Passed);
    EXPECT_EQ(check.Box, TAdvancedBox::FrameRate);
    EXPECT_EQ(texts.Channel, "stereo");  // nothing applied while a check fails
}

TEST(AdvancedSettings, ChannelsOtherThanOneOrTwoBecomeOne) {
    for (const auto& [typed, stored] : {std::pair{"6", "1"}, {"stereo", "1"}, {"2", "2"}, {"1", "1"}, {"", "1"}}) {
        TAdvancedTexts texts = Valid();
        texts.Channel = typed;
        ASSERT_TRUE(CheckAdvancedSettings(texts, Messages).Passed);
        EXPECT_EQ(texts.Channel, stored) << typed;
    }
    TAdvancedTexts texts = Valid();
    texts.VideoSize = "320X240";
    texts.VideoBitrate = "768K";
    ASSERT_TRUE(CheckAdvancedSettings(texts, Messages).Passed);
    EXPECT_EQ(texts.VideoSize, "320X240");  // kept exactly as typed
    EXPECT_EQ(texts.VideoBitrate, "768K");
}

TEST(AdvancedSettings, FillsFromTheProfileAndAppliesToIt) {
    TVideoProfile profile;
    profile.SetVideoBirateDefault("768k");
    profile.SetVideoBirateAll("384k;;768k;1500k");
    profile.SetVideoFrameRateDefault("25");
    profile.SetVideoSizeDefault("-1");
    profile.SetVideoSizeAll("-1;320x240");
    profile.SetAudioBitrateDefault("128k");
    profile.SetAudioSampleRateDefault("44100");
    profile.SetAudioChannelDefault("2");
    const TAdvancedForm form = FillAdvancedSettings(profile);
    EXPECT_EQ(form.Texts.VideoSize, "auto");
    EXPECT_EQ(form.VideoSizes, (std::vector<std::string>{"auto", "320x240"}));
    EXPECT_EQ(form.VideoBitrates, (std::vector<std::string>{"384k", "768k", "1500k"}));
    // The source's own size is a choice even where the profile lists none.
    TVideoProfile fixed = profile;
    fixed.SetVideoSizeAll("640x360;1280x720");
    EXPECT_EQ(FillAdvancedSettings(fixed).VideoSizes, (std::vector<std::string>{"auto", "640x360", "1280x720"}));

    TAdvancedTexts texts = form.Texts;
    texts.FrameRate = "29.97";
    EXPECT_FALSE(ApplyAdvancedSettings(profile, texts, Messages).Passed);
    EXPECT_EQ(profile.GetVideoFrameRateDefault(), "25");  // nothing applied
    texts.FrameRate = "30";
    texts.Channel = "6";
    ASSERT_TRUE(ApplyAdvancedSettings(profile, texts, Messages).Passed);
    EXPECT_EQ(profile.GetVideoFrameRateDefault(), "30");
    EXPECT_EQ(profile.GetVideoSizeDefault(), "auto");  // OK unchanged stores "auto"
    EXPECT_EQ(profile.GetAudioChannelDefault(), "1");
}
