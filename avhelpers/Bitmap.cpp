#include "avhelpers/Bitmap.h"

#include <stdexcept>
#include <string>

namespace avhelpers {

int TBitmap::BitsPerPixel(TBMPPixelFormat format) {
    switch (format) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    case pf15bit:
    case pf16bit: return 16;
    case pf24bit: return 24;
    case pf32bit:
    case pfDevice: return 32;  // the display's depth on every desktop we run on
    default: return 0;
    }
}

void TBitmap::SetSize(int width, int height) {
    if (width < 0 || height < 0)
        throw std::invalid_argument("Invalid bitmap size " + std::to_string(width) + "x" + std::to_string(height));
    Layout(width, height, FPixelFormat);
}

void TBitmap::SetPixelFormat(TBMPPixelFormat format) {
    if (BitsPerPixel(format) == 0)
        throw std::invalid_argument("Unsupported bitmap pixel format " + std::to_string(static_cast<int>(format)));
    Layout(FWidth, FHeight, format);
}

void TBitmap::Layout(int width, int height, TBMPPixelFormat format) {
    const std::size_t bits = static_cast<std::size_t>(width) * static_cast<std::size_t>(BitsPerPixel(format));
    const std::size_t stride = (bits + 31) / 32 * 4;
    FPixels.resize(stride * static_cast<std::size_t>(height));
    FWidth = width;
    FHeight = height;
    FPixelFormat = format;
    FStride = stride;
}

} // namespace avhelpers
