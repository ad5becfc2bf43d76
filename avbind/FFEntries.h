// Entry-point tables of the media libraries and the C runtime.
//
// The libraries are never linked: every function the system calls is listed
// here, typed from the installed headers (so no signature can drift) and
// resolved by name when its library is loaded. Every listed name is
// mandatory; a table is valid only while its library is loaded.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/avfft.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libavutil/video_enc_params.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

// X(name) for every function of a library, in resolving order.

#define ZC_MYUTIL_FUNCTIONS(X)                                                 \
    X(fclose) X(ferror) X(fopen) X(fprintf) X(fread) X(fseek) X(ftell)        \
    X(fwrite)                                                                  \
    X(snprintf) X(strtod) X(strtok) X(strtol) X(vsprintf) X(vsnprintf)

#define ZC_AVUTIL_FUNCTIONS(X)                                                 \
    X(avutil_version)                                                          \
    X(av_log) X(av_vlog) X(av_log_default_callback) X(av_log_get_level)       \
    X(av_log_set_callback) X(av_log_set_level) X(av_default_item_name)         \
    X(av_strerror)                                                             \
    X(av_malloc) X(av_mallocz) X(av_realloc) X(av_free) X(av_freep)            \
    X(av_strdup) X(av_strlcpy) X(av_strstart) X(av_fast_malloc)                \
    X(av_dict_copy) X(av_dict_free) X(av_dict_get) X(av_dict_set)              \
    X(av_dict_count)                                                           \
    X(av_compare_ts) X(av_gcd) X(av_rescale) X(av_rescale_q)                   \
    X(av_rescale_rnd) X(av_rescale_q_rnd) X(av_reduce) X(av_d2q)               \
    X(av_mul_q) X(av_div_q) X(av_find_nearest_q_idx)                           \
    X(av_gettime) X(av_gettime_relative) X(av_usleep)                          \
    X(av_parse_time) X(av_parse_video_rate) X(av_parse_video_size)             \
    X(av_parse_ratio)                                                          \
    X(av_get_media_type_string) X(av_get_picture_type_char)                    \
    X(av_get_pix_fmt) X(av_get_pix_fmt_name) X(av_get_pix_fmt_string)          \
    X(av_pix_fmt_desc_get) X(av_pix_fmt_get_chroma_sub_sample)                 \
    X(av_get_sample_fmt) X(av_get_sample_fmt_name) X(av_get_sample_fmt_string) \
    X(av_get_bytes_per_sample) X(av_get_packed_sample_fmt)                     \
    X(av_get_planar_sample_fmt) X(av_sample_fmt_is_planar)                     \
    X(av_samples_get_buffer_size) X(av_samples_alloc) X(av_samples_copy)       \
    X(av_samples_set_silence) X(av_samples_alloc_array_and_samples)                                                  \
    X(av_channel_layout_default) X(av_channel_layout_uninit)                   \
    X(av_channel_layout_copy) X(av_channel_layout_describe)                    \
    X(av_channel_layout_from_mask) X(av_channel_layout_compare)                \
    X(av_image_check_size) X(av_image_copy) X(av_image_alloc)                  \
    X(av_image_fill_arrays) X(av_image_get_buffer_size)                        \
    X(av_image_fill_linesizes)                                                 \
    X(av_frame_alloc) X(av_frame_free) X(av_frame_unref) X(av_frame_ref)       \
    X(av_frame_get_buffer) X(av_frame_make_writable) X(av_frame_copy_props) X(av_frame_copy)         \
    X(av_display_rotation_get) X(av_display_rotation_set) X(av_frame_get_side_data) \
    X(av_frame_move_ref)    \
    X(av_audio_fifo_alloc) X(av_audio_fifo_free) X(av_audio_fifo_read)         \
    X(av_audio_fifo_write) X(av_audio_fifo_size) X(av_audio_fifo_realloc)      \
    X(av_opt_find) X(av_opt_find2) X(av_opt_set) X(av_opt_set_int) X(av_opt_get_int) X(av_opt_free) \
    X(av_opt_set_defaults) X(av_opt_get) X(av_opt_set_dict) X(av_opt_next) X(av_opt_set_bin)     \
    X(av_opt_child_class_iterate)

