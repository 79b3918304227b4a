// Loading of the plug-in module and resolution of its entry points by name.
#include "plugin_module.h"

#include <filesystem>

#include "host_os.h"

#ifndef TRELVO_DEFAULT_MODULE
#define TRELVO_DEFAULT_MODULE ""
#endif

namespace sim {
namespace {

template <typename Fn>
Fn Resolve(void* handle, const std::string& path, const char* name, bool required) {
    void* symbol = ModuleSymbol(handle, name);
    if (!symbol && required) throw ModuleError("module " + path + " lacks the entry point " + name);
    return reinterpret_cast<Fn>(symbol);
}

}  // namespace

PluginModule LoadPluginModule(const std::string& path) {
    void* handle = nullptr;
    try {
        handle = OpenModule(path);
    } catch (const std::exception& e) {
        throw ModuleError("cannot load module " + path + ": " + e.what());
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
    const std::string dir = ExecutableDir();
    if (!dir.empty()) {
        const std::filesystem::path beside = FilePath(dir) / kModuleFileName;
        if (std::filesystem::exists(beside, ec)) return PathText(beside);
    }
    const std::string built = TRELVO_DEFAULT_MODULE;
    return built.empty() ? kModuleFileName : built;
}

}  // namespace sim
