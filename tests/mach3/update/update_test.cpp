// The update cycle end to end through the host blocks: timing, frames, EStop, modes and logging.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "mach3/lifecycle.h"
#include "mach3/plugin_state.h"
#include "mach3/update/update.h"
#include "support/test_support.h"
#include "wire.h"

namespace {

using testsupport::PluginTest;
using wiretest::Decode;
using wiretest::FrameBits;

constexpr int kStream = 5;  // host output carrying the bit stream in these tests

class TransmitterTest : public PluginTest {
protected:
    // Wires the bit stream to port 1 pin 16 and starts in EStop.
    void Start(std::vector<std::pair<std::string, std::string>> settings, bool wireStream = true) {
        if (wireStream) {
            engine_.outputs[kStream] = HostOutputSignal{1, 16, 1, 1, 0};
        }
        LoadSettings(std::move(settings));
        Init();
        EStopCycles(1);
    }

    // Runs cycles and records the bit-stream output's state after each.
    std::string Record(int cycles) {
        std::string wire;
        for (int i = 0; i < cycles; ++i) {
            myUpdate(testsupport::State());
            wire += engine_.outputs[kStream].state ? '1' : '0';
        }
        return wire;
    }

    int Count(const std::string& text) {
        const auto lines = Messages();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                               [&](const std::string& l) { return l == text; }));
    }
};

TEST_F(TransmitterTest, EStopExitTimingWithDefaultDelays) {
    Start({{"ExpandedMode", "0"}});
    const std::string wire = Record(12);
    EXPECT_EQ(wire.substr(0, 9), "000000000");  // cycles 1 to 9: post-EStop wait
    EXPECT_EQ(wire.substr(9, 2), "11");         // cycles 10 and 11: idle delay
    EXPECT_EQ(wire[11], '0');                   // cycle 12: the first start bit
    EXPECT_EQ(engine_.outputs[kStream].activeLow, 0) << "the scan clears the bit-stream output's active-low flag";
    EXPECT_EQ(Count("DEBUG: myUpdate() out of EStop, after post-EStop delay, starting serial Tx"), 1);
}

TEST_F(TransmitterTest, SerialTestWordBackToBackAndWithGaps) {
    struct Case {
        const char* delay;
        std::string gap;
    };
    for (const Case& c : {Case{"0", ""}, Case{"1", ""}, Case{"-4", ""}, Case{"3", "11"}}) {
        SCOPED_TRACE(c.delay);
        SetUp();
        Start({{"ExpandedMode", "0"}, {"zzzzz", "1"}, {"IntraFrameDelay", c.delay}});
        Record(11);  // wait and idle delay
        const std::string frame = "0110101101";
        ASSERT_EQ(FrameBits(0x6B), frame);
        const std::string wire = Record(3 * static_cast<int>(frame.size() + c.gap.size()));
        EXPECT_EQ(wire, frame + c.gap + frame + c.gap + frame + c.gap);
        TearDown();
    }
}

// The first start bit after EStop must follow a 1, or the board cannot see it: short idle delays get
// one idle cycle, longer ones are kept.
TEST_F(TransmitterTest, FirstFrameAfterEStopFollowsAnIdleOne) {
    for (const auto& [idle, expected] : std::vector<std::pair<const char*, const char*>>{
             {"-3", "0101"}, {"0", "0101"}, {"1", "0101"}, {"2", "0101"}, {"3", "01101"}, {"5", "0111101"}}) {
        SCOPED_TRACE(idle);
        SetUp();
        Start({{"ExpandedMode", "0"}, {"zzzzz", "1"}, {"IdleDelay", idle}, {"PostEStopDelay", "2"}});
        const std::string wire = Record(static_cast<int>(std::string(expected).size()));
        EXPECT_EQ(wire, expected);
        const auto frames = Decode(wire + Record(12));
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.front().word, 0x6B);
        TearDown();
    }
}

