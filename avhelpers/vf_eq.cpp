// "nativeeq": brightness and contrast of the luma plane, in place.
#include "avhelpers/InProgramFiltersPrivate.h"

#include <algorithm>

extern "C" {
#include <libavutil/frame.h>
}

namespace avhelpers {

namespace {

const AVClass EqClass = filters::MakeLogClass("nativeeq");

class TEqStage : public filters::TEqualizerStage {
public:
    TEqStage() : TEqualizerStage(&EqClass, "brightness", "contrast") {}

protected:
    void Process(AVFrame* frame, int brightness, int contrast) override {
        const int k = (contrast + 100) * 65536 / 100;
        const int b = (brightness + 100) * 511 / 200 - 128 - k / 512;
        for (int y = 0; y < frame->height; ++y) {
            std::uint8_t* row = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
            for (int x = 0; x < frame->width; ++x) row[x] = static_cast<std::uint8_t>(std::clamp(row[x] * k / 65536 + b, 0, 255));
        }
    }
};

} // namespace

std::unique_ptr<TFilterStage> CreateEqStage(const std::string& args) {
    auto stage = std::make_unique<TEqStage>();
    if (!stage->Init(args)) return nullptr;
    return stage;
}

} // namespace avhelpers
