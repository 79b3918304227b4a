// The machine a Mach3 profile describes, read once: ports, kernel, motors, signals, spindle, homing, the plug-in's section.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/settings.h"
#include "mach3/forced_pins.h"
#include "mach3/host_blocks.h"
#include "platform/xml_document.h"

namespace mach3::machine {

using mach3::kChargePumpOutput;
using mach3::kEStopInput;
using mach3::kStreamPin;
using mach3::kStreamPort;

inline constexpr int kAxes = 6;  // X Y Z A B C; motor 6 is the spindle
inline constexpr const char* kAxisLetters = "XYZABC";
// The host's kernel frequencies, in Hz, by PulseSpeed.
inline constexpr std::array<int, 7> kKernelHz = {25000, 35000, 45000, 60000, 65000, 75000, 100000};

struct Signal {
    bool enabled = false;
    int port = 0, pin = 0;
    bool activeLow = false;
};

struct Encoder {
    bool enabled = false;
    int aPort = 0, aPin = 0, bPort = 0, bPin = 0;
};

struct Motor {
    bool enabled = false;
    int stepPort = 0, stepPin = -1, dirPort = 0, dirPin = -1;
    bool stepLow = false, dirLow = false;  // StepNeg, DirNeg
    double steps = 0;         // per unit
    double velocity = 0;      // units per second
    double acceleration = 0;  // units per second squared
    double min = 0, max = 0;  // soft limits, machine units
    bool homeNeg = false;     // homes towards -
    double refSpeed = 0;      // homing speed, % of velocity
    bool reversed = false;    // M{n}Rev
    bool backlashOn = false;
    double backlash = 0;
};

struct Spindle {
    int cw = 0, ccw = 0, flood = 0, mist = 0;  // output indexes the host uses for them
    bool noSpindle = false, noFlood = false;
    int pulley = 0;
    std::array<double, 26> speed{}, lowSpeed{};  // SPEED{k}, LSPEED{k}: max and min rpm of pulley k
    bool pwm = false;
    double pwmBase = 0, pwmMin = 0;
};

// The plug-in's section as the plug-in reads it, and whether the profile has one.
struct PluginSection {
    bool present = false;
    bool modeSet = false;
    Settings settings;
};

struct Machine {
    int port1Address = 0, port2Address = 0;
    bool port1On = false, port2On = false, port2Input = false;
    int pulseSpeed = 0;
    bool inch = false;  // Units 1
    int pulseWidth = 0, dirPulse = 0, debounce = 0;
    bool softLimit = false, chargeAlwaysOn = false;
    int slave = -1;  // the axis a slave follows, -1 for none
    std::array<Signal, HOST_OUTPUT_COUNT> outputs{};
    std::array<Signal, HOST_INPUT_COUNT> inputs{};
    // Input{i}Emulated: Mach3 takes the input from a key (EmuKey), not from its pin.
    std::array<bool, HOST_INPUT_COUNT> inputEmulated{};
    std::array<Encoder, HOST_ENCODER_COUNT> encoders{};
    std::array<Motor, HOST_MOTOR_COUNT> motors{};
    Spindle spindle;
    PluginSection plugin;
    // Every key read, by its section-qualified name ("Preferences/Steps0"), with its text as the
    // file has it; a key the file lacks is absent here and read as 0.
    std::map<std::string, std::string> raw;

    // The key's text, or "(missing)".
    std::string Raw(const std::string& section, const std::string& key) const;
    // 0 when PulseSpeed names no known frequency.
    int KernelHz() const;
};

// A section's keys: the text of one by name, or nothing when the file lacks it.
class KeySource {
public:
    virtual ~KeySource() = default;
    virtual std::optional<std::string> Text(const std::string& name) const = 0;
};

// The keys of one section of a mapped file, found by name at once: a walk of the element's children
// for each of the few hundred keys made reading a large profile slow.
class KeyIndex {
public:
    KeyIndex(const platform::XmlMap* map, const std::string& section);
    // True when the map tells every key's value: the section was mapped and no key holds an entity
    // the parser could not see.
    bool Complete() const { return mapped_ && !opaque_; }
    bool Mapped() const { return mapped_; }
    // True when the map can tell this key: mapped and not opaque (a missing key is told: absent).
    bool Tells(const std::string& name) const;
    const std::string* Find(const std::string& name) const;

private:
    bool mapped_ = false;
    bool opaque_ = false;
    std::unordered_map<std::string, const platform::XmlElementBytes*> keys_;
};

// Reads a key the way pugixml's as_int does for what a host writes: decimal, or hex with 0x.
int KeyInt(const std::string& text);

// The machine from the Preferences keys and, when the profile has the section, the plug-in's.
Machine Decode(const KeySource& preferences, const KeySource* pluginSection);

// The motors' step and direction pins, which the host keeps in its profile but does not lend the plug-in.
struct MotorPins {
    int stepPin = -1;
    int dirPin = -1;
};
using MotorPinTable = std::array<MotorPins, HOST_MOTOR_COUNT>;

// Fills the engine block's signal tables and the motors' pins as the host does from its port and pin configuration.
void FillEngine(const Machine& m, HostEngineBlock& engine, MotorPinTable& motorPins);

}  // namespace mach3::machine