TEST_F(TransmitterTest, AnOutputMovedOffTheBitStreamPinIsNoLongerDriven) {
    struct Move {
        int port, pin, enabled;
        int32_t mode = IO_EXPANDED_IO;
    };
    // The user rewires it while frames run: to J5 A, to J5 C (pin 16 of port 8), to the next pin of
    // port 1, or disables it; or chooses Expanded Input in the dialog, which rescans only later.
    for (const Move& m : {Move{8, 1, 1}, Move{8, 16, 1}, Move{1, 15, 1}, Move{1, 16, 0},
                          Move{1, 16, 1, IO_EXPANDED_INPUT}}) {
        SCOPED_TRACE(testing::Message() << "port " << m.port << " pin " << m.pin << " enabled " << m.enabled << " mode "
                                        << m.mode);
        SetUp();
        Start({{"ExpandedMode", "0"}, {"zzzzz", "1"}});
        Record(15);
        HostOutputSignal& out = engine_.outputs[kStream];
        out.port = static_cast<int8_t>(m.port);
        out.pin = static_cast<int8_t>(m.pin);
        out.enabled = static_cast<uint8_t>(m.enabled);
        out.state = 1;
        testsupport::State().settings.IoMode = m.mode;
        EXPECT_EQ(Record(30), std::string(30, '1'));
        out = HostOutputSignal{1, 16, 1, 0, 1};  // and back: the scan result is still valid
        testsupport::State().settings.IoMode = IO_EXPANDED_IO;
        EXPECT_NE(Record(30).find('0'), std::string::npos);
        TearDown();
    }
}

TEST_F(TransmitterTest, EStopMidFrameCutsTheFrameAndRestarts) {
    Start({{"ExpandedMode", "0"}, {"zzzzz", "1"}});
    Record(11 + 4);  // into the data bits of the first frame
    engine_.estop = 1;
    EXPECT_EQ(Record(3), "000");
    engine_.estop = 0;
    const std::string wire = Record(11 + 10);
    EXPECT_EQ(wire.substr(0, 11), "00000000011");
    EXPECT_EQ(wire.substr(11), "0110101101");
    EXPECT_EQ(Count("DEBUG: myUpdate() entering EStop"), 2) << "once at start, once mid-frame";
}

TEST_F(TransmitterTest, ExpandedInputHaltsAndWritesNothingButKeepsAssignments) {
    Start({{"ExpandedMode", "2"}, {"zzzzz", "1"}});
    engine_.outputs[kStream].state = 1;
    engine_.outputs[13] = HostOutputSignal{0, 5, 2, 1, 0};  // user moved the charge pump
    engine_.inputs[25] = HostInputSignal{0, 3, 2, 1, 0};    // and the EStop input
    const std::string wire = Record(40);
    EXPECT_EQ(wire, std::string(40, '1')) << "the line is never written in this mode";
    EXPECT_EQ(Count("DEBUG: myUpdate() out of EStop, after post-EStop delay, going to Tx_Halt"), 1);
    EXPECT_EQ(testsupport::State().core.state, board::kTxHalt);
    const HostOutputSignal& cp = engine_.outputs[13];
    EXPECT_EQ((std::array<int, 4>{cp.enabled, cp.port, cp.pin, cp.activeLow}), (std::array<int, 4>{1, 1, 17, 0}));
    const HostInputSignal& es = engine_.inputs[25];
    EXPECT_EQ((std::array<int, 4>{es.enabled, es.port, es.pin, es.activeLow}), (std::array<int, 4>{1, 1, 10, 0}));
    EXPECT_EQ(engine_.mode, 999);
}

TEST_F(TransmitterTest, ChargePumpFollowsEStopPerMode) {
    for (const char* mode : {"0", "1", "2"}) {
        SCOPED_TRACE(mode);
        SetUp();
        Start({{"ExpandedMode", mode}, {"SimMode", "1"}});
        Record(20);
        EXPECT_EQ(engine_.outputs[13].enabled, 1);
        engine_.estop = 1;
        Record(5);
        const bool outputMode = std::string(mode) == "1";
        EXPECT_EQ(engine_.outputs[13].enabled, outputMode ? 1 : 0);
        EXPECT_EQ(Count("INFO: myUpdate() disabling Charge Pump"), outputMode ? 0 : 1);
        EXPECT_EQ(engine_.mode, outputMode ? 0 : 999);
        EXPECT_EQ(engine_.inputs[25].activeLow, 1) << "SimMode forces the EStop input active-low";
        TearDown();
    }
}

