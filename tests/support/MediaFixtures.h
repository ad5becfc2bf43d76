// Test media written by the tests themselves through the loaded libraries:
// a moving picture and a sine tone, encoded and muxed into any container the
// library can write. Nothing binary is kept in the source tree.
#pragma once

#include "avbind/FFEntries.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zctest {

struct TMediaRecipe {
    std::string Format{};               // muxer name: "mp4", "avi", "matroska", "mpegts", "mpeg", "wav", ...
    bool Video = true;
    bool Audio = true;
    bool VideoFirst = true;             // stream order (within each program)
    int Width = 320;
    int Height = 240;
    AVRational FrameRate{25, 1};
    int SampleRate = 44100;
    int Channels = 2;
    double Seconds = 1.0;
    std::int64_t StartOffsetMicros = 0; // every timestamp shifted by this much
    std::int64_t AudioDelayMicros = 0;  // audio starts this much after the video
    double VideoGapSeconds = 0;         // the pictures after the first come this much later
    bool CoverPicture = false;          // an attached picture (a cover) besides the streams
    int Programs = 0;                   // > 0: that many programs of one video+audio pair each (mpegts)
    bool NoDuration = false;            // a file from which the reader cannot learn a duration
    std::map<std::string, std::string> Metadata{};  // container metadata
    std::map<std::string, std::string> MuxerOptions{};  // handed to the muxer as they are
    // Chapters as (start, end) in seconds, titled "Chapter 1", "Chapter 2", ...
    std::vector<std::pair<double, double>> Chapters{};
    AVRational SampleAspect{0, 1};      // of the pictures; 0/1 = not stated
    int Rotation = 0;                   // clockwise degrees a player turns the pictures, as read back from MP4
    std::string VideoCodec = "mpeg4";
    std::string AudioCodec = "mp2";
};

// Writes the file (replacing it); false with a message on failure, in which
// case no partial file is left behind. Needs avutil, avcodec and avformat loaded.
//
// What readers then report, for tests that compare: the mp2 encoder's delay
// puts audio about 11 ms ahead of StartOffsetMicros; the "mpeg" muxer adds
// 0.5 s to every timestamp; an mp4 reader takes mp2 audio for "mp3" (use
// AudioCodec "aac" there). NoDuration hands the muxer an unseekable output,
// so it writes neither a duration nor an index; readers still estimate one
// from the timestamps (mpegts, mpeg) or from an audio stream's bit rate, so
// it only yields a file without duration for video-only "matroska" or a raw
// video stream ("m4v").
bool WriteTestMedia(const std::string& path, const TMediaRecipe& mediaRecipe, std::string& error);

// Writes the file or throws std::runtime_error with the reason; returns the path.
std::string MakeTestMedia(const std::string& path, const TMediaRecipe& mediaRecipe);

} // namespace zctest
