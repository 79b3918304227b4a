// The Mach3 adapter writes each event of the board core as the debug log's line of old.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

class EventsTest : public testsupport::PluginTest {};

TEST_F(EventsTest, EachEventKindHasItsLine) {
    using K = board::EventKind;
    struct Case {
        K kind;
        const char* name;
        int32_t a, b, c;
        const char* line;
    };
    const Case cases[] = {
        {K::EnterEStop, nullptr, 0, 0, 0, "DEBUG: myUpdate() entering EStop"},
        {K::LeaveEStopHalt, nullptr, 0, 0, 0, "DEBUG: myUpdate() out of EStop, after post-EStop delay, going to Tx_Halt"},
        {K::LeaveEStopStart, nullptr, 0, 0, 0, "DEBUG: myUpdate() out of EStop, after post-EStop delay, starting serial Tx"},
        {K::WordSent, nullptr, board::kSerialTest, 0x6B, 7, "INFO: TRELVO-40/41 sending SERIAL TEST data 0x6B #7"},
        {K::WordSent, nullptr, board::kDemo, 0x42, 0, "INFO: TRELVO-40/41 sending DEMO PWM Hi data 0x2"},
        {K::WordSent, nullptr, board::kScheduler, 0xFE, 0, "INFO: TRELVO-40/41 sending unknown7 data 0xE"},
        {K::SchedulerCreated, nullptr, 0, 0, 0, "DEBUG: ExpandedData constructor()"},
        {K::UseSpindle, nullptr, 1, 0, 0, "DEBUG: ExpandedData::UseSpindle( 1 )"},
        {K::SchedulerRestart, nullptr, 0, 0, 0, "DEBUG: ExpandedData::Restart()"},
        {K::SchedulerUpdate, nullptr, 0, 0, 0, "DEBUG: ExpandedData::Update()"},
        {K::SchedulerTick, nullptr, 0, 0, 0, "ALL: ExpandedData::IncTime()"},
        {K::PwmNeedRefresh, nullptr, 0, 0, 0, "DEBUG: ExpandedData::GetData() PWM need REFRESH"},
        {K::PwmNeedUpdate, nullptr, 0, 0, 0, "DEBUG: ExpandedData::GetData() PWM need UPDATE"},
        {K::PwmInProgress, nullptr, 0, 0, 0, "DEBUG: ExpandedData::GetData() PWM in progress"},
        {K::RelaySent, nullptr, 0, 0, 0, "DEBUG: ExpandedData::GetData() RelayPP1 need REFRESH/UPDATE"},
        {K::Pp2Sent, nullptr, 0, 0, 0, "DEBUG: ExpandedData::GetData() PP2 need REFRESH/UPDATE"},
        {K::NothingPending, nullptr, 0, 0, 0,
         "ERROR: ExpandedData.GetData() called with no NeedUpdate or NeedRefresh, d=0xFE"},
        {K::UnknownState, nullptr, 9, 0, 0, "ERROR: ExpandedData.GetData() unknown state 9, returning dummy data 0xFF"},
        {K::MonitorNewData, "PP2", 6, 0, 0, "DEBUG: Monitor 'PP2' got new data 0x6"},
        {K::MonitorIgnored, "PWM", 0xE80, 0, 0, "DEBUG: Monitor 'PWM' is disabled, net data (0xE80) stored but ignored"},
        {K::MonitorNeedsUpdate, "PP2", 0, 0, 0, "DEBUG: Monitor 'PP2' needs UPDATE"},
        {K::MonitorReport, "RelayPP1", 0x13, 1, 0, "DEBUG: Monitor 'RelayPP1' reporting data 0x13 (update 1, refresh 0)"},
        {K::MonitorTimeout, "RelayPP1", 0, 0, 0, "DEBUG: Monitor 'RelayPP1' got refresh timeout"},
        {K::MonitorRestart, "PWM", 0, 0, 0, "DEBUG: Monitor 'PWM' is restarting"},
        {K::MonitorRestartDisabled, "PWM", 0, 0, 0,
         "DEBUG: Monitor 'PWM' is disabled, overriding restart NeedUpdate value"},
    };
    LoadSettings({});
    Init();
    Cycles(1);  // the log's level reaches the core's sink in the update cycle
    for (const Case& c : cases) {
        testsupport::State().events.Emit(c.kind, c.name, c.a, c.b, c.c);
        EXPECT_EQ(Messages().back(), c.line);
    }
    EXPECT_STREQ(state_.statusText, "TRELVO-40/41 sending unknown7 data 0xE") << "a word sent is the status too";
    // The spindle dump brings the host's spindle values along the core's.
    state_.m_SpindleOn = 1;
    state_.SpinDir = 0;
    state_.SpindleFM = HostSpindleFM{1, 1, 0, 24000.0, 3, 4, 5, 1.5, -1, 12000.0, 0.5, 11990.5};
    testsupport::State().events.Emit(board::EventKind::SpindleDump, "GetCommandWord", 1, 0, 512);
    const std::vector<std::string> lines = Messages();
    ASSERT_GE(lines.size(), 8u);
    std::string dump;
    for (size_t i = lines.size() - 8; i < lines.size(); ++i) dump += lines[i] + "\n";
    EXPECT_EQ(dump,
              "DEBUG: Spindle State from GetCommandWord:\nOur state: isOn 1, dirCW 0, PWM duty cycle 512\n"
              "Mach3 State: m_SpindleOn = 1, SpinDir = 0\nSpindleFM:\n"
              "  SpindleOn 1, MotorEnabled 1, PWMEnabled 0, SpindleMaxVel 24000.000000\n"
              "  CW 3, CCW 4, PWMMin 5, PWMMax 1.500000\n"
              "   dir -1, SpindleSpeed 12000.000000, ratio 0.500000, TrueRPM 11990.500000\n\n");
}

}  // namespace
