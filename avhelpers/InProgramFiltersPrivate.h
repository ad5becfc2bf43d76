// Shared pieces of the in-program filters.
#pragma once

#include <cstdint>
#include <string>

#include "avhelpers/InProgramFilters.h"

extern "C" {
#include <libavutil/log.h>
}

namespace avhelpers::filters {

// The planar YUV formats every in-program filter accepts, in the order
// "rotate" prefers them; ended by -1.
extern const int PlanarYuvFormats[];
// Chroma subsampling exponents of one of those formats; false for others.
bool ChromaShifts(int format, int& hshift, int& vshift);

// A log context naming the filter, so messages show where they come from.
struct TLogContext {
    const AVClass* Class;
};
void Log(const TLogContext& context, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// "nativehue" and "nativeeq": two values in -100 ... 100, each read through a
// location that is either internal or a registered value cell.
class TEqualizerStage : public TFilterStage {
public:
    // Names of the two values in messages ("hue", "saturation", ...).
    TEqualizerStage(const AVClass* cls, const char* first, const char* second);
    // Parses the arguments and clamps; false (after the message) when a number
    // cannot be read.
    bool Init(const std::string& args);

    const int* Formats() const override { return PlanarYuvFormats; }
    int Configure(int width, int height, int format, int& outWidth, int& outHeight) override;
    bool WorksInPlace() const override { return true; }
    int FilterFrame(AVFrame* in, AVFrame* out) override;

protected:
    virtual void Process(AVFrame* frame, int first, int second) = 0;
    int FHShift = 0, FVShift = 0;

private:
    int ReadClamped(int index);
    TLogContext FLog;
    const char* FNames[2];
    std::int32_t FInternal[2] = {0, 0};
    TValueCell* FCells[2] = {nullptr, nullptr};  // null = the internal value
    int FReported[2] = {0, 0};
    bool FEnabled = false;
};

} // namespace avhelpers::filters

namespace avhelpers::filters {

// A log class whose messages name the filter.
AVClass MakeLogClass(const char* name);

} // namespace avhelpers::filters
