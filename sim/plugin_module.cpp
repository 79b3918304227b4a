// dlopen/dlsym loading of the plug-in module.
#include "plugin_module.h"

#include <dlfcn.h>

#include <filesystem>

#ifndef TRELVO_DEFAULT_MODULE
#define TRELVO_DEFAULT_MODULE "TRELVO-40.so"
#endif

namespace sim {
namespace {

template <typename Fn>
Fn Resolve(void* handle, const std::string& path, const char* name, bool required) {
    void* symbol = dlsym(handle, name);
    if (!symbol && required) throw ModuleError("module " + path + " lacks the entry point " + name);
    return reinterpret_cast<Fn>(symbol);
}

}  // namespace

PluginModule LoadPluginModule(const std::string& path) {
    // dlopen searches the library path for a bare name; the user means a file.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        throw ModuleError("cannot load module " + path + ": " + (why ? why : "unknown error"));
    }
    PluginModule m;
    m.path = path;
    m.setProName = Resolve<SetProNameFn>(handle, path, "SetProName", true);
    m.initControl = Resolve<InitControlFn>(handle, path, "InitControl", true);
    m.postInitControl = Resolve<VoidEntryFn>(handle, path, "PostInitControl", true);
    m.update = Resolve<VoidEntryFn>(handle, path, "Update", true);
    m.notify = Resolve<NotifyFn>(handle, path, "Notify", true);
    m.config = Resolve<VoidEntryFn>(handle, path, "Config", true);
    m.stopPlug = Resolve<VoidEntryFn>(handle, path, "StopPlug", true);
    m.setWarningHook = Resolve<TrelvoSetWarningHookFn>(handle, path, "TrelvoSetWarningHook", false);
    m.setDialogScript = Resolve<TrelvoSetDialogScriptFn>(handle, path, "TrelvoSetDialogScript", false);
    m.setDialogHook = Resolve<TrelvoSetDialogHookFn>(handle, path, "TrelvoSetDialogHook", false);
    return m;
}

std::string DefaultModulePath() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const std::filesystem::path beside = self.parent_path() / "TRELVO-40.so";
        if (std::filesystem::exists(beside, ec)) return beside.string();
    }
    return TRELVO_DEFAULT_MODULE;
}

}  // namespace sim
