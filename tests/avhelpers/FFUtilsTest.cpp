#include "avhelpers/FFUtils.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

using namespace avhelpers;

TEST(GetErrorText, NamePrefixAndMessage) {
    EXPECT_EQ(GetErrorText("clip.avi", -2), "clip.avi: No such file or directory");
    EXPECT_EQ(GetErrorText("", -2), ": No such file or directory");
}

TEST(GetErrorText, TableRows) {
    const std::vector<std::pair<int, const char*>> rows = {
        // Library tags: first and last rows, and the ones the engine meets most.
        {-1481985528, "Muxer not found"},
        {-1414092869, "Immediate exit requested"},
        {-1163346256, "Not yet implemented in FFmpeg, patches welcome"},
        {-1094995529, "Invalid data found when processing input"},
        {-541478725, "End of file"},
        // Socket codes: first and last rows, one without and ones with a POSIX alias.
        {-11004, "WSANO_DATA"},
        {-10035, "WSAEWOULDBLOCK"},
        {-10071, "Object is remote"},
        {-66, "Object is remote"},
        {-10061, "Connection refused"},
        {-111, "Connection refused"},
        {-10022, "Invalid argument / Invalid data found when processing input"},
        {-22, "Invalid argument / Invalid data found when processing input"},
        {-10004, "Interrupted function call"},
        {-4, "Interrupted function call"},
        // Other POSIX numbers: first and last rows and a combined text.
        {-131, "State not recoverable"},
        {-81, ".lib section in a.out corrupted"},
        {-23, "Too many open files in system / File table overflow"},
        {-12, "Not enough space / Out of memory"},
        {-1, "Operation not permitted"},
    };
    for (const auto& [code, message] : rows) EXPECT_EQ(GetErrorText("x", code), std::string("x: ") + message) << code;
}

TEST(GetErrorText, CodesOutsideTheTable) {
    EXPECT_EQ(GetErrorText("f", 7), "f: Error number 7 occurred");
    EXPECT_EQ(GetErrorText("f", 0), "f: Error number 0 occurred");
    // Gaps between rows: no neighbouring row may answer for them.
    EXPECT_EQ(GetErrorText("f", -58), "f: Error number -58 occurred");
    EXPECT_EQ(GetErrorText("f", -10000), "f: Error number -10000 occurred");
    EXPECT_EQ(GetErrorText("f", -10034), "f: Error number -10034 occurred");
    // Library tags outside the table.
    EXPECT_EQ(GetErrorText("f", AVERROR_BUG), "f: Error number " + std::to_string(AVERROR_BUG) + " occurred");
}

TEST(FormatDuration, Formats) {
    EXPECT_EQ(FormatDuration(((1 * 60 + 2) * 60 + 3) * INT64_C(1000000) + 4000), "01:02:03.004");
    EXPECT_EQ(FormatDuration(25 * INT64_C(3600000000)), "25:00:00.000");
    EXPECT_EQ(FormatDuration(0), "00:00:00.000");
    // Milliseconds are truncated, not rounded.
    EXPECT_EQ(FormatDuration(59999999), "00:00:59.999");
    EXPECT_EQ(FormatDuration(AV_NOPTS_VALUE), "N/A");
}

TEST(FrameDuration, RatesAndFallback) {
    EXPECT_EQ(FrameDuration(AVRational{30000, 1001}), 33366);
    EXPECT_EQ(FrameDuration(AVRational{25, 1}), 40000);
    EXPECT_EQ(FrameDuration(AVRational{1, 2}), 2000000);
    EXPECT_EQ(FrameDuration(AVRational{0, 0}), 40000);
    EXPECT_EQ(FrameDuration(AVRational{0, 1}), 40000);
    EXPECT_EQ(FrameDuration(AVRational{30, 0}), 40000);
}

