#include "app/AdvancedSettings.h"

#include <algorithm>

#include "app/PathsAndLinks.h"
#include "app/VideoProfile.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <charconv>
#include <climits>
#include <memory>
#include <stdexcept>

namespace app {

namespace {

struct TCodeDeleter {
    void operator()(pcre2_code* code) const noexcept { pcre2_code_free(code); }
};
struct TMatchDataDeleter {
    void operator()(pcre2_match_data* data) const noexcept { pcre2_match_data_free(data); }
};

} // namespace

bool WholeMatch(const std::string& pattern, const std::string& text) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    std::unique_ptr<pcre2_code, TCodeDeleter> code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()),
                                                                 PCRE2_ZERO_TERMINATED, PCRE2_UTF, &error, &offset,
                                                                 nullptr));
    if (!code) throw std::logic_error("bad pattern: " + pattern);
    std::unique_ptr<pcre2_match_data, TMatchDataDeleter> data(
        pcre2_match_data_create_from_pattern(code.get(), nullptr));
    // The patterns are anchored at both ends; their "$" would also accept a
    // final line break, which ENDANCHORED refuses.
    const int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
                               PCRE2_ANCHORED | PCRE2_ENDANCHORED, data.get(), nullptr);
    return rc >= 0;
}

TAdvancedCheck CheckAdvancedSettings(TAdvancedTexts& texts, const TAdvancedMessages& messages) {
    const struct {
        TAdvancedBox Box;
        const std::string* Text;
        const char* Pattern;
        const std::string* Message;
    } checks[] = {
        {TAdvancedBox::VideoBitrate, &texts.VideoBitrate, "^(\\d)+[kK]?$", &messages.VideoBitrate},
        // "auto": the source's own frame rate.
        {TAdvancedBox::FrameRate, &texts.FrameRate, "^((auto)|(\\d)+)$", &messages.FrameRate},
        {TAdvancedBox::VideoSize, &texts.VideoSize, "^((auto)|((\\d)+[xX](\\d)+))$", &messages.VideoSize},
        {TAdvancedBox::AudioBitrate, &texts.AudioBitrate, "^(\\d)+[kK]?$", &messages.AudioBitrate},
        {TAdvancedBox::SampleRate, &texts.SampleRate, "^(\\d)+$", &messages.SampleRate},
    };
    // The numbers must also fit: "4294968k" has the right shape but no value.
    auto fitsInt = [](std::string number) {
        const bool thousands = !number.empty() && (number.back() == 'k' || number.back() == 'K');
        if (thousands) number.pop_back();
        long long value = 0;
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
        return error == std::errc() && end == number.data() + number.size() &&
               value <= INT_MAX / (thousands ? 1000 : 1);
    };
    auto fits = [&](TAdvancedBox box, const std::string& text) {
        const std::size_t x = text.find_first_of("xX");
        if (box == TAdvancedBox::VideoSize && text != "auto")
            return x != std::string::npos && fitsInt(text.substr(0, x)) && fitsInt(text.substr(x + 1));
        return box == TAdvancedBox::VideoSize || (box == TAdvancedBox::FrameRate && text == "auto") || fitsInt(text);
    };
    TAdvancedCheck result;
    for (const auto& check : checks) {
        if (WholeMatch(check.Pattern, *check.Text) && fits(check.Box, *check.Text)) continue;
        result.Passed = false;
        result.Box = check.Box;
        result.Message.assign(check.Message->data(), check.Message->size());
        return result;
    }
    if (texts.Channel != "1" && texts.Channel != "2") texts.Channel = "1";
    return result;
}

namespace {

std::vector<std::string> Choices(const std::string& list, bool sizes) {
    std::vector<std::string> choices = TfrmCommon::split(list, ";");
    if (sizes)
        for (std::string& c : choices)
            if (c == "-1") c = "auto";
    return choices;
}

} // namespace

void WriteAdvancedValues(TVideoProfile& profile, const TAdvancedTexts& texts) {
    profile.SetVideoBirateDefault(texts.VideoBitrate);
    profile.SetVideoFrameRateDefault(texts.FrameRate);
    profile.SetVideoSizeDefault(texts.VideoSize);
    profile.SetAudioBitrateDefault(texts.AudioBitrate);
    profile.SetAudioSampleRateDefault(texts.SampleRate);
    profile.SetAudioChannelDefault(texts.Channel);
}

TAdvancedTexts AdvancedValues(const TVideoProfile& p) {
    return {p.GetVideoBirateDefault(),   p.GetVideoFrameRateDefault(),  p.GetVideoSizeDefault(),
            p.GetAudioBitrateDefault(),  p.GetAudioSampleRateDefault(), p.GetAudioChannelDefault()};
}

TAdvancedForm FillAdvancedSettings(const TVideoProfile& p) {
    TAdvancedForm form;
    form.Texts = AdvancedValues(p);
    if (form.Texts.VideoSize == "-1") form.Texts.VideoSize = "auto";
    form.VideoBitrates = Choices(p.GetVideoBirateAll(), false);
    form.FrameRates = Choices(p.GetVideoFrameRateAll(), false);
    form.VideoSizes = Choices(p.GetVideoSizeAll(), true);
    // The source's own rate and size are always choices.
    for (std::vector<std::string>* choices : {&form.FrameRates, &form.VideoSizes})
        if (std::find(choices->begin(), choices->end(), "auto") == choices->end())
            choices->insert(choices->begin(), "auto");
    form.AudioBitrates = Choices(p.GetAudioBitrateAll(), false);
    form.SampleRates = Choices(p.GetAudioSampleRateAll(), false);
    form.Channels = Choices(p.GetAudioChannelAll(), false);
    return form;
}

TAdvancedCheck ApplyAdvancedSettings(TVideoProfile& profile, TAdvancedTexts texts, const TAdvancedMessages& messages) {
    const TAdvancedCheck check = CheckAdvancedSettings(texts, messages);
    if (check.Passed) WriteAdvancedValues(profile, texts);
    return check;
}

} // namespace app
