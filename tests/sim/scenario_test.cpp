// The scenario reader: what each statement yields, and the line and reason of what it refuses.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "scenario.h"

namespace {

TEST(ScenarioParse, ReadsEveryStatement) {
    const sim::Scenario s = sim::ParseScenario(
        "# comment line\n"
        "output 16 port 1 pin 16 active-low   # trailing comment\n"
        "input 25 port 1 pin 10 disabled\n"
        "encoder 2 a 3 4 b 5 6\n"
        "motor 1 step-port 8 dir-port 1 step-pin 2 disabled\n"
        "setting ExpandedMode 0\n"
        "\n"
        "at 0x20 estop off\n"
        "at 5 output 7 on\n"
        "at 5 spindle-ratio 0.25\n"
        "at 6 spindle-dir ccw\n"
        "at 7 notify -1\n"
        "at 7 notify 0x12000E\n"
        "at 3 config mode none spindle on ok\n"
        "at 9 rewire output 3 port 9 pin 14 active-low disabled\n"
        "run 300\n");
    ASSERT_EQ(s.wiring.size(), 4u);
    const auto& out = std::get<sim::OutputWiring>(s.wiring[0]);
    EXPECT_EQ(out.index, 16);
    EXPECT_TRUE(out.activeLow);
    EXPECT_TRUE(out.enabled);
    EXPECT_FALSE(std::get<sim::InputWiring>(s.wiring[1]).enabled);
    const auto& enc = std::get<sim::EncoderWiring>(s.wiring[2]);
    EXPECT_EQ(enc.aPort * 1000 + enc.aPin * 100 + enc.bPort * 10 + enc.bPin, 3456);
    const auto& motor = std::get<sim::MotorWiring>(s.wiring[3]);
    EXPECT_EQ(motor.stepPort * 100 + motor.stepPin * 10 + motor.dirPin, 8 * 100 + 2 * 10 - 1);  // no dir-pin: -1
    ASSERT_EQ(s.settings.size(), 1u);
    EXPECT_EQ(s.settings[0].second, "0");
    EXPECT_EQ(s.cycles, 300);

    // Sorted by cycle, file order kept within a cycle.
    ASSERT_EQ(s.events.size(), 8u);
    EXPECT_EQ(s.events[0].kind, sim::EventKind::Config);
    EXPECT_EQ(s.events[0].actions, "mode none spindle on ok");
    EXPECT_EQ(s.events[1].kind, sim::EventKind::Output);
    EXPECT_EQ(s.events[2].kind, sim::EventKind::SpindleRatio);
    EXPECT_DOUBLE_EQ(s.events[2].ratio, 0.25);
    EXPECT_FALSE(s.events[3].on);  // ccw
    EXPECT_EQ(s.events[4].code, -1);
    EXPECT_EQ(s.events[5].code, 0x12000E);
    EXPECT_FALSE(s.events[6].rewire.enabled);
    EXPECT_EQ(s.events[6].rewire.pin, 14);
    EXPECT_EQ(s.events[7].cycle, 0x20);
}

TEST(ScenarioParse, DefaultsToAThousandCycles) { EXPECT_EQ(sim::ParseScenario("").cycles, 1000); }

struct BadLine {
    const char* text;
    int line;
    const char* reason;
};

class ScenarioErrors : public ::testing::TestWithParam<BadLine> {};

TEST_P(ScenarioErrors, NamesLineAndReason) {
    const BadLine& c = GetParam();
    try {
        sim::ParseScenario(c.text);
        FAIL() << "accepted: " << c.text;
    } catch (const sim::ScenarioError& e) {
        EXPECT_EQ(e.Line(), c.line);
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("scenario:" + std::to_string(c.line) + ": ", 0), 0u) << what;
        EXPECT_NE(what.find(c.reason), std::string::npos) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ScenarioErrors,
    ::testing::Values(BadLine{"output 30 port 1 pin 16", 1, "out of range"},
                      BadLine{"\n\ninput 53 port 1 pin 1", 3, "out of range"},
                      BadLine{"output 1 port 1 pin", 1, "missing pin"},
                      BadLine{"output 1 port 1 pins 16", 1, "expected 'pin'"},
                      BadLine{"output 1 port 1 pin 16 active-high", 1, "unexpected 'active-high'"},
                      BadLine{"encoder 7 a 1 2 b 1 3", 1, "out of range"},
                      BadLine{"motor 0 step-port 1", 1, "missing dir-port"},
                      BadLine{"motor 0 step-port 1 dir-port 1 dir-pin 3 step-pin 2", 1, "unexpected 'step-pin'"},
                      BadLine{"output 1 port 128 pin 16", 1, "out of range"},
                      BadLine{"setting ExpandedMode", 1, "missing setting value"},
                      BadLine{"setting A 1 2", 1, "unexpected '2'"},
                      BadLine{"setting IdelDelay 3", 1, "unknown setting 'IdelDelay'; did you mean IdleDelay?"},
                      BadLine{"at x estop off", 1, "bad cycle"},
                      BadLine{"at -1 estop off", 1, "out of range"},
                      BadLine{"at 3 estop maybe", 1, "on or off"},
                      BadLine{"at 3 spindle-dir left", 1, "cw or ccw"},
                      BadLine{"at 3 spindle-ratio half", 1, "bad ratio"},
                      BadLine{"at 3 spindle-ratio 0x1p-1", 1, "bad ratio"},
                      BadLine{"at 3 config", 1, "at least one dialog action"},
                      BadLine{"at 3 config mode 3 ok", 1, "mode must be"},
                      BadLine{"at 3 config press ok", 1, "unknown dialog action"},
                      BadLine{"at 3 rewire input 1 port 1 pin 1", 1, "expected 'output'"},
                      BadLine{"at 3 jump", 1, "unknown event"},
                      BadLine{"at 3 output 7 on off", 1, "unexpected 'off'"},
                      BadLine{"run 10\nrun 20", 2, "run given twice"},
                      BadLine{"Output 1 port 1 pin 1", 1, "unknown statement"},
                      BadLine{"run 0x", 1, "bad cycle count"}));

}  // namespace