TEST_F(TransmitterTest, SerialTestLogLinesCountAndStatusShowsTheLatest) {
    Start({{"ExpandedMode", "0"}, {"zzzzz", "1"}, {"EnableDebug", "1"}});
    Record(11 + 30);
    EXPECT_EQ(Count("INFO: TRELVO-40/41 sending SERIAL TEST data 0x6B #0"), 1);
    EXPECT_EQ(Count("INFO: TRELVO-40/41 sending SERIAL TEST data 0x6B #1"), 1);
    EXPECT_EQ(Count("INFO: TRELVO-40/41 sending SERIAL TEST data 0x6B #2"), 1);
    EXPECT_STREQ(state_.statusText, "TRELVO-40/41 sending SERIAL TEST data 0x6B #2");
}

TEST_F(TransmitterTest, NoBitStreamOutputStillMakesFramesButWritesNothing) {
    engine_.outputs[7] = HostOutputSignal{1, 1, 9, 0, 1};  // relay K1 on, but no bit-stream pin
    Start({{"ExpandedMode", "0"}, {"EnableDebug", "1"}}, /*wireStream=*/false);
    HostEngineBlock before = engine_;
    Record(100);
    EXPECT_EQ(testsupport::State().scan.bitStreamIndex, ASSIGN_NO_STREAM);
    for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
        if (i == 13) continue;  // the charge pump is ours to drive
        EXPECT_EQ(engine_.outputs[i].state, before.outputs[i].state) << "output " << i;
    }
    EXPECT_GE(Count("INFO: TRELVO-40/41 sending Relay/PP1 data 0x1"), 1);
}

TEST_F(TransmitterTest, NothingIsWrittenBeforeTheFirstScan) {
    engine_.outputs[0] = HostOutputSignal{1, 2, 1, 0, 0};  // "Digit Trig" on an ordinary pin
    LoadSettings({{"ExpandedMode", "0"}, {"zzzzz", "1"}});
    Init();  // the host is not in EStop: frames start before any scan
    for (int i = 0; i < 30; ++i) {
        engine_.outputs[0].state = 1;
        myUpdate(testsupport::State());
        ASSERT_EQ(engine_.outputs[0].state, 1) << "cycle " << i;
    }
}

TEST_F(TransmitterTest, OutputOneOnRelayK1GoesOutAsWord0x11) {
    engine_.outputs[7] = HostOutputSignal{1, 1, 9, 0, 0};  // "Output #1" on port 9 pin 1, active high
    Start({{"ExpandedMode", "0"}});
    std::string wire = Record(200);
    const size_t change = wire.size();
    engine_.outputs[7].state = 1;
    wire += Record(40);
    const auto frames = Decode(wire);
    const auto it = std::find_if(frames.begin(), frames.end(),
                                 [&](const wiretest::Frame& f) { return f.startCycle >= change && f.word == 0x11; });
    ASSERT_NE(it, frames.end());
    EXPECT_EQ(wire.substr(it->startCycle, 10), "0100010011");
}

TEST_F(TransmitterTest, SchedulerWordWithHighBitsSendsOnlySevenBits) {
    Start({{"ExpandedMode", "0"}});
    Record(100);
    board::Scheduler& data = testsupport::State().core.scheduler;
    data.state = 9;  // the guard's dummy word 0xFF, frame after frame
    data.pwmInProgress = true;
    const std::string wire = Record(40);
    EXPECT_NE(wire.find(FrameBits(0x7F) + FrameBits(0x7F)), std::string::npos) << wire;
}

