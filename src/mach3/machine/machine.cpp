// Decodes a Mach3 profile's keys into the machine model, recording each key's text as the file has it.
#include "mach3/machine/machine.h"

#include <cctype>
#include <cstdlib>

#include "mach3/profile/xml_profile.h"
#include "mach3/settings_keys.h"

namespace mach3::machine {

int KeyInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    const bool hex = text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0;
    const long value = std::strtol(text.c_str() + i + (hex ? 2 : 0), nullptr, hex ? 16 : 10);
    return static_cast<int>(negative ? -value : value);
}

KeyIndex::KeyIndex(const platform::XmlMap* map, const std::string& section) {
    if (map == nullptr) return;
    for (const platform::XmlElementBytes& element : map->root.children) {
        if (element.name != section) continue;
        mapped_ = true;
        for (const platform::XmlElementBytes& key : element.children) {
            keys_.emplace(key.name, &key);  // the first wins
            opaque_ = opaque_ || key.opaque;
        }
        return;
    }
}

bool KeyIndex::Tells(const std::string& name) const {
    if (!mapped_) return false;
    const auto at = keys_.find(name);
    return at == keys_.end() || !at->second->opaque;
}

const std::string* KeyIndex::Find(const std::string& name) const {
    const auto at = keys_.find(name);
    return at == keys_.end() ? nullptr : &at->second->text;
}

std::string Machine::Raw(const std::string& section, const std::string& key) const {
    const auto at = raw.find(section + "/" + key);
    return at == raw.end() ? "(missing)" : at->second;
}

int Machine::KernelHz() const {
    return pulseSpeed >= 0 && pulseSpeed < static_cast<int>(kKernelHz.size()) ? kKernelHz[pulseSpeed] : 0;
}

namespace {

// One section's keys, each recorded in the model as it is read.
class Reader {
public:
    Reader(const KeySource& source, const std::string& section, Machine& m) : source_(source), section_(section), m_(m) {}
    std::optional<std::string> Text(const std::string& name) const {
        std::optional<std::string> text = source_.Text(name);
        if (text) m_.raw.emplace(section_ + "/" + name, *text);
        return text;
    }
    int Int(const std::string& name) const {
        const std::optional<std::string> text = Text(name);
        return text ? KeyInt(*text) : 0;
    }
    bool Flag(const std::string& name) const { return Int(name) != 0; }
    // Decimal with a point, as the host writes velocities and step counts; anything else reads as 0.
    double Real(const std::string& name) const {
        const std::optional<std::string> text = Text(name);
        if (!text) return 0;
        char* end = nullptr;
        const double value = std::strtod(text->c_str(), &end);
        return end == text->c_str() ? 0 : value;
    }

private:
    const KeySource& source_;
    std::string section_;
    Machine& m_;
};

// Outputs and inputs keep the same four keys: {prefix}{i}Active, Port, Pin and Neg.
Signal ReadSignal(const Reader& r, const std::string& p) {
    return Signal{r.Flag(p + "Active"), r.Int(p + "Port"), r.Int(p + "Pin"), r.Flag(p + "Neg")};
}

}  // namespace

