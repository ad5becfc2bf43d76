// The options whose values carry structure: stream, metadata and chapter
// maps, time scales, quantizer matrices, two-pass and statistics files,
// stream ids and bitstream filter chains. Each checks its value and says
// what is wrong with it.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avbind/Text.h"

#include <cstdlib>
#include <new>

namespace engine {

using namespace avbind;

namespace {

// strtol/strtod-style reading that also moves past one separator character.
long ReadLong(const char*& p) {
    char* end = nullptr;
    const long v = std::strtol(p, &end, 0);
    p = end;
    return v;
}
void SkipSeparator(const char*& p) {
    if (*p) ++p;
}

// The grow check of the engine's arrays: a count that no allocation can hold
// is refused before anything is allocated.
template <class T>
void CheckGrowLimit(std::size_t wanted) {
    if (wanted >= static_cast<std::size_t>(INT_MAX) / sizeof(T)) throw std::runtime_error("Array too big.");
}

template <class T>
void GrowTo(std::vector<T>& array, std::size_t wanted) {
    CheckGrowLimit<T>(wanted);
    if (array.size() >= wanted) return;
    try {
        array.resize(wanted);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("Could not alloc buffer.");
    }
}

} // namespace

void TCustomFFmpeg::AddStreamMap(const std::string& arg) {
    const char* p = arg.c_str();
    TAVStreamMap m;
    m.file_index = static_cast<int>(ReadLong(p));
    SkipSeparator(p);
    m.stream_index = static_cast<int>(ReadLong(p));
    if (*p) {
        SkipSeparator(p);
        m.sync_file_index = static_cast<int>(ReadLong(p));
        SkipSeparator(p);
        m.sync_stream_index = static_cast<int>(ReadLong(p));
    } else {
        m.sync_file_index = m.file_index;
        m.sync_stream_index = m.stream_index;
    }
    GrowTo(FTaskOpts.stream_maps, FTaskOpts.stream_maps.size() + 1);
    FTaskOpts.stream_maps.back() = m;
}

void TCustomFFmpeg::AddMetadataMap(const std::string& arg) {
    const char* p = arg.c_str();
    auto side = [&](TAVMetaDataMap& m) {
        m.file_idx = static_cast<int>(ReadLong(p));
        m.type_ = 'g';
        m.index = 0;
        if (*p != ',') return;
        ++p;
        m.type_ = *p;
        switch (*p) {
        case 'g':
            ++p;  // no index follows
            break;
        case 's':
        case 'c':
        case 'p':
            ++p;
            m.index = static_cast<int>(ReadLong(p));
            break;
        default:
            RaiseFF("Invalid metadata type %s.", std::string(1, *p).c_str());
        }
    };
    TAVMetaDataMapPair pair;
    side(pair[0]);
    SkipSeparator(p);
    side(pair[1]);
    for (const TAVMetaDataMap& m : pair) {
        if (m.type_ == 'g') FTaskOpts.metadata_global_autocopy = 0;
        if (m.type_ == 's') FTaskOpts.metadata_streams_autocopy = 0;
        if (m.type_ == 'c') FTaskOpts.metadata_chapters_autocopy = 0;
    }
    GrowTo(FTaskOpts.meta_data_maps, FTaskOpts.meta_data_maps.size() + 1);
    FTaskOpts.meta_data_maps.back() = pair;
}

void TCustomFFmpeg::AddChapterMap(const std::string& arg) {
    const char* p = arg.c_str();
    TAVChapterMap m;
    m.out_file = static_cast<int>(ReadLong(p));
    SkipSeparator(p);
    m.in_file = static_cast<int>(ReadLong(p));
    GrowTo(FTaskOpts.chapter_maps, FTaskOpts.chapter_maps.size() + 1);
    FTaskOpts.chapter_maps.back() = m;
}

void TCustomFFmpeg::SetInputTsScale(const std::string& arg) {
    const char* p = arg.c_str();
    const unsigned stream = static_cast<unsigned>(ReadLong(p));
    SkipSeparator(p);
    const double scale = std::strtod(p, nullptr);
    if (stream >= static_cast<unsigned>(MAX_STREAMS)) RaiseFF("stream index over MAX_STREAMS(%d)", MAX_STREAMS);
    if (Fnb_input_files >= FMaxFiles) RaiseFF("Too many input files.");
    std::vector<double>& scales = FFileOpts.ts_scale;
    GrowTo(scales, stream + 1);
    scales[stream] = scale;
}

void TCustomFFmpeg::ParseMetadata(const std::string& arg) {
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos) RaiseFF("Missing =");
    if (eq == 0) RaiseFF("wrong parameter of metadata");
    AddMetadata(arg.substr(0, eq), arg.substr(eq + 1));
}

