// Assignment scan in each mode and the port words built from its result.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "mach3/assignments/assignments.h"
#include "mach3/plugin_state.h"
#include "support/test_support.h"

namespace {

class ScanTest : public testsupport::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        Init();
    }

    void Assign(int index, uint8_t enabled, int port, int pin, uint8_t activeLow = 0, uint8_t state = 0) {
        HostOutputSignal& out = engine_.outputs[index];
        out.enabled = enabled;
        out.port = static_cast<int8_t>(port);
        out.pin = static_cast<int8_t>(pin);
        out.activeLow = activeLow;
        out.state = state;
    }

    std::vector<int32_t> Slots() const {
        const int32_t* s = testsupport::State().scan.ExpandedAssignments;
        return {s, s + 8};
    }

    using Slots8 = std::vector<int32_t>;
};

TEST_F(ScanTest, BeforeAnyScanNothingIsAssigned) {
    EXPECT_EQ(testsupport::State().scan.bitStreamIndex, ASSIGN_NO_STREAM);
    EXPECT_EQ(Slots(), Slots8(8, ASSIGN_NONE));
    EXPECT_EQ(GetPort8Word(), 0);
    EXPECT_EQ(GetPort9Word(), 16);
}

TEST_F(ScanTest, ExpandedInputModeGivesFixedMarkersAndLeavesTheHostTableAlone) {
    Assign(4, 1, 1, 16, 1, 1);
    Assign(7, 1, 9, 1, 0, 1);
    Assign(3, 1, 8, 14, 0, 1);
    testsupport::State().settings.IoMode = IO_EXPANDED_IO;
    ScanSignalAssignments();  // something to overwrite
    Assign(4, 1, 1, 16, 1, 1);
    const HostEngineBlock before = engine_;

    testsupport::State().settings.IoMode = IO_EXPANDED_INPUT;
    ScanSignalAssignments();
    EXPECT_EQ(Slots(), (Slots8{-1, -1, -1, -1, -4, -5, -1, -1}));
    EXPECT_EQ(testsupport::State().scan.bitStreamIndex, -2);
    EXPECT_EQ(0, std::memcmp(&before, &engine_, sizeof engine_));
    // Markers never read as outputs.
    EXPECT_EQ(GetPort8Word(), 0);
    EXPECT_EQ(GetPort9Word(), 16);
}

TEST_F(ScanTest, OutputModesMapEachExpandedPin) {
    const int ports[] = {8, 8, 8, 8, 9, 9, 9, 9};
    const int pins[] = {1, 14, 16, 17, 1, 14, 16, 17};
    for (int32_t mode : {IO_EXPANDED_IO, IO_EXPANDED_OUTPUT}) {
        for (int slot = 0; slot < 8; ++slot) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " slot " << slot);
            engine_ = HostEngineBlock{};
            const int index = 22 + slot;  // up to 29, the last output
            Assign(index, 1, ports[slot], pins[slot]);
            testsupport::State().settings.IoMode = mode;
            ScanSignalAssignments();
            Slots8 expected(8, ASSIGN_NONE);
            expected[slot] = index;
            EXPECT_EQ(Slots(), expected);
            EXPECT_EQ(testsupport::State().scan.bitStreamIndex, ASSIGN_NO_STREAM);
        }
    }
}

