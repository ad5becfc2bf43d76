#include "avhelpers/FormatConverter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace avhelpers;

// A picture in library-allocated storage.
struct TTestPicture {
    TTestPicture(AVPixelFormat format, int width, int height, int align = 32) {
        std::uint8_t* data[4] = {};
        if (avbind::avutil.av_image_alloc(data, Linesize, width, height, format, align) < 0)
            throw std::runtime_error("av_image_alloc failed");
        Buffer.reset(data[0]);
        for (int i = 0; i < 4; ++i) Data[i] = data[i];
    }
    void FillPlane(int plane, int rows, std::uint8_t value) {
        std::memset(Data[plane], value, static_cast<std::size_t>(Linesize[plane]) * rows);
    }
    avbind::TAVBufferPtr Buffer;
    std::uint8_t* Data[4] = {};
    int Linesize[4] = {};
};

// A packed picture with exactly the given row size.
struct TPackedPicture {
    TPackedPicture(int linesize, int height) : Bytes(static_cast<std::size_t>(linesize) * height) {
        Data[0] = Bytes.data();
        Linesize[0] = linesize;
    }
    std::vector<std::uint8_t> Bytes;
    std::uint8_t* Data[4] = {};
    int Linesize[4] = {};
};

TPackedPicture SolidBGRA(int width, int height, int linesize, const std::uint8_t (&bgra)[4]) {
    TPackedPicture picture(linesize, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) std::memcpy(&picture.Bytes[y * linesize + x * 4], bgra, 4);
    return picture;
}

std::string PixFmtName(AVPixelFormat format) {
    const char* name = avbind::avutil.av_get_pix_fmt_name(format);
    return name ? name : "";
}

