// A pending set of named library options: validated against the libraries'
// option tables when given, applied later to the real codec, format or
// scaler context of an input, an output or an output stream.
#pragma once

#include "avbind/AVPtr.h"

#include <string>
#include <vector>

namespace avhelpers {

// Option holders indexed by media type (video 0 ... attachment 4).
inline constexpr int OptionMediaTypes = 5;

struct TFFOptions {
    std::vector<std::string> opt_names;   // accepted names, in the order given
    std::vector<std::string> opt_values;  // their values as given
    avbind::TAVCodecContextPtr avcodec_opts[OptionMediaTypes];
    avbind::TAVFormatContextPtr avformat_opts;
    avbind::TSwsContextPtr sws_opts;
    avbind::TAVDictionary format_opts, video_opts, audio_opts, sub_opts;

    int opt_name_count() const { return static_cast<int>(opt_names.size()); }
};

// The reason of the last refusal on this thread ("Unrecognized option "%s"",
// "Invalid value "%s" for option "%s"", "Error setting option "%s"").
const std::string& LastOptionError();

// Fresh option holders (the scaler holder with the given flags) and empty lists.
void InitOptions(TFFOptions& options, int swsFlags);
// Releases every holder and recorded pair.
void FreeOptions(TFFOptions& options);
// Checks name and value against the libraries' tables and records the pair.
// False on refusal, with the reason in LastOptionError() (an empty name is
// refused without one).
bool SetDefaultOption(TFFOptions& options, const std::string& name, const std::string& value);
// Files an accepted option into the per-kind dictionaries.
bool SetDictionaryOption(TFFOptions& options, const std::string& name, const std::string& value);
// Sets every recorded option that `optionContext` knows with all of `flags`
// (AV_OPT_FLAG_*) on `target` with the option context's value, and private
// options on the target's private context. `target` and `optionContext` are
// objects whose first member is an AVClass pointer. Refusals are logged.
void ApplyOptions(TFFOptions& options, void* target, void* optionContext, const AVCodec* codec, int flags);
// Moves the values of the recorded options that an encoder context's private
// data holds into `kept`, then frees that private data: for some encoders it
// is hundreds of kilobytes, held by every waiting task. Opening the encoder
// with `kept` (avcodec_open2) makes it again with the same values.
void ReleasePrivateData(const TFFOptions& options, AVCodecContext* ctx, AVDictionary** kept);

} // namespace avhelpers
