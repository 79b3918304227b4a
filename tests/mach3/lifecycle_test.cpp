// Entry-point lifecycle: settings loading, notifications, shutdown and the display name.
#include <gtest/gtest.h>

#include <algorithm>

#include "mach3/lifecycle.h"
#include "mach3/log.h"
#include "mach3/update/update.h"
#include "platform/module_file.h"
#include "support/test_support.h"

namespace {

using testsupport::PluginTest;

class LifecycleTest : public PluginTest {
protected:
    int Count(const std::string& text) {
        const auto lines = Messages();
        return static_cast<int>(std::count(lines.begin(), lines.end(), text));
    }
};

TEST_F(LifecycleTest, DefaultsWithoutASection) {
    testsupport::State().settings.IoMode = 77;  // a stale value must be replaced by the default
    LoadSettings({}, /*withLog=*/false);
    const Settings& s = testsupport::State().settings;
    EXPECT_EQ(s.IoMode, IO_EXPANDED_INPUT);
    EXPECT_FALSE(s.EnableSpindle || s.DemoMode || s.zzzzz || s.EnableDebug || s.SimMode);
    EXPECT_EQ(s.PostEStopDelay, 10);
    EXPECT_EQ(s.IdleDelay, 3);
    EXPECT_EQ(s.IntraFrameDelay, 0);
    EXPECT_FALSE(LogIsOpen());
    EXPECT_EQ(testsupport::State().log.threshold, 0);
}

TEST_F(LifecycleTest, EverySettingIsReadFromItsKey) {
    LoadSettings({{"ExpandedMode", "1"}, {"EnableSpindle", "1"}, {"DemoMode", "2"}, {"zzzzz", "-1"},
                  {"EnableDebug", "1"}, {"SimMode", "1"}, {"PostEStopDelay", "20"}, {"IdleDelay", "-4"},
                  {"IntraFrameDelay", "7"}, {"DebugLogLevel", "3"}});
    const Settings& s = testsupport::State().settings;
    EXPECT_EQ(s.IoMode, 1);
    EXPECT_TRUE(s.EnableSpindle && s.DemoMode && s.zzzzz && s.EnableDebug && s.SimMode);
    EXPECT_EQ(s.PostEStopDelay, 20);
    EXPECT_EQ(s.IdleDelay, -4);
    EXPECT_EQ(s.IntraFrameDelay, 7);
    EXPECT_EQ(testsupport::State().log.threshold, 3);
    const auto lines = Messages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "SYSTEM: *** TRELVO-40/41 Plug-In Debug Log (level=3 in myProfileInit) ***");
    EXPECT_EQ(lines[1], "INFO: Profile Init");
}

TEST_F(LifecycleTest, SecondSetProNameKeepsTheOpenLog) {
    LoadSettings({{"ExpandedMode", "0"}, {"DebugLogLevel", "4"}});
    const auto other = dir_ / "other.log";
    testsupport::WriteFile(profile_, testsupport::ProfileWithSettings(
                                         {{"ExpandedMode", "1"}, {"DebugLogFile", other.string()}, {"DebugLogLevel", "0"}}));
    PlugSetProName(profile_.string().c_str());
    EXPECT_EQ(testsupport::State().settings.IoMode, 1) << "other settings are reloaded";
    EXPECT_EQ(testsupport::State().log.threshold, 4) << "the threshold keeps its value";
    EXPECT_FALSE(std::filesystem::exists(other)) << "the new log file is not opened";
    EXPECT_EQ(Count("SYSTEM: myProfileInit() ignoring debug file from XML"), 1);
    EXPECT_EQ(Count("INFO: Profile Init"), 2);
}

TEST_F(LifecycleTest, DisplayNameComesFromTheModuleFile) {
    LoadSettings({}, false);
    const std::string name = PlugSetProName(profile_.string().c_str());
    EXPECT_EQ(name, platform::FileStem(platform::ModuleFilePath()) + " and 41 Quorlane Inc.");
    EXPECT_EQ(platform::FileStem("/a/b.c/TRELVO-40.so"), "TRELVO-40");
    EXPECT_EQ(platform::FileStem("C:\\Mach3\\PlugIns\\Other.dll"), "Other");
    EXPECT_EQ(platform::FileStem("noext"), "noext");
}

TEST_F(LifecycleTest, NotificationTexts) {
    LoadSettings({});
    Init();
    const std::vector<std::pair<int32_t, std::string>> cases = {
        {-1, "DEBUG: myNotify( -1 ) ** SYSTEM SHUTDOWN **"},
        {0, "DEBUG: myNotify( EX_DDA )"},
        {1, "DEBUG: myNotify( EX_VMS )"},
        {2, "DEBUG: myNotify( EX_COMMAND )"},
        {3, "DEBUG: myNotify( EX_SPINON )"},
        {4, "DEBUG: myNotify( EX_SPINOFF )"},
        {5, "DEBUG: myNotify( EX_SPINSPEED )"},
        {6, "DEBUG: myNotify( EX_MOTORRUNED )"},
        {7, "DEBUG: myNotify( EX_SETUP )"},
        {8, "DEBUG: myNotify( EX_FEEDHOLD )"},
        {9, "DEBUG: myNotify( EX_RUN )"},
        {10, "DEBUG: myNotify( EX_ESTOP )"},
        {11, "DEBUG: myNotify( EX_CONFIG )"},
        {12, "DEBUG: myNotify( 0xC ) Unknown Message"},
        {13, "DEBUG: myNotify( 0xD ) Unknown Message"},
        {14, "DEBUG: myNotify( UNDOC SHUTDOWN 0xE ), MAYBE SHOULD BE calling myCleanUp()"},
        {0x12000E, "DEBUG: myNotify( UNDOC SHUTDOWN 0x12000E ), MAYBE SHOULD BE calling myCleanUp()"},
        {-2, "DEBUG: myNotify( 0xFFFFFFFE ) Unknown Message"},
        {0x7FFFFFFF, "DEBUG: myNotify( 0x7FFFFFFF ) Unknown Message"},
    };
    for (const auto& [code, text] : cases) {
        myNotify(code);
        EXPECT_EQ(Messages().back(), text) << code;
    }
}

