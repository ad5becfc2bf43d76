#include "avhelpers/FormatConverter.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace avhelpers {

namespace {

struct TDepth {
    int BitsPixel;
    AVPixelFormat Format;
};

// Indexed by depth - pf8bit. Little-endian 15/16-bit layouts match the
// bitmap's byte order on every platform.
const TDepth DepthTable[] = {
    {8, AV_PIX_FMT_BGR8},       // pf8bit
    {16, AV_PIX_FMT_BGR555LE},  // pf15bit
    {16, AV_PIX_FMT_BGR565LE},  // pf16bit
    {24, AV_PIX_FMT_BGR24},     // pf24bit
    {32, AV_PIX_FMT_BGRA},      // pf32bit
};

template <class... A>
std::string Format(const char* format, A... args) {
    char text[128];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

void CopyRows(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride,
              std::size_t rowBytes, int rows) {
    for (int y = 0; y < rows; ++y, src += srcStride, dst += dstStride) std::memcpy(dst, src, rowBytes);
}

} // namespace

TFormatConverter::TFormatConverter() { ResetFormat(); }

void TFormatConverter::SetBitsPixel(int value) {
    if (value == FBitsPixel) return;
    TBMPPixelFormat format;
    switch (value) {
    case 8: format = pf8bit; break;
    case 15: format = pf15bit; break;
    case 16: format = pf16bit; break;
    case 24: format = pf24bit; break;
    case 32: format = pf32bit; break;
    default: throw std::invalid_argument(Format("Invalid BitsPixel %d", value));
    }
    FBMPPixFmt = format;
    ResetFormat();
}

void TFormatConverter::SetBMPPixFmt(TBMPPixelFormat value) {
    if (value == FBMPPixFmt) return;
    if (value < pf8bit || value > pf32bit)
        throw std::invalid_argument(Format("Invalid PixelFormat %d", static_cast<int>(value)));
    FBMPPixFmt = value;
    ResetFormat();
}

void TFormatConverter::ResetFormat() {
    FDIB = {};
    FRGBPicture = {};
    FSourcePicture = {};
    FRGBPictureRef = nullptr;
    const TDepth& depth = DepthTable[FBMPPixFmt - pf8bit];
    FBitsPixel = depth.BitsPixel;
    FAVPixFmt = depth.Format;
    FBitmap.SetPixelFormat(FBMPPixFmt);
}

bool TFormatConverter::Fail(const std::string& message) {
    FRGBPictureRef = nullptr;
    FDIB = {};
    FLastErrMsg = message;
    return false;
}

bool TFormatConverter::PictureToRGB(std::uint8_t* const data[4], const int linesize[4], AVPixelFormat format,
                                    int width, int height, bool copyToBitmap) {
    using avbind::avutil;
    using avbind::swscale;
    FRGBPictureRef = nullptr;
    // Also keeps width × bits and the buffer size within int below.
    if (width <= 0 || height <= 0 ||
        avutil.av_image_check_size(static_cast<unsigned>(width), static_cast<unsigned>(height), 0, nullptr) < 0)
        return Fail(Format("Invalid picture size %dx%d", width, height));
    FBitmap.SetSize(width, height);

    const int alignedRowBytes = (width * FBitsPixel + 31) / 32 * 4;
    if (format == FAVPixFmt && width % 2 == 0 && height % 2 == 0 && alignedRowBytes == linesize[0]) {
        // Already in the bitmap's layout: describe it in place.
        for (int i = 0; i < 4; ++i) {
            FSourcePicture.Data[i] = data[i];
            FSourcePicture.Linesize[i] = linesize[i];
        }
        FRGBPictureRef = &FSourcePicture;
    } else {
        const int size = avutil.av_image_get_buffer_size(FAVPixFmt, width, height, 1);
        if (size < 0) return Fail(Format("Invalid picture size %dx%d", width, height));
        if (!FRGBBuffer || FRGBBufSize < static_cast<std::size_t>(size)) {
            FRGBBuffer.reset();
            FRGBBufSize = 0;
            FRGBBuffer.reset(static_cast<std::uint8_t*>(avutil.av_malloc(static_cast<std::size_t>(size))));
            if (!FRGBBuffer) return Fail("Cannot allocate the RGB picture buffer");
            FRGBBufSize = static_cast<std::size_t>(size);
        }
        FRGBPicture = {};
        avutil.av_image_fill_arrays(FRGBPicture.Data, FRGBPicture.Linesize, FRGBBuffer.get(), FAVPixFmt, width,
                                    height, 1);
        // On a change of parameters the library frees the old context itself.
        FtoRGB_convert_ctx.reset(swscale.sws_getCachedContext(FtoRGB_convert_ctx.release(), width, height, format,
                                                              width, height, FAVPixFmt, SWS_BICUBIC, nullptr,
                                                              nullptr, nullptr));
        if (!FtoRGB_convert_ctx) return Fail("Cannot initialize the toRGB conversion context");
        if (swscale.sws_scale(FtoRGB_convert_ctx.get(), data, linesize, 0, height, FRGBPicture.Data,
                              FRGBPicture.Linesize) < 0)
            return Fail("Cannot convert the picture to RGB");
        FRGBPictureRef = &FRGBPicture;
    }

    FDIB.Type = 0;
    FDIB.Width = width;
    FDIB.Height = height;
    FDIB.WidthBytes = FRGBPictureRef->Linesize[0];
    FDIB.Planes = 1;
    FDIB.BitsPixel = static_cast<std::uint16_t>(FBitsPixel);
    FDIB.Bits = FRGBPictureRef->Data[0];

    if (copyToBitmap) RGBToBitmap();
    return true;
}

void TFormatConverter::RequirePicture(const char* caller) const {
    if (!FRGBPictureRef)
        throw std::logic_error(std::string("TFormatConverter::") + caller +
                               " needs a current RGB picture (no successful PictureToRGB since the last "
                               "format change)");
}

void TFormatConverter::RGBToBitmap() {
    RequirePicture("RGBToBitmap");
    FBitmap.SetPixelFormat(FBMPPixFmt);
    FBitmap.SetSize(FDIB.Width, FDIB.Height);
    CopyRows(FRGBPictureRef->Data[0], FRGBPictureRef->Linesize[0], FBitmap.ScanLine(0),
             static_cast<std::ptrdiff_t>(FBitmap.Stride()), static_cast<std::size_t>(FDIB.Width) * (FBitsPixel / 8),
             FDIB.Height);
}

void TFormatConverter::BitmapToRGB() {
    RequirePicture("BitmapToRGB");
    // A bitmap resized since the conversion would overrun the picture.
    if (FBitmap.Width() != FDIB.Width || FBitmap.Height() != FDIB.Height || FBitmap.PixelFormat() != FBMPPixFmt)
        throw std::logic_error("TFormatConverter::BitmapToRGB: the bitmap no longer matches the RGB picture");
    CopyRows(FBitmap.ScanLine(0), static_cast<std::ptrdiff_t>(FBitmap.Stride()), FRGBPictureRef->Data[0],
             FRGBPictureRef->Linesize[0], static_cast<std::size_t>(FDIB.Width) * (FBitsPixel / 8), FDIB.Height);
}

bool TFormatConverter::RGBToPicture(std::uint8_t* const data[4], const int linesize[4], AVPixelFormat format,
                                    int width, int height) {
    using avbind::swscale;
    RequirePicture("RGBToPicture");
    // The source size is the RGB picture's own, so a different target size scales instead of overreading.
    FfromRGB_convert_ctx.reset(swscale.sws_getCachedContext(FfromRGB_convert_ctx.release(), FDIB.Width, FDIB.Height,
                                                            FAVPixFmt, width, height, format, SWS_BICUBIC, nullptr,
                                                            nullptr, nullptr));
    if (!FfromRGB_convert_ctx) {
        FLastErrMsg = "Cannot initialize the fromRGB conversion context";
        return false;
    }
    if (swscale.sws_scale(FfromRGB_convert_ctx.get(), FRGBPictureRef->Data, FRGBPictureRef->Linesize, 0, FDIB.Height,
                          data, linesize) < 0) {
        FLastErrMsg = "Cannot convert the RGB picture";
        return false;
    }
    return true;
}

} // namespace avhelpers
