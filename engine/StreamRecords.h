// The engine's records of inputs, output streams and mapping instructions.
// Library objects the records own are held through owning handles; plain
// pointers (streams, filter contexts, codecs) belong to the library object
// they came from.
#pragma once

#include "avbind/AVPtr.h"
#include "avhelpers/Registry.h"
#include "avhelpers/StreamProtocol.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace engine {

struct TFileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

using avhelpers::TCustomIOPtr;

// One opened input file.
// What an input may open besides itself (a playlist's segments): only files
// inside Folder. The context's own opener is called for those.
struct TReadLimit {
    std::string Folder;  // real path, no trailing "/"
    int (*Open)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
    const void* Engine = nullptr;  // for the log line
    std::string Refused;           // the first name refused, said when the open fails
};

struct TAVInputFile {
    std::unique_ptr<TReadLimit> read_limit;  // outlives ctx (declared before it)
    TCustomIOPtr custom_io;          // set when a protocol of the system's own reads the input
    avbind::TAVInputContextPtr ctx;  // the opened input
    int eof_reached = 0;             // 1 once reading returned an error or end of file
    int ist_index = 0;               // index of the file's first stream in the input stream table
    int buffer_size = 0;
    int nb_streams = 0;              // streams present when opened; later ones are ignored
    bool seeked = false;             // opened at a start position ("ss" before the input)
    bool autorotate = true;          // encoded pictures are turned upright by the display matrix
    std::int64_t ts_offset = 0;      // microseconds added to the file's times ("itsoffset", joins, cuts)
    std::vector<double> ts_scale;    // "itsscale" per stream; 0 or missing: 1
    // How far (microseconds) the file's timeline was moved forward so that a
    // stream copy, which can only start at a key frame, starts at the cut.
    std::int64_t preroll = 0;
    // A stream copy of a cut file starts at the last key frame at or before
    // the cut: until that frame is known, the file's packets wait here.
    int anchor_index = -1;           // input stream table index of that copied video; -1 = none
    bool holding = false;
    bool cut_reached = false;        // the copied pictures reached the cut
    std::int64_t anchor_key = AV_NOPTS_VALUE;  // microseconds: the last key frame so far at or before the cut
    std::vector<std::pair<int, avbind::TAVPacketPtr>> held;  // (input stream index, packet)
    std::size_t held_bytes = 0;
};

// One stream of an input file.
struct TAVInputStream {
    int file_index = 0;
    AVStream* st = nullptr;               // owned by the input's format context
    avbind::TAVCodecContextPtr dec_ctx;   // the decoder context of this stream
    int discard = 1;                      // 1 = no output stream uses it
    int decoding_needed = 0;
    std::int64_t sample_index = 0;
    int frame_number = 0;                 // decoded pictures; the first is number 1
    float quality = 0;                    // quantizer (lambda) of the last decoded picture; 0 = unknown
    std::int64_t start = 0;               // wall clock when reading started (real-time pacing)
    std::int64_t next_pts = AV_NOPTS_VALUE;
    std::int64_t pts = 0;
    int is_start = 1;
    int showed_multi_packet_warning = 0;
    int is_past_recording_time = 0;
    int decoder_flushed = 0;
    int used = 0;                         // join mode: taken by the automatic mapping
    avbind::TAVFramePtr filter_frame;
    int has_filter_frame = 0;
};

// An output context; the entries of a joined output share one.
struct TAVOutputContextDeleter {
    void operator()(AVFormatContext* oc) const noexcept {
        if (oc && (oc->flags & AVFMT_FLAG_CUSTOM_IO)) avhelpers::CloseCustomIO(&oc->pb);
        avbind::avformat.avformat_free_context(oc);
    }
};
using TAVOutputContextRef = std::shared_ptr<AVFormatContext>;

// An in-program filter with the library graph that runs before it; the graph
// ends in the formats the filter accepts.
struct TFilterStep {
    avbind::TAVFilterGraphPtr graph;
    AVFilterContext* src = nullptr;   // owned by graph
    AVFilterContext* sink = nullptr;  // owned by graph
    std::unique_ptr<avhelpers::TFilterStage> stage;
    int out_width = 0, out_height = 0, format = -1;
};

