// TFormatConverter turns decoded pictures into RGB pictures laid out like a
// TBitmap of the chosen depth, describes them without copying (TDIB), copies
// them into or out of its bitmap, and converts them back into any pixel
// format. Used by one thread at a time; needs avutil and swscale loaded for
// conversions and must be destroyed before they are unloaded.
#pragma once

#include "avbind/AVPtr.h"
#include "avhelpers/Bitmap.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace avhelpers {

// Plane pointers and line sizes of a picture.
struct TPicture {
    std::uint8_t* Data[4] = {};
    int Linesize[4] = {};
};

// Description of the current RGB picture as a device-independent bitmap.
struct TDIB {
    std::int32_t Type = 0;
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::int32_t WidthBytes = 0;  // first line size of the RGB picture
    std::uint16_t Planes = 0;
    std::uint16_t BitsPixel = 0;
    void* Bits = nullptr;         // first plane of the RGB picture
};

class TFormatConverter {
public:
    // Depth pf24bit.
    TFormatConverter();
    TFormatConverter(const TFormatConverter&) = delete;
    TFormatConverter& operator=(const TFormatConverter&) = delete;

    int BitsPixel() const { return FBitsPixel; }
    // 8, 15, 16, 24, 32 select pf8bit, pf15bit, pf16bit, pf24bit, pf32bit and
    // reset the format; a value equal to BitsPixel() changes nothing (so 16
    // after 15 keeps pf15bit). Others: std::invalid_argument "Invalid BitsPixel %d".
    void SetBitsPixel(int value);
    TBMPPixelFormat BMPPixFmt() const { return FBMPPixFmt; }
    // The current value changes nothing; outside pf8bit..pf32bit:
    // std::invalid_argument "Invalid PixelFormat %d" (the ordinal).
    void SetBMPPixFmt(TBMPPixelFormat value);
    // The library layout of the depth.
    AVPixelFormat AVPixFmt() const { return FAVPixFmt; }

    // Forgets the current RGB picture and takes bits and layout from the depth.
    void ResetFormat();

    // Makes the picture the current RGB picture. When it already has the RGB
    // layout (same format, even width and height, 32-bit aligned rows equal to
    // linesize[0]) it is used in place: the caller's planes then must stay
    // valid, and BitmapToRGB writes into them, until the next conversion or
    // format change. Otherwise it is converted into the converter's buffer.
    // copyToBitmap: RGBToBitmap afterwards. On failure returns false with
    // LastErrMsg set and no current RGB picture.
    bool PictureToRGB(std::uint8_t* const data[4], const int linesize[4], AVPixelFormat format, int width, int height,
                      bool copyToBitmap);
    // Copy between the current RGB picture and Bitmap(), row by row with each
    // side's own stride. RGBToBitmap first gives the bitmap the picture's size
    // and depth; BitmapToRGB throws std::logic_error when they no longer match.
    // Both throw std::logic_error without a current RGB picture.
    void RGBToBitmap();
    void BitmapToRGB();
    // Converts the current RGB picture into the caller's picture, allocated
    // for the format and size (scaled when the size differs from the RGB
    // picture's). False with LastErrMsg set on failure; std::logic_error
    // without a current RGB picture.
    bool RGBToPicture(std::uint8_t* const data[4], const int linesize[4], AVPixelFormat format, int width,
                      int height);

    TBitmap& Bitmap() { return FBitmap; }
    const TBitmap& Bitmap() const { return FBitmap; }
    const TDIB* DIB() const { return &FDIB; }
    // The converter's own picture inside its buffer.
    const TPicture* RGBPicture() const { return &FRGBPicture; }
    // The current RGB picture: RGBPicture() or the caller's; null before the
    // first conversion, after a failed one and after a format change.
    const TPicture* RGBPictureRef() const { return FRGBPictureRef; }
    const std::uint8_t* RGBBuffer() const { return FRGBBuffer.get(); }
    // Allocated size of the buffer; it only grows.
    std::size_t RGBBufSize() const { return FRGBBufSize; }
    const std::string& LastErrMsg() const { return FLastErrMsg; }

private:
    void RequirePicture(const char* caller) const;
    bool Fail(const std::string& message);

    int FBitsPixel = 0;
    AVPixelFormat FAVPixFmt = AV_PIX_FMT_NONE;
    TBMPPixelFormat FBMPPixFmt = pf24bit;
    TBitmap FBitmap;
    TDIB FDIB;
    avbind::TAVBufferPtr FRGBBuffer;
    std::size_t FRGBBufSize = 0;
    TPicture FRGBPicture;
    TPicture FSourcePicture;  // the caller's picture when used in place
    const TPicture* FRGBPictureRef = nullptr;
    avbind::TSwsContextPtr FtoRGB_convert_ctx;
    avbind::TSwsContextPtr FfromRGB_convert_ctx;
    std::string FLastErrMsg;
};

} // namespace avhelpers