void TCustomFFmpeg::SetQScale(const std::string& arg) {
    const double q = StrToFloat(arg);
    if (q <= 0 || q > 255) RaiseFF("qscale must be > 0.0 and <= 255");
    FFileOpts.video_qscale = static_cast<float>(q);
}

void TCustomFFmpeg::SetPass(const std::string& arg) {
    const int pass = StrToInt(arg);
    if (pass != 1 && pass != 2) RaiseFF("pass number can be only 1 or 2");
    FTaskOpts.do_pass = pass;
}

void TCustomFFmpeg::SetPassLogFile(const std::string& name, const std::string& arg) {
    FTaskOpts.pass_logfilename_prefix = arg;
    SetLibOption(name, arg);
}

void TCustomFFmpeg::SetVStats(bool on) {
    FTaskOpts.vstats_filename.clear();
    if (!on) return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H%M%S", &local);
    // The current folder, as a command line expects; the program's own folder is read-only once installed.
    FTaskOpts.vstats_filename = Format("vstats_%s.log", clock);
}

namespace {

// Reads 64 comma-separated coefficients into a zeroed matrix.
void ParseMatrix(std::uint16_t* matrix, const std::string& text) {
    const char* p = text.c_str();
    for (int i = 0;; ++i) {
        matrix[i] = static_cast<std::uint16_t>(std::atoi(p));
        if (i == 63) break;
        p = std::strchr(p, ',');
        if (!p) RaiseFF("Syntax error in matrix \"%s\" at coeff %d", text.c_str(), i);
        ++p;
    }
}

void SetMatrix(std::unique_ptr<std::uint16_t, TAVFreeDeleter>& matrix, const std::string& text) {
    constexpr std::size_t bytes = 64 * sizeof(std::uint16_t);
    if (!matrix) {
        matrix.reset(static_cast<std::uint16_t*>(avutil.av_mallocz(bytes)));
        if (!matrix) throw std::runtime_error("Could not alloc buffer.");
    } else {
        std::memset(matrix.get(), 0, bytes);
    }
    ParseMatrix(matrix.get(), text);
}

} // namespace

void TCustomFFmpeg::SetIntraMatrix(const std::string& arg) { SetMatrix(FFileOpts.intra_matrix, arg); }

void TCustomFFmpeg::SetInterMatrix(const std::string& arg) { SetMatrix(FFileOpts.inter_matrix, arg); }

void TCustomFFmpeg::SetTopFieldFirst(const std::string& arg) {
    FFileOpts.top_field_first = StrToInt(arg);
    SetLibOptionInt("top", FFileOpts.top_field_first);
}

void TCustomFFmpeg::SetStreamId(const std::string& name, const std::string& arg) {
    const std::size_t colon = arg.find(':');
    int index = 0, value = 0;
    if (colon == std::string::npos || !TryStrToInt(arg.substr(0, colon), index) ||
        !TryStrToInt(arg.substr(colon + 1), value) || index < 0)
        RaiseFF("Invalid value \"%s\" for option \"%s\", required syntax is \"index:value\"", arg.c_str(),
                name.c_str());
    CheckGrowLimit<int>(static_cast<std::size_t>(index) + 1);
    // No output has more streams: a larger index would only allocate (up to
    // gigabytes) for nothing.
    if (index >= MAX_STREAMS) RaiseFF("stream index over MAX_STREAMS(%d)", MAX_STREAMS);
    GrowTo(FTaskOpts.streamid_map, static_cast<std::size_t>(index) + 1);
    FTaskOpts.streamid_map[static_cast<std::size_t>(index)] = value;
}

void TCustomFFmpeg::AddBitstreamFilter(const std::string& name, const std::string& arg) {
    if (arg.empty() || arg[0] == '=') return;
    const std::string filterName = arg.substr(0, arg.find('='));
    const AVBitStreamFilter* filter = avcodec.av_bsf_get_by_name(filterName.c_str());
    AVBSFContext* ctx = nullptr;
    if (!filter || avcodec.av_bsf_alloc(filter, &ctx) < 0)
        RaiseFF("Unknown bitstream filter %s", Trimmed(arg).c_str());
    std::vector<TAVBSFContextPtr>& chain = name[0] == 'v'   ? Fvideo_bitstream_filters
                                           : name[0] == 'a' ? Faudio_bitstream_filters
                                                            : Fsubtitle_bitstream_filters;
    chain.emplace_back(ctx);
}

} // namespace engine