TEST(TypeNames, MediaAndPictureTypes) {
    const char* media[] = {"Video", "Audio", "Data", "Subtitle", "Attachment"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(GetMediaTypeName(i), media[i]);
    EXPECT_EQ(GetMediaTypeName(-1), "Unknown");
    EXPECT_EQ(GetMediaTypeName(5), "Unknown");

    const char* pictures[] = {"Intra", "Predicted", "Bi-dir predicted", "S(GMC)-VOP MPEG4",
                              "Switching Intra", "Switching Predicted", "BI type"};
    for (int i = 1; i <= 7; ++i) EXPECT_EQ(GetPictureTypeName(i), pictures[i - 1]);
    EXPECT_EQ(GetPictureTypeName(0), "Unknown");
    EXPECT_EQ(GetPictureTypeName(8), "Unknown");
}

class GetCodecTextTest : public testing::Test {
protected:
    void SetUp() override {
        FContext.reset(avbind::avcodec.avcodec_alloc_context3(nullptr));
        FParameters.reset(avbind::avcodec.avcodec_parameters_alloc());
        ASSERT_TRUE(FContext && FParameters);
    }
    std::string ContextText(AVCodecID id, unsigned tag, bool encoder) {
        FContext->codec_id = id;
        FContext->codec_tag = tag;
        return GetCodecText(FContext.get(), encoder);
    }
    avbind::TAVCodecContextPtr FContext;
    avbind::TAVCodecParametersPtr FParameters;
};

TEST_F(GetCodecTextTest, FoundCodecGivesNameAndLongName) {
    EXPECT_EQ(ContextText(AV_CODEC_ID_MPEG4, 0, true), "mpeg4(MPEG-4 part 2)");
    EXPECT_EQ(ContextText(AV_CODEC_ID_PCM_S16LE, 0, false), "pcm_s16le(PCM signed 16-bit little-endian)");
}

TEST_F(GetCodecTextTest, CodecWithoutEncoderFallsBackToItsName) {
    // vp6 can be decoded but not encoded.
    EXPECT_EQ(ContextText(AV_CODEC_ID_VP6, 0, false), "vp6(On2 VP6)");
    EXPECT_EQ(ContextText(AV_CODEC_ID_VP6, MKTAG('V', 'P', '6', '0'), true), "vp6");
    EXPECT_EQ(ContextText(AV_CODEC_ID_MPEG2TS, 0, true), "mpeg2ts");
}

TEST_F(GetCodecTextTest, UnknownCodecShowsItsTag) {
    EXPECT_EQ(ContextText(AV_CODEC_ID_NONE, MKTAG('X', 'V', 'I', 'D'), false), "XVID / 0x44495658");
    EXPECT_EQ(ContextText(AV_CODEC_ID_NONE, MKTAG(' ', '~', 'a', 'Z'), false), " ~aZ / 0x5A617E20");
    // One unprintable byte (31, 127) makes the whole tag hexadecimal.
    EXPECT_EQ(ContextText(AV_CODEC_ID_NONE, MKTAG('d', 'i', 'v', 31), false), "0x1f766964");
    EXPECT_EQ(ContextText(AV_CODEC_ID_NONE, MKTAG(127, 'i', 'v', 'x'), false), "0x7876697f");
    EXPECT_EQ(ContextText(AV_CODEC_ID_NONE, 0x12, false), "0x0012");
}

TEST_F(GetCodecTextTest, ParametersLikeContext) {
    FParameters->codec_id = AV_CODEC_ID_MPEG4;
    EXPECT_EQ(GetCodecText(FParameters.get(), true), "mpeg4(MPEG-4 part 2)");
    FParameters->codec_id = AV_CODEC_ID_NONE;
    FParameters->codec_tag = MKTAG('a', 'b', 'c', 'd');
    EXPECT_EQ(GetCodecText(FParameters.get(), true), "abcd / 0x64636261");
}

TEST(GetMetadataValue, EntryOrDefault) {
    AVDictionary* dict = nullptr;
    ASSERT_GE(avbind::avutil.av_dict_set(&dict, "title", "Holiday", 0), 0);
    avbind::TAVDictionaryPtr owner(dict);
    EXPECT_EQ(GetMetadataValue(dict, "title", "none"), "Holiday");
    EXPECT_EQ(GetMetadataValue(dict, "artist", "none"), "none");
    EXPECT_EQ(GetMetadataValue(nullptr, "title", "none"), "none");
}

class ReadWholeFileTest : public testing::Test {
protected:
    zctest::TTempDir FDir;
    avbind::TAVBufferPtr FBuffer;
    std::size_t FSize = 12345;
};

TEST_F(ReadWholeFileTest, EmptyFileGivesOneZeroByte) {
    ASSERT_EQ(ReadWholeFile(FDir.Write("empty", ""), FBuffer, FSize), 0);
    ASSERT_TRUE(FBuffer);
    EXPECT_EQ(FSize, 1u);
    EXPECT_EQ(FBuffer.get()[0], 0);
}

TEST_F(ReadWholeFileTest, ContentIsFollowedByAZeroThatCounts) {
    const std::string content("line one\r\n\0binary\xff", 18);
    ASSERT_EQ(ReadWholeFile(FDir.Write("data.bin", content), FBuffer, FSize), 0);
    ASSERT_EQ(FSize, content.size() + 1);
    EXPECT_EQ(std::memcmp(FBuffer.get(), content.data(), content.size()), 0);
    EXPECT_EQ(FBuffer.get()[content.size()], 0);
}

TEST_F(ReadWholeFileTest, UnreadableNamesFailAndLeaveTheOutputs) {
    EXPECT_EQ(ReadWholeFile(FDir.File("missing"), FBuffer, FSize), -1);
    // A directory opens but has no readable content; its reported size depends
    // on the file system (-1 when unknown, a huge one makes allocation fail).
    EXPECT_NE(ReadWholeFile(FDir.Path().string(), FBuffer, FSize), 0);
    EXPECT_FALSE(FBuffer);
    EXPECT_EQ(FSize, 12345u);
}

} // namespace
