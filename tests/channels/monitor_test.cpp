// Monitor: when a channel asks for a transmission (update, refresh timeout, restart) and what it logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "channels/monitor.h"
#include "support/test_support.h"

namespace {

class MonitorTest : public testsupport::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        LoadSettings({{"ExpandedMode", "1"}});
        Mark();
    }

    void Mark() { mark_ = Messages().size(); }
    // Log lines since the last Mark().
    std::vector<std::string> Since() {
        std::vector<std::string> all = Messages();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(mark_, all.size())), all.end()};
    }
    int Count(const std::string& line) {
        const std::vector<std::string> lines = Since();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }

    void ExpectFlags(const Monitor& m, bool update, bool refresh) {
        EXPECT_EQ(m.NeedUpdate(), update);
        EXPECT_EQ(m.NeedRefresh(), refresh);
    }

    size_t mark_ = 0;
};

TEST_F(MonitorTest, NewMonitorAsksForARefresh) {
    Monitor m("PP2");
    EXPECT_TRUE(m.enabled);
    ExpectFlags(m, false, true);
    EXPECT_EQ(m.data, -1);
    EXPECT_EQ(m.lastData, -1);
    m.Update(3);
    EXPECT_EQ(m.GetData(), 3);
    EXPECT_EQ(Since().back(), "DEBUG: Monitor 'PP2' reporting data 0x3 (update 1, refresh 1)");
    ExpectFlags(m, false, false);
}

TEST_F(MonitorTest, TwelfthTickRaisesTheRefreshOnce) {
    Monitor m("RelayPP1");
    m.Update(0x11);
    m.GetData();
    Mark();
    for (int i = 0; i < 11; ++i) {
        m.IncTime();
    }
    ExpectFlags(m, false, false);
    EXPECT_EQ(Count("DEBUG: Monitor 'RelayPP1' got refresh timeout"), 0);
    m.IncTime();
    ExpectFlags(m, false, true);
    for (int i = 0; i < 20; ++i) {
        m.IncTime();
    }
    ExpectFlags(m, false, true);
    EXPECT_EQ(m.refreshTimer, 12);
    EXPECT_EQ(Count("DEBUG: Monitor 'RelayPP1' got refresh timeout"), 1);

    // A report starts the count again from zero.
    m.GetData();
    for (int i = 0; i < 11; ++i) {
        m.IncTime();
    }
    ExpectFlags(m, false, false);
    m.IncTime();
    ExpectFlags(m, false, true);
}

TEST_F(MonitorTest, TimerRunsWhileAnUpdateIsPending) {
    Monitor m("PP2");
    m.Update(1);
    m.GetData();
    m.Update(2);
    ExpectFlags(m, true, false);
    for (int i = 0; i < 12; ++i) {
        m.IncTime();
    }
    ExpectFlags(m, true, true);
    EXPECT_EQ(m.GetData(), 2);
    EXPECT_EQ(Since().back(), "DEBUG: Monitor 'PP2' reporting data 0x2 (update 1, refresh 1)");
    ExpectFlags(m, false, false);
}

TEST_F(MonitorTest, UpdateLogsNewDataOnceAndNeedsUpdateOncePerPendingReport) {
    Monitor m("PP2");
    m.Update(5);
    m.GetData();
    Mark();
    m.Update(5);  // the value last reported: no update
    ExpectFlags(m, false, false);
    EXPECT_TRUE(Since().empty());

    m.Update(6);
    m.Update(6);
    m.Update(7);
    EXPECT_EQ(Since(), (std::vector<std::string>{
                           "DEBUG: Monitor 'PP2' got new data 0x6",
                           "DEBUG: Monitor 'PP2' needs UPDATE",
                           "DEBUG: Monitor 'PP2' got new data 0x7",
                       }));
    ExpectFlags(m, true, false);
    EXPECT_EQ(m.GetData(), 7);
}

TEST_F(MonitorTest, ChangedAndChangedBackStillReports) {
    Monitor m("RelayPP1");
    m.Update(0x13);
    m.GetData();
    m.Update(0x14);
    m.Update(0x13);
    ExpectFlags(m, true, false);
    Mark();
    EXPECT_EQ(m.GetData(), 0x13);
    EXPECT_EQ(Since(), std::vector<std::string>{"DEBUG: Monitor 'RelayPP1' reporting data 0x13 (update 1, refresh 0)"});
}

