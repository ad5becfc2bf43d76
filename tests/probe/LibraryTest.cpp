// The probe's own library handling; this program starts with nothing loaded.
#include "probe/Probe.h"

#include "avbind/FFLoad.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using avbind::TLibrary;

void ExpectCheckFails(probe::TFFDecoder& decoder, const char* message) {
    try {
        decoder.LoadFile("any.avi");
        ADD_FAILURE() << "LoadFile did not throw " << message;
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), message);
    }
    int dummy = 0;
    try {
        decoder.SetFileHandle(reinterpret_cast<AVFormatContext*>(&dummy));
        ADD_FAILURE() << "SetFileHandle did not throw " << message;
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), message);
    }
    EXPECT_EQ(decoder.FileHandle(), nullptr);
}

TEST(ProbeLibraries, CheckedInOrderBeforeUse) {
    probe::TFFDecoder decoder;
    avbind::TFFLoader& loader = avbind::FFLoader();
    ASSERT_FALSE(decoder.AVLibLoaded());
    ExpectCheckFails(decoder, "LibAVCodec not loaded.");
    ASSERT_TRUE(loader.Load(TLibrary::avCodec)) << loader.LastErrMsg();
    ExpectCheckFails(decoder, "LibAVFormat not loaded.");
    ASSERT_TRUE(loader.Load(TLibrary::avFormat)) << loader.LastErrMsg();
    ExpectCheckFails(decoder, "LibAVUtil not loaded.");
    ASSERT_TRUE(loader.Load(TLibrary::avUtil)) << loader.LastErrMsg();
    ExpectCheckFails(decoder, "LibSwScale not loaded.");
    loader.Unload(avbind::AllLibraries);
}

TEST(ProbeLibraries, LoadUseAndUnload) {
    probe::TFFDecoder decoder;
    // A folder whose scaler lacks its functions: the loader's message.
    EXPECT_FALSE(decoder.LoadAVLib(ZC_FAKE_LIB_ROOT "/partial"));
    EXPECT_EQ(decoder.LastErrMsg().rfind("Load function sws_getContext@libswscale.so.6 error: ", 0), 0u)
        << decoder.LastErrMsg();
    EXPECT_FALSE(decoder.AVLibLoaded());

    // A folder without the libraries falls back to the system search.
    ASSERT_TRUE(decoder.LoadAVLib("/nonexistent")) << decoder.LastErrMsg();
    EXPECT_EQ(avbind::FFLoader().LibraryPath(), "/nonexistent");
    EXPECT_TRUE(decoder.AVLibLoaded());
    EXPECT_FALSE(avbind::FFLoader().Loaded(TLibrary::avFilter));

    zctest::TTempDir dir;
    std::string error;
    ASSERT_TRUE(zctest::WriteTestMedia(dir.File("clip.avi"), {.Format = "avi", .Seconds = 0.2}, error)) << error;
    ASSERT_TRUE(decoder.LoadFile(dir.File("clip.avi")));
    EXPECT_EQ(decoder.StreamCount(), 2);

    // Unloading closes the file first instead of leaving a context the
    // libraries can no longer free.
    decoder.UnloadAVLib();
    EXPECT_FALSE(decoder.AVLibLoaded());
    EXPECT_EQ(decoder.FileHandle(), nullptr);
    EXPECT_EQ(decoder.StreamCount(), -1);
}

} // namespace
