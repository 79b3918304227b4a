// The frame state machine as a host without Mach3 drives it: Cycle(estop), the rescan, the waits.
#include <gtest/gtest.h>

#include <string>

#include "core/transmitter.h"
#include "rig.h"

namespace {

struct Line {
    coretest::Rig rig;
    Settings settings;
    board::Transmitter tx;
    int rescans = 0;
    std::string atRescan;  // the wire so far when the rescan came

    explicit Line(Settings s) : settings(s) {
        tx.Bind(&settings, &rig.in, &rig.sink, board::RescanHook{[](void* c) {
                                                                    Line& l = *static_cast<Line*>(c);
                                                                    ++l.rescans;
                                                                    l.atRescan = l.wire;
                                                                }, this});
        tx.ResetScheduler();
    }
    std::string Run(int cycles, bool estop = false) {
        std::string out;
        for (int i = 0; i < cycles; ++i) {
            const char bit = tx.Cycle(estop) ? '1' : '0';
            out += bit;
            wire += bit;
        }
        return out;
    }
    std::string wire;
};

Settings With(int32_t mode, int32_t post, int32_t idle, bool serialTest) {
    Settings s;
    s.IoMode = mode;
    s.PostEStopDelay = post;
    s.IdleDelay = idle;
    s.zzzzz = serialTest;
    return s;
}

TEST(Transmitter, LeavingEStop) {
    struct Case {
        const char* name;
        Settings settings;
        std::string wire;  // after one EStop cycle
    };
    const Case cases[] = {
        {"default waits, serial test", With(IO_EXPANDED_IO, 10, 3, true), "000000000" "11" "0110101101"},
        {"short idle delay still gives one idle 1", With(IO_EXPANDED_IO, 2, 0, true), "0" "1" "0110101101"},
        {"expanded output", With(IO_EXPANDED_OUTPUT, 2, 5, true), "0" "1111" "0110101101"},
        {"expanded input halts", With(IO_EXPANDED_INPUT, 2, 3, true), "00" "111111111111111"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Line line(c.settings);
        line.Run(1, true);
        EXPECT_EQ(line.Run(static_cast<int>(c.wire.size())), c.wire);
        EXPECT_EQ(line.rescans, 1);
        // The rescan comes in the cycle that may start the first frame, before its bit.
        EXPECT_EQ(line.atRescan.size(), 1u + c.settings.PostEStopDelay - 1);
    }
}

TEST(Transmitter, EStopCutsAFrameAndTheWaitsStartAgain) {
    Line line(With(IO_EXPANDED_IO, 10, 3, true));
    line.Run(1, true);
    line.Run(11 + 4);
    EXPECT_EQ(line.Run(3, true), "000");
    EXPECT_EQ(line.Run(21), "00000000011" "0110101101");
    EXPECT_EQ(line.rescans, 2);
    int entered = 0;
    for (const auto& e : line.rig.events) entered += e.kind == board::EventKind::EnterEStop;
    EXPECT_EQ(entered, 1) << "the first EStop cycle found the line already in EStop";
}

TEST(Transmitter, SchedulerFramesCarryTheOutputs) {
    Settings s = With(IO_EXPANDED_IO, 2, 3, false);
    s.IntraFrameDelay = 2;
    Line line(s);
    line.rig.level[4] = 1;  // K1
    line.Run(1, true);
    EXPECT_EQ(line.Run(25), "011" "0100010011" "1" "0000000011" "1") << "Relay/PP1 0x11, then PP2 0x00";
}

}  // namespace