// The demo walks on through an EStop, but its spindle steps start again from the first; every word
// has its log line.
TEST_F(TransmitterTest, DemoStartsTheSpindleStepsAgainAfterEStop) {
    Start({{"ExpandedMode", "0"}, {"DemoMode", "1"}, {"EnableDebug", "1"}});
    auto words = [](const std::string& wire) {
        std::vector<int> w;
        for (const auto& f : Decode(wire)) w.push_back(f.word);
        return w;
    };
    EXPECT_EQ(words(Record(11 + 7 * 10)), (std::vector<int>{0x01, 0x02, 0x04, 0x08, 0x00, 0x20, 0x30}));
    EStopCycles(1);  // just before 0x42, the last word of the first step
    const std::vector<int> after = words(Record(11 + 29 * 10));  // up to the fifth step, 0x4B
    ASSERT_EQ(after.size(), 29u);
    EXPECT_EQ(std::vector<int>(after.begin(), after.begin() + 4), (std::vector<int>{0x20, 0x30, 0x42, 0x11}));
    EXPECT_EQ(after.back(), 0x4B);
    EXPECT_EQ(Count("INFO: TRELVO-40/41 sending DEMO PP2 data 0x1"), 3);
    EXPECT_EQ(Count("INFO: TRELVO-40/41 sending DEMO PWM Low data 0x0"), 2);
    EXPECT_EQ(Count("INFO: TRELVO-40/41 sending DEMO PWM Hi data 0x2"), 1);
    EXPECT_STREQ(state_.statusText, "TRELVO-40/41 sending DEMO PWM Hi data 0xB");
}

