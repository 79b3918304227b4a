// Monitor: when a channel asks for a transmission (update, refresh timeout, restart) and what it reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/monitor.h"
#include "rig.h"

namespace {

using board::EventKind;
using coretest::Ev;

// u: Update(v)  g: GetData, must give v  t: v ticks  r: Restart  e: SetEnabled(v)  m: forget events so far.
// After each step the flags must read `update` and `refresh`.
struct Step {
    char op;
    int32_t v;
    bool update, refresh;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<Ev> events;  // after the last m
};

TEST(Monitor, Scripts) {
    const Case cases[] = {
        {"a new monitor asks for a refresh", {{'g', -1, false, false}, {'m', 0, false, false}, {'u', 3, true, false},
          {'g', 3, false, false}},
         {{EventKind::MonitorNewData, 3}, {EventKind::MonitorNeedsUpdate}, {EventKind::MonitorReport, 3, 1, 0}}},
        {"the twelfth tick raises the refresh once", {{'u', 0x11, true, true}, {'g', 0x11, false, false}, {'m', 0, false, false},
          {'t', 11, false, false}, {'t', 1, false, true}, {'t', 20, false, true}, {'g', 0x11, false, false},
          {'t', 11, false, false}, {'t', 1, false, true}},
         {{EventKind::MonitorTimeout}, {EventKind::MonitorReport, 0x11, 0, 1}, {EventKind::MonitorTimeout}}},
        {"the timer runs while an update is pending", {{'u', 1, true, true}, {'g', 1, false, false}, {'u', 2, true, false},
          {'m', 0, true, false}, {'t', 12, true, true}, {'g', 2, false, false}},
         {{EventKind::MonitorTimeout}, {EventKind::MonitorReport, 2, 1, 1}}},
        {"new data once, one update per pending report", {{'u', 5, true, true}, {'g', 5, false, false}, {'m', 0, false, false},
          {'u', 5, false, false}, {'u', 6, true, false}, {'u', 6, true, false}, {'u', 7, true, false}, {'g', 7, false, false}},
         {{EventKind::MonitorNewData, 6}, {EventKind::MonitorNeedsUpdate}, {EventKind::MonitorNewData, 7},
          {EventKind::MonitorReport, 7, 1, 0}}},
        {"changed and changed back still reports", {{'u', 0x13, true, true}, {'g', 0x13, false, false}, {'u', 0x14, true, false},
          {'u', 0x13, true, false}, {'m', 0, true, false}, {'g', 0x13, false, false}},
         {{EventKind::MonitorReport, 0x13, 1, 0}}},
        {"a restart drops the update and makes the next value new", {{'u', 0x10, true, true}, {'g', 0x10, false, false},
          {'u', 0x18, true, false}, {'m', 0, true, false}, {'r', 0, false, true}, {'u', 0x10, true, true}, {'g', 0x10, false, false}},
         {{EventKind::MonitorRestart}, {EventKind::MonitorNewData, 0x10}, {EventKind::MonitorNeedsUpdate},
          {EventKind::MonitorReport, 0x10, 1, 1}}},
        {"a restart starts the timer again", {{'u', 0, true, true}, {'g', 0, false, false}, {'t', 8, false, false},
          {'r', 0, false, true}, {'u', 0, true, true}, {'g', 0, false, false}, {'m', 0, false, false}, {'t', 11, false, false}},
         {}},
        {"disabled: stores values, never asks", {{'u', 0x200, true, true}, {'e', 0, false, true}, {'m', 0, false, true},
          {'r', 0, false, false}, {'u', 0x400, false, false}, {'u', 0x400, false, false}, {'u', 0xA00, false, false},
          {'t', 40, false, false}, {'r', 0, false, false}, {'e', 1, false, false}, {'r', 0, false, true}},
         {{EventKind::MonitorRestart}, {EventKind::MonitorRestartDisabled}, {EventKind::MonitorIgnored, 0x400},
          {EventKind::MonitorIgnored, 0xA00}, {EventKind::MonitorRestart}, {EventKind::MonitorRestartDisabled},
          {EventKind::MonitorRestart}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        coretest::Rig rig;
        board::Monitor m("PP2");
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            SCOPED_TRACE(testing::Message() << "step " << i);
            switch (s.op) {
                case 'u': m.Update(s.v, rig.sink); break;
                case 'g': EXPECT_EQ(m.GetData(rig.sink), s.v); break;
                case 't': for (int k = 0; k < s.v; ++k) m.IncTime(rig.sink); break;
                case 'r': m.Restart(rig.sink); break;
                case 'e': m.SetEnabled(s.v != 0); break;
                case 'm': rig.events.clear(); rig.names.clear(); break;
            }
            EXPECT_EQ(m.NeedUpdate(), s.update);
            EXPECT_EQ(m.NeedRefresh(), s.refresh);
        }
        EXPECT_EQ(rig.events, c.events);
        for (const char* name : rig.names) EXPECT_STREQ(name, "PP2");
    }
}

}  // namespace
