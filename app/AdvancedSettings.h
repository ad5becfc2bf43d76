// The checks of the advanced settings: six texts typed by the user, checked
// in a fixed order; the first one that does not pass is reported.
#pragma once

#include <string>
#include <vector>

namespace app {

// The six boxes, in checking order.
enum class TAdvancedBox { VideoBitrate, FrameRate, VideoSize, AudioBitrate, SampleRate, Channel };

struct TAdvancedTexts {
    std::string VideoBitrate, FrameRate, VideoSize, AudioBitrate, SampleRate, Channel;
};

// The messages of the failed checks, from the language file.
struct TAdvancedMessages {
    std::string VideoBitrate, FrameRate, VideoSize, AudioBitrate, SampleRate;
};

struct TAdvancedCheck {
    bool Passed = true;
    TAdvancedBox Box = TAdvancedBox::VideoBitrate;  // the box to focus when not passed
    std::string Message;                              // its message
};

// Checks the texts whole-match against the box's pattern, in order, and
// stops at the first failure. When all pass, a channel text other than "1"
// or "2" becomes "1"; the other texts stay exactly as typed.
TAdvancedCheck CheckAdvancedSettings(TAdvancedTexts& texts, const TAdvancedMessages& messages);

// Whether the whole text matches the regular expression (case-sensitive, UTF-8).
bool WholeMatch(const std::string& pattern, const std::string& text);

} // namespace app

namespace app {

class TVideoProfile;

// What the dialog shows: the six defaults (a size of "-1" as "auto") and the
// six choice lists (split at ";", empty entries dropped, "-1" as "auto").
struct TAdvancedForm {
    TAdvancedTexts Texts;
    std::vector<std::string> VideoBitrates, FrameRates, VideoSizes, AudioBitrates, SampleRates, Channels;
};
TAdvancedForm FillAdvancedSettings(const TVideoProfile& profile);

// Checks the texts; when they pass, writes them as the profile's defaults in
// memory (video bitrate, frame rate, size, audio bitrate, sample rate,
// channels) exactly as typed. The profile is unchanged when a check fails.
TAdvancedCheck ApplyAdvancedSettings(TVideoProfile& profile, TAdvancedTexts texts, const TAdvancedMessages& messages);
// The six values as the profile holds them, and written back unchecked.
TAdvancedTexts AdvancedValues(const TVideoProfile& profile);
void WriteAdvancedValues(TVideoProfile& profile, const TAdvancedTexts& texts);

} // namespace app
