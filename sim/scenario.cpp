// Line tokenizer and statement reader for scenario files.
#include "scenario.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string_view>

namespace sim {
namespace {

class Line {
public:
    Line(int number, std::vector<std::string> tokens) : number_(number), tokens_(std::move(tokens)) {}

    int Number() const { return number_; }
    bool AtEnd() const { return pos_ >= tokens_.size(); }
    [[noreturn]] void Fail(const std::string& what) const { throw ScenarioError(number_, what); }

    std::string Next(const char* expected) {
        if (AtEnd()) Fail(std::string("missing ") + expected);
        return tokens_[pos_++];
    }

    // Takes the next token when it is this keyword.
    bool Accept(const char* keyword) {
        if (AtEnd() || tokens_[pos_] != keyword) return false;
        ++pos_;
        return true;
    }

    void Expect(const char* keyword) {
        const std::string token = Next(keyword);
        if (token != keyword) Fail("expected '" + std::string(keyword) + "', found '" + token + "'");
    }

    int64_t Integer(const char* what, int64_t lo, int64_t hi) {
        const std::string token = Next(what);
        const char* text = token.c_str();
        bool negative = false;
        if (*text == '-') {
            negative = true;
            ++text;
        }
        int base = 10;
        if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            base = 16;
            text += 2;
        }
        if (*text == '\0' || *text == '+' || *text == '-' || *text == ' ') Fail(std::string("bad ") + what + " '" + token + "'");
        errno = 0;
        char* end = nullptr;
        const unsigned long long magnitude = std::strtoull(text, &end, base);
        if (*end != '\0' || errno == ERANGE || magnitude > static_cast<unsigned long long>(std::numeric_limits<int64_t>::max()))
            Fail(std::string("bad ") + what + " '" + token + "'");
        const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
        if (value < lo || value > hi)
            Fail(std::string(what) + " " + token + " out of range " + std::to_string(lo) + ".." + std::to_string(hi));
        return value;
    }

    double Decimal(const char* what) {
        const std::string token = Next(what);
        errno = 0;
        char* end = nullptr;
        const double value = std::strtod(token.c_str(), &end);
        // strtod would also take hex floats, inf and nan; a ratio is a plain decimal number.
        const bool plain = token.find_first_not_of("0123456789.-+eE") == std::string::npos;
        if (token.empty() || *end != '\0' || errno == ERANGE || !plain) Fail(std::string("bad ") + what + " '" + token + "'");
        return value;
    }

    bool OnOff(const char* what) {
        const std::string token = Next(what);
        if (token == "on") return true;
        if (token == "off") return false;
        Fail(std::string(what) + " must be on or off, not '" + token + "'");
    }

    // Trailing flags such as active-low and disabled, each allowed once.
    void Flags(bool* activeLow, bool* enabled) {
        bool sawLow = false, sawDisabled = false;
        while (!AtEnd()) {
            const std::string token = Next("flag");
            if (activeLow && token == "active-low" && !sawLow) {
                *activeLow = sawLow = true;
            } else if (token == "disabled" && !sawDisabled) {
                *enabled = false;
                sawDisabled = true;
            } else {
                Fail("unexpected '" + token + "'");
            }
        }
    }

