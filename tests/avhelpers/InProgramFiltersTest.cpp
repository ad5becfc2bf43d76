#include "avhelpers/InProgramFilters.h"

#include "avbind/AVPtr.h"
#include "avbind/FFEntries.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

using namespace avhelpers;
using avbind::avutil;

namespace {

// What the filters log, caught straight from the library's log.
std::mutex GLogLock;
std::vector<std::string> GLog;

void CatchLog(void*, int level, const char* format, va_list args) {
    if (level > AV_LOG_DEBUG) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::lock_guard lock(GLogLock);
    GLog.push_back(text);
}

class InProgramFilters : public testing::Test {
protected:
    void SetUp() override {
        GLog.clear();
        avutil.av_log_set_level(AV_LOG_DEBUG);
        avutil.av_log_set_callback(CatchLog);
    }
    void TearDown() override {
        avutil.av_log_set_callback(avutil.av_log_default_callback);
        avutil.av_log_set_level(AV_LOG_INFO);
    }
    static bool Logged(const std::string& text) {
        std::lock_guard lock(GLogLock);
        for (const std::string& line : GLog)
            if (line == text) return true;
        return false;
    }

    // A yuv420p picture: luma rises along each row, chroma planes constant.
    static avbind::TAVFramePtr Picture(int width, int height, int u = 128, int v = 128, int format = AV_PIX_FMT_YUV420P) {
        avbind::TAVFramePtr frame(avutil.av_frame_alloc());
        frame->width = width;
        frame->height = height;
        frame->format = format;
        EXPECT_GE(avutil.av_frame_get_buffer(frame.get(), 0), 0);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) frame->data[0][y * frame->linesize[0] + x] = static_cast<std::uint8_t>(x);
        for (int y = 0; y < (height + 1) / 2; ++y)
            for (int x = 0; x < (width + 1) / 2; ++x) {
                frame->data[1][y * frame->linesize[1] + x] = static_cast<std::uint8_t>(u);
                frame->data[2][y * frame->linesize[2] + x] = static_cast<std::uint8_t>(v);
            }
        return frame;
    }
    static int Sample(const AVFrame* frame, int plane, int x, int y) { return frame->data[plane][y * frame->linesize[plane] + x]; }

    // Configures the stage for the picture and runs it; the picture it gave out.
    static avbind::TAVFramePtr Run(TFilterStage& stage, avbind::TAVFramePtr in) {
        int w = 0, h = 0;
        EXPECT_EQ(stage.Configure(in->width, in->height, in->format, w, h), 0);
        if (stage.WorksInPlace()) {
            EXPECT_EQ(stage.FilterFrame(in.get(), nullptr), 0);
            return in;
        }
        avbind::TAVFramePtr out(avutil.av_frame_alloc());
        out->width = w;
        out->height = h;
        out->format = in->format;
        EXPECT_GE(avutil.av_frame_get_buffer(out.get(), 0), 0);
        avutil.av_frame_copy_props(out.get(), in.get());
        EXPECT_EQ(stage.FilterFrame(in.get(), out.get()), 0);
        return out;
    }
};

TEST_F(InProgramFilters, RotateSizesAndContent) {
    int w = 0, h = 0;
    auto quarter = CreateRotateStage("90");
    ASSERT_TRUE(quarter);
    EXPECT_EQ(quarter->Configure(640, 480, AV_PIX_FMT_YUV420P, w, h), 0);
    EXPECT_EQ(w, 480);
    EXPECT_EQ(h, 640);
    EXPECT_EQ(quarter->Configure(640, 480, AV_PIX_FMT_RGB24, w, h), AVERROR(EINVAL));

    // Default 45 degrees: enlarged, black corners, the centre kept.
    auto byDefault = CreateRotateStage("");
    auto in = Picture(640, 480, 90, 200);
    in->sample_aspect_ratio = AVRational{4, 3};
    const int centre = Sample(in.get(), 0, 320, 240);
    auto out = Run(*byDefault, std::move(in));
    EXPECT_EQ(out->width, 791);
    EXPECT_EQ(out->height, 791);
    EXPECT_EQ(Sample(out.get(), 0, 0, 0), 16);
    EXPECT_EQ(Sample(out.get(), 1, 0, 0), 128);
    EXPECT_EQ(Sample(out.get(), 2, 197, 197), 200);  // chroma centre
    EXPECT_NEAR(Sample(out.get(), 0, 395, 395), centre, 1);
    EXPECT_EQ(out->sample_aspect_ratio.num, 3);
    EXPECT_EQ(out->sample_aspect_ratio.den, 4);

    // 0 degrees keeps size and content.
    auto none = CreateRotateStage("0");
    auto same = Run(*none, Picture(64, 48));
    ASSERT_EQ(same->width, 64);
    ASSERT_EQ(same->height, 48);
    for (int x = 0; x < 64; ++x) EXPECT_EQ(Sample(same.get(), 0, x, 47), x);

    // 90 degrees: input columns become output rows, left to right turning
    // into top to bottom.
    auto turned = Run(*CreateRotateStage("90"), Picture(64, 48));
    EXPECT_EQ(turned->width, 48);
    EXPECT_EQ(turned->height, 64);
    EXPECT_EQ(Sample(turned.get(), 0, 20, 0), 0);
    EXPECT_EQ(Sample(turned.get(), 0, 20, 63), 63);

    EXPECT_FALSE(CreateRotateStage("quarter"));
}

