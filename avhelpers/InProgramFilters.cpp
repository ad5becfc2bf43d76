#include "avhelpers/InProgramFiltersPrivate.h"

#include <algorithm>
#include <cstdarg>
#include <map>
#include <mutex>

#include "avbind/Text.h"
#include "avbind/FFEntries.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace avhelpers {

namespace {

struct TCellTable {
    std::mutex Lock;
    std::map<int, TValueCell*> Cells;
    int Next = 1;
};

TCellTable& Cells() {
    static TCellTable table;
    return table;
}

TValueCell* FindCell(int number) {
    TCellTable& table = Cells();
    std::lock_guard<std::mutex> guard(table.Lock);
    const auto it = table.Cells.find(number);
    return it == table.Cells.end() ? nullptr : it->second;
}

} // namespace

int RegisterValueCell(TValueCell& cell) {
    TCellTable& table = Cells();
    std::lock_guard<std::mutex> guard(table.Lock);
    const int number = table.Next++;
    table.Cells[number] = &cell;
    return number;
}

void UnregisterValueCell(int number) {
    TCellTable& table = Cells();
    std::lock_guard<std::mutex> guard(table.Lock);
    table.Cells.erase(number);
}

namespace filters {

const int PlanarYuvFormats[] = {AV_PIX_FMT_YUV444P,  AV_PIX_FMT_YUV422P,  AV_PIX_FMT_YUV420P,  AV_PIX_FMT_YUV411P,
                                AV_PIX_FMT_YUV410P,  AV_PIX_FMT_YUVJ444P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ420P,
                                AV_PIX_FMT_YUV440P,  AV_PIX_FMT_YUVJ440P, AV_PIX_FMT_NONE};

bool ChromaShifts(int format, int& hshift, int& vshift) {
    switch (format) {
    case AV_PIX_FMT_YUV444P: case AV_PIX_FMT_YUVJ444P: hshift = 0; vshift = 0; return true;
    case AV_PIX_FMT_YUV422P: case AV_PIX_FMT_YUVJ422P: hshift = 1; vshift = 0; return true;
    case AV_PIX_FMT_YUV420P: case AV_PIX_FMT_YUVJ420P: hshift = 1; vshift = 1; return true;
    case AV_PIX_FMT_YUV411P: hshift = 2; vshift = 0; return true;
    case AV_PIX_FMT_YUV410P: hshift = 2; vshift = 2; return true;
    case AV_PIX_FMT_YUV440P: case AV_PIX_FMT_YUVJ440P: hshift = 0; vshift = 1; return true;
    default: return false;
    }
}

namespace {
const char* FilterItemName(void* context) { return (*static_cast<const AVClass**>(context))->class_name; }
} // namespace

AVClass MakeLogClass(const char* name) {
    AVClass cls{};
    cls.class_name = name;
    cls.item_name = FilterItemName;
    cls.version = LIBAVUTIL_VERSION_INT;
    cls.category = AV_CLASS_CATEGORY_FILTER;
    return cls;
}

void Log(const TLogContext& context, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    avbind::avutil.av_vlog(const_cast<TLogContext*>(&context), level, format, args);
    va_end(args);
}

TEqualizerStage::TEqualizerStage(const AVClass* cls, const char* first, const char* second)
    : FLog{cls}, FNames{first, second} {}

bool TEqualizerStage::Init(const std::string& args) {
    // Split at the first three ':' (the fourth field keeps any further ones).
    std::string fields[4];
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t colon = i < 3 ? args.find(':', start) : std::string::npos;
        fields[i] = args.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        const auto first = fields[i].find_first_not_of(" \t\r\n");
        fields[i] = first == std::string::npos ? std::string()
                                               : fields[i].substr(first, fields[i].find_last_not_of(" \t\r\n") - first + 1);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    try {
        for (int i = 0; i < 2; ++i)
            if (!fields[i].empty()) FInternal[i] = avbind::StrToInt(fields[i]);
        for (int i = 0; i < 2; ++i) {
            if (fields[2 + i].empty()) continue;
            const int number = avbind::StrToInt(fields[2 + i]);
            if (number == 0) continue;
            FCells[i] = FindCell(number);
            if (!FCells[i]) throw avbind::EConvertError("'" + fields[2 + i] + "' is not a registered value cell");
        }
    } catch (const avbind::EConvertError& e) {
        Log(FLog, AV_LOG_ERROR, "failed to parsing parameters: %s\n", e.what());
        return false;
    }
    FReported[0] = ReadClamped(0);
    FReported[1] = ReadClamped(1);
    Log(FLog, AV_LOG_DEBUG, "%s:%d, %s:%d\n", FNames[0], FReported[0], FNames[1], FReported[1]);
    FEnabled = FReported[0] != 0 || FReported[1] != 0 || FCells[0] || FCells[1];
    return true;
}

int TEqualizerStage::ReadClamped(int index) {
    const int value = FCells[index] ? FCells[index]->load(std::memory_order_relaxed) : FInternal[index];
    const int clamped = std::clamp(value, -100, 100);
    if (clamped != value) {
        if (FCells[index])
            FCells[index]->store(clamped, std::memory_order_relaxed);
        else
            FInternal[index] = clamped;
        Log(FLog, AV_LOG_ERROR, "Invalid %s value %d, force to %d\n", FNames[index], value, clamped);
    }
    return clamped;
}

int TEqualizerStage::Configure(int width, int height, int format, int& outWidth, int& outHeight) {
    if (!ChromaShifts(format, FHShift, FVShift)) return AVERROR(EINVAL);
    outWidth = width;
    outHeight = height;
    return 0;
}

int TEqualizerStage::FilterFrame(AVFrame* in, AVFrame*) {
    const int first = ReadClamped(0);
    const int second = ReadClamped(1);
    if (first != FReported[0] || second != FReported[1]) {
        Log(FLog, AV_LOG_DEBUG, "%s:%d, %s:%d\n", FNames[0], first, FNames[1], second);
        FReported[0] = first;
        FReported[1] = second;
    }
    if (FEnabled && (first != 0 || second != 0)) Process(in, first, second);
    return 0;
}

} // namespace filters

void RegisterRotateFilter() { RegisterFilterOnce({"rotate", "", CreateRotateStage}); }

void RegisterNativeFilters() {
    RegisterFilterOnce({"nativeeq", "Software video equalizer(brightness and contrast)", CreateEqStage});
    RegisterFilterOnce({"nativehue", "Software video equalizer(hue and saturation)", CreateHueStage});
}

} // namespace avhelpers
