// Scheduler: which word the board hears next, in the listed orders, and that no channel starves.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/scheduler.h"
#include "rig.h"

namespace {

using Words = std::vector<int32_t>;
using board::EventKind;
constexpr int32_t kRelay = 0x11;  // K1 high
constexpr int32_t kPp2 = 0x08;    // J5 D high

struct Fixture {
    coretest::Rig rig;
    board::Scheduler d;

    Fixture() {
        rig.level[4] = 1;  // K1
        rig.level[3] = 1;  // J5 D
        d.Reset(&rig.in, &rig.sink);
    }
    void Start(bool useSpindle) {
        d.UseSpindle(useSpindle);
        d.Restart();
    }
    int32_t Next() {
        d.Update();
        return d.GetData();
    }
    // Words until the scheduler has nothing left, as the idle line would take them.
    Words Drain() {
        Words words;
        for (int i = 0; i < 20; ++i) {
            d.Update();
            if (!d.HasWork()) return words;
            words.push_back(d.GetData());
        }
        ADD_FAILURE() << "the scheduler never runs dry";
        return words;
    }
    void Tick(int n) {
        for (int i = 0; i < n; ++i) d.IncTime();
    }
};

// s: spindle (on, dir, duty)  t: ticks  k: K1 level  d: drain, expecting the words  n: one word
// x: StopSpindle
struct Step {
    char op;
    int32_t a = 0, b = 0, c = 0;
    Words words = {};
};

struct Case {
    const char* name;
    bool useSpindle;
    std::vector<Step> steps;
};

TEST(Scheduler, Orders) {
    const Case cases[] = {
        {"a new scheduler: Relay/PP1 then PP2", false, {{'d', 0, 0, 0, {kRelay, kPp2}}}},
        {"spindle on: all nibbles, then the outputs; then only what changed", true,
         {{'s', 1, 1, 512}, {'d', 0, 0, 0, {0x20, 0x30, 0x42, kRelay, kPp2}}, {'s', 1, 1, 640}, {'d', 0, 0, 0, {0x38, 0x42}}}},
        {"a refresh with the spindle off sends only Hi", true,
         {{'d', 0, 0, 0, {0x44, kRelay, kPp2}}, {'t', 12}, {'d', 0, 0, 0, {0x44, kRelay, kPp2}}}},
        {"a refresh with the spindle on resends every nibble", true,
         {{'s', 1, 0, 0x155}, {'d', 0, 0, 0, {0x25, 0x35, 0x49, kRelay, kPp2}}, {'t', 12},
          {'d', 0, 0, 0, {0x25, 0x35, 0x49, kRelay, kPp2}}}},
        {"a new word mid-sequence starts again from Low", true,
         {{'s', 1, 1, 512}, {'n', 0x20}, {'s', 1, 1, 0x213}, {'d', 0, 0, 0, {0x23, 0x31, 0x42, kRelay, kPp2}}}},
        {"an output update goes between refresh nibbles", true,
         {{'s', 1, 0, 0x155}, {'d', 0, 0, 0, {0x25, 0x35, 0x49, kRelay, kPp2}}, {'t', 12}, {'n', 0x25}, {'k', 0},
          {'d', 0, 0, 0, {0x10, 0x35, 0x49, kPp2}}}},
        {"but never splits a new spindle word", true,
         {{'s', 1, 0, 0x155}, {'d', 0, 0, 0, {0x25, 0x35, 0x49, kRelay, kPp2}}, {'s', 1, 0, 0x1FF}, {'n', 0x2F}, {'k', 0},
          {'d', 0, 0, 0, {0x3F, 0x49, 0x10}}}},
        {"StopSpindle: the Hi nibble with the off bit before a pending output, then no spindle word", true,
         {{'s', 1, 1, 512}, {'d', 0, 0, 0, {0x20, 0x30, 0x42, kRelay, kPp2}}, {'k', 0}, {'x'},
          {'d', 0, 0, 0, {0x46, 0x10}}, {'t', 12}, {'d', 0, 0, 0, {kPp2, 0x10}}}},
        {"StopSpindle mid-sequence: Hi at once, the Mid nibble left out", true,
         {{'s', 1, 0, 0x2FF}, {'n', 0x2F}, {'x'}, {'d', 0, 0, 0, {0x4E, kRelay, kPp2}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        if (c.useSpindle) f.Start(true);
        for (const Step& s : c.steps) {
            switch (s.op) {
                case 's': f.rig.Spindle(s.a != 0, s.b, s.c); break;
                case 't': f.Tick(s.a); break;
                case 'k': f.rig.level[4] = static_cast<uint8_t>(s.a); break;
                case 'n': EXPECT_EQ(f.Next(), s.a); break;
                case 'd': EXPECT_EQ(f.Drain(), s.words); break;
                case 'x': f.d.StopSpindle(); break;
            }
        }
    }
}

TEST(Scheduler, UpdateSkipsNibblesTheBoardAlreadyHas) {
    struct Case {
        bool on;
        int32_t dir, duty;
        Words words;
    };
    const Case cases[] = {
        {true, 1, 513, {0x21, 0x42}},   {true, 1, 0x210, {0x31, 0x42}}, {true, 0, 512, {0x4A}},
        {false, 1, 512, {0x46}},        {true, 1, 0x100, {0x41}},       {true, 1, 0x2FF, {0x2F, 0x3F, 0x42}},
        {true, 1, 512, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "on " << c.on << " dir " << c.dir << " duty " << c.duty);
        Fixture f;
        f.rig.Spindle(true, 1, 512);
        f.Start(true);
        ASSERT_EQ(f.Drain(), (Words{0x20, 0x30, 0x42, kRelay, kPp2}));
        f.rig.Spindle(c.on, c.dir, c.duty);
        EXPECT_EQ(f.Drain(), c.words);
    }
}

TEST(Scheduler, SequenceInProgressAndRestart) {
    Fixture f;
    f.rig.Spindle(true, 1, 512);
    f.Start(true);
    f.Drain();
    f.rig.Spindle(true, 1, 0x2FF);
    EXPECT_EQ(f.Next(), 0x2F);
    EXPECT_FALSE(f.d.NeedUpdate() || f.d.NeedRefresh());
    EXPECT_TRUE(f.d.HasWork()) << "a sequence in progress is work";
    // A restart with the spindle channel off still finishes the word the board has begun to latch.
    f.Start(false);
    EXPECT_EQ(f.Drain(), (Words{0x3F, 0x42, kRelay, kPp2}));
}

TEST(Scheduler, SpindleChannelOffNeverSendsAPwmWordButKeepsTheCommandWord) {
    Fixture f;
    f.d.Restart();
    for (int32_t duty : {0, 512, 640, 1023, 7}) {
        for (bool on : {true, false}) {
            f.rig.Spindle(on, on ? 1 : 0, duty);
            for (int32_t w : f.Drain()) EXPECT_TRUE(w == kRelay || w == kPp2) << std::hex << w;
            f.Tick(12);
        }
    }
    EXPECT_EQ(f.d.pwmMonitor.data, 0xC07);
}

TEST(Scheduler, GuardWords) {
    Fixture f;
    f.Start(true);
    f.Drain();
    f.Tick(5);
    const board::Scheduler before = f.d;
    f.rig.events.clear();
    EXPECT_EQ(f.d.GetData(), 0xFE) << "nothing pending";
    EXPECT_EQ(f.rig.events, (std::vector<coretest::Ev>{{EventKind::NothingPending}}));
    EXPECT_EQ(f.d.relayMonitor.refreshTimer, before.relayMonitor.refreshTimer);
    EXPECT_EQ(f.d.pwmMonitor.lastData, before.pwmMonitor.lastData);
    EXPECT_EQ(f.d.state, before.state);

    f.d.pwmInProgress = true;
    f.d.state = 9;
    f.rig.events.clear();
    EXPECT_EQ(f.d.GetData(), 0xFF) << "an unknown PWM step";
    EXPECT_EQ(f.rig.events, (std::vector<coretest::Ev>{{EventKind::PwmInProgress}, {EventKind::UnknownState, 9}}));
}

TEST(Scheduler, ChannelNamesByBitsFourToSix) {
    const std::pair<int32_t, const char*> cases[] = {{0x08, "PP2"},    {0x1F, "Relay/PP1"}, {0x20, "PWM Low"},
                                                     {0x3A, "PWM Mid"}, {0x44, "PWM Hi"},    {0x6B, "unknown6"},
                                                     {0xFF, "unknown7"}};
    for (const auto& [word, name] : cases) EXPECT_STREQ(board::ChannelName(word), name) << std::hex << word;
}

// With nothing changing, refreshes alone let every channel in use through within eight frames, whatever
// the gap between frames (one tick per cycle, ten cycles a frame, then the gap).
TEST(Scheduler, EveryChannelInUseIsHeardWithinEightFrames) {
    for (bool useSpindle : {true, false}) {
        for (bool spindleOn : {true, false}) {
            for (int delay = 0; delay <= 5; ++delay) {
                SCOPED_TRACE(testing::Message() << "spindle channel " << useSpindle << " on " << spindleOn << " delay " << delay);
                Fixture f;
                f.rig.Spindle(spindleOn, 1, 600);
                f.Start(useSpindle);
                Words words;
                int bitsLeft = 0, countdown = 0;
                for (int cycle = 0; cycle < 3000; ++cycle) {
                    f.d.IncTime();
                    if (bitsLeft > 0) {
                        if (--bitsLeft == 0) countdown = delay;
                        continue;
                    }
                    if (countdown > 0 && --countdown > 0) continue;
                    f.d.Update();
                    if (!f.d.HasWork()) continue;
                    words.push_back(f.Next());
                    bitsLeft = 9;
                }
                std::set<int32_t> channels = {0, 1};
                if (useSpindle) channels.insert(4);
                if (useSpindle && spindleOn) channels.insert({2, 3});
                ASSERT_GE(words.size(), 100u);
                for (size_t start = 0; start + 8 <= words.size(); ++start) {
                    std::set<int32_t> heard;
                    for (size_t k = start; k < start + 8; ++k) heard.insert((words[k] >> 4) & 7);
                    ASSERT_EQ(heard, channels) << "frames " << start << " to " << start + 7;
                }
            }
        }
    }
}

}  // namespace