TEST_F(InProgramFilters, HueTurnsAndScalesChroma) {
    // 0:0 changes nothing.
    auto same = Run(*CreateHueStage("0:0"), Picture(16, 16, 60, 200));
    EXPECT_EQ(Sample(same.get(), 1, 3, 3), 60);
    EXPECT_EQ(Sample(same.get(), 2, 3, 3), 200);
    // Saturation -100: flat grey; luma untouched.
    auto grey = Run(*CreateHueStage(" 0 : -100 "), Picture(16, 16, 60, 200));
    EXPECT_EQ(Sample(grey.get(), 1, 7, 7), 128);
    EXPECT_EQ(Sample(grey.get(), 2, 0, 0), 128);
    EXPECT_EQ(Sample(grey.get(), 0, 9, 2), 9);
    // Hue 50 turns by 90 degrees: (u, v) -> (-v, u).
    auto turned = Run(*CreateHueStage("50"), Picture(16, 16, 128 + 40, 128 - 20));
    EXPECT_EQ(Sample(turned.get(), 1, 5, 5), 128 + 20);
    EXPECT_EQ(Sample(turned.get(), 2, 5, 5), 128 + 40);
    // Saturation 100 doubles distances, clamping at the ends.
    auto doubled = Run(*CreateHueStage("0:100"), Picture(16, 16, 128 + 30, 20));
    EXPECT_EQ(Sample(doubled.get(), 1, 1, 1), 128 + 60);
    EXPECT_EQ(Sample(doubled.get(), 2, 1, 1), 0);
}

TEST_F(InProgramFilters, EqualizerLumaArithmetic) {
    auto bright = Run(*CreateEqStage("100:0"), Picture(256, 2, 60, 70));
    EXPECT_EQ(Sample(bright.get(), 0, 0, 0), 255);
    EXPECT_EQ(Sample(bright.get(), 1, 0, 0), 60);  // chroma untouched
    auto contrast = Run(*CreateEqStage("0:100"), Picture(256, 2));
    EXPECT_EQ(Sample(contrast.get(), 0, 0, 1), 0);
    EXPECT_EQ(Sample(contrast.get(), 0, 100, 1), 71);
    EXPECT_EQ(Sample(contrast.get(), 0, 200, 1), 255);
    auto flat = Run(*CreateEqStage("0:-100"), Picture(256, 2));
    EXPECT_EQ(Sample(flat.get(), 0, 0, 0), 127);
    EXPECT_EQ(Sample(flat.get(), 0, 255, 1), 127);
    auto none = Run(*CreateEqStage(""), Picture(256, 2));
    EXPECT_EQ(Sample(none.get(), 0, 77, 0), 77);
}

TEST_F(InProgramFilters, ArgumentsClampAndValueCells) {
    EXPECT_TRUE(CreateHueStage("150:-7"));
    EXPECT_TRUE(Logged("Invalid hue value 150, force to 100\n"));
    EXPECT_TRUE(Logged("hue:100, saturation:-7\n"));

    EXPECT_FALSE(CreateEqStage("bright"));
    bool refused = false;
    for (const std::string& line : GLog) refused |= line.rfind("failed to parsing parameters: ", 0) == 0;
    EXPECT_TRUE(refused);
    // A number that is not a registered cell is refused, not read.
    EXPECT_FALSE(CreateEqStage("0:0:987654"));

    // A caller's cell is read at every picture and clamped in place.
    TValueCell brightness{0};
    const int number = RegisterValueCell(brightness);
    auto stage = CreateEqStage("0:0:" + std::to_string(number));
    ASSERT_TRUE(stage);
    auto unchanged = Run(*stage, Picture(256, 2));
    EXPECT_EQ(Sample(unchanged.get(), 0, 40, 0), 40);
    brightness = 300;
    auto raised = Run(*stage, Picture(256, 2));
    EXPECT_EQ(Sample(raised.get(), 0, 40, 0), 255);
    EXPECT_EQ(brightness.load(), 100);
    EXPECT_TRUE(Logged("Invalid brightness value 300, force to 100\n"));
    UnregisterValueCell(number);
    EXPECT_FALSE(CreateEqStage("::" + std::to_string(number)));
}

TEST_F(InProgramFilters, RegisteredUnderTheirNames) {
    RegisterRotateFilter();
    RegisterNativeFilters();
    const auto hue = FindFilter("nativehue");
    ASSERT_TRUE(hue);
    EXPECT_EQ(hue->Description, "Software video equalizer(hue and saturation)");
    ASSERT_TRUE(FindFilter("nativeeq"));
    EXPECT_EQ(FindFilter("nativeeq")->Description, "Software video equalizer(brightness and contrast)");
    ASSERT_TRUE(FindFilter("rotate"));
    EXPECT_TRUE(FindFilter("rotate")->Create("30"));
}

} // namespace
