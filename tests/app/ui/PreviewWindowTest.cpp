#include "app/ui/PreviewWindow.h"

#include <QApplication>

#include <gtest/gtest.h>

namespace {

avhelpers::TBitmap Filled(avhelpers::TBMPPixelFormat format, int w, int h, std::initializer_list<std::uint8_t> pixel) {
    avhelpers::TBitmap bitmap;
    bitmap.SetPixelFormat(format);
    bitmap.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int i = 0;
            for (std::uint8_t byte : pixel) bitmap.ScanLine(y)[x * static_cast<int>(pixel.size()) + i++] = byte;
        }
    return bitmap;
}

TEST(UiPreviewWindow, BitmapsOfEachDepthBecomeTheSameColours) {
    // Pure red in each layout the picture converter writes.
    const QImage b24 = ui::BitmapToImage(Filled(avhelpers::pf24bit, 3, 2, {0, 0, 255}));
    const QImage b32 = ui::BitmapToImage(Filled(avhelpers::pf32bit, 3, 2, {0, 0, 255, 255}));
    const QImage b16 = ui::BitmapToImage(Filled(avhelpers::pf16bit, 3, 2, {0x1f, 0x00}));
    const QImage b15 = ui::BitmapToImage(Filled(avhelpers::pf15bit, 3, 2, {0x1f, 0x00}));
    const QImage b8 = ui::BitmapToImage(Filled(avhelpers::pf8bit, 3, 2, {0x07}));
    for (const QImage* image : {&b24, &b32, &b16, &b15, &b8}) {
        ASSERT_EQ(image->size(), QSize(3, 2));
        EXPECT_EQ(image->pixel(2, 1) & 0xffffff, 0xff0000u);
    }
    // Blue sits in the high bits of the 16-bit layout.
    EXPECT_EQ(ui::BitmapToImage(Filled(avhelpers::pf16bit, 1, 1, {0x00, 0xf8})).pixel(0, 0) & 0xffffff, 0x0000ffu);
    EXPECT_TRUE(ui::BitmapToImage(avhelpers::TBitmap()).isNull());
}

TEST(UiPreviewWindow, KeepsTheFirstSizeShowsTheTimeAndReportsItsClosing) {
    ui::TQtPreviewWindow window;
    window.Show(Filled(avhelpers::pf24bit, 64, 48, {10, 20, 30}), "00:00:01.000");
    ui::TPreviewWidget* widget = window.Widget();
    ASSERT_NE(widget, nullptr);
    EXPECT_TRUE(widget->isVisible());
    EXPECT_TRUE(widget->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(widget->windowTitle().toStdString(), "00:00:01.000");
    EXPECT_EQ(widget->size(), QSize(64, 48));

    window.Show(Filled(avhelpers::pf24bit, 32, 100, {10, 20, 30}), "00:00:01.040");
    EXPECT_EQ(widget->size(), QSize(64, 48));
    EXPECT_EQ(widget->Picture().size(), QSize(32, 100));
    EXPECT_EQ(widget->windowTitle().toStdString(), "00:00:01.040");
    EXPECT_FALSE(window.Closed());

    widget->close();
    EXPECT_TRUE(window.Closed());
    window.Show(Filled(avhelpers::pf24bit, 64, 48, {0, 0, 0}), "00:00:02.000");
    EXPECT_FALSE(widget->isVisible());  // a closed window is not shown again
}

} // namespace