// One output stream.
struct TAVOutputStream {
    int file_index = 0;
    int index = 0;                        // stream index within the output file
    int source_index = 0;                 // index of the source in the input stream table
    AVStream* st = nullptr;               // owned by the output's format context
    // The encoder context of this stream; the groups of a joined output share one.
    std::shared_ptr<AVCodecContext> enc_ctx;
    // The encoder's private options, kept aside until the encoder opens (its
    // private data is freed in between; see ReleasePrivateData).
    avbind::TAVDictionary private_options;
    int stream_copy = 0;                  // created as a copied stream
    int encoding_needed = 0;              // 0 = stream copy
    int frame_number = 0;
    TAVInputStream* sync_ist = nullptr;
    std::int64_t sync_opts = 0;           // output position in encoder time-base units
    std::vector<avbind::TAVBSFContextPtr> bitstream_filters;
    const AVCodec* enc = nullptr;
    int video_resample = 0;
    avbind::TAVFramePtr resample_frame;
    avbind::TSwsContextPtr img_resample_ctx;
    int resample_height = 0, resample_width = 0;
    AVPixelFormat resample_pix_fmt = AV_PIX_FMT_NONE;
    AVRational frame_rate{0, 0};
    float frame_aspect_ratio = 0;
    // Forced key-frame times: microseconds at creation, converted into the
    // encoder's time base once the set-up has fixed it.
    std::vector<std::int64_t> forced_kf_pts;
    int forced_kf_count = 0, forced_kf_index = 0;
    int audio_resample = 0;
    avbind::TSwrContextPtr resample;
    AVSampleFormat resample_sample_fmt = AV_SAMPLE_FMT_NONE;
    int resample_channels = 0, resample_sample_rate = 0;
    int reformat_pair = 0;
    avbind::TAVAudioFifoPtr fifo;
    TFilePtr logfile;                     // two-pass statistics of the first pass
    AVFilterContext* output_video_filter = nullptr;  // owned by graph
    AVFilterContext* input_video_filter = nullptr;   // owned by graph
    avbind::TAVFramePtr picref;
    std::string avfilter;                 // filter description, cleared once parsed
    std::string filter_description;       // the description the graph was made from
    bool turned = false;                  // the graph turns pictures a quarter turn first
    bool scale_first = false;             // the graph scales to scale_width x scale_height first
    int scale_width = 0, scale_height = 0;
    int graph_in_width = 0, graph_in_height = 0, graph_in_format = -1;  // the pictures the graph takes
    AVRational graph_in_rate{0, 1};  // the rate the graph was told its pictures come at; 0/1: not told
    avbind::TAVFilterGraphPtr graph;      // the last (or only) graph, feeding the encoder
    std::vector<TFilterStep> filter_steps;  // in-program filters before it, in order
    int sws_flags = 0;
    AVCodecID codec_id = AV_CODEC_ID_NONE;  // join mode: the encoder first opened
    int show_fps = 0;
    std::int64_t muxed_end = 0;           // end of the last packet muxed, in st->time_base units
    int packets_muxed = 0;
    std::int64_t last_mux_dts = AV_NOPTS_VALUE;  // of the last packet muxed, in st->time_base units
    bool dts_mended = false;              // times that went backwards were mended (said once)
    float quality = -1;                   // quantizer of the last encoded picture; -1 = none
    char pict_type = '?';                 // picture type letter of the last encoded picture
    std::int64_t psnr_error[3] = {};      // per-plane errors of the last encoded picture
};

struct TAVStreamMap {
    int file_index = 0;
    int stream_index = 0;
    int sync_file_index = 0;
    int sync_stream_index = 0;
};

// One side of a metadata copy instruction: 'g' global, 's' stream, 'c' chapter, 'p' program.
struct TAVMetaDataMap {
    int file_idx = 0;
    char type_ = 'g';
    int index = 0;
};

// Element 0 names the output side, element 1 the input side.
using TAVMetaDataMapPair = std::array<TAVMetaDataMap, 2>;

struct TAVChapterMap {
    int in_file = 0;
    int out_file = 0;
};

// One output file: its context (the entries of a joined output share one)
// and its streams, in the context's order.
struct TAVOutputFile {
    TAVOutputContextRef ctx;
    std::vector<std::unique_ptr<TAVOutputStream>> streams;
};

} // namespace engine