Machine Decode(const KeySource& preferences, const KeySource* pluginSection) {
    Machine m;
    const Reader r(preferences, "Preferences", m);
    for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) m.outputs[i] = ReadSignal(r, "Output" + std::to_string(i));
    for (int i = 0; i < HOST_INPUT_COUNT; ++i) {
        m.inputs[i] = ReadSignal(r, "Input" + std::to_string(i));
        m.inputEmulated[i] = r.Flag("Input" + std::to_string(i) + "Emulated");
    }
    for (int i = 0; i < HOST_MOTOR_COUNT; ++i) {
        const std::string p = "Motor" + std::to_string(i), n = std::to_string(i);
        Motor& motor = m.motors[i];
        motor.enabled = r.Flag(p + "Active");
        motor.stepPort = r.Int(p + "StepPort");
        motor.dirPort = r.Int(p + "DirPort");
        motor.stepPin = r.Int(p + "StepPin");
        motor.dirPin = r.Int(p + "DirPin");
        motor.stepLow = r.Flag(p + "StepNeg");
        motor.dirLow = r.Flag(p + "DirNeg");
        motor.steps = r.Real("Steps" + n);
        motor.velocity = r.Real("Vel" + n);
        motor.acceleration = r.Real("Acc" + n);
        if (i >= kAxes) continue;
        const std::string mn = "M" + n;
        motor.min = r.Real(mn + "Min");
        motor.max = r.Real(mn + "Max");
        motor.homeNeg = r.Flag(mn + "Neg");
        motor.refSpeed = r.Real("RefSpeed" + n);
        motor.reversed = r.Flag(mn + "Rev");
        motor.backlashOn = r.Flag("BLState" + n);
        motor.backlash = r.Real(std::string("Back") + kAxisLetters[i]);
    }
    for (int i = 0; i < HOST_ENCODER_COUNT; ++i) {
        const std::string p = "Encoder" + std::to_string(i);
        m.encoders[i] = Encoder{r.Flag(p + "Active"), r.Int(p + "APort"), r.Int(p + "APin"), r.Int(p + "BPort"),
                                r.Int(p + "BPin")};
    }
    const std::optional<std::string> slave = r.Text("Slave");
    m.slave = slave ? KeyInt(*slave) : -1;
    m.port1Address = r.Int("Port1Add");
    m.port2Address = r.Int("Port2Add");
    m.port1On = r.Flag("Port1On");
    m.port2On = r.Flag("Port2On");
    m.port2Input = r.Flag("Port2Input");
    m.pulseSpeed = r.Int("PulseSpeed");
    m.inch = r.Int("Units") == 1;
    m.pulseWidth = r.Int("PulseWidth");
    m.dirPulse = r.Int("DirPulse");
    m.debounce = r.Int("Debounce");
    m.softLimit = r.Flag("SoftLimit");
    m.chargeAlwaysOn = r.Flag("ChargeAlwaysOn");
    // A backlash flag per axis counts only while the global one is on.
    if (!r.Flag("BacklashOn"))
        for (Motor& motor : m.motors) motor.backlashOn = false;
    Spindle& s = m.spindle;
    s.cw = r.Int("SpinCW");
    s.ccw = r.Int("SpinCCW");
    s.flood = r.Int("Flood");
    s.mist = r.Int("Mist");
    s.noSpindle = r.Flag("NoSpindle");
    s.noFlood = r.Flag("NoFlood");
    s.pulley = r.Int("PULLEY");
    for (size_t k = 0; k < s.speed.size(); ++k) {
        s.speed[k] = r.Real("SPEED" + std::to_string(k));
        s.lowSpeed[k] = r.Real("LSPEED" + std::to_string(k));
    }
    s.pwm = r.Flag("PWM");
    s.pwmBase = r.Real("PWMBase");
    s.pwmMin = r.Real("PWMin");
    if (pluginSection != nullptr) {
        const Reader plugin(*pluginSection, kProfileSection, m);
        m.plugin.present = true;
        m.plugin.modeSet = plugin.Text("ExpandedMode").has_value();
        ReadSettingsKeys(
            [&](const char* key, int fallback) {
                const std::optional<std::string> text = plugin.Text(key);
                return text ? LeadingInt(*text) : fallback;
            },
            m.plugin.settings);
    } else {
        ReadSettingsKeys([](const char*, int fallback) { return fallback; }, m.plugin.settings);
    }
    return m;
}

void FillEngine(const Machine& m, HostEngineBlock& engine, MotorPinTable& motorPins) {
    auto fill = [](const Signal& from, auto& to) {
        to.enabled = from.enabled;
        to.port = static_cast<int8_t>(from.port);
        to.pin = static_cast<int8_t>(from.pin);
        to.activeLow = from.activeLow;
    };
    for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) fill(m.outputs[i], engine.outputs[i]);
    for (int i = 0; i < HOST_INPUT_COUNT; ++i) fill(m.inputs[i], engine.inputs[i]);
    for (int i = 0; i < HOST_MOTOR_COUNT; ++i) {
        const Motor& from = m.motors[i];
        HostMotor& to = engine.motors[i];
        to.enabled = from.enabled;
        to.stepPort = static_cast<int8_t>(from.stepPort);
        to.dirPort = static_cast<int8_t>(from.dirPort);
        motorPins[i] = MotorPins{from.stepPin, from.dirPin};
    }
    for (int i = 0; i < HOST_ENCODER_COUNT; ++i) {
        const Encoder& from = m.encoders[i];
        HostEncoder& to = engine.encoders[i];
        to.enabled = from.enabled;
        to.aPort = from.aPort;
        to.aPin = from.aPin;
        to.bPort = from.bPort;
        to.bPin = from.bPin;
    }
}

}  // namespace mach3::machine
