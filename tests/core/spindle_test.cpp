// The spindle command word and its duty clamp, and the demo word pattern.
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <limits>
#include <vector>

#include "core/spindle.h"
#include "rig.h"

#if defined(_WIN32) && defined(__i386__)
#include <float.h>
#endif

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

// The plain formula, whose steps round to the FPU's precision: at 53 bits (SSE2, or an x87 set so)
// it gives the wire of the Linux and 64-bit builds.
[[gnu::noinline]] int32_t PlainDuty(double ratio) { return static_cast<int32_t>(ratio * 1023.0 + 0.5); }

// Every rounding point (k - 0.5)/1023 with its two neighbours, where a wider intermediate changes
// the duty; on i686 the x87 runs the table at 64-bit extended and at 53-bit precision, set here.
TEST(Spindle, DutyAtTheRoundingPointsIsTheSameAtEveryPrecision) {
    std::vector<double> ratios;
    for (int k = 1; k <= 1023; ++k) {
        const double point = (k - 0.5) / 1023.0;
        ratios.insert(ratios.end(), {std::nextafter(point, 0.0), point, std::nextafter(point, 1.0)});
    }
    // 0.49999999999999994 + 0.5 rounds up to 1 in a double; the last double below 1.
    ratios.insert(ratios.end(), {0.49999999999999994 / 1023.0, 0.49999999999999994, std::nextafter(1.0, 0.0)});
#if defined(_WIN32) && defined(__i386__)
    const unsigned int saved = _controlfp(0, 0);
    _controlfp(_PC_53, _MCW_PC);
    ASSERT_EQ(_controlfp(0, 0) & _MCW_PC, static_cast<unsigned int>(_PC_53));
#endif
    std::vector<int32_t> expected;
    for (double r : ratios) expected.push_back(PlainDuty(r));
    struct Precision {
        const char* name;
        unsigned int control;
        bool extended;
    };
#if defined(_WIN32) && defined(__i386__)
    const Precision precisions[] = {{"53-bit", _PC_53, false}, {"64-bit extended", _PC_64, true}};
#else
    const Precision precisions[] = {{"SSE2", 0, false}};
#endif
    for (const Precision& p : precisions) {
        SCOPED_TRACE(p.name);
#if defined(_WIN32) && defined(__i386__)
        _controlfp(p.control, _MCW_PC);
        ASSERT_EQ(_controlfp(0, 0) & _MCW_PC, p.control);
#endif
        int naiveDiffers = 0;
        for (size_t i = 0; i < ratios.size(); ++i) {
            EXPECT_EQ(board::DutyFromRatio(ratios[i]), expected[i]) << std::setprecision(17) << ratios[i];
            naiveDiffers += PlainDuty(ratios[i]) != expected[i];
        }
        // The table really ran at that precision: the plain formula drifts at extended precision only.
        EXPECT_EQ(naiveDiffers > 0, p.extended) << naiveDiffers << " of " << ratios.size();
    }
#if defined(_WIN32) && defined(__i386__)
    _controlfp(saved, _MCW_PC);
#endif
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
