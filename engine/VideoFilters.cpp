// The video filter graph of an output stream: the upright turn, the
// user's filters (in-program steps and library graphs), scaling to the
// encoder's size and format; and pictures on their way through it.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avhelpers/FFUtils.h"

#include <cmath>

namespace engine {

using namespace avbind;

namespace {

struct TFilterPiece {
    std::string Text;  // as written
    std::string Name;  // before '=', trimmed
    std::string Args;  // after '='
};

// The filters of a plain chain, split at the commas outside quotes and
// escapes. A description with labels or several chains comes back whole as
// one piece: only the library can build it.
std::vector<TFilterPiece> SplitFilterChain(const std::string& text) {
    std::vector<std::string> parts(1);
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '\\' && i + 1 < text.size()) {
            parts.back() += ch;
            parts.back() += text[++i];
        } else if (quote) {
            parts.back() += ch;
            if (ch == quote) quote = 0;
        } else if (ch == '\'') {
            quote = ch;
            parts.back() += ch;
        } else if (ch == '[' || ch == ';') {
            return {TFilterPiece{text, {}, {}}};
        } else if (ch == ',') {
            parts.emplace_back();
        } else {
            parts.back() += ch;
        }
    }
    std::vector<TFilterPiece> pieces;
    for (const std::string& part : parts) {
        if (part.find_first_not_of(" \t\r\n") == std::string::npos) continue;
        const std::size_t eq = part.find('=');
        std::string name = part.substr(0, eq);
        name.erase(0, name.find_first_not_of(" \t\r\n"));
        name.erase(name.find_last_not_of(" \t\r\n") + 1);
        pieces.push_back({part, name, eq == std::string::npos ? std::string() : part.substr(eq + 1)});
    }
    return pieces;
}

} // namespace

AVRational TCustomFFmpeg::InputAspect(const TAVInputStream& ist) const {
    const AVRational sar = ist.st->sample_aspect_ratio.num ? ist.st->sample_aspect_ratio
                                                           : ist.dec_ctx->sample_aspect_ratio;
    return sar.num > 0 && sar.den > 0 ? sar : AVRational{0, 1};
}

AVRational TCustomFFmpeg::ScaledAspect(AVRational sar, int fromWidth, int fromHeight, int toWidth, int toHeight) {
    if (!sar.num || fromWidth <= 0 || fromHeight <= 0 || toWidth <= 0 || toHeight <= 0) return sar;
    AVRational scaled{0, 1};
    avutil.av_reduce(&scaled.num, &scaled.den, static_cast<std::int64_t>(sar.num) * toHeight * fromWidth,
                     static_cast<std::int64_t>(sar.den) * toWidth * fromHeight, INT_MAX);
    return scaled;
}

std::string TCustomFFmpeg::UprightFilters(const TAVInputStream& ist) {
    if (!InputFileAt(ist.file_index).autorotate) return {};
    const double degrees = avhelpers::DisplayRotation(ist.st);
    if (degrees == 0) return {};
    if (std::fabs(degrees - 90) < 1) return "transpose=clock";
    if (std::fabs(degrees - 180) < 1) return "hflip,vflip";
    if (std::fabs(degrees - 270) < 1) return "transpose=cclock";
    FFLogger().Log(this, llWarning, "Input stream #%d.%d is turned by %.0f degrees; only quarter turns are undone",
                   ist.file_index, ist.st->index, degrees);
    return {};
}


