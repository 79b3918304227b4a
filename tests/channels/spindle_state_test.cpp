// SpindleState command words, the duty clamp, the state dump text, and the demo word pattern.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "channels/spindle_state.h"
#include "host/plugin_state.h"
#include "support/test_support.h"

namespace {

class SpindleStateTest : public testsupport::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        LoadSettings({{"ExpandedMode", "1"}});
        Init();
    }

    int32_t WordFor(uint8_t on, int32_t dir, double ratio) {
        state_.m_SpindleOn = on;
        state_.SpinDir = dir;
        state_.SpindleFM.ratio = ratio;
        return spindle_.GetCommandWord();
    }

    SpindleState spindle_;
};

TEST_F(SpindleStateTest, CommandWordFromHostState) {
    struct Case {
        uint8_t on;
        int32_t dir;
        double ratio;
        int32_t word;
    };
    const Case cases[] = {
        {0, 1, 0.0, 0x400},
        {1, 0, 0.5, 0xA00},
        {1, 1, 0.5, 0x200},
        {1, 1, 0.25, 0x100},
        {1, 1, 1.0, 0x3FF},
        {0, 0, 1.0, 0xFFF},
        {1, 2, 0.0, 0x800},   // any direction but 1 is not clockwise
        {1, -1, 0.0, 0x800},
        {1, 0x101, 0.0, 0x800},
        {7, 1, 0.0, 0x000},   // any non-zero spindle flag is on
        {1, 1, 0.000488, 0x000},
        {1, 1, 0.000489, 0x001},
        {1, 1, 640.0 / 1023.0, 640},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "on " << int(c.on) << " dir " << c.dir << " ratio " << c.ratio);
        EXPECT_EQ(WordFor(c.on, c.dir, c.ratio), c.word);
        EXPECT_EQ(spindle_.isOn, c.on != 0);
        EXPECT_EQ(spindle_.dirCW, c.dir == 1);
        EXPECT_EQ(spindle_.dutyCycle, c.word & 0x3FF);
    }
}

// A ratio outside 0..1 must not spill into the off and direction bits.
TEST_F(SpindleStateTest, RatioOutsideRangeIsClampedAndFlagsStayIntact) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double ratio;
        int32_t duty;
    };
    const Case cases[] = {
        {1.0000001, 1023}, {1.5, 1023}, {4.0, 1023}, {1e12, 1023},  {inf, 1023},
        {-0.0001, 0},      {-0.00147, 0}, {-0.5, 0},  {-1e12, 0},    {-inf, 0},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const Case& c : cases) {
        for (uint8_t on : {0, 1}) {
            for (int32_t dir : {0, 1}) {
                SCOPED_TRACE(testing::Message() << "ratio " << c.ratio << " on " << int(on) << " dir " << dir);
                const int32_t word = WordFor(on, dir, c.ratio);
                EXPECT_EQ(word & 0x3FF, c.duty);
                EXPECT_EQ((word & 0x400) != 0, on == 0);
                EXPECT_EQ((word & 0x800) != 0, dir != 1);
                EXPECT_EQ(word & ~0xFFF, 0);
                EXPECT_EQ(spindle_.dutyCycle, c.duty);
            }
        }
    }
}

TEST_F(SpindleStateTest, NoDumpUnlessEnabled) {
    const size_t before = Messages().size();
    WordFor(1, 1, 0.5);
    EXPECT_EQ(Messages().size(), before);
}

