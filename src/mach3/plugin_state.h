// Every piece of plug-in-wide state, held in one object with one owner so tests can start afresh.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/transmitter.h"
#include "mach3/assignments/assignments.h"
#include "mach3/host_blocks.h"
#include "mach3/host_link.h"
#include "mach3/log.h"
#include "mach3/settings.h"

class OutputPinAssignment;
class InputPinAssignment;

// The seven host callbacks: stored, never called.
struct HostCallbacks {
    HostCallback doButton = nullptr;
    HostCallback getMenuRange = nullptr;
    HostCallback setDRO = nullptr;
    HostCallback getDRO = nullptr;
    HostCallback getLED = nullptr;
    HostCallback setLED = nullptr;
    HostCallback code = nullptr;
};

// The forced host assignments, created by the first update cycle, released by myCleanUp.
struct Channels {
    std::unique_ptr<OutputPinAssignment> chargePump;
    std::unique_ptr<InputPinAssignment> estop;
    bool firstUpdate = true;
};

struct Identity {
    std::string ProfilePath;
    std::string suffix;
    std::string displayName;
};

struct PluginState {
    PluginState();
    ~PluginState();
    PluginState(const PluginState&) = delete;
    PluginState& operator=(const PluginState&) = delete;

    Settings settings;
    HostLink host;
    HostCallbacks callbacks;
    LogState log;
    ScanResults scan;
    board::Inputs inputs;   // aimed at the host's tables by each scan and each new InitControl
    board::EventSink events;
    board::Transmitter core;
    Channels channels;
    Identity id;
    bool cleanedUp = false;
};

// The one state, reached only by the entry points, the lifecycle and the tests' seam
// (tests/support/plugin_access.h); every room below is handed its part at set-up (ctest plugin_reach).
PluginState& plugin() noexcept;

// Back to the state at load: channel objects released, log closed without its closing line.
void ResetPluginState();

// The host lends these blocks from now on; whatever holds a pointer into the former ones follows.
void BindHostBlocks(HostEngineBlock* engine, HostStateBlock* state) noexcept;
// StopPlug: the channel objects go, in their fixed order, and the host takes its blocks back, so no
// later call can reach them. The next update cycle after a new InitControl creates the objects again.
void ReleaseChannelsAndBlocks() noexcept;
