// Receiver and board latches against hand-built line samples and words.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "board.h"

namespace {

using sim::LineLevel;
using sim::ReceivedFrame;
using sim::Receiver;

// Feeds a string of 0, 1 and z from cycle 0 and collects every frame the receiver reports.
std::vector<ReceivedFrame> Feed(Receiver& rx, const std::string& line, int64_t firstCycle = 0) {
    std::vector<ReceivedFrame> frames;
    int64_t cycle = firstCycle;
    for (char c : line) {
        const LineLevel level = c == '0' ? LineLevel::Low : c == '1' ? LineLevel::High : LineLevel::Undriven;
        if (std::optional<ReceivedFrame> f = rx.Sample(cycle++, level)) frames.push_back(*f);
    }
    return frames;
}

struct FrameCase {
    const char* name;
    std::string line;  // one character a bit
    int word;
    bool parityOk;
    bool stopOk;
    int64_t startCycle;  // in samples
    uint32_t samplesPerBit = 1;
    // Each bit after the start bit begins with one sample of the level before it, as a slow edge.
    bool lateEdges = false;
    // Nonzero: the samples per bit set anew just after the start bit's first sample.
    uint32_t samplesPerBitAfterStart = 0;
};

// One bit of LINE a character to SAMPLES samples a bit.
std::string Stretch(const std::string& line, uint32_t samples, bool lateEdges) {
    std::string out;
    bool started = false;
    for (size_t i = 0; i < line.size(); ++i) {
        for (uint32_t k = 0; k < samples; ++k) out += lateEdges && started && k == 0 ? line[i - 1] : line[i];
        started = started || line[i] == '0';
    }
    return out;
}

class ReceiverFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(ReceiverFrames, DecodesOneFrame) {
    const FrameCase& c = GetParam();
    Receiver rx;
    rx.SetSamplesPerBit(c.samplesPerBit);
    const std::string line = Stretch(c.line, c.samplesPerBit, c.lateEdges);
    const size_t started = c.samplesPerBitAfterStart != 0 ? line.find('0') + 1 : line.size();
    std::vector<ReceivedFrame> frames = Feed(rx, line.substr(0, started));
    if (c.samplesPerBitAfterStart != 0) rx.SetSamplesPerBit(c.samplesPerBitAfterStart);
    for (const ReceivedFrame& f : Feed(rx, line.substr(started), static_cast<int64_t>(started))) frames.push_back(f);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].word, c.word);
    EXPECT_EQ(frames[0].parityOk, c.parityOk);
    EXPECT_EQ(frames[0].stopOk, c.stopOk);
    EXPECT_EQ(frames[0].startCycle, c.startCycle);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReceiverFrames,
    ::testing::Values(
        // 0x6B: data 1101011 LSB first, five ones so parity 0.
        FrameCase{"SerialTestWord", "11" "0" "1101011" "0" "1", 0x6B, true, true, 2},
        // 0x11 from the relay example: two ones, parity 1.
        FrameCase{"RelayWord", "1" "0" "1000100" "1" "1" "111", 0x11, true, true, 1},
        FrameCase{"ParityWrong", "1" "0" "1000100" "0" "1", 0x11, false, true, 1},
        FrameCase{"StopBitLow", "1" "0" "1101011" "0" "0", 0x6B, true, false, 1},
        // An undriven pin idles high like a pulled-up input.
        FrameCase{"UndrivenIdle", "zzz" "0" "0000000" "1" "z", 0x00, true, true, 3},
        // A sender dividing its thread's rate: each bit is read in its middle, not at its edges.
        FrameCase{"ThreeSamplesABit", "11" "0" "1101011" "0" "1" "1", 0x6B, true, true, 6, 3},
        FrameCase{"FourSamplesLateEdges", "1" "0" "1000100" "1" "1" "1", 0x11, true, true, 4, 4, true},
        FrameCase{"TwoSamplesStopLow", "1" "0" "1101011" "0" "0" "0", 0x6B, true, false, 2, 2},
        // A new rate set during a frame waits for the next start bit.
        FrameCase{"SlowerRateMidFrame", "11" "0" "1101011" "0" "1" "1", 0x6B, true, true, 6, 3, false, 1},
        FrameCase{"FasterRateMidFrame", "1" "0" "1000100" "1" "1" "111", 0x11, true, true, 1, 1, false, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Receiver, NeedsAHighLineBeforeTheFirstStartBit) {
    Receiver rx;
    // Low from power-up is not a start bit; the frame begins at the first 0 after the 1.
    const auto frames = Feed(rx, "0000" "1" "0" "1101011" "0" "1");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].startCycle, 5);
    EXPECT_EQ(frames[0].word, 0x6B);
}

