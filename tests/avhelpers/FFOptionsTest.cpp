#include "avhelpers/FFOptions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace avhelpers;
using avbind::avcodec;
using avbind::avformat;
using avbind::avutil;
using testing::ElementsAre;

namespace {

class OptionStore : public testing::Test {
protected:
    void SetUp() override { InitOptions(FOptions, SWS_BICUBIC); }

    // An encoder context as the engine makes one: allocated with its codec.
    avbind::TAVCodecContextPtr Encoder(AVCodecID id) {
        const AVCodec* codec = avcodec.avcodec_find_encoder(id);
        EXPECT_NE(codec, nullptr);
        return avbind::TAVCodecContextPtr(avcodec.avcodec_alloc_context3(codec));
    }
    void ApplyToStream(AVCodecContext* ctx, AVMediaType type) {
        ApplyOptions(FOptions, ctx, FOptions.avcodec_opts[type].get(), ctx->codec,
                     (type == AVMEDIA_TYPE_VIDEO ? AV_OPT_FLAG_VIDEO_PARAM : AV_OPT_FLAG_AUDIO_PARAM) |
                         AV_OPT_FLAG_ENCODING_PARAM);
    }
    static std::int64_t IntOption(void* obj, const char* name) {
        std::int64_t v = -1;
        EXPECT_GE(avutil.av_opt_get_int(obj, name, 0, &v), 0) << name;
        return v;
    }

    TFFOptions FOptions;
};

} // namespace

TEST_F(OptionStore, OptionsApplyOnlyToStreamsOfTheirMediaType) {
    ASSERT_TRUE(SetDefaultOption(FOptions, "ar", "22050"));  // audio only
    ASSERT_TRUE(SetDefaultOption(FOptions, "g", "12"));      // video only
    ASSERT_TRUE(SetDefaultOption(FOptions, "b", "300k"));    // both
    EXPECT_THAT(FOptions.opt_names, ElementsAre("ar", "g", "b"));

    auto video = Encoder(AV_CODEC_ID_MPEG4);
    auto audio = Encoder(AV_CODEC_ID_MP2);
    ApplyToStream(video.get(), AVMEDIA_TYPE_VIDEO);
    ApplyToStream(audio.get(), AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(video->gop_size, 12);
    EXPECT_EQ(video->sample_rate, 0);
    EXPECT_EQ(video->bit_rate, 300000);
    EXPECT_EQ(audio->sample_rate, 22050);
    EXPECT_NE(audio->gop_size, 12);
    EXPECT_EQ(audio->bit_rate, 300000);
}

TEST_F(OptionStore, PrivateOptionsTakeEffectOnlyWithTheirCodec) {
    ASSERT_TRUE(SetDefaultOption(FOptions, "data_partitioning", "1")) << LastOptionError();
    auto mpeg4 = Encoder(AV_CODEC_ID_MPEG4);
    auto mpeg2 = Encoder(AV_CODEC_ID_MPEG2VIDEO);
    EXPECT_EQ(IntOption(mpeg4->priv_data, "data_partitioning"), 0);
    ApplyToStream(mpeg4.get(), AVMEDIA_TYPE_VIDEO);
    ApplyToStream(mpeg2.get(), AVMEDIA_TYPE_VIDEO);  // has no such option: nothing happens
    EXPECT_EQ(IntOption(mpeg4->priv_data, "data_partitioning"), 1);
}

TEST_F(OptionStore, ContainerOptionsReachFormatAndMuxerContexts) {
    ASSERT_TRUE(SetDefaultOption(FOptions, "packetsize", "2048"));
    ASSERT_TRUE(SetDefaultOption(FOptions, "movflags", "+faststart"));
    AVFormatContext* raw = nullptr;
    ASSERT_GE(avformat.avformat_alloc_output_context2(&raw, nullptr, "mp4", "out.mp4"), 0);
    avbind::TAVFormatContextPtr oc(raw);
    ApplyOptions(FOptions, oc.get(), FOptions.avformat_opts.get(), nullptr, AV_OPT_FLAG_ENCODING_PARAM);
    EXPECT_EQ(oc->packet_size, 2048u);
    const AVOption* faststart = avutil.av_opt_find(oc->priv_data, "faststart", "movflags", 0, 0);
    ASSERT_NE(faststart, nullptr);
    EXPECT_NE(IntOption(oc->priv_data, "movflags") & faststart->default_val.i64, 0);
    EXPECT_STREQ(FOptions.format_opts.Get("packetsize"), "2048");
}

TEST_F(OptionStore, TypePrefixFallsBackToTheCodecOption) {
    ASSERT_TRUE(SetDefaultOption(FOptions, "vqmin", "3")) << LastOptionError();
    ASSERT_TRUE(SetDefaultOption(FOptions, "atrellis", "1")) << LastOptionError();
    EXPECT_THAT(FOptions.opt_names, ElementsAre("qmin", "trellis"));
    EXPECT_EQ(FOptions.avcodec_opts[AVMEDIA_TYPE_VIDEO]->qmin, 3);
    EXPECT_NE(FOptions.avcodec_opts[AVMEDIA_TYPE_AUDIO]->qmin, 3);
    EXPECT_EQ(FOptions.avcodec_opts[AVMEDIA_TYPE_AUDIO]->trellis, 1);
    EXPECT_EQ(FOptions.avcodec_opts[AVMEDIA_TYPE_VIDEO]->trellis, 0);

}

TEST_F(OptionStore, RefusalsSayWhyAndRecordNothing) {
    EXPECT_FALSE(SetDefaultOption(FOptions, "g", "many"));
    EXPECT_EQ(LastOptionError(), "Invalid value \"many\" for option \"g\"");
    EXPECT_FALSE(SetDefaultOption(FOptions, "no_such_option", "1"));
    EXPECT_EQ(LastOptionError(), "Unrecognized option \"no_such_option\"");
    EXPECT_FALSE(SetDefaultOption(FOptions, "vno_such", "1"));
    EXPECT_EQ(LastOptionError(), "Unrecognized option \"vno_such\"");
    EXPECT_FALSE(SetDefaultOption(FOptions, "   ", "1"));
    EXPECT_FALSE(SetDefaultOption(FOptions, "", "1"));
    EXPECT_EQ(LastOptionError(), "Unrecognized option \"vno_such\"");  // blank names leave it alone
    EXPECT_EQ(FOptions.opt_name_count(), 0);
}

TEST_F(OptionStore, ScalerOptionsAreCheckedAtOnce) {
    EXPECT_TRUE(SetDefaultOption(FOptions, "sws_flags", "bilinear"));
    EXPECT_FALSE(SetDefaultOption(FOptions, "sws_flags", "sideways"));
    EXPECT_THAT(LastOptionError(), testing::StartsWith("Invalid value \"sideways\""));
}

TEST_F(OptionStore, ARenewedStoreAppliesNothing) {
    ASSERT_TRUE(SetDefaultOption(FOptions, "g", "7"));
    InitOptions(FOptions, SWS_BICUBIC);
    EXPECT_EQ(FOptions.opt_name_count(), 0);
    auto video = Encoder(AV_CODEC_ID_MPEG4);
    const int before = video->gop_size;
    ApplyToStream(video.get(), AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(video->gop_size, before);
    FreeOptions(FOptions);
    EXPECT_EQ(FOptions.avcodec_opts[0], nullptr);
    EXPECT_THROW(SetDefaultOption(FOptions, "g", "7"), std::logic_error);
}
