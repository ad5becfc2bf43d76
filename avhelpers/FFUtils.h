// Small routines shared by the engine, the media probe and the loader:
// error texts, durations, type names, codec descriptions, metadata look-up
// and whole-file reading. They report through their results only.
#pragma once

#include "avbind/AVPtr.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace avhelpers {

// "<name>: <message>". The message comes from a fixed table of the library's
// error tags, socket error codes and negated POSIX error numbers; a code not
// in the table gives "Error number <code> occurred". Needs no library.
std::string GetErrorText(const std::string& name, int code);

// "hh:mm:ss.mmm" of microseconds (hours are not wrapped at 24);
// "N/A" for AV_NOPTS_VALUE. Needs no library.
std::string FormatDuration(std::int64_t microseconds);

// Microseconds per frame at the given frame rate; 40000 (25 fps) when the
// numerator or the denominator is zero. Needs no library.
std::int64_t FrameDuration(AVRational rate);

// "Video", "Audio", "Data", "Subtitle", "Attachment", else "Unknown".
std::string GetMediaTypeName(int mediaType);

// "Intra", "Predicted", "Bi-dir predicted", ..., else "Unknown".
std::string GetPictureTypeName(int pictureType);

// A codec for display: "name(long name)" of the encoder (encoder = true) or
// decoder for the codec id; when the libraries have none, the codec's
// descriptor name, else the codec tag as "ABCD / 0x44434241" when printable,
// else "0x%04x". Needs avcodec loaded.
std::string GetCodecText(const AVCodecContext* context, bool encoder);
std::string GetCodecText(const AVCodecParameters* parameters, bool encoder);

// The value of the dictionary entry for the key (library matching rules,
// flags 0), else the default. A null dictionary gives the default.
std::string GetMetadataValue(const AVDictionary* dictionary, const std::string& key,
                             const std::string& defaultValue);

// Reads the whole file into a buffer from av_malloc with a zero byte after the
// data; size is the number of bytes read plus one (the zero counts).
// Returns 0; -1 when the file cannot be opened, sized or read; -12 when the
// buffer cannot be allocated. buffer and size change only on success.
// Needs avutil and the C runtime loaded.
int ReadWholeFile(const std::string& fileName, avbind::TAVBufferPtr& buffer, std::size_t& size);

// How far a stream's pictures must be turned clockwise to show upright
// (its display matrix), in degrees from 0 up to 360; 0 without a matrix.
// Needs avutil and avformat loaded.
double DisplayRotation(const AVStream* stream);

// Open options every reader of a file uses: a transport stream's program
// tables are all read at open, so a program that starts later in the file is
// not missed. Options the caller set are kept.
void SetReaderOpenOptions(avbind::TAVDictionary& options);

// Reads the streams' parameters (avformat_find_stream_info). When a stream
// still lacks what decoding needs (a picture size; a sample rate or
// channels; attached pictures, data, unknown codecs and streams left out do
// not count) after the libraries' usual window, a second open of the file
// (local, seekable files only) reads ten times as far (at least 50 MB or
// 60 s) and takes those streams' parameters from it.
// Returns the library's result. Needs avutil and avformat loaded.
int FindStreamParameters(AVFormatContext* context);

} // namespace avhelpers
