// The board model as the simulator reports it: the shared receiver and latches, and their texts.
#pragma once

#include <string>
#include <vector>

#include "board/board.h"
#include "board/receiver.h"

namespace sim {

using board_model::Board;
using board_model::BoardLatches;
using board_model::DecodeSpindleWord;
using board_model::kExpandedOutputs;
using board_model::LineLevel;
using board_model::ReceivedFrame;
using board_model::Receiver;
using board_model::SpindleCommand;

// Channel names as the plug-in's words carry them in bits 4 to 6.
const char* ChannelName(int channel);
const char* LatchName(int output);
// Index 0..7 of an expanded port/pin, or -1 when it is not one.
int ExpandedOutputIndex(int port, int pin);
// The port and pin of expanded output 0..7.
int ExpandedPort(int output);
int ExpandedPin(int output);

std::string DescribeSpindleWord(int word);

// One latch that changed: an expanded output (0..7), or kExpandedOutputs for the spindle word.
struct LatchChange {
    int latch = 0;
    std::string text;
};
// What a reader of the account wants to see change from one latch state to the next.
std::vector<LatchChange> DescribeLatchChanges(const BoardLatches& before, const BoardLatches& after);

}  // namespace sim
