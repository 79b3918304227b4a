// Renders a wiring check's result as an HTML page that prints on one A4 sheet.
#include "check_page.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "board_drawing.h"
#include "build_version.h"
#include "simulation.h"

namespace sim {
namespace {

constexpr int kFrameBits = 10;
// The problem list's room on the sheet beside the worst-case drawings, in lines of about kLineChars
// letters: every fault is shown whatever it takes, then warnings and notes while they fit; the rest
// are counted.
constexpr size_t kProblemLines = 12;
constexpr size_t kLineChars = 150;

size_t LinesOf(const CheckProblem& p) {
    const size_t letters = p.Lead().size() + p.text.size() + p.fix.size() + 20;
    return (letters + kLineChars - 1) / kLineChars;
}

std::string Cycles(const CheckStep& s) { return s.followed ? std::to_string(s.Cycles()) : "never"; }

std::array<PinLabel, kBoardPins> Labels(const WiringCheckResult& r) {
    std::array<PinLabel, kBoardPins> pins;
    PinLabel& estop = pins[kEStopPin];
    estop.label = "input 25 \"EStop\", " + std::string(r.estop.simMode ? "active-low" : "active-high") + " (SimMode " +
                  (r.estop.simMode ? "1" : "0") + ")";
    const bool estopAgrees = r.estop.OnItsPin() && r.estop.PolarityKept();
    estop.mark = estopAgrees ? PinMark::Agrees : PinMark::Fault;
    estop.detail = estopAgrees ? "the profile sets the same" : DescribeEStop(r.estop).substr(DescribeEStop(r.estop).find("the profile"));
    PinLabel& stream = pins[kStreamPin];
    if (r.streamOutput >= 0) {
        stream.label = OutputLabel(r.streamOutput);
        stream.detail = "bit stream; the board received " + std::to_string(r.frames) + " frames";
    } else {
        stream.label = r.disabledStreamOutput >= 0 ? OutputLabel(r.disabledStreamOutput) + ", disabled" : "nothing";
        stream.detail = "bit stream: the board hears nothing";
        stream.mark = PinMark::NotWired;
    }
    pins[kChargePumpPin].label = OutputLabel(kChargePumpOutput);
    pins[kChargePumpPin].detail = "charge pump, kept here by the plug-in";
    for (int k = 0; k < 8; ++k) {
        const CheckedInput& in = r.inputs[k];
        PinLabel& l = pins[kFirstInputPin + k];
        l.label = in.label.empty() ? in.shown : in.label;
        l.detail = "input on port " + std::to_string(in.port) + " pin " + std::to_string(in.portPin) +
                   (in.shown == "Not Available" ? "; ignored in this mode" : "");
    }
    for (int latch = 0; latch < kExpandedOutputs; ++latch) {
        PinLabel& l = pins[BoardPinOfLatch(latch)];
        std::vector<const CheckedOutput*> on;
        for (const CheckedOutput& s : r.outputs)
            if (s.latch == latch) on.push_back(&s);
        if (on.empty()) {
            l.label = "no host output";
            l.mark = PinMark::NotWired;
            for (const DisabledOutput& d : r.disabledOutputs)
                if (d.latch == latch) l.detail += (l.detail.empty() ? "" : "; ") + OutputLabel(d.output) + " is set here, disabled";
            continue;
        }
        const bool all = std::all_of(on.begin(), on.end(), [](const CheckedOutput* s) { return s->Followed(); });
        l.mark = !r.notChecked.empty() ? PinMark::NotChecked : all ? PinMark::Followed : PinMark::NotFollowed;
        for (const CheckedOutput* s : on) {
            l.label += (l.label.empty() ? "" : ", ") + OutputLabel(s->output) + (s->activeLow ? " active-low" : "");
            l.inverted = l.inverted || (s->activeLow && s->drives);
            const std::string who = on.size() > 1 ? "output " + std::to_string(s->output) + ": " : "";
            std::string what = !r.notChecked.empty() ? r.notChecked
                               : s->Followed()       ? "on in " + Cycles(s->on) + ", off in " + Cycles(s->off) + " cycles"
                               : !s->drives          ? "overridden by a higher output"
                                                     : "on: " + Cycles(s->on) + ", off: " + Cycles(s->off);
            l.detail += (l.detail.empty() ? "" : "; ") + who + what;
        }
        if (l.inverted) l.detail = "inverted by Active Low; " + l.detail;
    }
    return pins;
}

// A level trace as an SVG path: `levels` from `from` to `to`, x from x0 at `scale` per cycle.
std::string Wave(const std::vector<uint8_t>& levels, int64_t from, int64_t to, double x0, double scale, double y, double high) {
    std::ostringstream d;
    d.setf(std::ios::fixed);
    d.precision(1);
    auto level = [&](int64_t c) { return c >= 0 && c < static_cast<int64_t>(levels.size()) ? levels[c] : 0; };
    d << "M" << x0 << ' ' << (level(from) ? y : y + high);
    for (int64_t c = from + 1; c < to; ++c) {
        if (level(c) == level(c - 1)) continue;
        d << " H" << x0 + (c - from) * scale << " V" << (level(c) ? y : y + high);
    }
    d << " H" << x0 + (to - from) * scale;
    return d.str();
}

// One frame with its bits named, then each wired board output's host level and board latch.
std::string StripSvg(const WiringCheckResult& r) {
    const int width = 760, left = 118;
    std::ostringstream svg;
    const CheckedOutput* first = nullptr;
    for (const CheckedOutput& s : r.outputs)
        if (s.on.followed && !first) first = &s;
    std::vector<int> latches;
    for (const CheckedOutput& s : r.outputs)
        if (std::find(latches.begin(), latches.end(), s.latch) == latches.end()) latches.push_back(s.latch);
    const int rows = 1 + 2 * static_cast<int>(latches.size());
    // Rows close up when many board outputs are wired, so the strip keeps the sheet's room.
    const int traceTop = 96, rowHeight = latches.size() > 4 ? 10 : 17;
    const int height = traceTop + (latches.empty() ? 20 : rows * rowHeight + 30);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"strip\" viewBox=\"0 0 " << width << ' ' << height
        << "\" font-family=\"DejaVu Sans, Verdana, sans-serif\" font-size=\"10\">\n";

    // The frame.
    static const char* const kBitNames[kFrameBits] = {"start", "bit 0", "bit 1", "bit 2", "bit 3", "bit 4", "bit 5", "bit 6", "parity", "stop"};
    const int64_t start = first ? first->on.latchedAt - (kFrameBits - 1) : -1;
    const double cell = (width - left - 10) / static_cast<double>(kFrameBits);
    svg << "<text x=\"0\" y=\"12\" font-size=\"11\" font-weight=\"bold\">one frame</text>";
    if (first) {
        int word = 0;
        for (int b = 0; b < 7; ++b) word |= r.trace.wire[start + 1 + b] << b;
        std::ostringstream caption;
        caption << "cycles " << start << " to " << start + kFrameBits - 1 << ": word 0x" << std::hex << std::uppercase << word;
        if (r.notChecked.empty()) caption << ", carrying " << OutputLabel(first->output) << " on";
        else caption << ", not a host output: " << r.notChecked;
        svg << "<text x=\"0\" y=\"26\" fill=\"#555\">" << XmlEscape(caption.str()) << "</text>";
    } else {
        svg << "<text x=\"0\" y=\"26\" fill=\"#555\">no frame carried a switched output</text>";
    }
    for (int b = 0; b < kFrameBits; ++b) {
        const double x = left + b * cell;
        svg << "<rect x=\"" << x << "\" y=\"34\" width=\"" << cell << "\" height=\"44\" fill=\""
            << (b == 0 || b >= 8 ? "#eef1f5" : "#ffffff") << "\" stroke=\"#999\"/>"
            << "<text x=\"" << x + cell / 2 << "\" y=\"46\" text-anchor=\"middle\">" << kBitNames[b] << "</text>";
        if (first)
            svg << "<text x=\"" << x + cell / 2 << "\" y=\"88\" text-anchor=\"middle\" font-weight=\"bold\">"
                << int(r.trace.wire[start + b]) << "</text>";
    }
    if (first)
        svg << "<path d=\"" << Wave(r.trace.wire, start, start + kFrameBits, left, cell, 52, 20)
            << "\" fill=\"none\" stroke=\"#1d4f91\" stroke-width=\"2\"/>";
    svg << '\n';

    // The traces, on one axis of update cycles.
    if (latches.empty()) {
        svg << "<text x=\"0\" y=\"" << traceTop + 12 << "\">no host output on a board output: nothing switched</text></svg>\n";
        return svg.str();
    }
    // Each step's stretch of cycles; a change the board never took is cut short, and the axis
    // breaks between stretches that do not touch.
    struct Span {
        int64_t from, to;
    };
    std::vector<Span> spans;
    const int64_t end = static_cast<int64_t>(r.trace.wire.size());
    for (const CheckedOutput& s : r.outputs)
        for (const CheckStep* step : {&s.on, &s.off})
            spans.push_back({std::max<int64_t>(0, step->changedAt - 3),
                             std::min(end, (step->followed ? step->latchedAt : step->changedAt + kFrameBits * 2) + 3)});
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.from < b.from; });
    std::vector<Span> merged;
    for (const Span& span : spans) {
        if (!merged.empty() && span.from <= merged.back().to + 2) merged.back().to = std::max(merged.back().to, span.to);
        else merged.push_back(span);
    }
    const double breakWidth = 10;
    int64_t total = 0;
    for (const Span& span : merged) total += span.to - span.from;
    const double scale = (width - left - 10 - breakWidth * (merged.size() - 1)) / static_cast<double>(std::max<int64_t>(1, total));
    std::vector<double> starts;
    double x = left;
    for (const Span& span : merged) {
        starts.push_back(x);
        x += (span.to - span.from) * scale + breakWidth;
    }
    auto row = [&](int k, const std::string& name, const std::vector<uint8_t>& levels, const char* colour) {
        const double y = traceTop + k * rowHeight;
        svg << "<text x=\"0\" y=\"" << y + rowHeight * 0.65 << "\"" << (rowHeight < 17 ? " font-size=\"8.5\"" : "") << ">"
            << XmlEscape(name) << "</text><path d=\"";
        for (size_t i = 0; i < merged.size(); ++i)
            svg << (i ? " " : "") << Wave(levels, merged[i].from, merged[i].to, starts[i], scale, y + 2, rowHeight * 0.6);
        svg << "\" fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"1.4\"/>\n";
    };
    row(0, "bit stream", r.trace.wire, "#1d4f91");
    for (size_t i = 0; i < latches.size(); ++i) {
        const std::string name = LatchName(latches[i]);
        row(1 + 2 * static_cast<int>(i), name + " host pin", r.trace.host[latches[i]], "#222");
        row(2 + 2 * static_cast<int>(i), name + " board", r.trace.board[latches[i]], "#1b7f3b");
    }
    const double axis = traceTop + rows * rowHeight + 4;
    int64_t step = 10;
    for (int64_t nice : {10, 20, 50, 100, 200, 500, 1000, 2000, 5000})
        if ((step = nice) * scale >= 32) break;
    for (size_t i = 0; i < merged.size(); ++i) {
        const double x0 = starts[i], x1 = x0 + (merged[i].to - merged[i].from) * scale;
        svg << "<path d=\"M" << x0 << ' ' << axis << " H" << x1 << "\" stroke=\"#555\"/>";
        if (i) svg << "<text x=\"" << x0 - breakWidth / 2 << "\" y=\"" << axis + 3 << "\" text-anchor=\"middle\">\u2248</text>";
        for (int64_t c = (merged[i].from + step - 1) / step * step; c < merged[i].to; c += step) {
            const double cx = x0 + (c - merged[i].from) * scale;
            svg << "<path d=\"M" << cx << ' ' << axis << " v4\" stroke=\"#555\"/><text x=\"" << cx << "\" y=\"" << axis + 14
                << "\" text-anchor=\"middle\">" << c << "</text>";
        }
    }
    svg << "<text x=\"0\" y=\"" << axis + 14 << "\" fill=\"#555\">update cycle</text></svg>\n";
    return svg.str();
}

