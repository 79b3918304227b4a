// The per-cycle path allocates nothing once the first cycle has set up the channel objects.
#include <gtest/gtest.h>

#include "mach3/update/update.h"
#include "support/counting_new/counting_new.h"
#include "support/test_support.h"

namespace {

class AllocationTest : public testsupport::PluginTest {};

TEST_F(AllocationTest, SteadyStateCyclesAllocateNothing) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> settings;
    };
    const std::vector<Case> cases = {
        {"scheduler, log off", {{"ExpandedMode", "0"}, {"EnableSpindle", "1"}, {"DebugLogLevel", "0"}}},
        {"scheduler, log ALL", {{"ExpandedMode", "0"}, {"EnableSpindle", "1"}, {"DebugLogLevel", "5"}}},
        {"serial test, debug", {{"ExpandedMode", "0"}, {"zzzzz", "1"}, {"EnableDebug", "1"}}},
        {"demo", {{"ExpandedMode", "0"}, {"DemoMode", "1"}}},
        {"expanded input", {{"ExpandedMode", "2"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        engine_.outputs[5] = HostOutputSignal{1, 16, 1, 0, 0};
        engine_.outputs[7] = HostOutputSignal{1, 1, 9, 0, 0};
        LoadSettings(c.settings);
        Init();
        EStopCycles(2);
        Cycles(50);
        const long before = counting_new::Allocations();
        for (int i = 0; i < 20000; ++i) {
            if (i % 500 == 0) {
                engine_.outputs[7].state ^= 1;
                state_.m_SpindleOn ^= 1;
                state_.SpindleFM.ratio = (i % 1000) / 1000.0;
            }
            engine_.estop = (i % 5000) < 20;
            Cycles(1);
        }
        EXPECT_EQ(counting_new::Allocations() - before, 0);
        TearDown();
    }
}

}  // namespace
