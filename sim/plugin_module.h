// The plug-in module as a host sees it: loaded as a shared module, entry points resolved by name.
#pragma once

#include <stdexcept>
#include <string>

#include "mach3/host_blocks.h"
#include "platform/test_host.h"

namespace sim {

class ModuleError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct PluginModule {
    std::string path;
    SetProNameFn setProName = nullptr;
    InitControlFn initControl = nullptr;
    VoidEntryFn postInitControl = nullptr;
    VoidEntryFn update = nullptr;
    NotifyFn notify = nullptr;
    VoidEntryFn config = nullptr;
    VoidEntryFn stopPlug = nullptr;
    // Test-host hooks; null when the module does not export them.
    TrelvoSetWarningHookFn setWarningHook = nullptr;
    TrelvoSetDialogScriptFn setDialogScript = nullptr;
    TrelvoSetDialogHookFn setDialogHook = nullptr;
};

// Throws ModuleError naming the module or the missing entry point. The module stays loaded for the
// life of the process: a warning thread of the plug-in may still be running when the run ends.
PluginModule LoadPluginModule(const std::string& path);

// The module file beside the running executable if it is there, else the module this build made.
std::string DefaultModulePath();

}  // namespace sim
