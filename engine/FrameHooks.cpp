// Frame-hook plug-ins: shared objects loaded by name that see every picture.
#include "engine/Engine.h"

#include "avbind/FFLoad.h"
#include "avbind/Text.h"

#include <dlfcn.h>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace engine {

using namespace avbind;

namespace {

// Loaded once per process; never unloaded (their code may run in any engine).
std::mutex GHookModulesLock;
std::map<std::string, void*> GHookModules;  // lower-cased path -> module

// Loads the module and adds a configured entry to the chain; 0 or a negative code.
int LoadFrameHook(std::vector<TFrameHookEntry>& chain, std::vector<std::string>& tokens) {
    if (tokens.empty()) return -2;
    const std::string& path = tokens[0];
    void* module = nullptr;
    {
        std::lock_guard lock(GHookModulesLock);
        auto found = GHookModules.find(LowerCase(path));
        if (found != GHookModules.end()) {
            module = found->second;
        } else {
            // Dependencies beside the module are found through its own run path;
            // the process's search path and folder are left alone.
            module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!module) {
                const char* error = dlerror();
                avutil.av_log(nullptr, AV_LOG_ERROR, "%s\n", error ? error : "cannot load the module");
                return -1;
            }
            GHookModules[LowerCase(path)] = module;
        }
    }
    TFrameHookEntry entry;
    entry.Configure = reinterpret_cast<ZcHookConfigure>(dlsym(module, "Configure"));
    entry.Process = reinterpret_cast<ZcHookProcess>(dlsym(module, "Process"));
    entry.Release = reinterpret_cast<ZcHookRelease>(dlsym(module, "Release"));
    if (!entry.Process) {
        avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n", path.c_str());
        return -2;
    }
    if (!entry.Configure && tokens.size() > 1) {
        avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n", path.c_str());
        return -2;
    }
    if (entry.Configure) {
        std::vector<char*> argv;
        for (std::string& t : tokens) argv.push_back(t.data());
        argv.push_back(nullptr);
        if (entry.Configure(&entry.ctx, static_cast<int>(tokens.size()), argv.data()) != 0) {
            avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", path.c_str());
            return -22;
        }
    }
    chain.push_back(entry);
    return 0;
}

} // namespace

void TCustomFFmpeg::AddVideoHook(const std::string& value) {
    const char separator = value.find('|') != std::string::npos ? '|' : ' ';
    std::vector<std::string> tokens;
    std::string token;
    std::istringstream in(value);
    while (std::getline(in, token, separator))
        if (!token.empty() && tokens.size() < 254) tokens.push_back(token);
    if (LoadFrameHook(FFirstHook, tokens) != 0) RaiseFF("%s", ("Failed to add video hook function: " + value).c_str());
    Fusing_vhook = true;
}

} // namespace engine