TEST_F(LifecycleTest, UndocumentedShutdownReleasesNothing) {
    LoadSettings({});
    Init();
    Cycles(1);
    myNotify(14);
    myNotify(0x12000E);
    EXPECT_NE(testsupport::State().channels.chargePump, nullptr);
    EXPECT_TRUE(LogIsOpen());
}

TEST_F(LifecycleTest, ConfigChangeNotesTheChargePumpAndRunsTheChecks) {
    LoadSettings({{"DebugLogLevel", "3"}});
    Init();
    myNotify(11);
    EXPECT_EQ(Count("INFO: myNotify() EX_CONFIG found CP active"), 0);
    engine_.outputs[13].enabled = 1;
    myNotify(11);
    EXPECT_EQ(Count("INFO: myNotify() EX_CONFIG found CP active"), 1);
}

TEST_F(LifecycleTest, StopPlugTwice) {
    LoadSettings({{"DebugLogLevel", "0"}});
    Init();
    myCleanUp();  // before any Update: nothing to release
    const std::string once = LogText();
    myCleanUp();
    EXPECT_EQ(LogText(), once) << "a second StopPlug writes nothing";
    const auto lines = testsupport::LogMessages(once);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines.back(), "SYSTEM: *** Closing Log File  ***");
    EXPECT_FALSE(LogIsOpen());
}

// The host may load the plug-in again after StopPlug: nothing of the first session shows in the second.
TEST_F(LifecycleTest, ASessionAfterStopPlugStartsAfresh) {
    const std::vector<std::pair<std::string, std::string>> serialTest = {
        {"ExpandedMode", "0"}, {"zzzzz", "1"}, {"EnableDebug", "1"}, {"DebugLogLevel", "0"}};
    auto first = serialTest;
    first.emplace_back("DebugLogFile", (dir_ / "missing" / "debug.log").string());
    LoadSettings(first);
    Init();
    ASSERT_EQ(std::string(state_.statusText).rfind("TRELVO-40/41 writes no debug log: ", 0), 0u);
    EStopCycles(1);
    Cycles(60);
    ASSERT_STRNE(state_.statusText, "TRELVO-40/41 sending SERIAL TEST data 0x6B #0") << "frames after the first";
    myCleanUp();

    state_ = HostStateBlock{};
    LoadSettings(serialTest);
    Init();
    EXPECT_STREQ(state_.statusText, "") << "the first session's report is not shown again";
    EStopCycles(1);
    for (int i = 0; i < 100 && state_.statusText[0] == '\0'; ++i) Cycles(1);
    EXPECT_STREQ(state_.statusText, "TRELVO-40/41 sending SERIAL TEST data 0x6B #0") << "the transmitter starts afresh";
    myCleanUp();
    EXPECT_EQ(testsupport::State().channels.chargePump, nullptr) << "the second StopPlug releases again";
    EXPECT_FALSE(LogIsOpen());
    EXPECT_EQ(Messages().back(), "SYSTEM: *** Closing Log File  ***");
}

TEST_F(LifecycleTest, StopPlugReleasesTheChannelObjectsButLeavesTheHostAssignments) {
    LoadSettings({});
    Init();
    Cycles(3);
    ASSERT_NE(testsupport::State().channels.chargePump, nullptr);
    myCleanUp();
    const Channels& ch = testsupport::State().channels;
    EXPECT_EQ(ch.chargePump, nullptr);
    EXPECT_EQ(ch.estop, nullptr);
    EXPECT_EQ(engine_.inputs[25].pin, 10) << "the host keeps the assignment last applied";
}

TEST_F(LifecycleTest, InitControlKeepsAllFourArgumentsAtFullWidth) {
    const intptr_t high = static_cast<intptr_t>(~static_cast<uintptr_t>(0) >> 1);
    PlugInitControl(reinterpret_cast<intptr_t>(&engine_), high, reinterpret_cast<intptr_t>(&state_), high - 1);
    EXPECT_EQ(testsupport::State().host.engine, &engine_);
    EXPECT_EQ(testsupport::State().host.state, &state_);
    EXPECT_EQ(testsupport::State().host.arg2, high);
    EXPECT_EQ(testsupport::State().host.arg4, high - 1);
    EXPECT_EQ(testsupport::State().core.state, board::kTxIdle);
}

}  // namespace
