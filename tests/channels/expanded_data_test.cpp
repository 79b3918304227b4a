// ExpandedData: which word the board hears next, in the listed orders, and that no channel starves.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "assignments/assignments.h"
#include "channels/expanded_data.h"
#include "channels/spindle_state.h"
#include "host/plugin_state.h"
#include "support/test_support.h"

namespace {

constexpr int32_t kRelay = 0x11;  // output 7 on port 9 pin 1, high
constexpr int32_t kPp2 = 0x08;    // output 3 on port 8 pin 17, high

class ExpandedDataTest : public testsupport::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        LoadSettings({{"ExpandedMode", "0"}});
        Init();
        plugin().settings.IoMode = IO_EXPANDED_IO;
        plugin().channels.spindle = std::make_unique<SpindleState>();
        Assign(7, 9, 1);
        Assign(3, 8, 17);
        ScanSignalAssignments();
        SetSpindle(false, 1, 0);
    }

    void Assign(int index, int port, int pin) {
        HostOutputSignal& out = engine_.outputs[index];
        out.enabled = 1;
        out.port = static_cast<int8_t>(port);
        out.pin = static_cast<int8_t>(pin);
        out.activeLow = 0;
        out.state = 1;
    }

    void SetSpindle(bool on, int32_t dir, int32_t duty) {
        state_.m_SpindleOn = on ? 1 : 0;
        state_.SpinDir = dir;
        state_.SpindleFM.ratio = duty / 1023.0;
    }

    // As the transmitter asks at the start of a frame.
    static int32_t Next(ExpandedData& d) {
        d.Update();
        return d.GetData();
    }

    // Words until the scheduler has nothing left, as the idle line would take them.
    static std::vector<int32_t> Drain(ExpandedData& d) {
        std::vector<int32_t> words;
        for (int i = 0; i < 20; ++i) {
            d.Update();
            if (!d.HasWork()) {
                return words;
            }
            words.push_back(d.GetData());
        }
        ADD_FAILURE() << "scheduler never runs dry";
        return words;
    }

    static void Tick(ExpandedData& d, int n) {
        for (int i = 0; i < n; ++i) {
            d.IncTime();
        }
    }

    bool Logged(const std::string& line) {
        const std::vector<std::string> lines = Messages();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    using Words = std::vector<int32_t>;
};

TEST_F(ExpandedDataTest, AfterConstructionRelayThenPp2) {
    ExpandedData d;
    EXPECT_FALSE(d.useSpindle);
    EXPECT_FALSE(d.pwmMonitor.enabled);
    EXPECT_FALSE(d.pwmMonitor.NeedUpdate());
    EXPECT_FALSE(d.pwmMonitor.NeedRefresh());
    EXPECT_TRUE(d.HasWork());
    EXPECT_EQ(Drain(d), (Words{kRelay, kPp2}));
}

TEST_F(ExpandedDataTest, SpindleOnAfterRestartSendsAllNibblesThenRelayAndPp2) {
    SetSpindle(true, 1, 512);
    ExpandedData d;
    d.UseSpindle(true);
    d.Restart();
    EXPECT_EQ(Drain(d), (Words{0x20, 0x30, 0x42, kRelay, kPp2}));

    SetSpindle(true, 1, 640);
    EXPECT_EQ(Drain(d), (Words{0x38, 0x42}));
}

TEST_F(ExpandedDataTest, RefreshWithSpindleOffSendsOnlyTheHiNibble) {
    ExpandedData d;
    d.UseSpindle(true);
    d.Restart();
    EXPECT_EQ(Drain(d), (Words{0x44, kRelay, kPp2}));
    Tick(d, 12);
    EXPECT_EQ(Drain(d), (Words{0x44, kRelay, kPp2}));
}

TEST_F(ExpandedDataTest, RefreshWithSpindleOnResendsUnchangedNibbles) {
    SetSpindle(true, 0, 0x155);
    ExpandedData d;
    d.UseSpindle(true);
    d.Restart();
    EXPECT_EQ(Drain(d), (Words{0x25, 0x35, 0x49, kRelay, kPp2}));
    Tick(d, 12);
    EXPECT_EQ(Drain(d), (Words{0x25, 0x35, 0x49, kRelay, kPp2}));
}