template <class F>
std::string InvalidArgumentText(F call) {
    try {
        call();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "no std::invalid_argument";
}

void ExpectNear(const std::uint8_t* pixel, std::initializer_list<int> expected, int tolerance) {
    int i = 0;
    for (int value : expected) {
        EXPECT_NEAR(pixel[i], value, tolerance) << "component " << i;
        ++i;
    }
}

TEST(FormatConverterDepth, DefaultsTo24BitBGR24) {
    TFormatConverter converter;
    EXPECT_EQ(converter.BitsPixel(), 24);
    EXPECT_EQ(converter.BMPPixFmt(), pf24bit);
    EXPECT_EQ(PixFmtName(converter.AVPixFmt()), "bgr24");
    EXPECT_EQ(converter.Bitmap().PixelFormat(), pf24bit);
    EXPECT_EQ(converter.RGBPictureRef(), nullptr);
}

TEST(FormatConverterDepth, BitsSelectDepthAndLayout) {
    struct TRow {
        int Bits;
        TBMPPixelFormat Depth;
        int Reported;
        const char* Layout;
    };
    const TRow rows[] = {{8, pf8bit, 8, "bgr8"},
                         {15, pf15bit, 16, "bgr555le"},
                         {16, pf16bit, 16, "bgr565le"},
                         {24, pf24bit, 24, "bgr24"},
                         {32, pf32bit, 32, "bgra"}};
    for (const TRow& row : rows) {
        TFormatConverter byBits;
        byBits.SetBitsPixel(row.Bits);
        EXPECT_EQ(byBits.BMPPixFmt(), row.Depth) << row.Bits;
        EXPECT_EQ(byBits.BitsPixel(), row.Reported) << row.Bits;
        EXPECT_EQ(PixFmtName(byBits.AVPixFmt()), row.Layout) << row.Bits;
        EXPECT_EQ(byBits.Bitmap().PixelFormat(), row.Depth) << row.Bits;

        TFormatConverter byDepth;
        byDepth.SetBMPPixFmt(row.Depth);
        EXPECT_EQ(byDepth.BitsPixel(), row.Reported) << row.Bits;
        EXPECT_EQ(byDepth.AVPixFmt(), byBits.AVPixFmt()) << row.Bits;
    }
}

TEST(FormatConverterDepth, SixteenAfterFifteenChangesNothing) {
    TFormatConverter converter;
    converter.SetBitsPixel(15);
    converter.SetBitsPixel(16);
    EXPECT_EQ(converter.BMPPixFmt(), pf15bit);
    EXPECT_EQ(PixFmtName(converter.AVPixFmt()), "bgr555le");
}

TEST(FormatConverterDepth, InvalidValuesThrowAndKeepTheDepth) {
    TFormatConverter converter;
    EXPECT_EQ(InvalidArgumentText([&] { converter.SetBitsPixel(12); }), "Invalid BitsPixel 12");
    EXPECT_EQ(InvalidArgumentText([&] { converter.SetBitsPixel(0); }), "Invalid BitsPixel 0");
    EXPECT_EQ(InvalidArgumentText([&] { converter.SetBMPPixFmt(pfDevice); }), "Invalid PixelFormat 0");
    EXPECT_EQ(InvalidArgumentText([&] { converter.SetBMPPixFmt(pf4bit); }), "Invalid PixelFormat 2");
    EXPECT_EQ(InvalidArgumentText([&] { converter.SetBMPPixFmt(pfCustom); }), "Invalid PixelFormat 8");
    EXPECT_EQ(InvalidArgumentText([&] { converter.SetBMPPixFmt(static_cast<TBMPPixelFormat>(-1)); }),
              "Invalid PixelFormat -1");
    EXPECT_EQ(converter.BitsPixel(), 24);
    EXPECT_EQ(converter.BMPPixFmt(), pf24bit);
}

TEST(FormatConverterPicture, BitmapLayoutIsDescribedInPlace) {
    TFormatConverter converter;
    converter.SetBitsPixel(32);
    TPackedPicture picture = SolidBGRA(640, 480, 2560, {1, 2, 3, 255});
    ASSERT_TRUE(converter.PictureToRGB(picture.Data, picture.Linesize, AV_PIX_FMT_BGRA, 640, 480, false));
    ASSERT_NE(converter.RGBPictureRef(), nullptr);
    EXPECT_EQ(converter.RGBPictureRef()->Data[0], picture.Data[0]);
    EXPECT_EQ(converter.RGBBuffer(), nullptr);
    EXPECT_EQ(converter.RGBBufSize(), 0u);

    const TDIB& dib = *converter.DIB();
    EXPECT_EQ(dib.Type, 0);
    EXPECT_EQ(dib.Width, 640);
    EXPECT_EQ(dib.Height, 480);
    EXPECT_EQ(dib.WidthBytes, 2560);
    EXPECT_EQ(dib.Planes, 1);
    EXPECT_EQ(dib.BitsPixel, 32);
    EXPECT_EQ(dib.Bits, picture.Data[0]);
    EXPECT_EQ(converter.Bitmap().Width(), 640);
    EXPECT_EQ(converter.Bitmap().Height(), 480);
}

TEST(FormatConverterPicture, OtherLayoutsGoThroughTheScaler) {
    const std::uint8_t colour[4] = {10, 200, 60, 255};
    struct TCase {
        const char* What;
        int Width, Height, Linesize;
    };
    const TCase cases[] = {{"odd width", 641, 480, 641 * 4},
                           {"odd height", 640, 481, 640 * 4},
                           {"padded rows", 640, 480, 640 * 4 + 64}};
    for (const TCase& c : cases) {
        TFormatConverter converter;
        converter.SetBitsPixel(32);
        TPackedPicture picture = SolidBGRA(c.Width, c.Height, c.Linesize, colour);
        ASSERT_TRUE(converter.PictureToRGB(picture.Data, picture.Linesize, AV_PIX_FMT_BGRA, c.Width, c.Height, false))
            << c.What << ": " << converter.LastErrMsg();
        const TPicture* rgb = converter.RGBPictureRef();
        ASSERT_EQ(rgb, converter.RGBPicture()) << c.What;
        EXPECT_EQ(rgb->Data[0], converter.RGBBuffer()) << c.What;
        EXPECT_EQ(converter.DIB()->Bits, converter.RGBBuffer()) << c.What;
        EXPECT_EQ(converter.DIB()->WidthBytes, c.Width * 4) << c.What;
        EXPECT_EQ(converter.RGBBufSize(), static_cast<std::size_t>(c.Width) * c.Height * 4) << c.What;
        const int lastX = c.Width - 1, lastY = c.Height - 1;
        ExpectNear(rgb->Data[0], {10, 200, 60}, 2);
        ExpectNear(rgb->Data[0] + lastY * rgb->Linesize[0] + lastX * 4, {10, 200, 60}, 2);
    }
}

TEST(FormatConverterPicture, BufferGrowsButNeverShrinks) {
    TFormatConverter converter;
    auto convert = [&](int width, int height) {
        TTestPicture picture(AV_PIX_FMT_YUV420P, width, height);
        picture.FillPlane(0, height, 128);
        picture.FillPlane(1, (height + 1) / 2, 128);
        picture.FillPlane(2, (height + 1) / 2, 128);
        return converter.PictureToRGB(picture.Data, picture.Linesize, AV_PIX_FMT_YUV420P, width, height, false);
    };
    ASSERT_TRUE(convert(320, 240));
    const std::uint8_t* first = converter.RGBBuffer();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(converter.RGBBufSize(), 320u * 240 * 3);

    ASSERT_TRUE(convert(160, 120));
    EXPECT_EQ(converter.RGBBuffer(), first);
    EXPECT_EQ(converter.RGBBufSize(), 320u * 240 * 3);
    EXPECT_EQ(converter.DIB()->WidthBytes, 160 * 3);

    ASSERT_TRUE(convert(640, 480));
    EXPECT_EQ(converter.RGBBufSize(), 640u * 480 * 3);
    EXPECT_EQ(converter.RGBPictureRef()->Data[0], converter.RGBBuffer());
}

TEST(FormatConverterPicture, BitmapRoundTripWithDifferentStrides) {
    // 321 pixels at 24 bits: 963 bytes per picture row, 964 per bitmap row.
    const int width = 321, height = 9;
    TPackedPicture picture(width * 3, height);
    for (std::size_t i = 0; i < picture.Bytes.size(); ++i)
        picture.Bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 963);
    TFormatConverter converter;
    ASSERT_TRUE(converter.PictureToRGB(picture.Data, picture.Linesize, AV_PIX_FMT_BGR24, width, height, true));
    const TPicture* rgb = converter.RGBPictureRef();
    ASSERT_EQ(rgb->Linesize[0], 963);
    TBitmap& bitmap = converter.Bitmap();
    ASSERT_EQ(bitmap.Stride(), 964u);
    ASSERT_EQ(bitmap.Width(), width);
    ASSERT_EQ(bitmap.Height(), height);
    for (int y = 0; y < height; ++y)
        EXPECT_EQ(std::memcmp(bitmap.ScanLine(y), rgb->Data[0] + y * 963, 963), 0) << "row " << y;

    // Paint each bitmap row its own value; the padding byte must not reach the picture.
    for (int y = 0; y < height; ++y) {
        std::memset(bitmap.ScanLine(y), 100 + y, 963);
        bitmap.ScanLine(y)[963] = 0xEE;
    }
    converter.BitmapToRGB();
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = rgb->Data[0] + y * 963;
        for (int x = 0; x < 963; ++x) ASSERT_EQ(row[x], 100 + y) << "row " << y << " byte " << x;
    }
}

