// "rotate": turns the picture by an angle in degrees and enlarges it to hold
// the whole turned content; the uncovered corners are black.
#include "avhelpers/InProgramFiltersPrivate.h"

#include <algorithm>
#include <cmath>

#include "avbind/Text.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace avhelpers {

namespace {

const AVClass RotateClass = filters::MakeLogClass("rotate");

class TRotateStage : public TFilterStage {
public:
    explicit TRotateStage(int angle) : FAngle(angle) {}

    const int* Formats() const override { return filters::PlanarYuvFormats; }
    bool WorksInPlace() const override { return false; }

    int Configure(int width, int height, int format, int& outWidth, int& outHeight) override {
        if (!filters::ChromaShifts(format, FHShift, FVShift)) return AVERROR(EINVAL);
        // Single precision on purpose: the sizes follow from these values.
        const double radians = FAngle * M_PI / 180;
        FSin = static_cast<float>(std::sin(radians));
        FCos = static_cast<float>(std::cos(radians));
        const float w = static_cast<float>(width), h = static_cast<float>(height);
        FTransX = std::max(0.0f, h * FSin) + std::max(0.0f, -w * FCos);
        FTransY = std::max(0.0f, -h * FCos) + std::max(0.0f, -w * FSin);
        outWidth = static_cast<int>(std::floor(FTransX + std::max(0.0f, w * FCos) + std::max(0.0f, -h * FSin)));
        outHeight = static_cast<int>(std::floor(FTransY + std::max(0.0f, h * FCos) + std::max(0.0f, w * FSin)));
        return 0;
    }

    int FilterFrame(AVFrame* in, AVFrame* out) override {
        if (!out) return AVERROR(EINVAL);
        if (in->sample_aspect_ratio.num)
            out->sample_aspect_ratio = AVRational{in->sample_aspect_ratio.den, in->sample_aspect_ratio.num};
        const int w = in->width, h = in->height;
        for (int i = 0; i < out->height; ++i) {
            std::uint8_t* row = out->data[0] + static_cast<std::ptrdiff_t>(i) * out->linesize[0];
            for (int j = 0; j < out->width; ++j) {
                const int x = static_cast<int>(std::floor(FSin * (i - FTransY) + FCos * (j - FTransX) + 0.5f));
                const int y = static_cast<int>(std::floor(FCos * (i - FTransY) - FSin * (j - FTransX) + 0.5f));
                row[j] = x < 0 || x >= w || y < 0 || y >= h ? 16 : in->data[0][static_cast<std::ptrdiff_t>(y) * in->linesize[0] + x];
            }
        }
        // Chroma rows and columns rounded up, so odd sizes leave nothing unset.
        const int chromaRows = AV_CEIL_RSHIFT(out->height, FVShift);
        const int chromaCols = AV_CEIL_RSHIFT(out->width, FHShift);
        for (int plane = 1; plane <= 2; ++plane) {
            for (int i = 0; i < chromaRows; ++i) {
                std::uint8_t* row = out->data[plane] + static_cast<std::ptrdiff_t>(i) * out->linesize[plane];
                const int y2 = (i + FVShift / 2) << FVShift;
                for (int j = 0; j < chromaCols; ++j) {
                    const int x2 = (j + FHShift / 2) << FHShift;
                    const int x = static_cast<int>(FSin * (y2 - FTransY) + FCos * (x2 - FTransX) + 0.5f);
                    const int y = static_cast<int>(FCos * (y2 - FTransY) - FSin * (x2 - FTransX) + 0.5f);
                    if (x < 0 || x >= w || y < 0 || y >= h) {
                        row[j] = 128;
                    } else {
                        const int cx = (x + FHShift / 2) >> FHShift, cy = (y + FVShift / 2) >> FVShift;
                        row[j] = in->data[plane][static_cast<std::ptrdiff_t>(cy) * in->linesize[plane] + cx];
                    }
                }
            }
        }
        return 0;
    }

private:
    int FAngle;
    int FHShift = 0, FVShift = 0;
    float FSin = 0, FCos = 1, FTransX = 0, FTransY = 0;
};

} // namespace

std::unique_ptr<TFilterStage> CreateRotateStage(const std::string& args) {
    int angle = 45;
    // The angle is a decimal integer; other text is refused (null stage).
    if (!args.empty() && !avbind::TryStrToInt(args, angle)) {
        filters::Log(filters::TLogContext{&RotateClass}, AV_LOG_ERROR, "Invalid angle '%s': a whole number of degrees is expected\n",
                     args.c_str());
        return nullptr;
    }
    return std::make_unique<TRotateStage>(angle);
}

} // namespace avhelpers
