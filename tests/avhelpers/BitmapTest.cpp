#include "avhelpers/Bitmap.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using avhelpers::TBitmap;

TEST(Bitmap, RowsArePaddedTo32Bits) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(avhelpers::pf24bit);
    bitmap.SetSize(5, 3);
    EXPECT_EQ(bitmap.Stride(), 16u);
    EXPECT_EQ(bitmap.ScanLine(2) - bitmap.ScanLine(0), 32);
    bitmap.SetPixelFormat(avhelpers::pf15bit);
    EXPECT_EQ(bitmap.Stride(), 12u);
    bitmap.SetPixelFormat(avhelpers::pf8bit);
    EXPECT_EQ(bitmap.Stride(), 8u);
    bitmap.SetPixelFormat(avhelpers::pf1bit);
    bitmap.SetSize(33, 1);
    EXPECT_EQ(bitmap.Stride(), 8u);
}

TEST(Bitmap, StorageIsReusedWhenItNeedNotGrow) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(avhelpers::pf32bit);
    bitmap.SetSize(64, 64);
    const std::uint8_t* first = bitmap.ScanLine(0);
    bitmap.SetSize(10, 10);
    bitmap.SetPixelFormat(avhelpers::pf24bit);
    EXPECT_EQ(bitmap.ScanLine(0), first);
    bitmap.ScanLine(9)[bitmap.Stride() - 1] = 1;  // last byte stays writable
}

TEST(Bitmap, RejectsWhatItCannotStore) {
    TBitmap bitmap;
    EXPECT_THROW(bitmap.SetSize(-1, 4), std::invalid_argument);
    EXPECT_THROW(bitmap.SetPixelFormat(avhelpers::pfCustom), std::invalid_argument);
    EXPECT_THROW(bitmap.SetPixelFormat(static_cast<avhelpers::TBMPPixelFormat>(12)), std::invalid_argument);
    EXPECT_TRUE(bitmap.Empty());
}

} // namespace