TEST_F(ScanTest, ConflictsIgnoredPinsAndTheBitStreamPin) {
    for (int32_t mode : {IO_EXPANDED_IO, IO_EXPANDED_OUTPUT}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        engine_ = HostEngineBlock{};
        Assign(3, 1, 8, 14);
        Assign(7, 1, 8, 14);       // same pin, higher index wins
        Assign(0, 1, 8, 2);        // not an expanded pin
        Assign(1, 1, 2, 1);        // not an expanded port
        Assign(2, 0, 8, 1);        // disabled
        Assign(11, 1, 9, 17);
        Assign(5, 1, 9, 17);       // lower index loses even though it comes later in the setup
        Assign(4, 1, 1, 16, 1, 1); // bit stream, active-low
        Assign(9, 1, 1, 16, 1, 0); // bit stream too, the winner
        Assign(12, 0, 1, 16, 1, 1); // disabled: keeps its flag
        Assign(13, 1, 1, 17, 1, 0); // port 1, other pin: ignored, keeps its flag
        Assign(15, 1, 9, 0);
        Assign(16, 1, 0, 16);
        HostEngineBlock expected = engine_;
        expected.outputs[4].activeLow = 0;
        expected.outputs[9].activeLow = 0;

        testsupport::State().settings.IoMode = mode;
        ScanSignalAssignments();
        EXPECT_EQ(Slots(), (Slots8{-2, 7, -2, -2, -2, -2, -2, 11}));
        EXPECT_EQ(testsupport::State().scan.bitStreamIndex, 9);
        EXPECT_EQ(0, std::memcmp(&expected, &engine_, sizeof engine_));
    }
}

TEST_F(ScanTest, RescanForgetsAssignmentsThatAreGone) {
    Assign(6, 1, 9, 14);
    Assign(8, 1, 1, 16);
    testsupport::State().settings.IoMode = IO_EXPANDED_IO;
    ScanSignalAssignments();
    EXPECT_EQ(Slots()[5], 6);
    EXPECT_EQ(testsupport::State().scan.bitStreamIndex, 8);

    // Without a new scan the old result stands.
    engine_.outputs[6].enabled = 0;
    engine_.outputs[8].port = 2;
    EXPECT_EQ(Slots()[5], 6);
    EXPECT_EQ(testsupport::State().scan.bitStreamIndex, 8);

    ScanSignalAssignments();
    EXPECT_EQ(Slots(), Slots8(8, ASSIGN_NONE));
    EXPECT_EQ(testsupport::State().scan.bitStreamIndex, ASSIGN_NO_STREAM);
}

TEST_F(ScanTest, PortWordsFollowStateAndActiveLow) {
    struct Case {
        uint8_t state;
        uint8_t activeLow;
        int32_t word9;
    };
    const Case cases[] = {{1, 0, 20}, {0, 1, 20}, {1, 1, 16}, {0, 0, 16}};
    testsupport::State().settings.IoMode = IO_EXPANDED_OUTPUT;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << int(c.state) << " activeLow " << int(c.activeLow));
        engine_ = HostEngineBlock{};
        Assign(10, 1, 9, 16, c.activeLow, c.state);
        ScanSignalAssignments();
        EXPECT_EQ(GetPort9Word(), c.word9);
        EXPECT_EQ(GetPort8Word(), 0);
        // Same pin on port 8 gives the same bit without the channel.
        engine_ = HostEngineBlock{};
        Assign(10, 1, 8, 16, c.activeLow, c.state);
        ScanSignalAssignments();
        EXPECT_EQ(GetPort8Word(), c.word9 - 16);
        EXPECT_EQ(GetPort9Word(), 16);
    }
}

TEST_F(ScanTest, PortWordBitsFollowPinOrderAndLiveStates) {
    const int pins[] = {1, 14, 16, 17};
    testsupport::State().settings.IoMode = IO_EXPANDED_IO;
    for (int k = 0; k < 4; ++k) {
        Assign(16 + k, 1, 8, pins[k]);
        Assign(24 + k, 1, 9, pins[k], 1);  // active-low: high when the state is 0
    }
    ScanSignalAssignments();
    for (int pattern = 0; pattern < 16; ++pattern) {
        for (int k = 0; k < 4; ++k) {
            const uint8_t bit = (pattern >> k) & 1;
            engine_.outputs[16 + k].state = bit;
            engine_.outputs[24 + k].state = bit ^ 1;
        }
        // States are read when the word is built, no rescan needed.
        EXPECT_EQ(GetPort8Word(), pattern);
        EXPECT_EQ(GetPort9Word(), 16 + pattern);
    }
}

}  // namespace
