// Every exported entry point of the module: translate the arguments, forward, let nothing escape.
#include "mach3/host_blocks.h"
#include "mach3/lifecycle.h"
#include "mach3/plugin_state.h"
#include "mach3/update/update.h"
#include "platform/module_startup.h"

#if defined(_WIN32)
#define TRELVO_EXPORT
#else
#define TRELVO_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

TRELVO_EXPORT const char* HOST_CALL SetProName(const char* profilePath) {
    platform::StartModuleServices();
    return PlugSetProName(profilePath);
}

TRELVO_EXPORT bool HOST_CALL InitControl(intptr_t engine, intptr_t arg2, intptr_t state, intptr_t arg4) {
    return PlugInitControl(engine, arg2, state, arg4);
}

TRELVO_EXPORT void HOST_CALL PostInitControl(void) { PlugPostInitControl(); }
TRELVO_EXPORT void HOST_CALL Update(void) { myUpdate(plugin()); }
TRELVO_EXPORT void HOST_CALL Notify(int32_t code) { myNotify(code); }
TRELVO_EXPORT void HOST_CALL Config(void) { PlugConfig(); }
TRELVO_EXPORT void HOST_CALL StopPlug(void) { myCleanUp(); }

TRELVO_EXPORT void HOST_CALL SetDoButton(HostCallback fn) { plugin().callbacks.doButton = fn; }
TRELVO_EXPORT void HOST_CALL SetGetMenuRange(HostCallback fn) { plugin().callbacks.getMenuRange = fn; }
TRELVO_EXPORT void HOST_CALL SetSetDRO(HostCallback fn) { plugin().callbacks.setDRO = fn; }
TRELVO_EXPORT void HOST_CALL SetGetDRO(HostCallback fn) { plugin().callbacks.getDRO = fn; }
TRELVO_EXPORT void HOST_CALL SetGetLED(HostCallback fn) { plugin().callbacks.getLED = fn; }
TRELVO_EXPORT void HOST_CALL SetSetLED(HostCallback fn) { plugin().callbacks.setLED = fn; }
TRELVO_EXPORT void HOST_CALL SetCode(HostCallback fn) { plugin().callbacks.code = fn; }

// The host passes arguments to these; with the caller cleaning the stack they can be ignored.
TRELVO_EXPORT void HOST_CALL DoDwell(void) {}
TRELVO_EXPORT void HOST_CALL Reset(void) {}
TRELVO_EXPORT void HOST_CALL JogOn(void) {}
TRELVO_EXPORT void HOST_CALL JogOff(void) {}
TRELVO_EXPORT void HOST_CALL Purge(void) {}
TRELVO_EXPORT void HOST_CALL Probe(void) {}
TRELVO_EXPORT void HOST_CALL Home(void) {}

}  // extern "C"