int TCustomFFmpeg::BuildFilterPiece(TAVFilterGraphPtr& graph, AVFilterContext*& src, AVFilterContext*& sink,
                                    const std::string& srcArgs, const int* sinkFormats, int scaleWidth,
                                    int scaleHeight, const std::string& description, int swsFlags) {
    graph.reset(avfilter.avfilter_graph_alloc());
    if (!graph) return AVERROR(ENOMEM);
    int ret = avfilter.avfilter_graph_create_filter(&src, avfilter.avfilter_get_by_name("buffer"), "src",
                                                    srcArgs.c_str(), nullptr, graph.get());
    if (ret < 0) return ret;
    ret = avfilter.avfilter_graph_create_filter(&sink, avfilter.avfilter_get_by_name("buffersink"), "out", nullptr,
                                                nullptr, graph.get());
    if (ret < 0) return ret;
    int formats = 0;
    while (sinkFormats[formats] != AV_PIX_FMT_NONE) ++formats;
    ret = avutil.av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const std::uint8_t*>(sinkFormats),
                                formats * static_cast<int>(sizeof *sinkFormats), AV_OPT_SEARCH_CHILDREN);
    if (ret < 0) return ret;

    AVFilterContext* last = src;
    if (scaleWidth) {
        AVFilterContext* scale = nullptr;
        const std::string args = Format("%d:%d:flags=0x%X", scaleWidth, scaleHeight, swsFlags);
        ret = avfilter.avfilter_graph_create_filter(&scale, avfilter.avfilter_get_by_name("scale"), nullptr,
                                                    args.c_str(), nullptr, graph.get());
        if (ret < 0) return ret;
        if ((ret = avfilter.avfilter_link(last, 0, scale, 0)) < 0) return ret;
        last = scale;
    }
    avutil.av_freep(&graph->scale_sws_opts);
    graph->scale_sws_opts = avutil.av_strdup(Format("flags=0x%X", swsFlags).c_str());

    if (!description.empty()) {
        AVFilterInOut* outputs = avfilter.avfilter_inout_alloc();
        AVFilterInOut* inputs = avfilter.avfilter_inout_alloc();
        if (!outputs || !inputs) {
            avfilter.avfilter_inout_free(&outputs);
            avfilter.avfilter_inout_free(&inputs);
            return AVERROR(ENOMEM);
        }
        outputs->name = avutil.av_strdup("in");
        outputs->filter_ctx = last;
        outputs->pad_idx = 0;
        inputs->name = avutil.av_strdup("out");
        inputs->filter_ctx = sink;
        inputs->pad_idx = 0;
        ret = avfilter.avfilter_graph_parse_ptr(graph.get(), description.c_str(), &inputs, &outputs, nullptr);
        avfilter.avfilter_inout_free(&inputs);
        avfilter.avfilter_inout_free(&outputs);
        if (ret < 0) return ret;
    } else if ((ret = avfilter.avfilter_link(last, 0, sink, 0)) < 0) {
        return ret;
    }
    return avfilter.avfilter_graph_config(graph.get(), nullptr);
}

