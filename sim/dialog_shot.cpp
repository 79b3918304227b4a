// trelvo-dialog-shot: loads the plug-in as the host does and shows its real configuration dialog until closed.
#include <cstdio>
#include <exception>
#include <string>

#include "host_os.h"
#include "plugin_module.h"
#include "profile_setup.h"

namespace {

void Output(HostEngineBlock& engine, int index, int port, int pin, bool activeLow = false) {
    HostOutputSignal& out = engine.outputs[index];
    out.enabled = 1;
    out.port = static_cast<int8_t>(port);
    out.pin = static_cast<int8_t>(pin);
    out.activeLow = activeLow ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        sim::PrepareHostProcess();
        const std::string modulePath = argc > 1 ? argv[1] : sim::DefaultModulePath();
        const sim::PluginModule module = sim::LoadPluginModule(modulePath);

        const sim::ProfileCopy profile("");
        profile.WriteSettings({{"ExpandedMode", "0"}, {"EnableSpindle", "1"}});

        // The wiring of the simulator's built-in machine, plus an input on port 1, pin 15.
        static HostEngineBlock engine{};
        static HostStateBlock state{};
        Output(engine, 16, 1, 16);  // bit stream
        Output(engine, 7, 9, 1);    // relay K1
        Output(engine, 8, 9, 14);   // relay K2
        Output(engine, 9, 8, 1);    // J5 A..D
        Output(engine, 10, 8, 14);
        Output(engine, 11, 8, 16);
        Output(engine, 12, 8, 17, true);
        for (int m = 0; m < 3; ++m) engine.motors[m] = HostMotor{1, 1, 1};
        engine.inputs[22] = HostInputSignal{1, 15, 1, 0, 0};
        engine.estop = 1;
        state.SpinDir = 1;

        module.setProName(sim::HostPath(profile.Path()).c_str());
        module.initControl(reinterpret_cast<intptr_t>(&engine), 0, reinterpret_cast<intptr_t>(&state), 0);
        module.postInitControl();
        std::puts("showing the configuration dialog");
        std::fflush(stdout);
        module.config();  // returns when the window is closed
        module.stopPlug();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "trelvo-dialog-shot: %s\n", e.what());
        return 2;
    } catch (...) {
        std::fprintf(stderr, "trelvo-dialog-shot: failed\n");
        return 2;
    }
}
