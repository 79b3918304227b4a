// A module with SetProName and InitControl but no Update: what a wrong file looks like to the host.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) const char* SetProName(const char*) { return "fake"; }
extern "C" __attribute__((visibility("default"))) bool InitControl(intptr_t, intptr_t, intptr_t, intptr_t) { return true; }
