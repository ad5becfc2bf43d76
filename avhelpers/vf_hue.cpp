// "nativehue": turns the hue and scales the saturation of the chroma planes,
// in place.
#include "avhelpers/InProgramFiltersPrivate.h"

#include <cmath>

extern "C" {
#include <libavutil/frame.h>
}

namespace avhelpers {

namespace {

const AVClass HueClass = filters::MakeLogClass("nativehue");

std::uint8_t ToSample(std::int64_t value) {
    // value is the sample times 65536; the shift floors for negatives too.
    const std::int64_t sample = value >> 16;
    return static_cast<std::uint8_t>(sample < 0 ? 0 : sample > 255 ? 255 : sample);
}

class THueStage : public filters::TEqualizerStage {
public:
    THueStage() : TEqualizerStage(&HueClass, "hue", "saturation") {}

protected:
    void Process(AVFrame* frame, int hue, int saturation) override {
        const double angle = hue * M_PI / 100;
        const double factor = (saturation + 100) / 100.0;
        const std::int64_t s = static_cast<std::int64_t>(std::floor(std::sin(angle) * 65536 * factor + 0.5));
        const std::int64_t c = static_cast<std::int64_t>(std::floor(std::cos(angle) * 65536 * factor + 0.5));
        const int rows = AV_CEIL_RSHIFT(frame->height, FVShift);
        const int width = AV_CEIL_RSHIFT(frame->width, FHShift);
        for (int y = 0; y < rows; ++y) {
            // Both planes advance by the U plane's line size, as they share it.
            std::uint8_t* u = frame->data[1] + static_cast<std::ptrdiff_t>(y) * frame->linesize[1];
            std::uint8_t* v = frame->data[2] + static_cast<std::ptrdiff_t>(y) * frame->linesize[1];
            for (int x = 0; x < width; ++x) {
                const std::int64_t cu = u[x] - 128, cv = v[x] - 128;
                u[x] = ToSample(c * cu - s * cv + 8421376);
                v[x] = ToSample(s * cu + c * cv + 8421376);
            }
        }
    }
};

} // namespace

std::unique_ptr<TFilterStage> CreateHueStage(const std::string& args) {
    auto stage = std::make_unique<THueStage>();
    if (!stage->Init(args)) return nullptr;
    return stage;
}

} // namespace avhelpers