#define ZC_AVCODEC_FUNCTIONS(X)                                                \
    X(avcodec_version)                                                         \
    X(avcodec_find_decoder) X(avcodec_find_decoder_by_name)                    \
    X(avcodec_find_encoder) X(avcodec_find_encoder_by_name)                    \
    X(av_codec_iterate) X(av_codec_is_encoder) X(av_codec_is_decoder)          \
    X(avcodec_descriptor_get) X(avcodec_descriptor_get_by_name)                \
    X(avcodec_get_name) X(avcodec_get_class) X(avcodec_string)                 \
    X(avcodec_alloc_context3) X(avcodec_free_context) X(avcodec_open2)         \
    X(avcodec_close) X(avcodec_flush_buffers) X(avcodec_is_open)                                  \
    X(avcodec_parameters_alloc) X(avcodec_parameters_free)                     \
    X(avcodec_parameters_copy) X(avcodec_parameters_from_context)              \
    X(avcodec_parameters_to_context)                                           \
    X(avcodec_send_packet) X(avcodec_receive_frame)                            \
    X(avcodec_send_frame) X(avcodec_receive_packet)                            \
    X(avcodec_decode_subtitle2) X(avcodec_encode_subtitle) X(avsubtitle_free)  \
    X(avcodec_align_dimensions2) X(avcodec_find_best_pix_fmt_of_list)          \
    X(av_get_bits_per_sample) X(av_get_exact_bits_per_sample)                  \
    X(av_get_profile_name)                                                     \
    X(av_packet_alloc) X(av_packet_free) X(av_packet_unref) X(av_packet_ref) X(av_packet_move_ref) \
    X(av_packet_rescale_ts) X(av_packet_get_side_data)                         \
    X(av_packet_new_side_data) X(av_new_packet) X(av_grow_packet)              \
    X(av_shrink_packet) X(av_packet_make_writable)                             \
    X(av_bsf_get_by_name) X(av_bsf_alloc) X(av_bsf_init)                       \
    X(av_bsf_send_packet) X(av_bsf_receive_packet) X(av_bsf_flush)             \
    X(av_bsf_free) X(av_bsf_get_class)                                         \
    X(av_parser_init) X(av_parser_parse2) X(av_parser_close)                   \
    X(av_rdft_init) X(av_rdft_calc) X(av_rdft_end)

#define ZC_AVFORMAT_FUNCTIONS(X)                                               \
    X(avformat_version)                                                        \
    X(avformat_alloc_context) X(avformat_free_context)                         \
    X(avformat_alloc_output_context2) X(avformat_open_input)                   \
    X(avformat_close_input) X(avformat_find_stream_info)                       \
    X(avformat_new_stream) X(avformat_write_header) X(avformat_seek_file)      \
    X(av_stream_get_side_data) X(av_stream_new_side_data)                      \
    X(avformat_query_codec) X(avformat_get_class)                              \
    X(avformat_match_stream_specifier)                                         \
    X(av_find_input_format) X(av_guess_format) X(av_guess_codec)               \
    X(av_find_best_stream) X(av_find_program_from_stream) X(av_new_program)    \
    X(av_program_add_stream_index)                                             \
    X(av_demuxer_iterate) X(av_muxer_iterate)                                  \
    X(av_read_frame) X(av_read_pause) X(av_read_play) X(av_seek_frame)         \
    X(av_interleaved_write_frame) X(av_write_frame) X(av_write_trailer)        \
    X(av_dump_format) X(av_filename_number_test) X(av_sdp_create)              \
    X(av_codec_get_id) X(av_codec_get_tag) X(av_codec_get_tag2) X(av_pkt_dump_log2)                 \
    X(av_guess_frame_rate) X(av_guess_sample_aspect_ratio)                     \
    X(avio_open2) X(avio_closep) X(avio_alloc_context) X(avio_context_free)    \
    X(avio_seek) X(avio_size) X(avio_flush) X(avio_read) X(avio_write)         \
    X(avio_feof) X(avio_check) X(avio_find_protocol_name)

