// Draws the board's connectors and pins as SVG, labelled by the caller.
#include "board_drawing.h"

#include <algorithm>
#include <sstream>

namespace sim {
namespace {

const BoardPin kPins[kBoardPins] = {
    {"P1-10", "10", 1, 10, false}, {"P1-16", "16", 1, 16, false}, {"P1-17", "17", 1, 17, false},
    {"J12-11", "11", 1, 11, false}, {"J12-12", "12", 1, 12, false}, {"J12-13", "13", 1, 13, false}, {"J12-15", "15", 1, 15, false},
    {"J11-E", "E", 8, 11, false}, {"J11-F", "F", 8, 12, false}, {"J11-G", "G", 8, 13, false}, {"J11-H", "H", 8, 15, false},
    {"K1", "K1", 9, 1, true}, {"K2", "K2", 9, 14, true},
    {"J5-A", "A", 8, 1, true}, {"J5-B", "B", 8, 14, true}, {"J5-C", "C", 8, 16, true}, {"J5-D", "D", 8, 17, true},
    {"J6-16", "16", 9, 16, true}, {"J6-17", "17", 9, 17, true},
};

struct Group {
    const char* title;
    int first, count;
    int column;  // 0 left, 1 right
};
const Group kGroups[] = {
    {"Parallel port, port 1 (from the PC)", 0, 3, 1},
    {"J12 inputs (port 1)", 3, 4, 0},
    {"J11 inputs (port 8)", 7, 4, 0},
    {"Relays (port 9)", 11, 2, 1},
    {"J5 outputs (port 8)", 13, 4, 1},
    {"J6 outputs (port 9)", 17, 2, 0},
};

constexpr int kWidth = 760;
constexpr int kColumnX[2] = {16, 392};
constexpr int kColumnWidth = 352;
constexpr int kTop = 34;
constexpr int kHeader = 20;
constexpr int kRow = 30;
constexpr int kGap = 10;

// Each mark's look, in PinMark's order. Pin boxes differ in fill as well as colour, so a greyscale
// print still tells them apart; the symbol and word mean colour is never the only sign.
struct MarkLook {
    const char* colour;
    const char* fill;
    const char* symbol;
    const char* word;
    const char* cssClass;
};
constexpr MarkLook kLooks[] = {
    {"#222", "#eef1f5", "", "", "info"},                                       // None
    {"#1b7f3b", "#d6f0dd", "\u2714", "followed", "followed"},                  // Followed
    {"#b3261e", "#f6d5d2", "\u2718", "NOT followed", "failed"},                // NotFollowed
    {"#6b6b6b", "#ffffff", "\u2013", "not wired", "unwired"},                  // NotWired
    {"#7a5b00", "#fff3c4", "?", "not checked", "unchecked"},                  // NotChecked
    {"#1b7f3b", "#d6f0dd", "\u2714", "agrees", "followed"},                    // Agrees
    {"#b3261e", "#f6d5d2", "\u2718", "fault", "failed"},                       // Fault
};
const MarkLook& Look(PinMark mark) { return kLooks[static_cast<int>(mark)]; }
const char* MarkColour(PinMark mark) { return Look(mark).colour; }
const char* PinFill(PinMark mark) { return Look(mark).fill; }

// A text too long for its column is squeezed to fit rather than cut off by the next column.
std::string Fit(const std::string& text, int fontSize) {
    constexpr int kRoom = kColumnWidth - 52;
    if (static_cast<double>(text.size()) * fontSize * 0.58 <= kRoom) return "";
    return " textLength=\"" + std::to_string(kRoom) + "\" lengthAdjust=\"spacingAndGlyphs\"";
}

int Height() {
    int h[2] = {kTop, kTop};
    for (const Group& g : kGroups) h[g.column] += kHeader + g.count * kRow + kGap;
    return std::max(h[0], h[1]) + 4;
}

}  // namespace

const BoardPin& BoardPinAt(int index) { return kPins[index]; }

int BoardPinOfLatch(int latch) {
    // Board outputs 0..3 are J5 A..D, 4 and 5 the relays, 6 and 7 J6.
    static const int kOf[8] = {13, 14, 15, 16, 11, 12, 17, 18};
    return kOf[latch & 7];
}

const char* MarkSymbol(PinMark mark) { return Look(mark).symbol; }
const char* MarkWord(PinMark mark) { return Look(mark).word; }
const char* MarkClass(PinMark mark) { return Look(mark).cssClass; }

std::string XmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string BoardSvg(const std::array<PinLabel, kBoardPins>& pins) {
    const int height = Height();
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"board\" viewBox=\"0 0 " << kWidth << ' ' << height
        << "\" font-family=\"DejaVu Sans, Verdana, sans-serif\" role=\"img\" aria-label=\"TRELVO-40/41 board, schematic\">\n";
    svg << "<rect x=\"2\" y=\"2\" width=\"" << kWidth - 4 << "\" height=\"" << height - 4
        << "\" rx=\"10\" fill=\"#fbfbf7\" stroke=\"#444\" stroke-width=\"2\"/>\n";
    svg << "<text x=\"16\" y=\"22\" font-size=\"13\" font-weight=\"bold\">TRELVO-40/41 board</text>"
        << "<text x=\"" << kWidth - 16 << "\" y=\"22\" font-size=\"11\" text-anchor=\"end\" fill=\"#555\">"
        << "schematic: connectors and pins, not the board's photograph</text>\n";
    int y[2] = {kTop, kTop};
    for (const Group& g : kGroups) {
        const int x = kColumnX[g.column];
        int& top = y[g.column];
        svg << "<g class=\"connector\"><rect x=\"" << x - 6 << "\" y=\"" << top << "\" width=\"" << kColumnWidth + 12
            << "\" height=\"" << kHeader + g.count * kRow << "\" rx=\"5\" fill=\"none\" stroke=\"#999\"/>"
            << "<text x=\"" << x << "\" y=\"" << top + 14 << "\" font-size=\"11\" font-weight=\"bold\" fill=\"#333\">"
            << XmlEscape(g.title) << "</text>\n";
        top += kHeader;
        for (int k = g.first; k < g.first + g.count; ++k) {
            const BoardPin& p = kPins[k];
            const PinLabel& l = pins[k];
            const char* colour = MarkColour(l.mark);
            svg << "<g class=\"pin " << MarkClass(l.mark) << "\" id=\"pin-" << p.id << "\">"
                << "<rect x=\"" << x << "\" y=\"" << top + 3 << "\" width=\"40\" height=\"22\" rx=\"3\" fill=\""
                << PinFill(l.mark) << "\" stroke=\"" << colour << "\" stroke-width=\"" << (l.mark == PinMark::NotFollowed ? 2.5 : 1.2)
                << "\"" << (l.mark == PinMark::NotWired ? " stroke-dasharray=\"3 2\"" : "") << "/>"
                // The schematic's inversion bubble on the pin.
                << (l.inverted ? "<circle class=\"inverted\" cx=\"" + std::to_string(x + 43) + "\" cy=\"" +
                                     std::to_string(top + 14) + "\" r=\"3.5\" fill=\"#fff\" stroke=\"#222\" stroke-width=\"1.4\"/>"
                               : "")
                << "<text x=\"" << x + 20 << "\" y=\"" << top + 18 << "\" font-size=\"12\" font-weight=\"bold\" "
                << "text-anchor=\"middle\">" << p.name << "</text>"
                << "<text x=\"" << x + 48 << "\" y=\"" << top + 13 << "\" font-size=\"11\"" << Fit(l.label, 11) << ">"
                << XmlEscape(l.label) << "</text>"
                << "<text x=\"" << x + 48 << "\" y=\"" << top + 26 << "\" font-size=\"10\" fill=\"" << colour << "\""
                << Fit(std::string(MarkWord(l.mark)) + "   " + l.detail, 10) << ">";
            if (l.mark != PinMark::None)
                svg << "<tspan font-weight=\"bold\">" << MarkSymbol(l.mark) << ' ' << MarkWord(l.mark) << "</tspan>"
                    << (l.detail.empty() ? "" : " ");
            svg << XmlEscape(l.detail) << "</text></g>\n";
            top += kRow;
        }
        svg << "</g>\n";
        top += kGap;
    }
    svg << "</svg>\n";
    return svg.str();
}

std::string PinoutSvg() {
    std::array<PinLabel, kBoardPins> pins;
    for (int k = 0; k < kBoardPins; ++k) {
        const BoardPin& p = kPins[k];
        pins[k].label = "port " + std::to_string(p.port) + " pin " + std::to_string(p.pin);
        pins[k].detail = p.output              ? "an output of Mach3 set to this port and pin"
                         : k == kEStopPin      ? "the EStop terminal (input 25), kept here by the plug-in"
                         : k == kStreamPin     ? "the bit stream: the output set to port 1 pin 16"
                         : k == kChargePumpPin ? "the charge pump (output 13), kept here by the plug-in"
                                               : "an input of Mach3 set to this port and pin";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + BoardSvg(pins);
}

}  // namespace sim