    void Done() {
        if (!AtEnd()) Fail("unexpected '" + tokens_[pos_] + "'");
    }

private:
    int number_;
    std::vector<std::string> tokens_;
    size_t pos_ = 0;
};

constexpr int64_t kPortPinMax = 127;  // the host keeps ports and pins in signed bytes

// Outputs and inputs are wired the same way; only the index range differs.
template <typename Wiring>
Wiring ReadPinWiring(Line& line, const char* what, int64_t lastIndex) {
    Wiring w;
    w.index = static_cast<int>(line.Integer(what, 0, lastIndex));
    line.Expect("port");
    w.port = static_cast<int>(line.Integer("port", 0, kPortPinMax));
    line.Expect("pin");
    w.pin = static_cast<int>(line.Integer("pin", 0, kPortPinMax));
    line.Flags(&w.activeLow, &w.enabled);
    return w;
}

OutputWiring ReadOutput(Line& line) { return ReadPinWiring<OutputWiring>(line, "output index", 29); }

InputWiring ReadInput(Line& line) { return ReadPinWiring<InputWiring>(line, "input index", 52); }

EncoderWiring ReadEncoder(Line& line) {
    EncoderWiring w;
    w.index = static_cast<int>(line.Integer("encoder index", 0, 6));
    line.Expect("a");
    w.aPort = static_cast<int>(line.Integer("port", 0, kPortPinMax));
    w.aPin = static_cast<int>(line.Integer("pin", 0, kPortPinMax));
    line.Expect("b");
    w.bPort = static_cast<int>(line.Integer("port", 0, kPortPinMax));
    w.bPin = static_cast<int>(line.Integer("pin", 0, kPortPinMax));
    line.Flags(nullptr, &w.enabled);
    return w;
}

MotorWiring ReadMotor(Line& line) {
    MotorWiring w;
    w.index = static_cast<int>(line.Integer("motor index", 0, 6));
    line.Expect("step-port");
    w.stepPort = static_cast<int>(line.Integer("port", 0, kPortPinMax));
    line.Expect("dir-port");
    w.dirPort = static_cast<int>(line.Integer("port", 0, kPortPinMax));
    // The pins are optional: without them the check cannot tell an output on a motor's pin.
    if (line.Accept("step-pin")) w.stepPin = static_cast<int>(line.Integer("pin", 0, kPortPinMax));
    if (line.Accept("dir-pin")) w.dirPin = static_cast<int>(line.Integer("pin", 0, kPortPinMax));
    line.Flags(nullptr, &w.enabled);
    return w;
}

// The dialog's words are checked here so that a typo stops the run before it starts.
std::string ReadDialogActions(Line& line) {
    std::string actions;
    auto add = [&](const std::string& word) { actions += (actions.empty() ? "" : " ") + word; };
    if (line.AtEnd()) line.Fail("config needs at least one dialog action");
    while (!line.AtEnd()) {
        const std::string action = line.Next("dialog action");
        if (action == "mode") {
            const std::string value = line.Next("mode 0, 1, 2 or none");
            if (value != "0" && value != "1" && value != "2" && value != "none")
                line.Fail("mode must be 0, 1, 2 or none, not '" + value + "'");
            add(action + " " + value);
        } else if (action == "spindle" || action == "demo") {
            add(action + (line.OnOff(action.c_str()) ? " on" : " off"));
        } else if (action == "ok" || action == "cancel" || action == "refresh" || action == "enter" ||
                   action == "escape" || action == "close") {
            add(action);
        } else {
            line.Fail("unknown dialog action '" + action + "'");
        }
    }
    return actions;
}

Event ReadEvent(Line& line) {
    Event e;
    e.line = line.Number();
    e.cycle = line.Integer("cycle", 0, std::numeric_limits<int64_t>::max());
    const std::string what = line.Next("event");
    if (what == "estop") {
        e.kind = EventKind::EStop;
        e.on = line.OnOff("estop");
    } else if (what == "output") {
        e.kind = EventKind::Output;
        e.index = static_cast<int>(line.Integer("output index", 0, 29));
        e.on = line.OnOff("output");
    } else if (what == "spindle") {
        e.kind = EventKind::Spindle;
        e.on = line.OnOff("spindle");
    } else if (what == "spindle-dir") {
        e.kind = EventKind::SpindleDir;
        const std::string dir = line.Next("cw or ccw");
        if (dir != "cw" && dir != "ccw") line.Fail("spindle-dir must be cw or ccw, not '" + dir + "'");
        e.on = dir == "cw";
    } else if (what == "spindle-ratio") {
        e.kind = EventKind::SpindleRatio;
        e.ratio = line.Decimal("ratio");
    } else if (what == "notify") {
        e.kind = EventKind::Notify;
        const int64_t code = line.Integer("notify code", std::numeric_limits<int32_t>::min(),
                                          std::numeric_limits<uint32_t>::max());
        e.code = static_cast<int32_t>(static_cast<uint32_t>(code));
    } else if (what == "config") {
        e.kind = EventKind::Config;
        e.actions = ReadDialogActions(line);
    } else if (what == "rewire") {
        e.kind = EventKind::Rewire;
        line.Expect("output");
        e.rewire = ReadOutput(line);
    } else {
        line.Fail("unknown event '" + what + "'");
    }
    line.Done();
    return e;
}

// The keys the plug-in reads from its section; anything else would be written and never read.
constexpr const char* kSettingKeys[] = {"ExpandedMode", "EnableSpindle",   "DemoMode",     "zzzzz",
                                        "EnableDebug",  "SimMode",         "PostEStopDelay", "IdleDelay",
                                        "IntraFrameDelay", "DebugLogFile", "DebugLogLevel"};

// Edit distance, letter case aside, so that a typo finds the key it was meant to be.
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            const size_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

void CheckSettingKey(const Line& line, const std::string& key) {
    const char* nearest = kSettingKeys[0];
    for (const char* known : kSettingKeys) {
        if (key == known) return;
        if (Distance(key, known) < Distance(key, nearest)) nearest = known;
    }
    line.Fail("unknown setting '" + key + "'; did you mean " + nearest + "?");
}

std::vector<std::string> Tokens(std::string text) {
    if (const size_t hash = text.find('#'); hash != std::string::npos) text.erase(hash);
    std::vector<std::string> tokens;
    std::istringstream in(text);
    for (std::string token; in >> token;) tokens.push_back(token);
    return tokens;
}

}  // namespace

Scenario ParseScenario(const std::string& text) {
    Scenario scenario;
    bool sawRun = false;
    // Some Windows editors start a UTF-8 file with a byte-order mark; it is not part of the first line.
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    std::istringstream in(text.compare(0, kBom.size(), kBom) == 0 ? text.substr(kBom.size()) : text);
    int number = 0;
    for (std::string raw; std::getline(in, raw);) {
        ++number;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        Line line(number, Tokens(raw));
        if (line.AtEnd()) continue;
        const std::string keyword = line.Next("statement");
        if (keyword == "output") {
            scenario.wiring.emplace_back(ReadOutput(line));
        } else if (keyword == "input") {
            scenario.wiring.emplace_back(ReadInput(line));
        } else if (keyword == "encoder") {
            scenario.wiring.emplace_back(ReadEncoder(line));
        } else if (keyword == "motor") {
            scenario.wiring.emplace_back(ReadMotor(line));
        } else if (keyword == "setting") {
            std::string key = line.Next("setting key");
            std::string value = line.Next("setting value");
            line.Done();
            CheckSettingKey(line, key);
            scenario.settings.emplace_back(std::move(key), std::move(value));
        } else if (keyword == "at") {
            scenario.events.push_back(ReadEvent(line));
        } else if (keyword == "run") {
            if (sawRun) line.Fail("run given twice");
            scenario.cycles = line.Integer("cycle count", 0, 100'000'000);
            line.Done();
            sawRun = true;
        } else {
            line.Fail("unknown statement '" + keyword + "'");
        }
    }
    std::stable_sort(scenario.events.begin(), scenario.events.end(),
                     [](const Event& a, const Event& b) { return a.cycle < b.cycle; });
    return scenario;
}

}  // namespace sim