// Every channel in use reaches the board at least once in every 8 frame periods, whatever the delays
// and the spindle option, and the board ends up with the host's current values.
TEST_F(TransmitterTest, EveryChannelIsHeardAndTheBoardConverges) {
    for (int delay = 0; delay <= 6; ++delay) {
        for (int spindleChannel = 0; spindleChannel <= 1; ++spindleChannel) {
            for (int spindleOn = 0; spindleOn <= 1; ++spindleOn) {
                SCOPED_TRACE(testing::Message() << "delay " << delay << " channel " << spindleChannel << " on "
                                                << spindleOn);
                SetUp();
                engine_.outputs[7] = HostOutputSignal{1, 1, 9, 0, 1};   // K1
                engine_.outputs[9] = HostOutputSignal{1, 16, 8, 0, 1};  // J5 C
                state_.m_SpindleOn = static_cast<uint8_t>(spindleOn);
                state_.SpindleFM.ratio = 0.5;
                Start({{"ExpandedMode", "0"},
                       {"EnableSpindle", std::to_string(spindleChannel)},
                       {"IntraFrameDelay", std::to_string(delay)},
                       {"DebugLogLevel", "0"}});
                const std::string wire = Record(3000);
                const auto frames = Decode(wire);
                const size_t period = 10 + std::max(delay, 1) - 1;
                std::vector<int> channels = {0, 1};
                if (spindleChannel) {
                    channels.push_back(4);
                    if (spindleOn) {
                        channels.push_back(2);
                        channels.push_back(3);
                    }
                }
                int latch[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
                for (int ch : channels) {
                    size_t last = 0;
                    bool seen = false;
                    for (const auto& f : frames) {
                        ASSERT_TRUE(f.parityOk && f.stopOk);
                        if ((f.word >> 4) == ch) {
                            if (seen) {
                                EXPECT_LE(f.startCycle - last, 8 * period) << "channel " << ch;
                            }
                            last = f.startCycle;
                            seen = true;
                            latch[ch] = f.word & 0xF;
                        }
                    }
                    EXPECT_TRUE(seen) << "channel " << ch;
                    EXPECT_GE(last + 8 * period, wire.size()) << "channel " << ch << " fell silent";
                }
                EXPECT_EQ(latch[0], 0x4);
                EXPECT_EQ(latch[1], 0x1);
                if (spindleChannel) {
                    const int word = spindleOn ? 512 : 0x400 + 512;
                    EXPECT_EQ(latch[4], word >> 8);
                    if (spindleOn) {
                        EXPECT_EQ(latch[2], word & 0xF);
                        EXPECT_EQ(latch[3], (word >> 4) & 0xF);
                    }
                }
                TearDown();
            }
        }
    }
}

// An output that changes now and then (here no more often than every other frame) takes its channel's
// turn; the other channels are not pushed back.
TEST_F(TransmitterTest, OccasionalChangesDoNotStarveTheOtherChannels) {
    for (int delay = 0; delay <= 6; ++delay) {
        const int period = 10 + std::max(delay, 1) - 1;
        for (int every : {2 * period + 3, 3 * period + 1, 61}) {
            SCOPED_TRACE(testing::Message() << "delay " << delay << " change every " << every);
            SetUp();
            engine_.outputs[7] = HostOutputSignal{1, 1, 9, 0, 0};   // K1, toggling
            engine_.outputs[9] = HostOutputSignal{1, 16, 8, 0, 1};  // J5 C, steady
            state_.m_SpindleOn = 1;
            state_.SpindleFM.ratio = 0.25;
            Start({{"ExpandedMode", "0"}, {"EnableSpindle", "1"}, {"IntraFrameDelay", std::to_string(delay)},
                   {"DebugLogLevel", "0"}});
            std::string wire;
            for (int c = 0; c < 4000; ++c) {
                if (c % every == 0) engine_.outputs[7].state ^= 1;
                wire += Record(1);
            }
            for (int ch : {0, 1, 2, 3, 4}) {
                size_t last = 0;
                for (const auto& f : Decode(wire)) {
                    if ((f.word >> 4) != ch) continue;
                    if (last != 0) {
                        EXPECT_LE(f.startCycle - last, 8u * period) << "channel " << ch << " at " << f.startCycle;
                    }
                    last = f.startCycle;
                }
                EXPECT_NE(last, 0u) << "channel " << ch;
            }
            TearDown();
        }
    }
}

// A lone output change, wherever it lands in the steady schedule, is latched within two frame periods.
// The worst arrival just misses a start bit: it waits out that frame (9 cycles), the gap, and its own
// frame, period + 9 in all; a PWM refresh on the wire does not hold it back.
TEST_F(TransmitterTest, SingleOutputChangeLatencyIsBounded) {
    struct Case {
        int intraFrameDelay, idleDelay, spindleChannel, spindleOn;
    };
    const Case cases[] = {{0, 3, 1, 1}, {0, 3, 1, 0}, {0, 3, 0, 0}, {1, 0, 1, 1},
                          {3, 7, 1, 1}, {4, 1, 1, 0}, {2, 5, 0, 1}};
    for (const Case& c : cases) {
        for (int port : {9, 8}) {  // Relay/PP1, PP2
            SCOPED_TRACE(testing::Message() << "IntraFrameDelay " << c.intraFrameDelay << " IdleDelay " << c.idleDelay
                                            << " channel " << c.spindleChannel << " on " << c.spindleOn << " port "
                                            << port);
            const size_t period = 10 + std::max(c.intraFrameDelay, 1) - 1;
            SetUp();
            engine_.outputs[7] = HostOutputSignal{1, 1, static_cast<int8_t>(port), 0, 0};
            state_.m_SpindleOn = static_cast<uint8_t>(c.spindleOn);
            state_.SpindleFM.ratio = 0.3;
            Start({{"ExpandedMode", "0"},
                   {"EnableSpindle", std::to_string(c.spindleChannel)},
                   {"IntraFrameDelay", std::to_string(c.intraFrameDelay)},
                   {"IdleDelay", std::to_string(c.idleDelay)},
                   {"DebugLogLevel", "0"}});
            // Two rounds of the steady schedule, each at most five frames (PWM Low, Mid, Hi, Relay/PP1,
            // PP2), after a warm-up; leaving EStop replays the same schedule for every arrival.
            const size_t warmUp = 200, span = 2 * 5 * period;
            const std::string steady = Record(static_cast<int>(warmUp + span));
            size_t worst = 0;
            for (size_t arrival = warmUp; arrival < warmUp + span; ++arrival) {
                engine_.outputs[7].state = 0;
                EStopCycles(1);
                std::string wire = Record(static_cast<int>(arrival));
                ASSERT_EQ(wire, steady.substr(0, arrival));
                engine_.outputs[7].state = 1;
                wire += Record(static_cast<int>(5 * period));
                size_t latched = 0;
                for (const auto& f : Decode(wire)) {
                    if (f.startCycle >= arrival && (f.word >> 4) == port - 8 && (f.word & 1) == 1) {
                        latched = f.startCycle + 9;  // the stop bit completes the frame
                        break;
                    }
                }
                ASSERT_NE(latched, 0u) << "arrival " << arrival;
                EXPECT_LE(latched - arrival + 1, 2 * period) << "arrival " << arrival;
                worst = std::max(worst, latched - arrival + 1);
            }
            EXPECT_EQ(worst, period + 9);
            TearDown();
        }
    }
}

}  // namespace