TEST_F(MonitorTest, ReportLineShowsFlagsAsTheyWereBeforeTheReport) {
    Monitor m("PWM");
    m.Update(0x200);
    m.GetData();
    m.Update(0x280);
    Mark();
    m.GetData();
    m.GetData();
    for (int i = 0; i < 12; ++i) {
        m.IncTime();
    }
    m.GetData();
    const std::vector<std::string> lines = Since();
    const std::vector<std::string> reports = {
        "DEBUG: Monitor 'PWM' reporting data 0x280 (update 1, refresh 0)",
        "DEBUG: Monitor 'PWM' reporting data 0x280 (update 0, refresh 0)",
        "DEBUG: Monitor 'PWM' got refresh timeout",
        "DEBUG: Monitor 'PWM' reporting data 0x280 (update 0, refresh 1)",
    };
    EXPECT_EQ(lines, reports);
}

TEST_F(MonitorTest, RestartMakesTheNextValueNewData) {
    Monitor m("RelayPP1");
    m.Update(0x10);
    m.GetData();
    m.Update(0x18);  // a pending update is dropped by the restart
    Mark();
    m.Restart();
    ExpectFlags(m, false, true);
    EXPECT_EQ(m.data, -1);
    EXPECT_EQ(m.lastData, -1);
    EXPECT_EQ(m.refreshTimer, 0);
    m.Update(0x10);
    ExpectFlags(m, true, true);
    EXPECT_EQ(m.GetData(), 0x10);
    EXPECT_EQ(Since(), (std::vector<std::string>{
                           "DEBUG: Monitor 'RelayPP1' is restarting",
                           "DEBUG: Monitor 'RelayPP1' got new data 0x10",
                           "DEBUG: Monitor 'RelayPP1' needs UPDATE",
                           "DEBUG: Monitor 'RelayPP1' reporting data 0x10 (update 1, refresh 1)",
                       }));
}

TEST_F(MonitorTest, RestartResetsTheRefreshTimer) {
    Monitor m("PP2");
    m.Update(0);
    m.GetData();
    for (int i = 0; i < 8; ++i) {
        m.IncTime();
    }
    m.Restart();
    m.Update(0);
    m.GetData();
    for (int i = 0; i < 11; ++i) {
        m.IncTime();
    }
    ExpectFlags(m, false, false);
}

TEST_F(MonitorTest, DisabledMonitorStoresValuesButNeverAsks) {
    Monitor m("PWM");
    m.SetEnabled(false);
    m.Restart();
    ExpectFlags(m, false, false);
    Mark();
    const int32_t values[] = {0x400, 0x400, 0x200, 0xA00};
    for (int32_t v : values) {
        m.Update(v);
        EXPECT_EQ(m.data, v);
        ExpectFlags(m, false, false);
    }
    for (int i = 0; i < 40; ++i) {
        m.IncTime();
    }
    ExpectFlags(m, false, false);
    m.Restart();
    ExpectFlags(m, false, false);
    EXPECT_EQ(Since(), (std::vector<std::string>{
                           "DEBUG: Monitor 'PWM' is disabled, net data (0x400) stored but ignored",
                           "DEBUG: Monitor 'PWM' is disabled, net data (0x200) stored but ignored",
                           "DEBUG: Monitor 'PWM' is disabled, net data (0xA00) stored but ignored",
                           "DEBUG: Monitor 'PWM' is restarting",
                           "DEBUG: Monitor 'PWM' is disabled, overriding restart NeedUpdate value",
                       }));
}

TEST_F(MonitorTest, DisablingDropsAPendingUpdateAndEnablingAgainRestartsIntoARefresh) {
    Monitor m("PWM");
    m.Update(0x200);
    EXPECT_TRUE(m.NeedUpdate());
    m.SetEnabled(false);
    EXPECT_FALSE(m.NeedUpdate());
    m.Restart();
    ExpectFlags(m, false, false);
    m.SetEnabled(true);
    m.Restart();
    ExpectFlags(m, false, true);
}

}  // namespace