TEST_F(ExpandedDataTest, UpdateSkipsNibblesTheBoardAlreadyHas) {
    struct Case {
        bool on;
        int32_t dir;
        int32_t duty;
        Words words;
    };
    const Case cases[] = {
        {true, 1, 513, {0x21, 0x42}},         // bits 0-3 only: Low, Hi
        {true, 1, 0x210, {0x31, 0x42}},       // bits 4-7 only: Mid, Hi
        {true, 0, 512, {0x4A}},               // bits 8-11 only: Hi
        {false, 1, 512, {0x46}},
        {true, 1, 0x100, {0x41}},
        {true, 1, 0x2FF, {0x2F, 0x3F, 0x42}},
        {true, 1, 512, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "on " << c.on << " dir " << c.dir << " duty " << c.duty);
        SetSpindle(true, 1, 512);
        ExpandedData d;
        d.UseSpindle(true);
        d.Restart();
        ASSERT_EQ(Drain(d), (Words{0x20, 0x30, 0x42, kRelay, kPp2}));
        SetSpindle(c.on, c.dir, c.duty);
        EXPECT_EQ(Drain(d), c.words);
    }
}

TEST_F(ExpandedDataTest, NewWordMidSequenceStartsAgainFromLow) {
    SetSpindle(true, 1, 512);
    ExpandedData d;
    d.UseSpindle(true);
    d.Restart();
    EXPECT_EQ(Next(d), 0x20);
    SetSpindle(true, 1, 0x213);
    EXPECT_EQ(Drain(d), (Words{0x23, 0x31, 0x42, kRelay, kPp2}));
}

