#include "avbind/FFLoad.h"

#include "avbind/FFLog.h"
#include "avbind/Platform.h"

#include <cfenv>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <stdexcept>
#include <unistd.h>

namespace avbind {

TMyUtilEntries myutil;
TAVUtilEntries avutil;
TAVCodecEntries avcodec;
TAVFormatEntries avformat;
TAVFilterEntries avfilter;
TSWScaleEntries swscale;
TSWResampleEntries swresample;
TAVDeviceEntries avdevice;

namespace {


std::string DlError() {
    const char* e = dlerror();
    return e ? e : "unknown error";
}

// Table plumbing: one fixup/unfix pair per library, generated from its list.
#define ZC_SLOT(table, name) {#name, reinterpret_cast<void**>(&table.name), false},
#define ZC_TABLE_FUNCS(Ident, table, LIST)                                          \
    void Fixup##Ident(const std::string& fileName, void* handle) {                        \
        static const TSymbolSlot slots[] = {                                              \
            LIST(ZC_SLOT_##Ident)                                                         \
        };                                                                                \
        ResolveSymbols(handle, fileName, slots, std::size(slots));                        \
    }                                                                                     \
    void Unfix##Ident() { table = {}; }

#define ZC_SLOT_MyUtil(name) ZC_SLOT(myutil, name)
#define ZC_SLOT_AVUtil(name) ZC_SLOT(avutil, name)
#define ZC_SLOT_AVCodec(name) ZC_SLOT(avcodec, name)
#define ZC_SLOT_AVFormat(name) ZC_SLOT(avformat, name)
#define ZC_SLOT_AVFilter(name) ZC_SLOT(avfilter, name)
#define ZC_SLOT_SWScale(name) ZC_SLOT(swscale, name)
#define ZC_SLOT_SWResample(name) ZC_SLOT(swresample, name)
#define ZC_SLOT_AVDevice(name) ZC_SLOT(avdevice, name)

ZC_TABLE_FUNCS(MyUtil, myutil, ZC_MYUTIL_FUNCTIONS)
ZC_TABLE_FUNCS(AVUtil, avutil, ZC_AVUTIL_FUNCTIONS)
ZC_TABLE_FUNCS(AVCodec, avcodec, ZC_AVCODEC_FUNCTIONS)
ZC_TABLE_FUNCS(AVFormat, avformat, ZC_AVFORMAT_FUNCTIONS)
ZC_TABLE_FUNCS(AVFilter, avfilter, ZC_AVFILTER_FUNCTIONS)
ZC_TABLE_FUNCS(SWScale, swscale, ZC_SWSCALE_FUNCTIONS)
ZC_TABLE_FUNCS(SWResample, swresample, ZC_SWRESAMPLE_FUNCTIONS)

// Devices such as "lavfi" are input formats only after this call.
void FixupAVDevice(const std::string& fileName, void* handle) {
    static const TSymbolSlot slots[] = {ZC_AVDEVICE_FUNCTIONS(ZC_SLOT_AVDevice)};
    ResolveSymbols(handle, fileName, slots, std::size(slots));
    avdevice.avdevice_register_all();
}
void UnfixAVDevice() { avdevice = {}; }

unsigned VersionAVUtil() { return avutil.avutil_version(); }
unsigned VersionAVCodec() { return avcodec.avcodec_version(); }
unsigned VersionAVFormat() { return avformat.avformat_version(); }
unsigned VersionAVFilter() { return avfilter.avfilter_version(); }
unsigned VersionAVDevice() { return avdevice.avdevice_version(); }
unsigned VersionSWScale() { return swscale.swscale_version(); }
unsigned VersionSWResample() { return swresample.swresample_version(); }

// In enumeration order.
const TLibraryItem LibraryTable[LibraryCount] = {
    {TLibrary::avCodec, "avcodec", false, LIBAVCODEC_VERSION_MAJOR, FixupAVCodec, UnfixAVCodec, VersionAVCodec},
    {TLibrary::avDevice, "avdevice", false, LIBAVDEVICE_VERSION_MAJOR, FixupAVDevice, UnfixAVDevice,
     VersionAVDevice},
    {TLibrary::avFilter, "avfilter", false, LIBAVFILTER_VERSION_MAJOR, FixupAVFilter, UnfixAVFilter,
     VersionAVFilter},
    {TLibrary::avFormat, "avformat", false, LIBAVFORMAT_VERSION_MAJOR, FixupAVFormat, UnfixAVFormat,
     VersionAVFormat},
    {TLibrary::avUtil, "avutil", false, LIBAVUTIL_VERSION_MAJOR, FixupAVUtil, UnfixAVUtil, VersionAVUtil},
    {TLibrary::swScale, "swscale", false, LIBSWSCALE_VERSION_MAJOR, FixupSWScale, UnfixSWScale, VersionSWScale},
    {TLibrary::swResample, "swresample", false, LIBSWRESAMPLE_VERSION_MAJOR, FixupSWResample,
     UnfixSWResample, VersionSWResample},
    {TLibrary::myUtil, "c", true, 6, FixupMyUtil, UnfixMyUtil, nullptr},
};

// Dependencies first, so that a folder's copies are the ones their dependents bind to.
const TLibrary LoadOrder[LibraryCount] = {TLibrary::myUtil,   TLibrary::avUtil,   TLibrary::swResample,
                                          TLibrary::swScale,  TLibrary::avCodec,  TLibrary::avFormat,
                                          TLibrary::avFilter, TLibrary::avDevice};

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string VersionString(unsigned v) {
    return Format("%u.%u.%u", v >> 16, (v >> 8) & 0xFF, v & 0xFF);
}

TFFLoader* GLoader = nullptr;
TInterruptCB* GInterruptCB = nullptr;

} // namespace

const TLibraryItem& LibraryItem(TLibrary lib) { return LibraryTable[static_cast<int>(lib)]; }

std::string LibraryFileName(TLibrary lib) {
    const TLibraryItem& item = LibraryItem(lib);
    std::string name = std::string("lib") + item.Name + ".so";
    if (item.Version >= 0) name += "." + std::to_string(item.Version);
    return name;
}

void ResolveSymbols(void* handle, const std::string& fileName, const TSymbolSlot* slots, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        dlerror();
        void* address = dlsym(handle, slots[i].Name);
        if (!address) {
            throw std::runtime_error(Format(slots[i].Variable ? "Load variable %s@%s error: %s"
                                                              : "Load function %s@%s error: %s",
                                            slots[i].Name, fileName.c_str(), DlError().c_str()));
        }
        *slots[i].Slot = address;
    }
}

