// A scenario file read into wiring, settings and a timeline, checked before anything runs.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace sim {

struct OutputWiring {
    int index = 0;
    int port = 0;
    int pin = 0;
    bool activeLow = false;
    bool enabled = true;
};

struct InputWiring {
    int index = 0;
    int port = 0;
    int pin = 0;
    bool activeLow = false;
    bool enabled = true;
};

struct EncoderWiring {
    int index = 0;
    int aPort = 0;
    int aPin = 0;
    int bPort = 0;
    int bPin = 0;
    bool enabled = true;
};

struct MotorWiring {
    int index = 0;
    int stepPort = 0;
    int dirPort = 0;
    int stepPin = -1;  // -1: the line names no pin
    int dirPin = -1;
    bool enabled = true;
};

using Wiring = std::variant<OutputWiring, InputWiring, EncoderWiring, MotorWiring>;

enum class EventKind { EStop, Output, Spindle, SpindleDir, SpindleRatio, Notify, Config, Rewire };

struct Event {
    int64_t cycle = 0;
    int line = 0;
    EventKind kind = EventKind::EStop;
    int index = 0;         // Output
    bool on = false;       // EStop, Output, Spindle; SpindleDir: clockwise
    double ratio = 0.0;    // SpindleRatio
    int32_t code = 0;      // Notify
    std::string actions;   // Config: the dialog actions, blank-separated
    OutputWiring rewire;   // Rewire
};

struct Scenario {
    std::vector<Wiring> wiring;  // in file order, later lines replace earlier entries
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<Event> events;   // sorted by cycle, file order kept within a cycle
    int64_t cycles = 1000;
};

class ScenarioError : public std::runtime_error {
public:
    ScenarioError(int line, const std::string& what)
        : std::runtime_error("scenario:" + std::to_string(line) + ": " + what), line_(line) {}
    int Line() const { return line_; }

private:
    int line_;
};

// Throws ScenarioError for the first line that cannot be read.
Scenario ParseScenario(const std::string& text);

}  // namespace sim