// A refresh resends what the board holds, so an output update may go between its nibbles; the nibbles
// of a new spindle word stay together.
TEST_F(ExpandedDataTest, OutputUpdateGoesBetweenRefreshNibblesButNeverSplitsANewWord) {
    struct Case {
        bool newWord;
        int32_t first;
        Words rest;
    };
    const Case cases[] = {
        {false, 0x25, {0x10, 0x35, 0x49, kPp2}},
        {true, 0x2F, {0x3F, 0x49, 0x10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.newWord ? "new word" : "refresh");
        SetSpindle(true, 0, 0x155);
        engine_.outputs[7].state = 1;
        ExpandedData d;
        d.UseSpindle(true);
        d.Restart();
        ASSERT_EQ(Drain(d), (Words{0x25, 0x35, 0x49, kRelay, kPp2}));
        if (c.newWord) {
            SetSpindle(true, 0, 0x1FF);
        } else {
            Tick(d, 12);
        }
        EXPECT_EQ(Next(d), c.first);
        engine_.outputs[7].state = 0;
        EXPECT_EQ(Drain(d), c.rest);
    }
}

TEST_F(ExpandedDataTest, SequenceInProgressKeepsHasWorkTrue) {
    SetSpindle(true, 1, 512);
    ExpandedData d;
    d.UseSpindle(true);
    d.Restart();
    Drain(d);
    SetSpindle(true, 1, 0x2FF);
    EXPECT_EQ(Next(d), 0x2F);
    EXPECT_FALSE(d.NeedUpdate());
    EXPECT_FALSE(d.NeedRefresh());
    EXPECT_TRUE(d.HasWork());
    EXPECT_EQ(Drain(d), (Words{0x3F, 0x42}));
}

TEST_F(ExpandedDataTest, RestartWithSpindleDisabledFinishesTheLatchedWord) {
    SetSpindle(true, 1, 512);
    ExpandedData d;
    d.UseSpindle(true);
    d.Restart();
    EXPECT_EQ(Next(d), 0x20);
    d.UseSpindle(false);
    d.Restart();
    EXPECT_EQ(Drain(d), (Words{0x30, 0x42, kRelay, kPp2}));
}

TEST_F(ExpandedDataTest, SpindleDisabledNeverSendsAPwmWord) {
    ExpandedData d;
    d.Restart();
    std::vector<int32_t> all;
    const int32_t duties[] = {0, 512, 640, 1023, 7};
    for (int32_t duty : duties) {
        for (bool on : {true, false}) {
            SetSpindle(on, on ? 1 : 0, duty);
            for (int32_t w : Drain(d)) {
                all.push_back(w);
            }
            Tick(d, 12);
        }
    }
    ASSERT_FALSE(all.empty());
    for (int32_t w : all) {
        EXPECT_TRUE(w == kRelay || w == kPp2) << std::hex << w;
    }
    // The command word is still computed and stored on every update.
    EXPECT_EQ(d.pwmMonitor.data, 0xC07);
    EXPECT_TRUE(Logged("DEBUG: Monitor 'PWM' is disabled, net data (0x200) stored but ignored"));
    EXPECT_TRUE(Logged("DEBUG: Monitor 'PWM' is disabled, net data (0xE80) stored but ignored"));
}

TEST_F(ExpandedDataTest, NothingPendingGivesFEAndTouchesNoMonitor) {
    SetSpindle(true, 1, 512);
    ExpandedData d;
    d.UseSpindle(true);
    d.Restart();
    Drain(d);
    Tick(d, 5);
    struct Snap {
        bool u, r;
        int32_t data, last, timer;
        bool operator==(const Snap&) const = default;
    };
    auto snap = [](const Monitor& m) { return Snap{m.needUpdate, m.needRefresh, m.data, m.lastData, m.refreshTimer}; };
    const Snap pwm = snap(d.pwmMonitor), relay = snap(d.relayMonitor), pp2 = snap(d.pp2Monitor);
    const int32_t state = d.state;

    EXPECT_EQ(d.GetData(), 0xFE);
    EXPECT_TRUE(Logged("ERROR: ExpandedData.GetData() called with no NeedUpdate or NeedRefresh, d=0xFE"));
    EXPECT_TRUE(snap(d.pwmMonitor) == pwm);
    EXPECT_TRUE(snap(d.relayMonitor) == relay);
    EXPECT_TRUE(snap(d.pp2Monitor) == pp2);
    EXPECT_EQ(d.state, state);
    EXPECT_FALSE(d.pwmInProgress);
}

TEST_F(ExpandedDataTest, UnknownStateGivesFF) {
    ExpandedData d;
    d.pwmInProgress = true;
    d.state = 9;
    EXPECT_EQ(d.GetData(), 0xFF);
    EXPECT_EQ(d.state, 9);
    EXPECT_TRUE(Logged("ERROR: ExpandedData.GetData() unknown state 9, returning dummy data 0xFF"));
}

TEST(ExpandedDataNames, ChannelNamesByBitsFourToSix) {
    const std::pair<int32_t, const char*> cases[] = {
        {0x08, "PP2"},      {0x1F, "Relay/PP1"}, {0x20, "PWM Low"},  {0x3A, "PWM Mid"},
        {0x44, "PWM Hi"},   {0x50, "unknown5"},  {0x6B, "unknown6"}, {0xFE, "unknown7"},
        {0xFF, "unknown7"},
    };
    for (const auto& [word, name] : cases) {
        EXPECT_STREQ(ChannelName(word), name) << std::hex << word;
    }
}

// Drives the scheduler the way the transmitter does: one IncTime per update cycle, a frame of ten
// cycles starting with Update + GetData, then the inter-frame delay on the idle line.
class FrameClock {
public:
    FrameClock(ExpandedData& data, int delay) : data_(data), delay_(delay) {}

    void Cycle() {
        data_.IncTime();
        if (bitsLeft_ > 0) {
            if (--bitsLeft_ == 0) {
                countdown_ = delay_;  // the stop bit
            }
            return;
        }
        if (countdown_ > 0 && --countdown_ > 0) {
            return;
        }
        data_.Update();
        if (!data_.HasWork()) {
            return;
        }
        data_.Update();
        words.push_back(data_.GetData());
        bitsLeft_ = 9;  // seven data bits, parity, stop
    }

    std::vector<int32_t> words;

private:
    ExpandedData& data_;
    int delay_;
    int bitsLeft_ = 0;
    int countdown_ = 0;
};

// With nothing changing, refreshes alone must let every channel in use through.
TEST_F(ExpandedDataTest, EveryChannelInUseIsHeardWithinEightFrames) {
    for (bool useSpindle : {true, false}) {
        for (bool spindleOn : {true, false}) {
            for (int delay = 0; delay <= 5; ++delay) {
                SCOPED_TRACE(testing::Message() << "useSpindle " << useSpindle << " spindleOn " << spindleOn
                                                << " delay " << delay);
                SetSpindle(spindleOn, 1, 600);
                ExpandedData d;
                d.UseSpindle(useSpindle);
                d.Restart();
                FrameClock clock(d, delay);
                for (int cycle = 0; cycle < 3000; ++cycle) {
                    clock.Cycle();
                }

                std::set<int32_t> channels = {0, 1};
                if (useSpindle) {
                    channels.insert(4);
                    if (spindleOn) {
                        channels.insert({2, 3});
                    }
                }
                const std::vector<int32_t>& words = clock.words;
                ASSERT_GE(words.size(), 100u);
                for (int32_t w : words) {
                    EXPECT_EQ(channels.count((w >> 4) & 7), 1u) << "unexpected word 0x" << std::hex << w;
                }
                for (size_t start = 0; start + 8 <= words.size(); ++start) {
                    std::set<int32_t> heard;
                    for (size_t k = start; k < start + 8; ++k) {
                        heard.insert((words[k] >> 4) & 7);
                    }
                    if (heard != channels) {
                        testing::Message window;
                        for (size_t k = start; k < start + 8; ++k) {
                            window << std::hex << " 0x" << words[k];
                        }
                        ADD_FAILURE() << "frames " << start << ".." << start + 7 << " miss a channel:" << window;
                        break;
                    }
                }
            }
        }
    }
}

}  // namespace
