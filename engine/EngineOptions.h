// The engine's option state, as the option table (EngineOptions.cpp) writes
// it. Defaults are the member initialisers below and nowhere else: a reset
// takes its values from a default-made record.
#pragma once

#include "avbind/AVPtr.h"
#include "engine/StreamRecords.h"

#include <array>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

// What the next input or output file and its streams take. An opened input,
// a created output and each created stream consume part of it (the Forget*
// calls): a setting given before one file does not reach the next one, as
// on a transcoder's command line.
struct TFileOptions {
    std::string last_asked_format;  // "f"
    int frame_width = 0, frame_height = 0;
    float frame_aspect_ratio = 0;
    AVPixelFormat frame_pix_fmt = AV_PIX_FMT_NONE;
    int frame_bits_per_raw_sample = 0;
    AVSampleFormat audio_sample_fmt = AV_SAMPLE_FMT_NONE;
    std::array<int, 4> max_frames{INT_MAX, INT_MAX, INT_MAX, INT_MAX};  // per media type
    AVRational frame_rate{0, 0};
    float video_qscale = 0;
    std::unique_ptr<std::uint16_t, avbind::TAVFreeDeleter> intra_matrix, inter_matrix;
    std::string video_rc_override_string;
    bool video_disable = false;
    int video_discard = 0;
    std::string video_codec_name;
    unsigned video_codec_tag = 0;
    std::string video_language;
    int video_stream_copy = 0;
    bool same_quality = false;
    bool do_deinterlace = false;
    bool autorotate = true;  // the next input's pictures are turned upright when encoded
    int top_field_first = -1;
    int me_threshold = 0;
    int intra_dc_precision = 8;
    bool loop_input = false;
    int loop_output = -1;
    bool qp_hist = false;
    std::string vfilters;
    bool intra_only = false;
    std::string forced_key_frames;
    int video_channel = 0;      // capture devices
    std::string video_standard;  // capture devices
    int audio_sample_rate = 0;
    std::int64_t channel_layout = 0;
    float audio_qscale = -99999.0f;
    bool audio_disable = false;
    int audio_channels = 0;
    std::string audio_codec_name;
    unsigned audio_codec_tag = 0;
    std::string audio_language;
    int audio_stream_copy = 0;
    bool subtitle_disable = false;
    std::string subtitle_codec_name;
    std::string subtitle_language;
    unsigned subtitle_codec_tag = 0;
    int subtitle_stream_copy = 0;
    bool data_disable = false;
    std::string data_codec_name;
    unsigned data_codec_tag = 0;
    int data_stream_copy = 0;
    float mux_preload = 0.5f;
    float mux_max_delay = 0.7f;
    std::int64_t recording_time = INT64_MAX;  // microseconds
    std::int64_t start_time = 0;              // microseconds
    std::int64_t recording_timestamp = 0;     // seconds since 1970
    std::int64_t input_ts_offset = 0;         // microseconds
    int opt_programid = 0;
    std::vector<double> ts_scale;  // "itsscale" per stream of the next input
    std::string read_folder;  // the next input may open other files only inside this folder ("" = anywhere)
    avbind::TAVDictionary metadata;

    // An input was opened (or failed to open): what it consumed.
    void ForgetAfterInput();
    // What a failed input open consumed (forced decoders, the capture channel).
    void ForgetAfterFailedInput();
    // An output file was created.
    void ForgetAfterOutput();
    // A stream of the type was created in an output.
    void ForgetAfterStream(AVMediaType type);

    // Sets the fields back to their defaults.
    template <class... T>
    void Reset(T TFileOptions::*... fields) {
        TFileOptions defaults;
        ((this->*fields = std::move(defaults.*fields)), ...);
    }
    // The field's value, leaving the default in its place.
    template <class T>
    T Take(T TFileOptions::*field) {
        T value = std::move(this->*field);
        Reset(field);
        return value;
    }
};

// What holds for the whole task: the maps and the run's switches.
struct TTaskOptions {
    std::vector<TAVStreamMap> stream_maps;
    std::vector<TAVMetaDataMapPair> meta_data_maps;
    int metadata_global_autocopy = 1, metadata_streams_autocopy = 1, metadata_chapters_autocopy = 1;
    std::vector<TAVChapterMap> chapter_maps;
    std::vector<int> streamid_map;

    bool do_hex_dump = false;
    bool do_pkt_dump = false;
    bool do_psnr = false;
    int do_pass = 0;
    std::string pass_logfilename_prefix;
    int video_sync_method = -1;
    int audio_sync_method = 0;
    float audio_drift_threshold = 0.1f;
    bool copy_ts = false;
    bool copy_tb = false;
    bool opt_shortest = false;
    std::string vstats_filename;
    int copy_initial_nonkeyframes = 0;
    bool rate_emu = false;
    int audio_volume = 256;
    bool exit_on_error = false;
    int verbose = 1;
    int thread_count = 0;  // codec threads; 0: the libraries choose (frame and slice threads, by cores)
    bool input_sync = false;
    std::int64_t limit_filesize = 0;
    bool force_fps = false;
    float dts_delta_threshold = 10.0f;
    bool enable_filter = false;  // some output asked for filters: every video stream is filtered
};

} // namespace engine