const char* kStyle = R"(
@page { size: A4; margin: 10mm; }
* { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
body { font: 9.5pt "DejaVu Sans", Verdana, sans-serif; color: #111; margin: 0 auto; max-width: 190mm; }
@media screen { body { padding: 8mm 0; } }
h1 { font-size: 22pt; margin: 0 0 2pt 0; }
h1.passed { color: #1b7f3b; } h1.failed { color: #b3261e; }
h2 { font-size: 11pt; margin: 8pt 0 3pt 0; border-bottom: 1px solid #bbb; }
p { margin: 2pt 0; }
.verdict { font-size: 10.5pt; }
.beside { font-weight: bold; font-size: 9pt; }
.small { color: #555; font-size: 8.5pt; }
svg { width: 100%; height: auto; display: block; }
@media print { body { zoom: 0.85; } }
/* Paths can be long: the title and the console report hold them whole. */
p.line { white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
p.verdict { display: -webkit-box; -webkit-box-orient: vertical; -webkit-line-clamp: 3; overflow: hidden; }
ol.problems { margin: 0; padding-left: 16pt; font-size: 8.5pt; }
ol.problems li { margin-bottom: 2pt; }
/* More faults than the room: two columns, and the whole sheet a little smaller, keep them on it. */
.dense ol.problems { columns: 2; column-gap: 12pt; font-size: 7.5pt; padding-left: 18pt; }
.dense ol.problems li { break-inside: avoid; margin-bottom: 1pt; }
@media print { body.dense { zoom: 0.74; } }
.badge { font-weight: bold; padding: 0 3pt; border: 1px solid; border-radius: 3px; }
.fault .badge { color: #b3261e; } .warning .badge { color: #7a5b00; } .note .badge { color: #555; }
.more { font-weight: bold; }
.fix { font-style: italic; }
)";

}  // namespace

void WriteCheckPage(const WiringCheckResult& r, std::ostream& page) {
    size_t shown = 0, lines = 0;
    while (shown < r.problems.size()) {
        const CheckProblem& p = r.problems[shown];
        if (p.cls != ProblemClass::Fault && lines + LinesOf(p) > kProblemLines) break;
        lines += LinesOf(p);
        ++shown;
    }
    page << "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
         << "<title>TRELVO-40/41 wiring check of " << XmlEscape(r.machine) << "</title>\n<style>" << kStyle
         << "</style>\n</head>\n<body" << (lines > kProblemLines ? " class=\"dense\"" : "") << ">\n";
    page << "<h1 class=\"" << (r.passed ? "passed" : "failed") << "\">"
         << (r.passed ? "\u2714 Check passed" : "\u2718 Check failed") << "</h1>\n";
    page << "<p class=\"verdict\">" << XmlEscape(r.verdict) << "</p>\n";
    for (const std::string& line : r.besideVerdict) page << "<p class=\"beside\">" << XmlEscape(line) << "</p>\n";
    page << "<p class=\"line\">TRELVO-40/41 wiring check of <b>" << XmlEscape(r.machine) << "</b></p>\n";
    page << "<p>Mode: <b>" << XmlEscape(ModeName(r.mode)) << "</b> (ExpandedMode " << r.mode
         << (r.modeSet ? "" : ", not set: the plug-in's default") << ") \u00b7 " << kSpindleOptionName << ": <b>"
         << (r.spindleEnabled ? "on" : "off") << "</b></p>\n";
    if (!r.debugLogNamed.empty())
        page << "<p class=\"small line\">Debug log: the profile names " << XmlEscape(r.debugLogNamed) << "; the check wrote "
             << (r.debugLogKept.empty() ? std::string("it to its temporary folder") : "it to " + XmlEscape(r.debugLogKept))
             << " instead.</p>\n";

    page << "<h2>The board</h2>\n" << BoardSvg(Labels(r));
    page << "<p>Spindle: ";
    if (!r.spindleChecked) {
        page << "not checked (" << (r.spindleEnabled ? "Expanded Input Mode ignores it" : "the option is off") << ")";
    } else if (!r.notChecked.empty()) {
        page << "<b>? not checked</b>: " << XmlEscape(r.notChecked);
    } else {
        const bool ok = r.SpindleFollowed();
        page << "<b class=\"" << (ok ? "followed" : "failed") << "\">" << (ok ? "\u2714 followed" : "\u2718 NOT followed")
             << "</b>";
        for (const CheckedSpindleStep& s : r.spindle)
            page << " \u00b7 " << XmlEscape(s.what) << ": "
                 << (s.step.followed ? "latched in " + std::to_string(s.step.Cycles()) + " cycles" : "NOT latched");
    }
    page << "</p>\n<p class=\"small\">Latency: update cycles from the cycle the host changed the output to the cycle the "
            "board latched the frame that carries it.</p>\n";

    page << "<h2>The bit stream on port 1 pin 16</h2>\n" << StripSvg(r);

    page << "<h2>Problems</h2>\n";
    if (r.problems.empty()) page << "<p>none</p>\n";
    if (!r.problems.empty()) page << "<ol class=\"problems\">\n";
    for (size_t k = 0; k < shown; ++k) {
        const CheckProblem& p = r.problems[k];
        static const char* const kClass[] = {"fault", "warning", "note"};
        static const char* const kBadge[] = {"\u2718 FAULT", "\u26a0 WARNING", "\u2139 NOTE"};
        const int cls = static_cast<int>(p.cls);
        page << "<li class=\"" << kClass[cls] << "\"><span class=\"what\"><span class=\"badge\">" << kBadge[cls] << "</span> ";
        if (p.cls == ProblemClass::Fault) page << "<b>" << XmlEscape(p.Lead()) << ":</b> ";
        page << XmlEscape(p.text) << "</span>";
        if (!p.fix.empty()) page << " <span class=\"fix\">Fix: " << XmlEscape(p.fix) << "</span>";
        page << "</li>\n";
    }
    if (!r.problems.empty()) page << "</ol>\n";
    if (shown < r.problems.size())
        page << "<p class=\"more\">and " << r.problems.size() - shown << " more: trelvo-sim --check lists them all</p>\n";
    page << "<p class=\"small\">A fault fails the check; a warning does not, but asks you to act; a note informs. "
            "Written by trelvo-sim --check, version " TRELVO_BUILD_VERSION_TEXT ".</p>\n</body>\n</html>\n";
}

}  // namespace sim