TEST(Receiver, AfterAFramingErrorWaitsForTheLineToReturnHigh) {
    Receiver rx;
    // Frame cut by a low line: framing error at the stop bit; the 0s that follow start nothing
    // until the line has been 1 again; then a good frame is read.
    const auto frames = Feed(rx, "1" "0" "11" "00000" "0" "0" "0000000000000" "1" "0" "1101011" "0" "1");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_FALSE(frames[0].stopOk);
    EXPECT_EQ(frames[0].startCycle, 1);
    EXPECT_TRUE(frames[1].Good());
    EXPECT_EQ(frames[1].startCycle, 25);
    EXPECT_EQ(frames[1].word, 0x6B);
}

TEST(Receiver, BackToBackFramesNeedNoIdleBit) {
    Receiver rx;
    const auto frames = Feed(rx, "1" "0110101101" "0110101101" "0100010011");
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].startCycle, 1);
    EXPECT_EQ(frames[1].startCycle, 11);
    EXPECT_EQ(frames[2].startCycle, 21);
    EXPECT_EQ(frames[2].word, 0x11);
    EXPECT_TRUE(frames[2].Good());
    EXPECT_FALSE(rx.InFrame());
}

TEST(Board, ChannelsSetTheirLatches) {
    sim::Board board;
    EXPECT_TRUE(board.Accept(0x05));  // PP2: J5 A and C
    EXPECT_TRUE(board.Accept(0x1A));  // Relay/PP1: K2 and J6 17
    const auto& l = board.Latches();
    const std::array<uint8_t, 8> outputs{1, 0, 1, 0, 0, 1, 0, 1};
    EXPECT_EQ(l.outputs, outputs);
    // Words of channels 5 to 7 carry nothing and leave every latch alone.
    EXPECT_FALSE(board.Accept(0x6B));
    EXPECT_FALSE(board.Accept(0x7F));
    EXPECT_EQ(board.Latches().outputs, outputs);
    EXPECT_EQ(board.Latches().SpindleWord(), 0x400);
}

TEST(Board, TakesGoodFramesAndCountsTheRest) {
    sim::Board board;
    board.Take(ReceivedFrame{0, 0x11, true, false});  // stop bit low: K1 stays off
    board.Take(ReceivedFrame{0, 0x12, false, true});  // parity wrong: K2 stays off
    EXPECT_EQ(board.Latches(), sim::BoardLatches{});
    board.Take(ReceivedFrame{0, 0x14, true, true});
    EXPECT_EQ(board.Latches().outputs[6], 1);
    EXPECT_EQ(board.Counts().good, 1u);
    EXPECT_EQ(board.Counts().framingErrors, 1u);
    EXPECT_EQ(board.Counts().parityErrors, 1u);
}

TEST(Board, SpindleWordFromThreeNibbles) {
    sim::Board board;
    for (int word : {0x20, 0x30, 0x42}) board.Accept(word);
    EXPECT_EQ(board.Latches().SpindleWord(), 0x200);
    const sim::SpindleCommand on = sim::DecodeSpindleWord(board.Latches().SpindleWord());
    EXPECT_EQ(on.duty, 512);
    EXPECT_FALSE(on.off);
    EXPECT_FALSE(on.ccw);
    board.Accept(0x4B);  // Hi nibble 1011: duty bits 8-9 = 3, on, ccw
    const sim::SpindleCommand ccw = sim::DecodeSpindleWord(board.Latches().SpindleWord());
    EXPECT_EQ(ccw.duty, 0x300);
    EXPECT_FALSE(ccw.off);
    EXPECT_TRUE(ccw.ccw);
    board.Accept(0x44);  // Hi nibble 0100: off
    EXPECT_TRUE(sim::DecodeSpindleWord(board.Latches().SpindleWord()).off);
}

TEST(Board, ExpandedPinsMapToNibbleOrder) {
    EXPECT_EQ(sim::ExpandedOutputIndex(8, 1), 0);
    EXPECT_EQ(sim::ExpandedOutputIndex(8, 17), 3);
    EXPECT_EQ(sim::ExpandedOutputIndex(9, 1), 4);
    EXPECT_EQ(sim::ExpandedOutputIndex(9, 16), 6);
    EXPECT_EQ(sim::ExpandedOutputIndex(1, 16), -1);
    EXPECT_EQ(sim::ExpandedOutputIndex(9, 2), -1);
    EXPECT_STREQ(sim::LatchName(sim::ExpandedOutputIndex(9, 14)), "K2");
}

TEST(Board, ChangesAreDescribedPerLatch) {
    sim::BoardLatches before, after;
    after.outputs[4] = 1;
    after.pwm = {0, 0, 2};
    const auto lines = sim::DescribeLatchChanges(before, after);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].latch, 4);
    EXPECT_EQ(lines[0].text, "K1 on");
    EXPECT_EQ(lines[1].latch, sim::kExpandedOutputs);
    EXPECT_EQ(lines[1].text, "spindle word 0x200 (duty 512, on, cw)");
}

}  // namespace
