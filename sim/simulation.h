// One run of the plug-in under the simulated host: host blocks, pin and board models, outputs.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "mach3/forced_pins.h"
#include "mach3/host_blocks.h"
#include "plugin_module.h"
#include "profile_setup.h"
#include "scenario.h"

namespace sim {

// The host signals the plug-in forces onto fixed pins: the charge-pump output and the EStop input.
using mach3::kChargePumpOutput;
using mach3::kEStopInput;

struct RunOptions {
    std::string profilePath;     // the user's profile, only ever read; empty: a fresh one
    std::string profileOutPath;  // where the profile goes as the plug-in left it after StopPlug
    std::string wirePath;
    std::string framesPath;
    std::string vcdPath;
    std::string logPath;  // where the plug-in's debug log goes after the run (--log)
};

// The level a port/pin shows: state XOR active-low of the enabled output with the highest index on
// it, or nothing when no enabled output drives it.
std::optional<int> PinLevel(const HostEngineBlock& engine, int port, int pin);
// Index of the enabled output that drives a port/pin, or -1.
int DrivingOutput(const HostEngineBlock& engine, int port, int pin);

// The spindle command word the host state asks for.
int ExpectedSpindleWord(const HostStateBlock& state);

// A host output as the account and the check name it: output 16 "Output #7".
std::string OutputLabel(int index);

// The simulated host around the loaded plug-in, driven one cycle at a time. Construction prepares
// the profile copy and the wiring, writes the account's header and makes the start-up calls.
// Throws std::runtime_error when the profile or an output file cannot be read or written.
class HostRun {
public:
    HostRun(const Scenario& setup, const PluginModule& module, const RunOptions& options, std::ostream& account);
    ~HostRun();
    HostRun(const HostRun&) = delete;
    HostRun& operator=(const HostRun&) = delete;

    // Applies one timeline event before the current cycle's Update.
    void Apply(const Event& event);
    // One Update, then what the pin and the board did.
    void Cycle();
    // StopPlug, then the profile to --profile-out and the debug log to --log.
    void Finish();
    // The closing summary of the account.
    void Summary();

    int64_t Now() const;  // the cycle the next Cycle() runs
    HostEngineBlock& Engine();
    const HostStateBlock& State() const;
    const BoardLatches& Latches() const;
    int FramesReceived() const;  // good frames so far
    // Every warning box the plug-in showed so far, caption and text.
    std::vector<std::string> Warnings() const;
    // What the last showing of the dialog displayed; empty when the module shows none to a test host.
    std::string LastDialog() const;
    int ReadSetting(const std::string& key, int defaultValue) const;
    std::vector<int> ReadSettings(const std::vector<std::pair<std::string, int>>& keys) const;
    const ProfileCopy& Profile() const;  // the copy the plug-in runs on
    // The motors' step and direction pins, which the engine block does not carry.
    const MotorPinTable& MotorPinsOf() const;
    // The profile's machine as read before the run; all defaults without a profile.
    const mach3::machine::Machine& Machine() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Runs the scenario to its last cycle.
void RunScenario(const Scenario& scenario, const PluginModule& module, const RunOptions& options,
                 std::ostream& account);

}  // namespace sim