TEST_F(SpindleStateTest, DumpTextIsExact) {
    state_.m_SpindleOn = 1;
    state_.SpinDir = 0;
    HostSpindleFM& fm = state_.SpindleFM;
    fm.SpindleOn = 1;
    fm.MotorEnabled = 0;
    fm.PWMEnabled = 1;
    fm.SpindleMaxVel = 2.5;
    fm.CW = 3;
    fm.CCW = 4;
    fm.PWMMin = 5;
    fm.PWMMax = 6.25;
    fm.dir = -7;
    fm.SpindleSpeed = 1200.0;
    fm.ratio = 0.25;
    fm.TrueRPM = 1199.5;
    spindle_.SetDumpEnabled(true);

    EXPECT_EQ(spindle_.GetCommandWord(), 0x900);

    const std::string expected =
        "[DEBUG]: Spindle State from GetCommandWord:\n"
        "Our state: isOn 1, dirCW 0, PWM duty cycle 256\n"
        "Mach3 State: m_SpindleOn = 1, SpinDir = 0\n"
        "SpindleFM:\n"
        "  SpindleOn 1, MotorEnabled 0, PWMEnabled 1, SpindleMaxVel 2.500000\n"
        "  CW 3, CCW 4, PWMMin 5, PWMMax 6.250000\n"
        "   dir -7, SpindleSpeed 1200.000000, ratio 0.250000, TrueRPM 1199.500000\n"
        "\n";
    const std::string log = LogText();
    EXPECT_NE(log.find(expected), std::string::npos) << log;

    spindle_.DumpState("Caller");
    EXPECT_NE(LogText().find("[DEBUG]: Spindle State from Caller:\nOur state: isOn 1, dirCW 0, PWM duty cycle 256\n"),
              std::string::npos);
}

const int32_t kDemoCycle[40] = {
    0x01, 0x02, 0x04, 0x08, 0x00, 0x20, 0x30, 0x42, 0x11, 0x12, 0x14, 0x18, 0x10, 0x38,
    0x40, 0x01, 0x02, 0x04, 0x08, 0x00, 0x30, 0x43, 0x11, 0x12, 0x14, 0x18, 0x10, 0x44,
    0x01, 0x02, 0x04, 0x08, 0x00, 0x4B, 0x11, 0x12, 0x14, 0x18, 0x10, 0x44,
};

TEST_F(SpindleStateTest, DemoWordsRunInACycleOfForty) {
    std::vector<int32_t> words;
    for (int i = 0; i < 120; ++i) {
        words.push_back(NextDemoWord());
    }
    for (int i = 0; i < 120; ++i) {
        EXPECT_EQ(words[i], kDemoCycle[i % 40]) << "word " << i + 1;
    }
    EXPECT_EQ(words[40], words[0]);
    EXPECT_EQ(words[5], 0x20);
    EXPECT_EQ(words[13], 0x38);
}

TEST_F(SpindleStateTest, DemoPwmGroupsReportWhetherTheyGoOn) {
    const std::pair<int32_t, bool> expected[] = {
        {0x20, true}, {0x30, true}, {0x42, false}, {0x38, true}, {0x40, false}, {0x30, true},
        {0x43, false}, {0x44, false}, {0x4B, false}, {0x44, false}, {0x20, true},
    };
    for (const auto& [word, goesOn] : expected) {
        int32_t got = -99;
        EXPECT_EQ(NextDemoPwmWord(&got), goesOn) << std::hex << word;
        EXPECT_EQ(got, word);
    }
}

TEST_F(SpindleStateTest, NullPwmWordResetsOnlyThePwmPosition) {
    for (int i = 0; i < 14; ++i) {
        NextDemoWord();  // up to 0x38, inside the second spindle group
    }
    const int32_t demoIndex = plugin().demo.demoIndex;
    EXPECT_FALSE(NextDemoPwmWord(nullptr));
    EXPECT_EQ(plugin().demo.demoPwmIndex, 0);
    EXPECT_EQ(plugin().demo.demoIndex, demoIndex);
    // The output walk carries on, the spindle steps start again with the first group.
    const int32_t expected[] = {0x20, 0x30, 0x42, 0x01, 0x02, 0x04, 0x08, 0x00, 0x38, 0x40, 0x11};
    for (int32_t word : expected) {
        EXPECT_EQ(NextDemoWord(), word);
    }
}

}  // namespace
