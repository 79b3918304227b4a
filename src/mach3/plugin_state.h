// Every piece of plug-in-wide state, held in one object with one owner so tests can start afresh.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/transmitter.h"
#include "mach3/host_blocks.h"
#include "mach3/settings.h"

class OutputPinAssignment;
class InputPinAssignment;

// Markers held by ExpandedAssignments and bitStreamIndex instead of an output index.
enum : int32_t {
    ASSIGN_NOT_AVAILABLE = -1,
    ASSIGN_NONE = -2,
    ASSIGN_NO_STREAM = -3,
    ASSIGN_DIPSW_JP1 = -4,
    ASSIGN_DIPSW_JP2 = -5,
};

// What InitControl lends, kept from then on.
struct HostLink {
    HostEngineBlock* engine = nullptr;
    intptr_t arg2 = 0;
    HostStateBlock* state = nullptr;
    intptr_t arg4 = 0;
};

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

struct LogState {
    void* file = nullptr;  // a handle from the file seam, or none
    int32_t threshold = 0;
    std::string pendingStatus;  // a report made before InitControl lent the status text
    std::vector<std::pair<int32_t, std::string>> pendingLines;  // reports made before the log opened
};

// Results of the last assignment scan. Before the first scan nothing is assigned, so no frame
// bit can land in host output 0.
struct ScanResults {
    int32_t ExpandedAssignments[8] = {ASSIGN_NONE, ASSIGN_NONE, ASSIGN_NONE, ASSIGN_NONE,
                                      ASSIGN_NONE, ASSIGN_NONE, ASSIGN_NONE, ASSIGN_NONE};
    int32_t bitStreamIndex = ASSIGN_NO_STREAM;
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

extern PluginState g_plugin;

inline PluginState& plugin() noexcept { return g_plugin; }

// Back to the state at load: channel objects released, log closed without its closing line.
void ResetPluginState();

// The host lends these blocks from now on; whatever holds a pointer into the former ones follows.
void BindHostBlocks(HostEngineBlock* engine, HostStateBlock* state) noexcept;
// StopPlug: the channel objects go, in their fixed order, and the host takes its blocks back, so no
// later call can reach them. The next update cycle after a new InitControl creates the objects again.
void ReleaseChannelsAndBlocks() noexcept;
