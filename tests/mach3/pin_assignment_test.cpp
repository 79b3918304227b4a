// PinAssignment: sign-extended reads of host bytes and writes that touch only the four assignment fields.
#include <gtest/gtest.h>

#include <cstring>

#include "mach3/host_blocks.h"
#include "mach3/pin_assignment.h"

namespace {

// Every byte of the block distinct-ish, so a stray write shows up in the comparison.
void FillPattern(HostEngineBlock& block) {
    auto* bytes = reinterpret_cast<unsigned char*>(&block);
    for (size_t i = 0; i < sizeof block; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    }
}

template <typename Entry>
void SetEntry(Entry& e, uint8_t enabled, uint8_t pin, uint8_t port, uint8_t activeLow, uint8_t state) {
    e.enabled = enabled;
    e.pin = static_cast<int8_t>(pin);
    e.port = static_cast<int8_t>(port);
    e.activeLow = activeLow;
    e.state = state;
}

struct ByteCase {
    uint8_t pinByte;
    uint8_t portByte;
    int32_t pin;
    int32_t port;
};

const ByteCase kByteCases[] = {
    {200, 129, -56, -127},
    {255, 128, -1, -128},
    {127, 1, 127, 1},
    {16, 9, 16, 9},
};

TEST(PinAssignment, OutputBytesAbove127ReadNegativeAndWriteBackUnchanged) {
    for (const ByteCase& c : kByteCases) {
        SCOPED_TRACE(testing::Message() << "pin byte " << int(c.pinByte) << " port byte " << int(c.portByte));
        HostEngineBlock engine{};
        FillPattern(engine);
        SetEntry(engine.outputs[5], 1, c.pinByte, c.portByte, 1, 1);
        HostEngineBlock before = engine;

        OutputPinAssignment a(&engine, 5);
        EXPECT_EQ(a.pin, c.pin);
        EXPECT_EQ(a.port, c.port);
        EXPECT_TRUE(a.enabled);
        EXPECT_TRUE(a.activeLow);
        EXPECT_EQ(a.signalIndex, 5);
        a.Apply();
        EXPECT_EQ(0, std::memcmp(&before, &engine, sizeof engine));
    }
}

TEST(PinAssignment, InputBytesAbove127ReadNegativeAndWriteBackUnchanged) {
    for (const ByteCase& c : kByteCases) {
        SCOPED_TRACE(testing::Message() << "pin byte " << int(c.pinByte) << " port byte " << int(c.portByte));
        HostEngineBlock engine{};
        FillPattern(engine);
        SetEntry(engine.inputs[25], 0, c.pinByte, c.portByte, 0, 1);
        HostEngineBlock before = engine;

        InputPinAssignment a(&engine, 25);
        EXPECT_EQ(a.pin, c.pin);
        EXPECT_EQ(a.port, c.port);
        EXPECT_FALSE(a.enabled);
        EXPECT_FALSE(a.activeLow);
        a.Apply();
        EXPECT_EQ(0, std::memcmp(&before, &engine, sizeof engine));
    }
}

TEST(PinAssignment, NonZeroFlagBytesReadAsTrueAndWriteBackAsOne) {
    HostEngineBlock engine{};
    SetEntry(engine.outputs[2], 7, 3, 1, 200, 0);
    OutputPinAssignment a(&engine, 2);
    EXPECT_TRUE(a.enabled);
    EXPECT_TRUE(a.activeLow);
    a.Apply();
    EXPECT_EQ(engine.outputs[2].enabled, 1);
    EXPECT_EQ(engine.outputs[2].activeLow, 1);
}

// Apply writes enabled, port, pin and active-low of its own entry, truncating numbers to a byte,
// and nothing else: not the state, not a neighbouring entry, not the other table.
TEST(PinAssignment, ApplyWritesOnlyItsFourFields) {
    struct Case {
        bool output;
        int32_t index;
        bool enabled;
        int32_t port;
        int32_t pin;
        bool activeLow;
        uint8_t portByte;
        uint8_t pinByte;
    };
    const Case cases[] = {
        {true, 13, false, 1, 17, false, 1, 17},
        {true, 0, true, 9, 16, true, 9, 16},
        {true, 29, true, -56, -1, false, 200, 255},
        {true, 13, true, 0x101, 0x211, true, 1, 0x11},
        {false, 25, true, 1, 10, true, 1, 10},
        {false, 52, false, 8, 1, false, 8, 1},
        {false, 22, true, -128, 0x1FF, false, 128, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.output ? "output " : "input ") << c.index);
        HostEngineBlock engine{};
        FillPattern(engine);
        HostEngineBlock expected = engine;
        if (c.output) {
            OutputPinAssignment a(&engine, c.index);
            a.enabled = c.enabled;
            a.port = c.port;
            a.pin = c.pin;
            a.activeLow = c.activeLow;
            a.Apply();
            HostOutputSignal& e = expected.outputs[c.index];
            e.enabled = c.enabled ? 1 : 0;
            e.port = static_cast<int8_t>(c.portByte);
            e.pin = static_cast<int8_t>(c.pinByte);
            e.activeLow = c.activeLow ? 1 : 0;
        } else {
            InputPinAssignment a(&engine, c.index);
            a.enabled = c.enabled;
            a.port = c.port;
            a.pin = c.pin;
            a.activeLow = c.activeLow;
            a.Apply();
            HostInputSignal& e = expected.inputs[c.index];
            e.enabled = c.enabled ? 1 : 0;
            e.port = static_cast<int8_t>(c.portByte);
            e.pin = static_cast<int8_t>(c.pinByte);
            e.activeLow = c.activeLow ? 1 : 0;
        }
        EXPECT_EQ(0, std::memcmp(&expected, &engine, sizeof engine));
    }
}

TEST(PinAssignment, DestructionWritesNothing) {
    HostEngineBlock engine{};
    FillPattern(engine);
    const HostEngineBlock before = engine;
    {
        OutputPinAssignment out(&engine, 13);
        out.enabled = !out.enabled;
        out.port = 3;
        InputPinAssignment in(&engine, 22);
        in.port = 4;
    }
    EXPECT_EQ(0, std::memcmp(&before, &engine, sizeof engine));
}

}  // namespace
