// The board model behind trelvo40rx's C glue: one receiver and one set of latches per board, in HAL's memory.
#include "linuxcnc/trelvo40rx_model.h"

#include <new>

#include "board/board.h"

namespace {

struct Instance {
    board_model::Receiver receiver;
    board_model::Board board;
    int64_t sample = 0;
};

}  // namespace

extern "C" {

size_t trelvo40rx_model_size(void) { return sizeof(Instance); }
size_t trelvo40rx_model_align(void) { return alignof(Instance); }

void trelvo40rx_model_init(void* memory) { new (memory) Instance{}; }

int trelvo40rx_model_sample(void* memory, int level, uint32_t samples_per_bit, trelvo40rx_board* board) {
    Instance& i = *static_cast<Instance*>(memory);
    i.receiver.SetSamplesPerBit(samples_per_bit);
    const auto frame = i.receiver.Sample(i.sample++, level ? board_model::LineLevel::High : board_model::LineLevel::Low);
    if (!frame) return 0;
    i.board.Take(*frame);
    trelvo40rx_model_read(memory, board);
    return 1;
}

void trelvo40rx_model_read(const void* memory, trelvo40rx_board* board) {
    const Instance& i = *static_cast<const Instance*>(memory);
    const board_model::BoardLatches& l = i.board.Latches();
    for (int k = 0; k < board_model::kExpandedOutputs; ++k) board->outputs[k] = l.outputs[k];
    const board_model::SpindleCommand spindle = board_model::DecodeSpindleWord(l.SpindleWord());
    board->spindle_on = !spindle.off;
    board->spindle_ccw = spindle.ccw;
    board->spindle_duty = spindle.duty / 1023.0;
    board->frames = i.board.Counts().good;
    board->framing_errors = i.board.Counts().framingErrors;
    board->parity_errors = i.board.Counts().parityErrors;
}

}  // extern "C"