int TCustomFFmpeg::BuildVideoFilterGraph(TAVInputStream& ist, TAVOutputStream& ost, const AVFrame* from) {
    AVCodecContext* dec = ist.dec_ctx.get();
    AVCodecContext* enc = ost.enc_ctx.get();
    AVRational sar = from && from->sample_aspect_ratio.num ? from->sample_aspect_ratio : InputAspect(ist);
    const int inWidth = from ? from->width : dec->width, inHeight = from ? from->height : dec->height;
    const int inFormat = from ? from->format : static_cast<int>(dec->pix_fmt);
    // The graph is told the pictures' average rate when the file knows a
    // plausible one, so a filter that changes it (yadif=1, fps) says so at
    // its end; a rate only declared (an ASF's 1000 fps clock) is not passed.
    const AVRational avg = ist.st->avg_frame_rate;
    ost.graph_in_rate = avg.num > 0 && avg.den > 0 && av_q2d(avg) <= 1000 ? avg : AVRational{0, 1};
    const std::string rateArg =
        ost.graph_in_rate.num ? Format(":frame_rate=%d/%d", ost.graph_in_rate.num, ost.graph_in_rate.den) : "";
    std::string srcArgs = Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", inWidth, inHeight,
                                 inFormat, AV_TIME_BASE, sar.num, sar.den ? sar.den : 1) +
                          rateArg;
    // The size asked for with "s" is applied first, before the user's filters
    // (and so before a quarter turn, which swaps it).
    if (!from) {
        ost.scale_first = enc->width != dec->width || enc->height != dec->height;
        ost.scale_width = ost.turned ? enc->height : enc->width;
        ost.scale_height = ost.turned ? enc->width : enc->height;
        ost.filter_description = std::move(ost.avfilter);
        ost.avfilter.clear();
    }
    bool scaleFirst = ost.scale_first;
    const int scaleWidth = ost.scale_width, scaleHeight = ost.scale_height;
    // The encoder is open once pictures flow: a graph made again for pictures
    // of another shape still ends in its size.
    std::string description = ost.filter_description;
    if (from) description += Format("%sscale=%d:%d", description.empty() ? "" : ",", enc->width, enc->height);
    ost.graph_in_width = inWidth;
    ost.graph_in_height = inHeight;
    ost.graph_in_format = inFormat;
    ost.filter_steps.clear();

    // In-program filters run between library graphs: each graph ends in the
    // formats the next in-program filter accepts.
    std::string libraryPart;
    for (const TFilterPiece& piece : SplitFilterChain(description)) {
        const auto record = avhelpers::FindFilter(piece.Name);
        if (!record) {
            libraryPart += (libraryPart.empty() ? "" : ",") + piece.Text;
            continue;
        }
        TFilterStep step;
        step.stage = record->Create ? record->Create(piece.Args) : nullptr;
        if (!step.stage) return AVERROR(EINVAL);
        int ret = BuildFilterPiece(step.graph, step.src, step.sink, srcArgs, step.stage->Formats(),
                                   scaleFirst ? scaleWidth : 0, scaleFirst ? scaleHeight : 0, libraryPart,
                                   ost.sws_flags);
        if (ret < 0) return ret;
        const int width = avfilter.av_buffersink_get_w(step.sink), height = avfilter.av_buffersink_get_h(step.sink);
        step.format = avfilter.av_buffersink_get_format(step.sink);
        if ((ret = step.stage->Configure(width, height, step.format, step.out_width, step.out_height)) < 0) return ret;
        if (step.stage->WorksInPlace()) {
            step.out_width = width;
            step.out_height = height;
        }
        const AVRational tb = avfilter.av_buffersink_get_time_base(step.sink);
        const AVRational linkSar = avfilter.av_buffersink_get_sample_aspect_ratio(step.sink);
        srcArgs = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", step.out_width,
                         step.out_height, step.format, tb.num, tb.den, linkSar.num, linkSar.den ? linkSar.den : 1) +
                  rateArg;
        ost.filter_steps.push_back(std::move(step));
        libraryPart.clear();
        scaleFirst = false;
    }

    const int sinkFormats[] = {enc->pix_fmt, AV_PIX_FMT_NONE};
    const int ret = BuildFilterPiece(ost.graph, ost.input_video_filter, ost.output_video_filter, srcArgs, sinkFormats,
                                     scaleFirst ? scaleWidth : 0, scaleFirst ? scaleHeight : 0, libraryPart,
                                     ost.sws_flags);
    if (ret < 0) return ret;
    if (from) return 0;

    enc->width = avfilter.av_buffersink_get_w(ost.output_video_filter);
    enc->height = avfilter.av_buffersink_get_h(ost.output_video_filter);
    if (ost.frame_aspect_ratio != 0)
        enc->sample_aspect_ratio = avutil.av_d2q(ost.frame_aspect_ratio * enc->height / enc->width, 255);
    else
        enc->sample_aspect_ratio = avfilter.av_buffersink_get_sample_aspect_ratio(ost.output_video_filter);
    ost.st->sample_aspect_ratio = enc->sample_aspect_ratio;
    return 0;
}


// ---- Pictures through the graph ----