TEST(FormatConverterPicture, BitmapEditsReachTheCallersPictureInPlace) {
    TFormatConverter converter;
    converter.SetBitsPixel(32);
    TPackedPicture picture = SolidBGRA(4, 2, 16, {0, 0, 0, 255});
    ASSERT_TRUE(converter.PictureToRGB(picture.Data, picture.Linesize, AV_PIX_FMT_BGRA, 4, 2, true));
    converter.Bitmap().ScanLine(1)[15] = 0x42;
    converter.BitmapToRGB();
    EXPECT_EQ(picture.Bytes[31], 0x42);
}

TEST(FormatConverterPicture, RGBToPictureRestoresTheColour) {
    // BT.601 limited-range red.
    const int width = 64, height = 48;
    TTestPicture source(AV_PIX_FMT_YUV420P, width, height);
    source.FillPlane(0, height, 81);
    source.FillPlane(1, height / 2, 90);
    source.FillPlane(2, height / 2, 240);
    TFormatConverter converter;
    ASSERT_TRUE(converter.PictureToRGB(source.Data, source.Linesize, AV_PIX_FMT_YUV420P, width, height, false));
    ExpectNear(converter.RGBPictureRef()->Data[0] + 10 * converter.RGBPictureRef()->Linesize[0] + 30,
               {0, 0, 255}, 4);

    for (int size : {1, 2}) {  // same size, then half: the RGB picture's own size is the source
        const int w = width / size, h = height / size;
        TTestPicture target(AV_PIX_FMT_YUV420P, w, h);
        ASSERT_TRUE(converter.RGBToPicture(target.Data, target.Linesize, AV_PIX_FMT_YUV420P, w, h))
            << converter.LastErrMsg();
        EXPECT_NEAR(target.Data[0][(h - 1) * target.Linesize[0] + w - 1], 81, 3) << w;
        EXPECT_NEAR(target.Data[1][(h / 2 - 1) * target.Linesize[1] + w / 2 - 1], 90, 3) << w;
        EXPECT_NEAR(target.Data[2][0], 240, 3) << w;
    }
}