// ---- TFFLoader ----

TFFLoader::TFFLoader() {
    for (int i = 0; i < LibraryCount; ++i) FStatus[i].Lib = static_cast<TLibrary>(i);
}

TFFLoader::~TFFLoader() { Unload(AllLibraries); }

// Under AddressSanitizer the system's libraries stay mapped after an unload:
// memory they keep from their start-up then stays reachable through their own
// data instead of showing up as a leak at exit. Copies from a folder are
// unmapped as usual, so that a later search by name does not find them.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kKeepMapped = RTLD_NODELETE;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int kKeepMapped = RTLD_NODELETE;
#else
constexpr int kKeepMapped = 0;
#endif
#else
constexpr int kKeepMapped = 0;
#endif

void* TFFLoader::LoadModule(const std::string& folder, const std::string& fileName, std::string& error) {
    void* handle = nullptr;
    if (!folder.empty() && FileExists(folder + fileName))
        handle = dlopen((folder + fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    else
        handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL | kKeepMapped);
    if (!handle) error = DlError();
    return handle;
}

bool TFFLoader::CheckVersion(TLibrary lib) {
    const TLibraryItem& item = LibraryItem(lib);
    if (!item.RuntimeVersion) return true;
    unsigned v = item.RuntimeVersion();
    if (static_cast<int>(v >> 16) == item.Version) return true;
    FLastErrMsg = Format("Load library %s error: %s", LibraryFileName(lib).c_str(),
                         Format("version %s found, this program was built for major version %d",
                                VersionString(v).c_str(), item.Version)
                             .c_str());
    return false;
}

bool TFFLoader::Load(TLibrary lib) {
    const TLibraryItem& item = LibraryItem(lib);
    TLibraryStatus& status = FStatus[static_cast<int>(lib)];
    const std::string fileName = LibraryFileName(lib);
    if (!status.Handle) {
        std::string folder;
        if (!FLibraryPath.empty() && !item.SysLib) {
            folder = FLibraryPath;
            if (folder.back() != '/') folder += '/';
        }
        std::string error;
        void* handle = LoadModule(folder, fileName, error);
        if (!handle) {
            FLastErrMsg = Format("Load library %s error: %s", (folder + fileName).c_str(), error.c_str());
            return false;
        }
        status.Handle = handle;
    }
    if (!status.Fixuped) {
        try {
            item.Fixup(fileName, status.Handle);
            status.Fixuped = true;
            if (!CheckVersion(lib)) Unload(lib);
        } catch (const std::exception& e) {
            FLastErrMsg = e.what();
            item.Unfix();
        }
    }
    if (!status.Fixuped) {
        Unload(lib);
        return false;
    }
    if (lib == TLibrary::avUtil && FInstallLogger) FFLogger().InstallAVLogCallback();
    return true;
}

bool TFFLoader::Load(TLibraries libs) {
    if (libs.Empty()) throw std::logic_error("TFFLoader::Load: the library set is empty");
    for (TLibrary lib : LoadOrder) {
        if (libs.Contains(lib) && !Load(lib)) {
            Unload(libs);
            return false;
        }
    }
    return true;
}

bool TFFLoader::Loaded(TLibrary lib) const {
    const TLibraryStatus& status = FStatus[static_cast<int>(lib)];
    return status.Handle && status.Fixuped;
}

bool TFFLoader::Loaded(TLibraries libs) const {
    for (int i = 0; i < LibraryCount; ++i)
        if (libs.Contains(static_cast<TLibrary>(i)) && !Loaded(static_cast<TLibrary>(i))) return false;
    return true;
}

void TFFLoader::Unload(TLibrary lib) {
    TLibraryStatus& status = FStatus[static_cast<int>(lib)];
    if (status.Fixuped) {
        // The library must not call into a bridge that outlives it, nor the
        // bridge into a library that is gone.
        if (lib == TLibrary::avUtil) RestoreDefaultLogCallback();
        LibraryItem(lib).Unfix();
        status.Fixuped = false;
    }
    if (status.Handle) {
        dlclose(status.Handle);
        status.Handle = nullptr;
    }
}

void TFFLoader::Unload(TLibraries libs) {
    for (int i = LibraryCount - 1; i >= 0; --i)
        if (libs.Contains(LoadOrder[i])) Unload(LoadOrder[i]);
}

std::string TFFLoader::LoadedFrom(TLibrary lib) const {
    const TLibraryStatus& status = FStatus[static_cast<int>(lib)];
    if (!status.Handle) return {};
    struct link_map* map = nullptr;
    if (dlinfo(status.Handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return {};
    return map->l_name;
}

std::string TFFLoader::VersionText(TLibrary lib) const {
    const TLibraryItem& item = LibraryItem(lib);
    if (!Loaded(lib) || !item.RuntimeVersion) return {};
    return VersionString(item.RuntimeVersion());
}

// ---- TInterruptCB ----

void TInterruptCB::Add(std::uint32_t threadID, void* sender, TInterruptProc check) {
    std::lock_guard lock(FLock);
    for (const TEntry& e : FList)
        if (e.ThreadID == threadID && e.Sender == sender && e.Check == check) return;
    FList.push_back({threadID, sender, check});
}

void TInterruptCB::Remove(std::uint32_t threadID, void* sender, TInterruptProc check) {
    std::lock_guard lock(FLock);
    for (auto it = FList.begin(); it != FList.end(); ++it) {
        if (it->ThreadID == threadID && it->Sender == sender && it->Check == check) {
            FList.erase(it);
            return;
        }
    }
}

bool TInterruptCB::Interrupt(std::uint32_t threadID) {
    std::lock_guard lock(FLock);
    for (const TEntry& e : FList)
        if (e.ThreadID == threadID) return e.Check(e.Sender);
    return false;
}

void TInterruptCB::Clear() {
    std::lock_guard lock(FLock);
    FList.clear();
}

std::vector<TInterruptCB::TEntry>& TInterruptCB::LockList() {
    FLock.lock();
    return FList;
}

void TInterruptCB::UnlockList() { FLock.unlock(); }

int InterruptCallback(void*) {
    TInterruptCB* registry = GInterruptCB;
    return registry && registry->Interrupt(CurrentThreadID()) ? 1 : 0;
}

AVIOInterruptCB BindingInterruptCB() { return AVIOInterruptCB{InterruptCallback, nullptr}; }

std::mutex& CodecMutex() {
    static std::mutex mutex;
    return mutex;
}

// ---- Start-up and shutdown ----

namespace {
std::fenv_t GSavedFloatEnv;
}

TFFBinding::TFFBinding() {
    if (GLoader) throw std::logic_error("The media library binding is already started.");
    // The libraries rely on masked floating-point exceptions and round-to-nearest.
    std::fegetenv(&GSavedFloatEnv);
    std::fesetenv(FE_DFL_ENV);
    SetMainThread();
    GInterruptCB = new TInterruptCB;
    GLoader = new TFFLoader;
}

TFFBinding::~TFFBinding() {
    std::fesetenv(&GSavedFloatEnv);
    delete GLoader;  // unloads every library
    GLoader = nullptr;
    LogBridgeShutdown();
    ClearMainThread();
    TInterruptCB* registry = GInterruptCB;
    GInterruptCB = nullptr;
    delete registry;
}

TFFLoader& FFLoader() {
    if (!GLoader) throw std::logic_error("The media library binding is not started.");
    return *GLoader;
}

TInterruptCB& InterruptCB() {
    if (!GInterruptCB) throw std::logic_error("The media library binding is not started.");
    return *GInterruptCB;
}

} // namespace avbind
