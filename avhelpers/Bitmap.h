// TBitmap: the system's own RGB picture. Rows are stored top-down, each padded
// to a 32-bit boundary, in the layout the picture converter produces for the
// bitmap's depth. Painting is left to the GUI, which wraps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace avhelpers {

// Bitmap depths, with the ordinals the rest of the system stores and reports.
enum TBMPPixelFormat : int { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

class TBitmap {
public:
    TBitmap() = default;

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    TBMPPixelFormat PixelFormat() const { return FPixelFormat; }
    // Storage bits of one pixel: 1, 4, 8, 16 (pf15bit and pf16bit), 24 or 32
    // (pf32bit and pfDevice).
    int BitsPerPixel() const { return BitsPerPixel(FPixelFormat); }
    static int BitsPerPixel(TBMPPixelFormat format);
    // Bytes from one row to the next: width × bits rounded up to 32 bits.
    std::size_t Stride() const { return FStride; }
    bool Empty() const { return FWidth == 0 || FHeight == 0; }

    // Pixel content is unspecified after a change of size or depth. Storage
    // is reused when it does not need to grow. Both throw
    // std::invalid_argument (negative size, pfCustom or an unknown ordinal).
    void SetSize(int width, int height);
    void SetPixelFormat(TBMPPixelFormat format);

    // Row y, 0 at the top; y must be in 0..Height()-1.
    std::uint8_t* ScanLine(int y) { return FPixels.data() + static_cast<std::size_t>(y) * FStride; }
    const std::uint8_t* ScanLine(int y) const { return FPixels.data() + static_cast<std::size_t>(y) * FStride; }

private:
    void Layout(int width, int height, TBMPPixelFormat format);

    int FWidth = 0;
    int FHeight = 0;
    TBMPPixelFormat FPixelFormat = pfDevice;
    std::size_t FStride = 0;
    std::vector<std::uint8_t> FPixels;  // resized only: its capacity never shrinks
};

} // namespace avhelpers