void TCustomFFmpeg::RunFilterSteps(TAVOutputStream& ost, TAVInputStream& ist, std::size_t index) {
    if (index >= ost.filter_steps.size()) {
        PullFilteredPictures(ost, ist);
        return;
    }
    TFilterStep& step = ost.filter_steps[index];
    AVFilterContext* next =
        index + 1 < ost.filter_steps.size() ? ost.filter_steps[index + 1].src : ost.input_video_filter;
    TAVFramePtr in(avutil.av_frame_alloc());
    if (!in) RaiseFF("Video encoding failed");
    while (avfilter.av_buffersink_get_frame(step.sink, in.get()) >= 0) {
        TAVFramePtr out;
        int ret = 0;
        if (step.stage->WorksInPlace()) {
            if ((ret = avutil.av_frame_make_writable(in.get())) >= 0) ret = step.stage->FilterFrame(in.get(), nullptr);
        } else {
            out.reset(avutil.av_frame_alloc());
            if (!out) RaiseFF("Video encoding failed");
            out->width = step.out_width;
            out->height = step.out_height;
            out->format = step.format;
            if ((ret = avutil.av_frame_get_buffer(out.get(), 0)) >= 0 &&
                (ret = avutil.av_frame_copy_props(out.get(), in.get())) >= 0)
                ret = step.stage->FilterFrame(in.get(), out.get());
        }
        if (ret < 0) RaiseFF("%s", avhelpers::GetErrorText("Video filtering failed", ret).c_str());
        if (avfilter.av_buffersrc_add_frame_flags(next, out ? out.get() : in.get(), 0) < 0)
            RaiseFF("Video encoding failed");
        avutil.av_frame_unref(in.get());
        RunFilterSteps(ost, ist, index + 1);
    }
}

void TCustomFFmpeg::FlushVideoFilters(TAVOutputStream& ost, TAVInputStream& ist) {
    for (std::size_t i = 0; i < ost.filter_steps.size(); ++i) {
        if (avfilter.av_buffersrc_add_frame_flags(ost.filter_steps[i].src, nullptr, 0) >= 0)
            RunFilterSteps(ost, ist, i);
    }
    // The graph learns where the last picture ends, so a filter that makes its
    // own rate (fps) shows that picture for its whole time instead of dropping it.
    const int closed = ist.next_pts != AV_NOPTS_VALUE
                           ? avfilter.av_buffersrc_close(ost.input_video_filter, ist.next_pts, AV_BUFFERSRC_FLAG_PUSH)
                           : avfilter.av_buffersrc_add_frame_flags(ost.input_video_filter, nullptr, 0);
    if (closed >= 0) PullFilteredPictures(ost, ist);
}

void TCustomFFmpeg::PullFilteredPictures(TAVOutputStream& ost, TAVInputStream& ist) {
    if (!ost.picref) ost.picref.reset(avutil.av_frame_alloc());
    AVFrame* filtered = ost.picref.get();
    const AVRational tb = avfilter.av_buffersink_get_time_base(ost.output_video_filter);
    // Filters keep no picture durations. A graph whose rate differs from the
    // one it was told (it makes or drops pictures: yadif=1, fps) gives each
    // picture its own rate's time; otherwise a picture lasts as long as the
    // decoded one did, as without a graph (unknown: the times alone decide).
    // The stream's declared rate is no guide: some containers declare their
    // clock's, 1000 fps, and each picture would fill no slot.
    const AVRational rate = avfilter.av_buffersink_get_frame_rate(ost.output_video_filter);
    const bool ownRate = rate.num > 0 && rate.den > 0 &&
                         (ost.graph_in_rate.num == 0 || av_cmp_q(rate, ost.graph_in_rate) != 0);
    const std::int64_t duration = ownRate ? avutil.av_rescale_q(1, av_inv_q(rate), AV_TIME_BASE_Q)
                                          : std::max<std::int64_t>(ist.next_pts - ist.pts, 0);
    while (avfilter.av_buffersink_get_frame(ost.output_video_filter, filtered) >= 0) {
        const std::int64_t pts = filtered->pts == AV_NOPTS_VALUE
                                     ? ost.sync_ist->pts
                                     : avutil.av_rescale_q(filtered->pts, tb, AV_TIME_BASE_Q);
        if (ost.frame_aspect_ratio == 0 && filtered->sample_aspect_ratio.num)
            ost.enc_ctx->sample_aspect_ratio = filtered->sample_aspect_ratio;
        const int size = EncodeVideoFrame(ost, ist, filtered, pts, duration);
        if (!FTaskOpts.vstats_filename.empty() && size) WriteVideoStats(ost, size);
        avutil.av_frame_unref(filtered);
    }
}

} // namespace engine
