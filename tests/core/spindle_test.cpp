// The spindle command word and its duty clamp, and the demo word pattern.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "core/spindle.h"
#include "rig.h"

namespace {

TEST(Spindle, CommandWordFromTheInputs) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        uint8_t on;
        int32_t dir;
        double ratio;
        int32_t word;
    };
    const Case cases[] = {
        {0, 1, 0.0, 0x400},       {1, 0, 0.5, 0xA00},       {1, 1, 0.25, 0x100},     {1, 1, 1.0, 0x3FF},
        {0, 0, 1.0, 0xFFF},       {1, 2, 0.0, 0x800},       {1, -1, 0.0, 0x800},     {7, 1, 0.0, 0x000},
        {1, 1, 0.000488, 0x000},  {1, 1, 0.000489, 0x001},  {1, 1, 640.0 / 1023.0, 640},
        // Outside 0..1 the duty is clamped, so it never spills into the off and direction bits.
        {1, 1, 1.0000001, 0x3FF}, {0, 0, 1e12, 0xFFF},      {1, 0, inf, 0xBFF},      {0, 1, -0.0001, 0x400},
        {1, 1, -1e12, 0x000},     {0, 0, -inf, 0xC00},      {1, 1, std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "on " << int(c.on) << " dir " << c.dir << " ratio " << c.ratio);
        coretest::Rig rig;
        rig.spindleOn = c.on;
        rig.spindleDir = c.dir;
        rig.ratio = c.ratio;
        board::Spindle s;
        EXPECT_EQ(s.CommandWord(rig.in, &rig.sink), c.word);
        EXPECT_EQ(s.isOn, c.on != 0);
        EXPECT_TRUE(rig.events.empty()) << "the state dump is off in a new spindle";
        // Switched on, it reports the fields the word came from, once per word.
        s.SetDumpEnabled(true);
        EXPECT_EQ(s.CommandWord(rig.in, &rig.sink), c.word);
        ASSERT_EQ(rig.events.size(), 1u);
        EXPECT_EQ(rig.events[0].kind, board::EventKind::SpindleDump);
        EXPECT_STREQ(rig.names[0], "GetCommandWord");
        EXPECT_EQ((std::vector<int32_t>{rig.events[0].a, rig.events[0].b, rig.events[0].c}),
                  (std::vector<int32_t>{s.isOn, s.dirCW, s.dutyCycle}));
    }
}

TEST(Spindle, NoSpindleInputsKeepTheLastWord) {
    coretest::Rig rig;
    rig.Spindle(true, 0, 300);
    board::Spindle s;
    ASSERT_EQ(s.CommandWord(rig.in), 0x800 + 300);
    board::Inputs none;
    EXPECT_EQ(s.CommandWord(none), 0x800 + 300);
    EXPECT_EQ(board::Spindle{}.CommandWord(none), 0x400) << "a new spindle is off";
}

TEST(Demo, WordsRunInACycleOfForty) {
    const int32_t cycle[40] = {
        0x01, 0x02, 0x04, 0x08, 0x00, 0x20, 0x30, 0x42, 0x11, 0x12, 0x14, 0x18, 0x10, 0x38,
        0x40, 0x01, 0x02, 0x04, 0x08, 0x00, 0x30, 0x43, 0x11, 0x12, 0x14, 0x18, 0x10, 0x44,
        0x01, 0x02, 0x04, 0x08, 0x00, 0x4B, 0x11, 0x12, 0x14, 0x18, 0x10, 0x44,
    };
    board::Demo demo;
    for (int i = 0; i < 120; ++i) EXPECT_EQ(demo.NextWord(), cycle[i % 40]) << "word " << i + 1;
}

TEST(Demo, RestartingThePwmStepsKeepsTheOutputWalk) {
    board::Demo demo;
    for (int i = 0; i < 14; ++i) demo.NextWord();  // up to 0x38, inside the second spindle group
    demo.RestartPwm();
    const std::vector<int32_t> expected = {0x20, 0x30, 0x42, 0x01, 0x02, 0x04, 0x08, 0x00, 0x38, 0x40, 0x11};
    std::vector<int32_t> got;
    for (size_t i = 0; i < expected.size(); ++i) got.push_back(demo.NextWord());
    EXPECT_EQ(got, expected);
}

}  // namespace
