#include "avbind/FFLoad.h"
#include "avbind/FFLog.h"

#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <thread>

using namespace avbind;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

const TLibrary MediaLibraries[] = {TLibrary::avCodec,  TLibrary::avDevice, TLibrary::avFilter,
                                   TLibrary::avFormat, TLibrary::avUtil,   TLibrary::swScale,
                                   TLibrary::swResample};

class LoaderTest : public testing::Test {
protected:
    void TearDown() override {
        FFLoader().Unload(AllLibraries);
        FFLoader().SetLibraryPath("");
    }
    void ExpectNothingLoaded() {
        for (int i = 0; i < LibraryCount; ++i)
            EXPECT_FALSE(FFLoader().Loaded(static_cast<TLibrary>(i))) << LibraryItem(static_cast<TLibrary>(i)).Name;
        EXPECT_EQ(avutil.av_malloc, nullptr);
        EXPECT_EQ(swscale.sws_scale, nullptr);
        EXPECT_EQ(avcodec.avcodec_open2, nullptr);
    }
};

} // namespace

TEST(LibraryNames, FollowTheMajorVersionsOfTheHeaders) {
    EXPECT_EQ(LibraryFileName(TLibrary::avCodec), "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR));
    EXPECT_EQ(LibraryFileName(TLibrary::swResample),
              "libswresample.so." + std::to_string(LIBSWRESAMPLE_VERSION_MAJOR));
    EXPECT_EQ(LibraryFileName(TLibrary::myUtil), "libc.so.6");
    EXPECT_TRUE(LibraryItem(TLibrary::myUtil).SysLib);
}

TEST_F(LoaderTest, LoadsEveryLibraryThroughTheSystemSearch) {
    ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
    EXPECT_TRUE(FFLoader().Loaded(EncoderLibraries));
    for (TLibrary lib : MediaLibraries) {
        EXPECT_THAT(FFLoader().LoadedFrom(lib), HasSubstr(LibraryFileName(lib)));
        const std::string version = FFLoader().VersionText(lib);
        EXPECT_THAT(version, StartsWith(std::to_string(LibraryItem(lib).Version) + "."));
    }
    // The tables are usable, and devices are registered as input formats.
    void* p = avutil.av_malloc(16);
    ASSERT_NE(p, nullptr);
    avutil.av_free(p);
    EXPECT_NE(avformat.av_find_input_format("lavfi"), nullptr);

    FFLoader().Unload(EncoderLibraries);
    ExpectNothingLoaded();
    // And again after an unload.
    ASSERT_TRUE(FFLoader().Load(ProbeLibraries)) << FFLoader().LastErrMsg();
    EXPECT_TRUE(FFLoader().Loaded(ProbeLibraries));
    EXPECT_FALSE(FFLoader().Loaded(TLibrary::avFilter));
}

TEST_F(LoaderTest, EmptyFileInTheFolderFailsTheWholeSet) {
    zctest::TTempDir dir;
    dir.Write("libswscale.so.6", "");
    FFLoader().SetLibraryPath(dir.Path().string());  // no trailing delimiter: the loader adds it
    EXPECT_FALSE(FFLoader().Load(EncoderLibraries));
    EXPECT_THAT(FFLoader().LastErrMsg(),
                StartsWith("Load library " + dir.File("libswscale.so.6") + " error: "));
    EXPECT_THAT(FFLoader().LastErrMsg(), HasSubstr("libswscale.so.6:"));  // dlerror's own text follows
    ExpectNothingLoaded();
}

TEST_F(LoaderTest, MissingFunctionNamesFunctionAndFile) {
    FFLoader().SetLibraryPath(std::string(ZC_FAKE_LIB_ROOT) + "/partial/");
    EXPECT_FALSE(FFLoader().Load(EncoderLibraries));
    EXPECT_THAT(FFLoader().LastErrMsg(), StartsWith("Load function sws_getContext@libswscale.so.6 error: "));
    EXPECT_THAT(FFLoader().LastErrMsg(), HasSubstr("undefined symbol"));
    ExpectNothingLoaded();
}

TEST_F(LoaderTest, WrongMajorVersionIsRefused) {
    FFLoader().SetLibraryPath(std::string(ZC_FAKE_LIB_ROOT) + "/version");
    EXPECT_FALSE(FFLoader().Load(TLibrary::swScale));
    EXPECT_EQ(FFLoader().LastErrMsg(),
              "Load library libswscale.so.6 error: version 7.1.100 found, this program was built for major "
              "version " + std::to_string(LIBSWSCALE_VERSION_MAJOR));
    EXPECT_FALSE(FFLoader().Loaded(TLibrary::swScale));
    EXPECT_EQ(swscale.sws_scale, nullptr);
}

TEST_F(LoaderTest, FolderCopiesWinAndDependentsBindToThem) {
    // Find the system's utility library, then offer a copy of it in a folder.
    ASSERT_TRUE(FFLoader().Load(TLibrary::avUtil)) << FFLoader().LastErrMsg();
    const std::string system = FFLoader().LoadedFrom(TLibrary::avUtil);
    FFLoader().Unload(TLibrary::avUtil);

    zctest::TTempDir dir;
    std::filesystem::copy_file(system, dir.File("libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR)));
    dir.Write("libc.so.6", "");  // the C runtime is never taken from the folder
    FFLoader().SetLibraryPath(dir.Path().string());
    ASSERT_TRUE(FFLoader().Load(ProbeLibraries)) << FFLoader().LastErrMsg();
    EXPECT_EQ(FFLoader().LoadedFrom(TLibrary::avUtil), dir.File(LibraryFileName(TLibrary::avUtil)));
    EXPECT_NE(FFLoader().LoadedFrom(TLibrary::myUtil), dir.File("libc.so.6"));
    EXPECT_NE(FFLoader().LoadedFrom(TLibrary::avCodec).find("/libavcodec.so."), std::string::npos);

    // avcodec's own av_malloc import must resolve into the folder's copy.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(avutil.av_malloc), &info), 0);
    EXPECT_EQ(std::string(info.dli_fname), dir.File(LibraryFileName(TLibrary::avUtil)));
}

TEST(ResolveSymbols, ResolvesFunctionsAndVariablesAndNamesTheMiss) {
    const std::string file = std::string(ZC_FAKE_LIB_ROOT) + "/symbols/libfake_symbols.so";
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();

    void* function = nullptr;
    void* variable = nullptr;
    const TSymbolSlot good[] = {{"zc_fake_function", &function, false}, {"zc_fake_variable", &variable, true}};
    ResolveSymbols(handle, "libfake_symbols.so", good, 2);
    ASSERT_NE(variable, nullptr);
    EXPECT_EQ(*static_cast<int*>(variable), 42);
    EXPECT_EQ(reinterpret_cast<int (*)()>(function)(), 7);

    void* missing = nullptr;
    const TSymbolSlot badVariable[] = {{"zc_no_such_variable", &missing, true}};
    try {
        ResolveSymbols(handle, "libfake_symbols.so", badVariable, 1);
        ADD_FAILURE() << "a missing variable was resolved";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), StartsWith("Load variable zc_no_such_variable@libfake_symbols.so error: "));
    }
    const TSymbolSlot badFunction[] = {{"zc_no_such_function", &missing, false}};
    EXPECT_THROW(ResolveSymbols(handle, "libfake_symbols.so", badFunction, 1), std::runtime_error);
    dlclose(handle);
}

// ---- Interrupt registry ----

namespace {
bool AlwaysTrue(void*) { return true; }
bool AlwaysFalse(void*) { return false; }
bool ReadFlag(void* sender) { return *static_cast<bool*>(sender); }
} // namespace

TEST(InterruptRegistry, FirstRegisteredCheckOfTheThreadDecides) {
    TInterruptCB registry;
    int a = 0, b = 0;
    registry.Add(100, &a, AlwaysFalse);
    registry.Add(100, &b, AlwaysTrue);
    registry.Add(200, &b, AlwaysTrue);
    EXPECT_FALSE(registry.Interrupt(100));
    EXPECT_TRUE(registry.Interrupt(200));
    EXPECT_FALSE(registry.Interrupt(300));
    registry.Remove(100, &a, AlwaysFalse);
    EXPECT_TRUE(registry.Interrupt(100));
}

TEST(InterruptRegistry, DuplicateAddKeepsOneEntryAndRemoveMatchesAllThree) {
    TInterruptCB registry;
    int a = 0;
    registry.Add(1, &a, AlwaysTrue);
    registry.Add(1, &a, AlwaysTrue);
    EXPECT_EQ(registry.LockList().size(), 1u);
    registry.UnlockList();
    registry.Remove(1, &a, AlwaysFalse);  // other check: no match
    registry.Remove(2, &a, AlwaysTrue);   // other thread: no match
    EXPECT_EQ(registry.LockList().size(), 1u);
    registry.UnlockList();
    registry.Remove(1, &a, AlwaysTrue);
    EXPECT_EQ(registry.LockList().size(), 0u);
    registry.UnlockList();
    registry.Add(1, &a, AlwaysTrue);
    registry.Clear();
    EXPECT_FALSE(registry.Interrupt(1));
}

TEST(InterruptRegistry, CallbackAsksTheCallingThreadsCheck) {
    bool stop = false;
    const AVIOInterruptCB cb = BindingInterruptCB();
    InterruptCB().Add(CurrentThreadID(), &stop, ReadFlag);
    EXPECT_EQ(cb.callback(cb.opaque), 0);
    stop = true;
    EXPECT_EQ(cb.callback(cb.opaque), 1);
    int fromOtherThread = -1;
    std::thread([&] { fromOtherThread = cb.callback(cb.opaque); }).join();
    EXPECT_EQ(fromOtherThread, 0);
    InterruptCB().Remove(CurrentThreadID(), &stop, ReadFlag);
    EXPECT_EQ(cb.callback(cb.opaque), 0);
}