TEST(FormatConverterFailure, ConversionFailuresReturnFalseWithTheMessage) {
    TFormatConverter converter;
    TTestPicture picture(AV_PIX_FMT_YUV420P, 32, 32);
    ASSERT_TRUE(converter.PictureToRGB(picture.Data, picture.Linesize, AV_PIX_FMT_YUV420P, 32, 32, false));

    TTestPicture target(AV_PIX_FMT_YUV420P, 32, 32);
    EXPECT_FALSE(converter.RGBToPicture(target.Data, target.Linesize, AV_PIX_FMT_VAAPI, 32, 32));
    EXPECT_EQ(converter.LastErrMsg(), "Cannot initialize the fromRGB conversion context");

    // A hardware format cannot be read by the scaler.
    EXPECT_FALSE(converter.PictureToRGB(picture.Data, picture.Linesize, AV_PIX_FMT_VAAPI, 32, 32, false));
    EXPECT_EQ(converter.LastErrMsg(), "Cannot initialize the toRGB conversion context");
    EXPECT_EQ(converter.RGBPictureRef(), nullptr);
    EXPECT_EQ(converter.DIB()->Bits, nullptr);
    EXPECT_THROW(converter.RGBToBitmap(), std::logic_error);

    EXPECT_FALSE(converter.PictureToRGB(picture.Data, picture.Linesize, AV_PIX_FMT_YUV420P, 0, 32, false));
    EXPECT_EQ(converter.LastErrMsg(), "Invalid picture size 0x32");
}

TEST(FormatConverterFailure, CopiesNeedACurrentPicture) {
    TFormatConverter converter;
    TTestPicture target(AV_PIX_FMT_YUV420P, 16, 16);
    EXPECT_THROW(converter.RGBToBitmap(), std::logic_error);
    EXPECT_THROW(converter.BitmapToRGB(), std::logic_error);
    EXPECT_THROW(converter.RGBToPicture(target.Data, target.Linesize, AV_PIX_FMT_YUV420P, 16, 16), std::logic_error);

    ASSERT_TRUE(converter.PictureToRGB(target.Data, target.Linesize, AV_PIX_FMT_YUV420P, 16, 16, true));
    converter.Bitmap().SetSize(17, 16);
    EXPECT_THROW(converter.BitmapToRGB(), std::logic_error);
    // A depth change forgets the picture, which no longer has the layout.
    converter.SetBitsPixel(32);
    EXPECT_EQ(converter.RGBPictureRef(), nullptr);
    EXPECT_THROW(converter.RGBToBitmap(), std::logic_error);
}

} // namespace
