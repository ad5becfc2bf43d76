// Run-time loading of the media libraries, the interrupt registry, the codec
// mutex and the binding's start-up and shutdown.
#pragma once

#include "avbind/FFEntries.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace avbind {

enum class TLibrary { avCodec, avDevice, avFilter, avFormat, avUtil, swScale, swResample, myUtil };
inline constexpr int LibraryCount = 8;

// A set of libraries.
class TLibraries {
public:
    constexpr TLibraries() = default;
    constexpr TLibraries(std::initializer_list<TLibrary> libs) {
        for (TLibrary lib : libs) FBits |= Bit(lib);
    }
    constexpr bool Contains(TLibrary lib) const { return (FBits & Bit(lib)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr TLibraries& operator+=(TLibrary lib) { FBits |= Bit(lib); return *this; }

private:
    static constexpr std::uint32_t Bit(TLibrary lib) { return 1u << static_cast<int>(lib); }
    std::uint32_t FBits = 0;
};

inline constexpr TLibraries AllLibraries{TLibrary::avCodec, TLibrary::avDevice, TLibrary::avFilter,
                                         TLibrary::avFormat, TLibrary::avUtil, TLibrary::swScale,
                                         TLibrary::swResample, TLibrary::myUtil};
// What the encoder needs: everything.
inline constexpr TLibraries EncoderLibraries = AllLibraries;
// What the media probe needs. swResample is listed because avcodec depends on
// it: loading it first keeps a library folder's copy the one avcodec binds to.
inline constexpr TLibraries ProbeLibraries{TLibrary::avCodec, TLibrary::avFormat, TLibrary::avUtil,
                                           TLibrary::swScale, TLibrary::swResample, TLibrary::myUtil};

// Fixed description of one library.
struct TLibraryItem {
    TLibrary Lib;
    const char* Name;     // "avcodec"
    bool SysLib;          // never taken from the library folder
    int Version;          // major version the tables were written for; -1 for none
    void (*Fixup)(const std::string& fileName, void* handle);  // throws std::runtime_error
    void (*Unfix)();
    unsigned (*RuntimeVersion)();  // the loaded library's version, or null
};

struct TLibraryStatus {
    TLibrary Lib;
    void* Handle = nullptr;
    bool Fixuped = false;
};

const TLibraryItem& LibraryItem(TLibrary lib);
// "libavcodec.so.59"; "libc.so.6" for the C runtime.
std::string LibraryFileName(TLibrary lib);

// Resolves every slot from the module; throws std::runtime_error with
// "Load function %s@%s error: %s" (or "Load variable ...") on the first miss.
void ResolveSymbols(void* handle, const std::string& fileName, const TSymbolSlot* slots, std::size_t count);

// Loads the libraries (one per process, created by TFFBinding). Loading and
// unloading happen on the main thread.
class TFFLoader {
public:
    TFFLoader();
    ~TFFLoader();
    TFFLoader(const TFFLoader&) = delete;
    TFFLoader& operator=(const TFFLoader&) = delete;

    bool Load(TLibrary lib);
    // Loads in dependency order; on the first failure unloads the whole set.
    bool Load(TLibraries libs);
    bool Loaded(TLibrary lib) const;
    bool Loaded(TLibraries libs) const;
    void Unload(TLibrary lib);
    void Unload(TLibraries libs);

    const std::string& LibraryPath() const { return FLibraryPath; }
    void SetLibraryPath(const std::string& path) { FLibraryPath = path; }
    const std::string& LastErrMsg() const { return FLastErrMsg; }
    bool InstallLogger() const { return FInstallLogger; }
    void SetInstallLogger(bool value) { FInstallLogger = value; }

    // Path of the file a loaded library came from (empty when not loaded).
    std::string LoadedFrom(TLibrary lib) const;
    // "59.37.100" for a loaded media library; empty otherwise.
    std::string VersionText(TLibrary lib) const;

private:
    void* LoadModule(const std::string& folder, const std::string& fileName, std::string& error);
    bool CheckVersion(TLibrary lib);

    bool FInstallLogger = true;
    std::string FLibraryPath;
    std::string FLastErrMsg;
    TLibraryStatus FStatus[LibraryCount];
};

// A check asked whether the blocking library call of its thread must abort.
using TInterruptProc = bool (*)(void* sender);

// Per-thread registry of interrupt checks (one per process).
class TInterruptCB {
public:
    struct TEntry {
        std::uint32_t ThreadID;
        void* Sender;
        TInterruptProc Check;
    };

    void Add(std::uint32_t threadID, void* sender, TInterruptProc check);
    void Remove(std::uint32_t threadID, void* sender, TInterruptProc check);
    // The first check registered for the thread decides; false without one.
    bool Interrupt(std::uint32_t threadID);
    void Clear();
    // The list with the lock held; every LockList needs its UnlockList.
    std::vector<TEntry>& LockList();
    void UnlockList();

private:
    std::mutex FLock;
    std::vector<TEntry> FList;
};

// The binding's interrupt callback for AVIOInterruptCB: 1 aborts the blocking
// operation of the calling thread when its registered check says so.
int InterruptCallback(void* opaque);
// The value every engine puts into its format contexts.
AVIOInterruptCB BindingInterruptCB();

// Serialises codec opening and closing across all engines.
std::mutex& CodecMutex();

// Start-up and shutdown of the binding: created once by the program (or test
// main) on the thread that becomes the main thread. Creates the loader and the
// interrupt registry, saves the floating-point environment, and on destruction
// unloads every library, shuts the log bridge down and restores it.
class TFFBinding {
public:
    TFFBinding();
    ~TFFBinding();
    TFFBinding(const TFFBinding&) = delete;
    TFFBinding& operator=(const TFFBinding&) = delete;
};

// The process's loader and registry; throw std::logic_error outside a TFFBinding.
TFFLoader& FFLoader();
TInterruptCB& InterruptCB();

} // namespace avbind