#define ZC_AVFILTER_FUNCTIONS(X)                                               \
    X(avfilter_version)                                                        \
    X(avfilter_get_by_name) X(av_filter_iterate) X(avfilter_get_class)         \
    X(avfilter_graph_alloc) X(avfilter_graph_free)                             \
    X(avfilter_graph_create_filter) X(avfilter_graph_parse_ptr)                \
    X(avfilter_graph_config) X(avfilter_graph_get_filter)                      \
    X(avfilter_graph_send_command) X(avfilter_link)                            \
    X(avfilter_inout_alloc) X(avfilter_inout_free)                             \
    X(av_buffersrc_add_frame_flags) X(av_buffersrc_parameters_alloc)           \
    X(av_buffersrc_parameters_set) X(av_buffersrc_close)                       \
    X(av_buffersink_get_frame) X(av_buffersink_get_frame_flags)                \
    X(av_buffersink_set_frame_size) X(av_buffersink_get_time_base)             \
    X(av_buffersink_get_format) X(av_buffersink_get_frame_rate)                \
    X(av_buffersink_get_w) X(av_buffersink_get_h)                              \
    X(av_buffersink_get_sample_aspect_ratio)                                   \
    X(av_buffersink_get_sample_rate) X(av_buffersink_get_ch_layout)

#define ZC_SWSCALE_FUNCTIONS(X)                                                \
    X(swscale_version)                                                         \
    X(sws_getContext) X(sws_getCachedContext) X(sws_freeContext) X(sws_scale)  \
    X(sws_get_class) X(sws_isSupportedInput) X(sws_isSupportedOutput)

#define ZC_SWRESAMPLE_FUNCTIONS(X)                                             \
    X(swresample_version)                                                      \
    X(swr_alloc) X(swr_alloc_set_opts2) X(swr_init) X(swr_free)                \
    X(swr_is_initialized) X(swr_convert) X(swr_set_compensation)               \
    X(swr_get_delay) X(swr_get_out_samples) X(swr_get_class)

#define ZC_AVDEVICE_FUNCTIONS(X) X(avdevice_version) X(avdevice_register_all)


namespace avbind {

// One resolved symbol: where its address goes and how a miss is reported.
// This generation exports no data variable the system reads; the loader
// keeps the variable path for tables that list one.
struct TSymbolSlot {
    const char* Name;
    void** Slot;
    bool Variable;
};

#define ZC_DECLARE_ENTRY(name) decltype(&::name) name = nullptr;

struct TMyUtilEntries { ZC_MYUTIL_FUNCTIONS(ZC_DECLARE_ENTRY) };
struct TAVUtilEntries { ZC_AVUTIL_FUNCTIONS(ZC_DECLARE_ENTRY) };
struct TAVCodecEntries { ZC_AVCODEC_FUNCTIONS(ZC_DECLARE_ENTRY) };
struct TAVFormatEntries { ZC_AVFORMAT_FUNCTIONS(ZC_DECLARE_ENTRY) };
struct TAVFilterEntries { ZC_AVFILTER_FUNCTIONS(ZC_DECLARE_ENTRY) };
struct TSWScaleEntries { ZC_SWSCALE_FUNCTIONS(ZC_DECLARE_ENTRY) };
struct TSWResampleEntries { ZC_SWRESAMPLE_FUNCTIONS(ZC_DECLARE_ENTRY) };
struct TAVDeviceEntries { ZC_AVDEVICE_FUNCTIONS(ZC_DECLARE_ENTRY) };

#undef ZC_DECLARE_ENTRY

// The process-wide tables. All entries are null while their library is not
// loaded; callers must not use a table before the loader reports it loaded.
extern TMyUtilEntries myutil;
extern TAVUtilEntries avutil;
extern TAVCodecEntries avcodec;
extern TAVFormatEntries avformat;
extern TAVFilterEntries avfilter;
extern TSWScaleEntries swscale;
extern TSWResampleEntries swresample;
extern TAVDeviceEntries avdevice;

} // namespace avbind
