// The board's connectors as an SVG schematic: the docs' pinout and the check's page draw the same.
#pragma once

#include <array>
#include <string>

namespace sim {

// The board's pins in drawing order: the EStop, bit-stream and charge-pump pins of the parallel
// port, inputs J12 11, 12, 13, 15 and J11 E to H, relays K1 and K2, J5 A to D, J6 16 and 17.
constexpr int kBoardPins = 19;
constexpr int kEStopPin = 0, kStreamPin = 1, kChargePumpPin = 2, kFirstInputPin = 3;
struct BoardPin {
    const char* id;     // unique, for the page's DOM: "K1", "J5-A", "P1-16"
    const char* name;   // as printed beside the pin: "K1", "A", "16"
    int port, pin;      // the host's port and pin for it
    bool output;        // the plug-in drives it through the bit stream
};
const BoardPin& BoardPinAt(int index);
// The drawing index of board output 0..7 (board.h's numbering).
int BoardPinOfLatch(int latch);

enum class PinMark { None, Followed, NotFollowed, NotWired, NotChecked, Agrees, Fault };
// What one pin is labelled with; the mark's symbol and word come with it, so colour is never the
// only sign.
struct PinLabel {
    std::string label;   // the host signal on it, e.g. output 7 "Output #1"
    std::string detail;  // the line under it
    PinMark mark = PinMark::None;
    bool inverted = false;  // an active-low output: the board's pin is on while the host shows it off
};
const char* MarkSymbol(PinMark mark);
const char* MarkWord(PinMark mark);
const char* MarkClass(PinMark mark);

std::string XmlEscape(const std::string& text);

// The schematic with each pin's label; a bare <svg> element, its styles inline.
std::string BoardSvg(const std::array<PinLabel, kBoardPins>& pins);
// The same drawing labelled with the host's port and pin for each board pin, as a standalone file.
std::string PinoutSvg();

}  // namespace sim
